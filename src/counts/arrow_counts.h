// arrow_counts.h: word counts as Arrow record batches.
//
// The table of a WordCounts has two columns and one row per word:
//   word   large_string ("U"), the word spelled as training sees it
//   count  uint64 ("L"), 1 .. 2^64 - 1
// and the pretokenizer in the schema's metadata: key "pretokenizer" holds its
// name ("whitespace", "bytelevel", ...), key "pattern" the splitting pattern
// of a custom one. Neither column holds nulls.
//
//   ArrowArrayStream stream;
//   export_counts(counts_ptr, &stream);   // the consumer releases it
//
// Export copies no word: the batches point into the counts' own arena and
// count array, and each keeps the WordCounts alive (a shared_ptr) until the
// consumer releases it, so the counts must not change while any batch lives
// (the module copies a shared WordCounts before changing it). Only the
// 64-bit offsets are made, one batch at a time, EXPORT_BATCH_ROWS words per
// batch.
#ifndef SELKBAR_COUNTS_ARROW_COUNTS_H_
#define SELKBAR_COUNTS_ARROW_COUNTS_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/arrow_abi.h"
#include "base/status.h"
#include "counts/word_counts.h"

namespace selkbar {

inline constexpr std::string_view PRETOKENIZER_METADATA_KEY = "pretokenizer";
inline constexpr std::string_view PATTERN_METADATA_KEY = "pattern";

// Large enough that per-batch costs vanish, small enough that the offsets of
// one batch (8 bytes a word) stay a few megabytes.
inline constexpr size_t EXPORT_BATCH_ROWS = size_t{1} << 20;

// Fills `out` with a stream of the counts' table. Throws std::bad_alloc.
void export_counts(std::shared_ptr<const WordCounts> counts, ArrowArrayStream* out);

using ArrowMetadata = std::vector<std::pair<std::string, std::string>>;

// The metadata of an ArrowSchema in the interface's binary layout (an int32
// count, then each key and value as an int32 length and its bytes).
std::string encode_arrow_metadata(const ArrowMetadata& entries);
// Decodes it back; nullptr decodes to no entries.
ArrowMetadata decode_arrow_metadata(const char* metadata);
// The value of `key`, if present.
std::optional<std::string> find_metadata(const ArrowMetadata& entries, std::string_view key);

}  // namespace selkbar

#endif  // SELKBAR_COUNTS_ARROW_COUNTS_H_
