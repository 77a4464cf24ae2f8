// The counts file: round trips, and every kind of damage refused with a
// message instead of a crash or partial counts.
#include "counts/counts_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <string>

#include "test_files.h"
#include "base/xxh64.h"

namespace selkbar {
namespace {

const PretokenizerId WHITESPACE{PretokenizerKind::Whitespace, std::nullopt};
const PretokenizerId BYTELEVEL{PretokenizerKind::ByteLevel, std::nullopt};

WordCounts sample_counts() {
  WordTable table;
  table.push("the", 120);
  table.push("caf\xc3\xa9", 3);
  table.push("\xe6\x97\xa5\xe6\x9c\xac", 1);
  table.push(std::string(300, 'x'), 1ULL << 40);  // a two-byte length, a six-byte count
  table.push("max", 0xFFFFFFFFFFFFFFFFULL);
  return WordCounts(WHITESPACE, std::move(table));
}

WordCounts random_counts(std::mt19937_64& rng, size_t n) {
  std::map<std::string, uint64_t> words;
  for (size_t i = 0; i < n; ++i) {
    std::string word;
    const size_t length = 1 + rng() % 12;
    for (size_t j = 0; j < length; ++j) word += static_cast<char>('a' + rng() % 26);
    words[word] += 1 + (rng() % 4 == 0 ? rng() : rng() % 100);
  }
  WordTable table;
  for (const auto& [word, count] : words) table.push(word, count);
  return WordCounts(WHITESPACE, std::move(table));
}

// A load's outcome gathered in one value for the checks below.
struct Loaded {
  std::optional<WordCounts> counts;
  std::string error;
  int os_error = 0;
  StatusCode code = StatusCode::Ok;
};

Loaded gather(const Status& status, std::optional<WordCounts> counts) {
  EXPECT_EQ(status.ok(), counts.has_value()) << status.message();
  return Loaded{std::move(counts), status.message(), status.os_error(), status.code()};
}

Loaded decode(std::string_view image) {
  std::optional<WordCounts> counts;
  const Status status = decode_counts(image, "decoding", "image", &counts);
  return gather(status, std::move(counts));
}

Loaded load(const std::string& path) {
  std::optional<WordCounts> counts;
  const Status status = load_counts(path, &counts);
  return gather(status, std::move(counts));
}

// Expects `image` to be refused with a message containing `what`.
void expect_refused(const std::string& image, const std::string& what) {
  const Loaded result = decode(image);
  ASSERT_FALSE(result.counts.has_value()) << what;
  EXPECT_EQ(result.error.rfind("decoding image: ", 0), 0u) << result.error;
  EXPECT_NE(result.error.find(what), std::string::npos) << result.error;
  EXPECT_EQ(result.code, StatusCode::InvalidInput);
  EXPECT_EQ(result.os_error, 0);
}

// Recomputes both checksums, so that a deliberate change is seen by the
// structural checks rather than as damage.
void reseal(std::string& image) {
  const uint64_t header_sum = xxh64(std::string_view(image.data(), 56));
  std::memcpy(image.data() + 56, &header_sum, 8);
  const uint64_t sum = xxh64(std::string_view(image.data(), image.size() - 8));
  std::memcpy(image.data() + image.size() - 8, &sum, 8);
}

void put_u64(std::string& image, size_t offset, uint64_t value) {
  std::memcpy(image.data() + offset, &value, 8);
}

// ---- The checksum ----

TEST(Xxh64, MatchesPublishedValuesInOneCallAndAsAStream) {
  EXPECT_EQ(xxh64(""), 0xEF46DB3751D8E999ULL);
  EXPECT_EQ(xxh64("The quick brown fox jumps over the lazy dog"), 0x0B242D361FDA71BCULL);
  std::string bytes;
  for (int i = 0; i < 100; ++i) bytes += static_cast<char>(i * 37 + 11);
  EXPECT_EQ(xxh64(bytes), 0x4826E367566EA023ULL);
  std::mt19937_64 rng(5);
  for (int round = 0; round < 50; ++round) {
    Xxh64 stream;
    for (size_t at = 0; at < bytes.size();) {
      const size_t piece = std::min<size_t>(bytes.size() - at, rng() % 40);
      stream.update(bytes.data() + at, piece);
      at += piece;
    }
    EXPECT_EQ(stream.digest(), xxh64(bytes));
  }
}

// ---- Round trips ----

TEST(CountsFile, RoundTripsKeepEveryWordCountAndThePretokenizer) {
  std::mt19937_64 rng(1);
  for (size_t n : {0u, 1u, 10u, 5000u}) {
    const WordCounts counts = random_counts(rng, n);
    const Loaded loaded = decode(encode_counts(counts));
    ASSERT_TRUE(loaded.counts.has_value()) << loaded.error;
    EXPECT_TRUE(loaded.counts->same_counts(counts));
  }
  const Loaded sample = decode(encode_counts(sample_counts()));
  ASSERT_TRUE(sample.counts.has_value()) << sample.error;
  EXPECT_TRUE(sample.counts->same_counts(sample_counts()));

  WordTable table;
  table.push("\xc4\xa0the", 7);  // "Ġthe"
  const WordCounts bytelevel(BYTELEVEL, std::move(table));
  const Loaded loaded = decode(encode_counts(bytelevel));
  ASSERT_TRUE(loaded.counts.has_value()) << loaded.error;
  EXPECT_EQ(loaded.counts->pretokenizer(), BYTELEVEL);
  EXPECT_TRUE(loaded.counts->same_counts(bytelevel));
}

TEST(CountsFile, SavesAtomicallyAndLoadsFromDisk) {
  testing::TempDir dir;
  const std::string path = dir.path() + "/c.counts";
  ASSERT_TRUE(save_counts(sample_counts(), path).ok());
  EXPECT_EQ(testing::read_file(path), encode_counts(sample_counts()));
  const Loaded loaded = load(path);
  ASSERT_TRUE(loaded.counts.has_value()) << loaded.error;
  EXPECT_TRUE(loaded.counts->same_counts(sample_counts()));

  const Status error = save_counts(sample_counts(), dir.path() + "/no/c");
  EXPECT_EQ(error.code(), StatusCode::OsError);
  EXPECT_EQ(error.os_error(), ENOENT);
  EXPECT_EQ(error.message().rfind("writing " + dir.path() + "/no/c: ", 0), 0u) << error.message();
}

TEST(CountsFile, PathsThatAreNotCountsFilesAreRefusedWithoutWaiting) {
  testing::TempDir dir;
  Loaded missing = load(dir.path() + "/missing");
  EXPECT_FALSE(missing.counts.has_value());
  EXPECT_EQ(missing.code, StatusCode::OsError);
  EXPECT_EQ(missing.os_error, ENOENT);
  EXPECT_EQ(missing.error, "opening " + dir.path() + "/missing: " + std::strerror(ENOENT));

  Loaded directory = load(dir.path());
  EXPECT_FALSE(directory.counts.has_value());
  EXPECT_EQ(directory.code, StatusCode::OsError);
  EXPECT_EQ(directory.os_error, EISDIR);
  EXPECT_EQ(directory.error, "opening " + dir.path() + ": " + std::strerror(EISDIR));

  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Loaded pipe = load(fifo);  // no writer: must not block
  EXPECT_FALSE(pipe.counts.has_value());
  EXPECT_EQ(pipe.code, StatusCode::InvalidInput);
  EXPECT_EQ(pipe.os_error, 0);
  EXPECT_NE(pipe.error.find("not a regular file"), std::string::npos) << pipe.error;

  Loaded nul = load(std::string("a\0b", 3));
  EXPECT_FALSE(nul.counts.has_value());
  EXPECT_NE(nul.error.find("NUL"), std::string::npos);

  Loaded text = load(dir.write("text.txt", "just some text, long enough to hold a header "
                                                      "and then some more bytes after it"));
  EXPECT_FALSE(text.counts.has_value());
  EXPECT_NE(text.error.find("wrong magic number"), std::string::npos) << text.error;
}

// Files whose checksums hold but whose words no counting could have made:
// repeated, or not spelled as their pretokenizer spells words.
TEST(CountsFileDamage, WordsThatNoCountingMakesAreRefused) {
  auto image_of = [](const PretokenizerId& id, std::vector<std::string> words) {
    WordTable table;
    for (const std::string& word : words) table.push(word, 1);
    return encode_counts(WordCounts(id, std::move(table)));
  };
  expect_refused(image_of(WHITESPACE, {"the", "cat", "sat", "cat"}), "word 3 repeats word 1");
  expect_refused(image_of(WHITESPACE, {"the", "a b"}), "word 1 contains white space");
  expect_refused(image_of(WHITESPACE, {"ok", "\xff"}), "word 1 is not valid UTF-8");
  expect_refused(image_of(BYTELEVEL, {"\xc4\xa0the", "the cat"}), "word 1 is not in the byte-level");
  std::mt19937_64 rng(5);
  EXPECT_TRUE(decode(encode_counts(random_counts(rng, 20000))).counts.has_value());
}

// ---- Damage ----

TEST(CountsFileDamage, EveryTruncationIsRefused) {
  const std::string image = encode_counts(sample_counts());
  for (size_t size = 0; size < image.size(); ++size) {
    const Loaded result = decode(image.substr(0, size));
    ASSERT_FALSE(result.counts.has_value()) << size;
    EXPECT_NE(result.error.find("truncated"), std::string::npos) << size << ": " << result.error;
  }
  expect_refused(image + "x", "1 bytes of unexpected data");
}

TEST(CountsFileDamage, EveryFlippedBitIsRefused) {
  const std::string image = encode_counts(sample_counts());
  for (size_t at = 0; at < image.size(); ++at) {
    for (int bit : {0, 3, 7}) {
      std::string damaged = image;
      damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit));
      const Loaded result = decode(damaged);
      ASSERT_FALSE(result.counts.has_value()) << at << " bit " << bit;
      ASSERT_FALSE(result.error.empty());
    }
  }
}

TEST(CountsFileDamage, ForeignNewerAndImpossibleHeadersAreNamed) {
  const std::string image = encode_counts(sample_counts());
  std::string foreign = image;
  foreign[1] = 'X';
  expect_refused(foreign, "not a selkbar word counts file (wrong magic number)");

  std::string newer = image;
  newer[8] = 2;  // no reseal: a newer version may lay out its header differently
  expect_refused(newer, "format version 2 is newer than this selkbar reads (version 1)");

  std::string header = image;
  header[20] ^= 1;
  expect_refused(header, "header checksum mismatch");

  std::string body = image;
  body[body.size() - 9] ^= 1;
  expect_refused(body, "checksum mismatch (the file is damaged)");

  // A size claiming terabytes is refused before anything that large is
  // allocated (the sanitizer builds would report the attempt).
  std::string huge = image;
  put_u64(huge, 24, 1ULL << 42);  // arena_bytes
  reseal(huge);
  expect_refused(huge, "impossible section sizes");
  huge = image;
  put_u64(huge, 40, 1ULL << 42);  // counts_bytes, consistent with 2^40 words
  put_u64(huge, 16, 1ULL << 32);
  reseal(huge);
  expect_refused(huge, "impossible section sizes");
  huge = image;
  put_u64(huge, 40, 5 * 10);  // possible for 5 words, but not what the file holds
  reseal(huge);
  expect_refused(huge, "truncated: the header describes");
}

// Files whose checksums are right but whose contents break a rule: what a
// buggy writer or a deliberate forgery would produce.
TEST(CountsFileDamage, ResealedStructuralFaultsAreRefused) {
  WordTable table;
  table.push("ab", 2);
  table.push("c", 1);
  const std::string image = encode_counts(WordCounts(WHITESPACE, std::move(table)));
  const size_t name = 64;
  const size_t lengths = name + std::strlen("whitespace");
  const size_t counts = lengths + 2;

  std::string zero_count = image;
  zero_count[counts + 1] = 0;
  reseal(zero_count);
  expect_refused(zero_count, "damaged count of word 1");

  std::string long_word = image;  // lengths 2 + 2 overrun the 3-byte arena
  long_word[lengths + 1] = 2;
  reseal(long_word);
  expect_refused(long_word, "damaged length of word 1");

  std::string short_word = image;  // lengths 1 + 1 leave an arena byte over
  short_word[lengths] = 1;
  reseal(short_word);
  expect_refused(short_word, "word lengths do not match");

  std::string unknown = image;
  std::memcpy(unknown.data() + name, "whitespac3", 10);
  reseal(unknown);
  expect_refused(unknown, "unknown pretokenizer \"whitespac3\"");

  std::string pattern = image;
  pattern[12] = 1;  // a pattern flag with an empty pattern
  reseal(pattern);
  expect_refused(pattern, "takes no pattern");

  std::string flags = image;
  flags[13] = 1;
  reseal(flags);
  expect_refused(flags, "unknown flags");
}

TEST(CountsFileDamage, NonMinimalAndOverlongVarintsAreRefused) {
  WordTable table;
  table.push("a", 1);
  std::string image = encode_counts(WordCounts(WHITESPACE, std::move(table)));
  // Re-encode the count 1 as 81 00 (a redundant zero group): two bytes.
  const size_t counts = 64 + 10 + 1;
  std::string redundant = image.substr(0, counts) + std::string("\x81\x00", 2) +
                          image.substr(counts + 1);
  put_u64(redundant, 40, 2);
  reseal(redundant);
  expect_refused(redundant, "damaged count of word 0");

  std::string overlong = image.substr(0, counts) + std::string(10, '\xff') + std::string(1, '\x01') +
                         image.substr(counts + 1);
  put_u64(overlong, 40, 11);
  reseal(overlong);
  expect_refused(overlong, "impossible section sizes");  // more than 10 bytes for one count
}

}  // namespace
}  // namespace selkbar
