// Phase 1 fed by the caller: packing texts into chunks, reading Arrow string
// arrays, counting fed chunks, and cancelling a run.
#include "counting/text_feed.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "pretokenize/bytelevel.h"
#include "pretokenize/tiktoken_split.h"
#include "counting/pipeline.h"
#include "reference_count.h"
#include "threads/run_control.h"
#include "test_files.h"
#include "training/trainer.h"
#include "unicode/utf8.h"

namespace selkbar {
namespace {

using namespace std::chrono_literals;
using testing::WordCounts;

std::vector<std::string> texts_of(const TextChunk& chunk) {
  std::vector<std::string> texts;
  size_t start = 0;
  for (size_t end : chunk.text_ends()) {
    texts.emplace_back(chunk.text().substr(start, end - start));
    start = end;
  }
  return texts;
}

TEST(ChunkBuilder, KeepsTextsWholeAndNumbersThemAcrossChunks) {
  ChunkBuilder builder(10);
  builder.add_text("abcd");
  builder.add_text("");
  EXPECT_FALSE(builder.full());
  builder.add_text("efghij");  // reaches the size: the chunk is full, not cut
  ASSERT_TRUE(builder.full());
  const TextChunk first = builder.take();
  EXPECT_TRUE(first.holds_texts());
  EXPECT_EQ(texts_of(first), (std::vector<std::string>{"abcd", "", "efghij"}));
  EXPECT_EQ(first.first_text(), 0u);
  builder.add_text(std::string(25, 'x'));  // longer than a chunk: a chunk of its own
  EXPECT_TRUE(builder.full());
  const TextChunk second = builder.take();
  EXPECT_EQ(texts_of(second), std::vector<std::string>{std::string(25, 'x')});
  EXPECT_EQ(second.first_text(), 3u);
  EXPECT_TRUE(builder.empty());
  EXPECT_EQ(builder.texts_seen(), 4u);
}

TEST(EncodeUtf8, EncodesEveryUnitWidthAndRefusesSurrogates) {
  const uint8_t latin[] = {'a', 0xE9, 0xFF};
  char out[16];
  EXPECT_EQ(std::string(out, encode_utf8(latin, 3, out)), "a\xC3\xA9\xC3\xBF");
  const uint16_t bmp[] = {0x7F, 0x80, 0x7FF, 0x800, 0xFFFF};
  EXPECT_EQ(std::string(out, encode_utf8(bmp, 5, out)),
            "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
  const uint32_t astral[] = {0x10000, 0x10FFFF};
  EXPECT_EQ(std::string(out, encode_utf8(astral, 2, out)), "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
  const uint16_t lone[] = {'x', 0xD800};
  EXPECT_EQ(encode_utf8(lone, 2, out), SIZE_MAX);
  const uint32_t low[] = {0xDFFF};
  EXPECT_EQ(encode_utf8(low, 1, out), SIZE_MAX);
}

// A string array as an Arrow producer lays it out.
struct FakeArrow {
  std::vector<int32_t> offsets;
  std::string data;
  std::vector<uint8_t> validity;
  const void* buffers[3] = {};
  ArrowSchema schema{};
  ArrowArray array{};

  FakeArrow(const std::vector<const char*>& values, const char* format = "u") {
    offsets.push_back(0);
    validity.assign((values.size() + 7) / 8, 0);
    int64_t nulls = 0;
    for (size_t i = 0; i < values.size(); ++i) {
      if (values[i] != nullptr) {
        data += values[i];
        validity[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
      } else {
        ++nulls;
      }
      offsets.push_back(static_cast<int32_t>(data.size()));
    }
    buffers[0] = validity.data();
    buffers[1] = offsets.data();
    buffers[2] = data.data();
    schema.format = format;
    array.length = static_cast<int64_t>(values.size());
    array.null_count = nulls;
    array.n_buffers = 3;
    array.buffers = buffers;
  }
};

std::vector<std::string> read_all(const ArrowSchema& schema, const ArrowArray& array,
                                  uint64_t chunk_bytes) {
  Status error;
  std::optional<ArrowStrings> strings = ArrowStrings::open(schema, array, &error);
  EXPECT_TRUE(strings.has_value()) << error.message();
  std::vector<std::string> texts;
  ChunkBuilder builder(chunk_bytes);
  while (strings && !strings->done()) {
    strings->append_some(builder);
    if (!builder.empty()) {
      for (std::string& text : texts_of(builder.take())) texts.push_back(std::move(text));
    }
  }
  return texts;
}

TEST(ArrowStrings, ReadsEveryNonNullStringOfASliceInChunksOfAnySize) {
  FakeArrow arrow({"skip", "ab", nullptr, "", "cde", "fghijkl", nullptr, "m"});
  arrow.array.offset = 1;  // a slice: the first entry is not part of it
  arrow.array.length = 7;
  const std::vector<std::string> want = {"ab", "", "cde", "fghijkl", "m"};
  for (uint64_t chunk : {1, 3, 5, 100}) {
    EXPECT_EQ(read_all(arrow.schema, arrow.array, chunk), want) << chunk;
  }
}

TEST(ArrowStrings, RefusesOtherTypesAndMalformedOffsets) {
  Status error;
  FakeArrow ints({"a"}, "l");
  EXPECT_FALSE(ArrowStrings::open(ints.schema, ints.array, &error));
  EXPECT_EQ(error.code(), StatusCode::WrongType);
  EXPECT_EQ(error.message(), "Arrow format 'l' is not a string array (expected string, "
                             "large_string, string_view or a dictionary of strings)");
  FakeArrow backwards({"abc", "d"});
  backwards.offsets[1] = 4;  // 0, 4, 4 is fine; 0, 4, 3 is not
  backwards.offsets[2] = 3;
  EXPECT_FALSE(ArrowStrings::open(backwards.schema, backwards.array, &error));
  EXPECT_EQ(error.code(), StatusCode::InvalidInput);
  EXPECT_EQ(error.message(), "malformed Arrow string array (decreasing offsets)");
  FakeArrow negative({"abc"});
  negative.offsets[0] = -1;
  EXPECT_FALSE(ArrowStrings::open(negative.schema, negative.array, &error));
}

// A dictionary array of int16 indices (-1: null) into `values`.
struct FakeDictionary {
  FakeArrow values;
  std::vector<int16_t> indices;
  std::vector<uint8_t> validity;
  const void* buffers[2];
  ArrowSchema schema{};
  ArrowArray array{};

  FakeDictionary(std::vector<const char*> words, std::vector<int16_t> at) : values(words), indices(at) {
    validity.assign((indices.size() + 7) / 8, 0);
    int64_t nulls = 0;
    for (size_t i = 0; i < indices.size(); ++i) {
      if (indices[i] >= 0) validity[i / 8] |= uint8_t(1u << (i % 8));
      else ++nulls;
    }
    buffers[0] = validity.data();
    buffers[1] = indices.data();
    schema.format = "s";
    schema.dictionary = &values.schema;
    array.length = static_cast<int64_t>(indices.size());
    array.null_count = nulls;
    array.n_buffers = 2;
    array.buffers = buffers;
    array.dictionary = &values.array;
  }
};

// A string_view array: short strings inline, long ones in one data buffer.
struct FakeViews {
  std::string data;
  std::vector<uint8_t> views;
  int64_t sizes[1];
  const void* buffers[4];
  ArrowSchema schema{};
  ArrowArray array{};

  explicit FakeViews(const std::vector<std::string>& texts) : views(16 * texts.size(), 0) {
    for (const std::string& text : texts) {
      if (text.size() > 12) data += text;
    }
    size_t at = 0;
    for (size_t i = 0; i < texts.size(); ++i) {
      const int32_t length = static_cast<int32_t>(texts[i].size());
      std::memcpy(&views[16 * i], &length, 4);
      if (texts[i].size() <= 12) {
        std::memcpy(&views[16 * i + 4], texts[i].data(), texts[i].size());
      } else {
        const int32_t buffer = 0, offset = static_cast<int32_t>(at);
        std::memcpy(&views[16 * i + 8], &buffer, 4);
        std::memcpy(&views[16 * i + 12], &offset, 4);
        at += texts[i].size();
      }
    }
    sizes[0] = static_cast<int64_t>(data.size());
    buffers[0] = nullptr;
    buffers[1] = views.data();
    buffers[2] = data.data();
    buffers[3] = sizes;
    schema.format = "vu";
    array.length = static_cast<int64_t>(texts.size());
    array.n_buffers = 4;
    array.buffers = buffers;
  }
};

TEST(ArrowStrings, ReadsDictionariesAndViewsAsTheirStrings) {
  FakeDictionary dictionary({"red", nullptr, "green"}, {2, 0, -1, 0, 1, 2});
  // Index 1 names a null value: no text, as a null entry.
  const std::vector<std::string> colours = {"green", "red", "red", "green"};
  const std::vector<std::string> texts = {"short", "", "a string longer than twelve", "x",
                                          "another long string here"};
  FakeViews views(texts);
  for (uint64_t chunk : {1, 7, 100}) {
    EXPECT_EQ(read_all(dictionary.schema, dictionary.array, chunk), colours) << chunk;
    EXPECT_EQ(read_all(views.schema, views.array, chunk), texts) << chunk;
  }
}

TEST(ArrowStrings, RefusesDictionaryIndicesAndViewsOutsideTheirBuffers) {
  Status error;
  FakeDictionary dictionary({"a", "b"}, {0, 2});
  EXPECT_FALSE(ArrowStrings::open(dictionary.schema, dictionary.array, &error));
  EXPECT_EQ(error.message(), "malformed Arrow dictionary array (index 2 outside its 2 values)");
  FakeDictionary of_ints({"a"}, {0});
  of_ints.values.schema.format = "l";
  EXPECT_FALSE(ArrowStrings::open(of_ints.schema, of_ints.array, &error));
  FakeViews views({"a string longer than twelve"});
  views.sizes[0] = 5;
  EXPECT_FALSE(ArrowStrings::open(views.schema, views.array, &error));
  EXPECT_EQ(error.message(), "malformed Arrow string_view array (a view outside its buffers)");
}

TrainConfig fed_config(PretokenizerKind kind, uint64_t threads, RunControl* control = nullptr) {
  TrainConfig config;
  config.pretokenizer = kind;
  config.threads = threads;
  config.control = control;
  return config;
}

TEST(FedCounting, FileBlocksCountAsTheFileAndTextsAsWholeTexts) {
  testing::TempDir dir;
  const std::string text = "one two  three\nfour \n five\tsix\n\nseven";
  const std::string path = dir.write("f.txt", text);
  for (PretokenizerKind kind : {PretokenizerKind::Whitespace, PretokenizerKind::ByteLevel}) {
    for (uint64_t threads : {1, 2, 4}) {
      TrainConfig config = fed_config(kind, threads);
      FedCounting counting(config);
      const std::string source = path;
      const size_t cut = text.find('\n') + 1;
      for (TextChunk chunk : {file_chunk(std::string_view(text).substr(0, cut), &source, 0),
                              file_chunk(std::string_view(text).substr(cut), &source, cut)}) {
        ASSERT_EQ(counting.send_for(chunk, 10s), SendStatus::Sent);
      }
      CountResult fed = counting.finish();
      ASSERT_TRUE(fed.status.ok());
      WordCounts want;
      testing::count_reference(text, kind, want);
      EXPECT_TRUE(testing::table_equals(fed.words, want));
    }
  }
}

TEST(FedCounting, ReportsBadUtf8WithTheTextNumberAndStopsTakingChunks) {
  TrainConfig config = fed_config(PretokenizerKind::ByteLevel, 2);
  FedCounting counting(config);
  ChunkBuilder builder(counting.chunk_bytes());
  builder.add_text("fine");
  builder.add_text("also fine");
  builder.add_text("bad \xFF here");
  TextChunk chunk = builder.take();
  ASSERT_EQ(counting.send_for(chunk, 10s), SendStatus::Sent);
  const CountResult result = counting.finish();
  ASSERT_FALSE(result.status.ok());
  EXPECT_EQ(result.status.message(),
            "input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 4 in text 2");
}

TEST(FedCounting, ACancelledRunThrowsCancelledAfterJoining) {
  RunControl control;
  TrainConfig config = fed_config(PretokenizerKind::Whitespace, 3, &control);
  FedCounting counting(config);
  control.cancel();
  ChunkBuilder builder(16);
  // The scanners stop at the next chunk; sends then fail or land in a queue
  // nobody reads, never block for good.
  for (int i = 0; i < 100; ++i) {
    builder.add_text("some words here");
    TextChunk chunk = builder.take();
    if (counting.send_for(chunk, 10ms) == SendStatus::Closed) break;
  }
  EXPECT_THROW(counting.finish(), Cancelled);
}

TEST(FedCounting, DestroyedWithoutFinishJoinsItsThreads) {
  TrainConfig config = fed_config(PretokenizerKind::Whitespace, 4);
  auto counting = std::make_unique<FedCounting>(config);
  ChunkBuilder builder(16);
  builder.add_text("a b");
  TextChunk chunk = builder.take();
  ASSERT_EQ(counting->send_for(chunk, 10s), SendStatus::Sent);
  counting.reset();  // must return: every thread joined
}

TEST(Training, ACancelledControlStopsTheMergeLoop) {
  WordTable words;
  words.push("abcdefgh", 5);
  words.push("bcdefghi", 3);
  RunControl control;
  TrainConfig config = fed_config(PretokenizerKind::Whitespace, 1, &control);
  config.vocab_size = 1000;
  const TrainResult full = train_from_borrowed_words(words, config);
  EXPECT_EQ(control.merges_done(), full.merges.size());
  EXPECT_GT(control.merges_target(), 0u);
  control.cancel();
  EXPECT_THROW(train_from_borrowed_words(words, config), Cancelled);
}

std::vector<std::string> pieces(void (*split)(std::string_view, std::vector<std::string>&),
                                std::string_view text) {
  std::vector<std::string> out;
  split(text, out);
  return out;
}

TEST(WholeTextSplit, DiffersFromLineSplitOnlyAcrossLineBreaks) {
  auto lines = [](std::string_view t, std::vector<std::string>& out) {
    split_bytelevel(t, [&](std::string_view p) { out.emplace_back(p); });
  };
  auto whole = [](std::string_view t, std::vector<std::string>& out) {
    split_bytelevel_text(t, [&](std::string_view p) { out.emplace_back(p); });
  };
  EXPECT_EQ(pieces(lines, "a \nb"), (std::vector<std::string>{"a", " \n", "b"}));
  EXPECT_EQ(pieces(whole, "a \nb"), (std::vector<std::string>{"a", " ", "\n", "b"}));
  EXPECT_EQ(pieces(whole, "x y"), pieces(lines, "x y"));
  auto gpt4_whole = [](std::string_view t, std::vector<std::string>& out) {
    split_gpt4_text(t, [&](std::string_view p) { out.emplace_back(p); });
  };
  // \s*[\r\n] takes the whole run up to its last line break.
  EXPECT_EQ(pieces(gpt4_whole, "a \n \nb"), (std::vector<std::string>{"a", " \n \n", "b"}));
}

}  // namespace
}  // namespace selkbar
