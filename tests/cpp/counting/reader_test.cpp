// The range reader: where ranges are cut, and how it fails.
#include "counting/reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "test_files.h"

namespace selkbar {
namespace {

using testing::TempDir;
using Chunks = std::vector<std::string>;
constexpr auto WS = PretokenizerKind::Whitespace;
constexpr auto BL = PretokenizerKind::ByteLevel;

struct RangeOutput {
  Chunks chunks;
  std::optional<std::string> error;
};

RangeOutput read_chunks(const std::string& path, uint64_t start, uint64_t end, uint64_t chunk,
                        PretokenizerKind kind) {
  auto [tx, rx] = make_channel<TextChunk>(2);
  RangeOutput out;
  std::thread reader([&, tx = std::move(tx)]() mutable {
    const Status status = read_range(path, start, end, chunk, kind, tx);
    if (!status.ok()) out.error = status.message();
    tx.reset();
  });
  while (std::optional<TextChunk> chunk_read = rx.recv()) {
    out.chunks.emplace_back(chunk_read->text());
  }
  reader.join();
  return out;
}

TEST(ReadRange, NeighbouringRangesMeetAfterTheDelimiterAtTheCut) {
  TempDir dir;
  const std::string path = dir.write("f", "alpha beta gamma");
  // The cut at 8 falls inside "beta": the first range completes it.
  RangeOutput first = read_chunks(path, 0, 8, 64, WS);
  EXPECT_EQ(first.chunks, Chunks{"alpha beta "});
  RangeOutput second = read_chunks(path, 8, 16, 64, WS);
  EXPECT_EQ(second.chunks, Chunks{"gamma"});
  EXPECT_FALSE(first.error || second.error);
  // The cut at 6 falls just after the space at 5: nothing is skipped.
  EXPECT_EQ(read_chunks(path, 0, 6, 64, WS).chunks, Chunks{"alpha "});
  EXPECT_EQ(read_chunks(path, 6, 16, 64, WS).chunks, Chunks{"beta gamma"});
}

TEST(ReadRange, ByteLevelCutsOnlyAfterLineFeeds) {
  TempDir dir;
  const std::string path = dir.write("f", "a b\nc d\n");
  EXPECT_EQ(read_chunks(path, 0, 2, 64, BL).chunks, Chunks{"a b\n"});
  EXPECT_EQ(read_chunks(path, 2, 8, 64, BL).chunks, Chunks{"c d\n"});
}

TEST(ReadRange, RangeInsideOnePretokenSendsNothing) {
  TempDir dir;
  const std::string path = dir.write("f", "x " + std::string(100, 'a') + " y");
  for (uint64_t chunk : {1, 7, 64, 4096}) {
    RangeOutput inside = read_chunks(path, 10, 50, chunk, WS);
    EXPECT_TRUE(inside.chunks.empty()) << chunk;
    EXPECT_FALSE(inside.error);
    // The range holding the pretoken's first byte sends it whole.
    Chunks first = read_chunks(path, 0, 10, chunk, WS).chunks;
    std::string joined;
    for (const std::string& c : first) joined += c;
    EXPECT_EQ(joined, "x " + std::string(100, 'a') + " ") << chunk;
  }
}

TEST(ReadRange, FileWithoutDelimitersIsSentWholeByTheFirstRange) {
  TempDir dir;
  const std::string text(1000, 'z');
  const std::string path = dir.write("f", text);
  EXPECT_EQ(read_chunks(path, 0, 300, 64, WS).chunks, Chunks{text});
  EXPECT_TRUE(read_chunks(path, 300, 600, 64, WS).chunks.empty());
  EXPECT_TRUE(read_chunks(path, 600, 1000, 64, WS).chunks.empty());
}

TEST(ReadRange, RangeBeyondTheEndOfTheFileSendsNothingAndSucceeds) {
  TempDir dir;
  const std::string path = dir.write("f", "short file");
  for (uint64_t start : {10, 11, 500}) {
    RangeOutput out = read_chunks(path, start, start + 100, 64, WS);
    EXPECT_TRUE(out.chunks.empty());
    EXPECT_FALSE(out.error);
  }
  // A range planned for a longer file reads what is there.
  EXPECT_EQ(read_chunks(path, 0, 1000, 4, WS).chunks, (Chunks{"short ", "file"}));
}

TEST(ReadRange, EmptyFileAndEmptyRangeSendNothing) {
  TempDir dir;
  const std::string empty = dir.write("e", "");
  EXPECT_TRUE(read_chunks(empty, 0, 0, 64, WS).chunks.empty());
  EXPECT_TRUE(read_chunks(empty, 0, 10, 64, WS).chunks.empty());
  const std::string path = dir.write("f", "a b c");
  EXPECT_TRUE(read_chunks(path, 0, 0, 64, WS).chunks.empty());
}

TEST(ReadRange, ChunksEndOnDelimitersAndAChunkGrowsToHoldALongPretoken) {
  TempDir dir;
  const std::string path = dir.write("f", "ab cd " + std::string(20, 'x') + " e");
  EXPECT_EQ(read_chunks(path, 0, 100, 4, WS).chunks,
            (Chunks{"ab ", "cd ", std::string(20, 'x') + " ", "e"}));
}

// Cuts random files into random ranges: the ranges' chunks, concatenated in
// order, must give back the file exactly, and every chunk must start at the
// file start or after a delimiter and end with one (or at the file end).
TEST(ReadRange, RandomRangesPartitionTheFileOnPretokenBoundaries) {
  TempDir dir;
  std::mt19937_64 rng(20240607);
  const std::vector<std::string> pieces = {"a", "b", "\xC3\xA9", " ", "\n", "\t", "\r\n", "xyz"};
  for (int round = 0; round < 400; ++round) {
    const PretokenizerKind kind = round % 2 == 0 ? WS : BL;
    std::string text;
    const size_t pieces_wanted = rng() % 120;
    for (size_t i = 0; i < pieces_wanted; ++i) text += pieces[rng() % pieces.size()];
    const std::string path = dir.write("r", text);
    std::vector<uint64_t> cuts = {0, text.size()};
    for (size_t k = rng() % 5; k > 0; --k) cuts.push_back(text.empty() ? 0 : rng() % text.size());
    std::sort(cuts.begin(), cuts.end());
    const uint64_t chunk = 1 + rng() % 20;

    std::string joined;
    for (size_t r = 0; r + 1 < cuts.size(); ++r) {
      RangeOutput out = read_chunks(path, cuts[r], cuts[r + 1], chunk, kind);
      ASSERT_FALSE(out.error) << *out.error;
      for (const std::string& c : out.chunks) {
        ASSERT_FALSE(c.empty());
        const size_t offset = joined.size();
        ASSERT_TRUE(offset == 0 || is_delimiter(static_cast<uint8_t>(text[offset - 1]), kind))
            << "chunk starts inside a pretoken at " << offset;
        joined += c;
        ASSERT_TRUE(joined.size() == text.size() ||
                    is_delimiter(static_cast<uint8_t>(c.back()), kind))
            << "chunk ends inside a pretoken at " << joined.size();
      }
    }
    ASSERT_EQ(joined, text) << "round " << round << " chunk " << chunk;
  }
}

TEST(ReadRange, FailuresNameTheStepAndThePathAsGiven) {
  TempDir dir;
  const std::string missing = dir.path() + "/./no-such-file";
  EXPECT_EQ(read_chunks(missing, 0, 10, 64, WS).error,
            "opening " + missing + ": No such file or directory");
  const std::string with_nul = dir.write("f", "text") + std::string("\0x", 2);
  EXPECT_EQ(read_chunks(with_nul, 0, 10, 64, WS).error,
            "opening " + with_nul + ": path contains a NUL byte");
  // A directory opens but cannot be read.
  const std::string directory = dir.path() + "/";
  EXPECT_EQ(read_chunks(directory, 0, 10, 64, WS).error,
            "reading " + directory + ": Is a directory");
}

TEST(ReadRange, ZeroChunkSizeIsAnInternalError) {
  TempDir dir;
  const std::string path = dir.write("f", "abc");
  auto [tx, rx] = make_channel<TextChunk>(1);
  try {
    const Status status = read_range(path, 0, 3, 0, WS, tx);
    FAIL() << "no exception, returned: " << status.message();
  } catch (const InternalError& error) {
    EXPECT_STREQ(error.what(), "read_range requires a non-zero chunk size");
  }
}

TEST(ReadRange, SendingWithoutScannersFailsWithScannersHungUp) {
  TempDir dir;
  const std::string path = dir.write("f", "one two three");
  auto [tx, rx] = make_channel<TextChunk>(4);
  rx.reset();
  EXPECT_EQ(read_range(path, 0, 13, 4, WS, tx).message(), "scanners hung up");
}

}  // namespace
}  // namespace selkbar
