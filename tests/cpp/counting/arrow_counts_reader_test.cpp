// Counts through the Arrow C interface: what export_counts writes,
// ArrowCountsReader reads back exactly, repeats added up as a std::map adds
// them; and the spelling fast paths against a plain model of the rules.
#include "counting/arrow_counts_reader.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "counts/arrow_counts.h"
#include "pretokenize/bytelevel.h"
#include "pretokenize/word_spelling.h"
#include "unicode/utf8.h"
#include "unicode/whitespace.h"

namespace selkbar {
namespace {

using WordMap = std::map<std::string, uint64_t>;

const PretokenizerId WHITESPACE{PretokenizerKind::Whitespace, std::nullopt};

std::shared_ptr<const WordCounts> counts_of(const std::vector<std::pair<std::string, uint64_t>>& words) {
  auto counts = std::make_shared<WordCounts>(WHITESPACE);
  for (const auto& [word, count] : words) EXPECT_TRUE(counts->add(word, count));
  return counts;
}

WordMap map_of(const WordCounts& counts) {
  WordMap map;
  for (uint32_t id = 0; id < counts.size(); ++id) {
    map[std::string(counts.words().get(id))] = counts.words().count(id);
  }
  return map;
}

// Reads every batch of `counts`' export into `reader`; returns the batches.
size_t read_export(std::shared_ptr<const WordCounts> counts, ArrowCountsReader& reader) {
  ArrowArrayStream stream;
  export_counts(std::move(counts), &stream);
  ArrowSchema schema;
  EXPECT_EQ(stream.get_schema(&stream, &schema), 0);
  size_t batches = 0;
  for (;;) {
    ArrowArray batch;
    EXPECT_EQ(stream.get_next(&stream, &batch), 0);
    if (batch.release == nullptr) break;
    const Status status = reader.add_batch(schema, batch);
    EXPECT_TRUE(status.ok()) << status.message();
    batch.release(&batch);
    ++batches;
  }
  schema.release(&schema);
  stream.release(&stream);
  return batches;
}

std::string random_word(std::mt19937_64& rng) {
  static const std::vector<std::string> pieces = {"a", "b", "the", "caf\xc3\xa9", "\xe6\x97\xa5",
                                                  "\xf0\x9f\x98\x80", "x", "##", "'"};
  std::string word;
  const size_t n = 1 + rng() % 4;
  for (size_t i = 0; i < n; ++i) word += pieces[rng() % pieces.size()];
  return word;
}

TEST(ArrowCountsTest, ExportedCountsReadBackExactlyAndRepeatsAddUp) {
  std::mt19937_64 rng(35);
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<std::pair<std::string, uint64_t>> first, second;
    WordMap expected;
    for (size_t i = rng() % 300; i > 0; --i) {
      const std::string word = random_word(rng);
      // Large counts, which 300 words cannot sum past 2^64 - 1.
      const uint64_t count = trial % 5 == 0 ? (MAX_WORD_COUNT >> 9) - rng() % 7 : 1 + rng() % 1000;
      (rng() % 2 ? first : second).emplace_back(word, count);
      expected[word] += count;
    }
    ArrowCountsReader reader(PretokenizerKind::Whitespace, "word", "count");
    const auto a = counts_of(first);
    const auto b = counts_of(second);
    EXPECT_EQ(read_export(a, reader), a->size() == 0 ? 0u : 1u);
    read_export(b, reader);
    EXPECT_EQ(reader.rows(), a->size() + b->size());
    std::optional<WordCounts> read;
    ASSERT_TRUE(std::move(reader).finish(WHITESPACE, &read).ok());
    EXPECT_EQ(map_of(*read), expected) << "trial " << trial;
  }
}

TEST(ArrowCountsTest, TheExportKeepsItsCountsAliveAndNamesThePretokenizer) {
  auto counts = std::make_shared<WordCounts>(PretokenizerId{PretokenizerKind::Pattern, "\\w+"});
  ASSERT_TRUE(counts->add("\xc4\xa0the", 3));
  ArrowArrayStream stream;
  export_counts(counts, &stream);
  counts.reset();  // the stream holds the only reference now
  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  const ArrowMetadata metadata = decode_arrow_metadata(schema.metadata);
  EXPECT_EQ(find_metadata(metadata, "pretokenizer"), "bytelevel");
  EXPECT_EQ(find_metadata(metadata, "pattern"), "\\w+");
  EXPECT_EQ(decode_arrow_metadata(encode_arrow_metadata(metadata).data()), metadata);
  ArrowArray batch;
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  stream.release(&stream);  // batches outlive their stream
  ArrowCountsReader reader(PretokenizerKind::ByteLevel, "word", "count");
  ASSERT_TRUE(reader.add_batch(schema, batch).ok());
  batch.release(&batch);
  schema.release(&schema);
  std::optional<WordCounts> read;
  ASSERT_TRUE(std::move(reader).finish({PretokenizerKind::ByteLevel, std::nullopt}, &read).ok());
  EXPECT_EQ(map_of(*read), (WordMap{{"\xc4\xa0the", 3}}));
}

TEST(ArrowCountsTest, BadColumnsAndOverflowingSumsAreRefused) {
  const auto counts = counts_of({{"a", MAX_WORD_COUNT}});
  ArrowArrayStream stream;
  export_counts(counts, &stream);
  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  ArrowArray batch;
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  ArrowCountsReader missing(PretokenizerKind::Whitespace, "token", "count");
  const Status status = missing.add_batch(schema, batch);
  EXPECT_EQ(status.code(), StatusCode::InvalidInput);
  EXPECT_EQ(status.message(), "no column 'token' (the columns are 'word', 'count')");
  ArrowCountsReader twice(PretokenizerKind::Whitespace, "word", "count");
  ASSERT_TRUE(twice.add_batch(schema, batch).ok());
  ASSERT_TRUE(twice.add_batch(schema, batch).ok());
  std::optional<WordCounts> read;
  const Status overflow = std::move(twice).finish(WHITESPACE, &read);
  EXPECT_EQ(overflow.code(), StatusCode::Overflow);
  EXPECT_EQ(overflow.message(),
            "row 1: the count of word 'a' would pass 2**64 - 1 (18446744073709551615)");
  batch.release(&batch);
  schema.release(&schema);
  stream.release(&stream);
}

// The spelling rules written out plainly: decode every character, look it up.
bool spelled_right(PretokenizerKind kind, const std::string& word) {
  Utf8Error error;
  if (word.empty() || !validate_utf8(word, &error)) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const uint8_t* const end = p + word.size();
  std::string bytes;
  while (p < end) {
    const DecodedChar c = decode_utf8(p, end);
    p += c.length;
    if (kind == PretokenizerKind::Whitespace) {
      if ((c.cp < 0x80 && is_ascii_white_space(static_cast<uint8_t>(c.cp))) ||
          is_non_ascii_white_space(c.cp)) {
        return false;
      }
      continue;
    }
    const int byte = byte_of_char(c.cp);
    if (byte < 0) return false;
    bytes.push_back(static_cast<char>(byte));
  }
  return kind == PretokenizerKind::Whitespace || validate_utf8(bytes, &error);
}

TEST(WordSpellingTest, FastPathsAgreeWithThePlainRules) {
  const std::array<uint32_t, 256> alphabet = build_byte_to_char();
  std::mt19937_64 rng(35);
  for (int trial = 0; trial < 200000; ++trial) {
    std::string word;
    // Mostly printable ASCII, so that long words (read eight bytes at a time)
    // come with one odd byte somewhere.
    const bool mostly_ascii = rng() % 2;
    for (size_t i = rng() % 20; i > 0; --i) {
      switch (mostly_ascii && rng() % 8 != 0 ? 0 : rng() % 6) {
        case 0:  // printable ASCII
          word.push_back(static_cast<char>(0x21 + rng() % 94));
          break;
        case 1:  // any byte at all
          word.push_back(static_cast<char>(rng() % 256));
          break;
        case 2: {  // a byte-level character
          std::string utf8;
          append_utf8(utf8, alphabet[rng() % 256]);
          word += utf8;
          break;
        }
        case 3: {  // white space, or a character sharing its lead byte
          static const uint32_t cps[] = {0x20, 0x09, 0x85, 0xA0, 0xA9, 0x1680, 0x2000, 0x2010,
                                         0x3000, 0x3042, 0xE9, 0x1F600};
          std::string utf8;
          append_utf8(utf8, cps[rng() % std::size(cps)]);
          word += utf8;
          break;
        }
        case 4: {  // byte-level spellings of lead bytes; the edges of UTF-8's ranges
          static const char* const pieces[] = {
              "\xc3\x83", "\xc3\xa9", "\xe0\x9f\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf",
              "\xed\xa0\x80", "\xf0\x8f\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf",
              "\xf4\x90\x80\x80", "\xc1\xbf", "\xe1\x9a\x80", "\xe2\x80\xaf", "\xe3\x80\x81"};
          word += pieces[rng() % std::size(pieces)];
          break;
        }
        default:
          word += "\xc4\xa0";  // the byte-level space
          break;
      }
    }
    for (const PretokenizerKind kind : {PretokenizerKind::Whitespace, PretokenizerKind::ByteLevel}) {
      ASSERT_EQ(!check_word_spelling(kind, word).has_value(), spelled_right(kind, word))
          << "kind " << static_cast<int>(kind) << " word of " << word.size() << " bytes";
    }
  }
}

}  // namespace
}  // namespace selkbar
