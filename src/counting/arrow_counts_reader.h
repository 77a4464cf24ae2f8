// arrow_counts_reader.h: word counts read from Arrow record batches.
//
// A counts table has a string column of words and an integer column of
// counts (names chosen by the caller, other columns ignored), as
// counts/arrow_counts.h writes it or as another tool (Spark, polars, DuckDB)
// produced it:
//
//   ArrowCountsReader reader(PretokenizerKind::ByteLevel, "word", "count");
//   for (each batch) if (Status s = reader.add_batch(schema, batch); !s.ok()) ...;
//   std::optional<WordCounts> counts;
//   Status s = std::move(reader).finish(id, &counts);
//
// Words may be string, large_string, string_view or dictionary-encoded
// strings; counts any integer type, or a decimal128 of scale 0 (what Spark
// makes of a count that does not fit its signed 64-bit long). Every row is
// checked as WordCounts.from_items checks an item, and a failure names the
// row, counted from 0 over all batches: a null word or count, a count
// outside 1 .. 2^64 - 1, a word not spelled as the pretokenizer's words
// are ("row 7: word 'a b' contains white space ..."). Repeated words add up;
// a sum past 2^64 - 1 fails with an Overflow status naming the later row.
//
// Reading copies the words into one arena, a batch at a time (at once when
// the batch's words lie back to back); repeats are looked for once at the end, so a table of distinct words (the usual case) never
// pays for a hash lookup per row.
//
// Thread safety: none; one thread uses a reader.
#ifndef SELKBAR_COUNTING_ARROW_COUNTS_READER_H_
#define SELKBAR_COUNTING_ARROW_COUNTS_READER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/arrow_abi.h"
#include "base/status.h"
#include "config.h"
#include "counts/word_counts.h"
#include "counts/wordtable.h"

namespace selkbar {

class ArrowCountsReader {
 public:
  ArrowCountsReader(PretokenizerKind kind, std::string word_column, std::string count_column)
      : kind_(kind), word_column_(std::move(word_column)), count_column_(std::move(count_column)) {}

  // Adds the rows of one record batch: a struct array and its schema, both
  // borrowed for the call. Fails with WrongType for a schema that is not a
  // struct or columns of the wrong types, InvalidInput for a missing column,
  // a malformed array or a bad row. Rows before a bad one stay added; the
  // caller discards the reader.
  Status add_batch(const ArrowSchema& schema, const ArrowArray& batch);

  // Rows read so far.
  uint64_t rows() const { return table_.len(); }

  // The counts of every row read, repeated words added up.
  Status finish(PretokenizerId id, std::optional<WordCounts>* out) &&;

 private:
  PretokenizerKind kind_;
  std::string word_column_;
  std::string count_column_;
  WordTable table_;  // one entry per row, in row order
  // Scratch of add_batch: the batch's counts, and where each word ends.
  std::vector<uint64_t> batch_counts_;
  std::vector<uint64_t> batch_ends_;
};

}  // namespace selkbar

#endif  // SELKBAR_COUNTING_ARROW_COUNTS_READER_H_
