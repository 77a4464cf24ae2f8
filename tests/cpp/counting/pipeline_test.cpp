// Phase 1: sizing, range planning, error reporting, worker failures and the
// diagnostics it prints.
#include "counting/pipeline.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "base/error.h"
#include "reference_count.h"
#include "test_files.h"

namespace selkbar {
namespace {

using testing::TempDir;
using testing::WordCounts;
constexpr auto WS = PretokenizerKind::Whitespace;

TrainConfig config_of(const std::vector<std::string>& files, uint64_t threads, PretokenizerKind kind,
                      uint64_t min_range = DEFAULT_MIN_RANGE) {
  TrainConfig config;
  config.files = files;
  config.threads = threads;
  config.pretokenizer = kind;
  config.min_range = min_range;
  return config;
}

std::string sizing_row(const PipelineSizing& s) {
  return std::to_string(s.chunk) + " " + std::to_string(s.queue) + " " + std::to_string(s.batch) +
         " " + std::to_string(s.readers) + " " + std::to_string(s.scanners) + " " +
         std::to_string(s.owners);
}

TEST(PipelineSizing, FollowsTheFormulasAtTheirBounds) {
  const uint64_t m = DEFAULT_MIN_RANGE;
  EXPECT_EQ(sizing_row(compute_sizing(0, 1, m)), "65536 4 65536 1 1 1");
  EXPECT_EQ(sizing_row(compute_sizing(5242880, 2, m)), "327680 8 65536 1 2 1");
  EXPECT_EQ(sizing_row(compute_sizing(1073741824, 8, m)), "8388608 8 65536 8 8 3");
  EXPECT_EQ(sizing_row(compute_sizing(100000000, 16, m)), "781250 64 65536 1 16 6");
  EXPECT_EQ(sizing_row(compute_sizing(1099511627776ULL, 4096, m)), "8388608 8 4096 8 4096 1366");
  EXPECT_EQ(sizing_row(compute_sizing(0, 3, m)), "65536 12 65536 1 3 1");
  // A small minimum range lets up to min(t, 8) readers in.
  EXPECT_EQ(compute_sizing(1000, 64, 1).readers, 8u);
  EXPECT_EQ(compute_sizing(1000, 3, 1).readers, 3u);
  EXPECT_EQ(compute_sizing(1000, 64, 400).readers, 2u);
}

std::string plan(uint64_t size, uint64_t readers, uint64_t min_range) {
  std::vector<ReadTask> tasks;
  plan_file_ranges("f", size, readers, min_range, tasks);
  std::string out;
  for (const ReadTask& task : tasks) {
    out += "[" + std::to_string(task.start) + "," + std::to_string(task.end) + ")";
  }
  return out;
}

TEST(RangePlanning, CutsFilesIntoAtMostReadersRangesOfAtLeastTheMinimum) {
  EXPECT_EQ(plan(209715200, 8, DEFAULT_MIN_RANGE),
            "[0,69905066)[69905066,139810132)[139810132,209715200)");
  EXPECT_EQ(plan(0, 8, 1), "");
  EXPECT_EQ(plan(5, 8, 100), "[0,5)");
  EXPECT_EQ(plan(10, 3, 1), "[0,3)[3,6)[6,10)");
  EXPECT_EQ(plan(10, 8, 4), "[0,5)[5,10)");
  EXPECT_EQ(plan(10, 0, 1), "[0,10)");
}

// ---- Errors ----

TEST(PipelineErrors, MissingSecondFileStopsPlanningButTheFirstIsStillRead) {
  TempDir dir;
  const std::string first = dir.write("first", "one two two");
  const std::string second = dir.path() + "/missing";
  const std::string third = dir.write("third", "three");
  std::atomic<int> ranges{0}, chunks{0};
  Phase1Hooks hooks;
  hooks.before_item = [&](WorkerRole role) {
    if (role == WorkerRole::Reader) ++ranges;
    if (role == WorkerRole::Scanner) ++chunks;
  };
  CountResult result = count_words_with_hooks({first, second, third}, 4, WS, hooks);
  EXPECT_EQ(result.status.message(), "reading " + second + ": No such file or directory");
  EXPECT_EQ(result.words.len(), 0u);
  EXPECT_EQ(ranges.load(), 1);  // the first file only; the third is never read
  EXPECT_EQ(chunks.load(), 1);
}

TEST(PipelineErrors, DirectoriesAndFifosAreNotRegularFiles) {
  TempDir dir;
  const std::string good = dir.write("good", "fine words");
  const std::string subdir = dir.path() + "/sub/./";
  ASSERT_EQ(mkdir((dir.path() + "/sub").c_str(), 0700), 0);
  const std::string fifo = dir.path() + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string tail =
      " is not a regular file; pipes and process substitution are not supported because the "
      "reader seeks. Write the stream to a file first.";
  EXPECT_EQ(count_words({good, subdir}, 2, WS).status.message(), subdir + tail);
  EXPECT_EQ(count_words({fifo, good}, 2, WS).status.message(), fifo + tail);
}

TEST(PipelineErrors, PathWithNulByteIsRefusedNotTruncated) {
  TempDir dir;
  const std::string real = dir.write("real", "words that must not be read");
  const std::string with_nul = real + std::string("\0suffix", 7);
  EXPECT_EQ(count_words({with_nul}, 2, WS).status.message(), "reading " + with_nul + ": path contains a NUL byte");
}

TEST(PipelineErrors, InvalidUtf8ReportsItsOffsetInTheFileAndNamesIt) {
  TempDir dir;
  // With one thread and a file under 512 KiB the chunk size is 64 KiB: the
  // first chunk ends at the space at 65535, so the bad byte lies in the
  // second chunk; its offset is still counted from the start of the file.
  std::string text(65535, 'a');
  text += ' ';
  text += "valid words here ";
  const size_t bad = text.size();
  text += "x\xC3(y more text\n";
  const std::string path = dir.write("bad", text);
  CountResult result = count_words({path}, 1, WS);
  EXPECT_EQ(result.status.message(), "input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index " +
                              std::to_string(bad + 1) + " in " + path);
  EXPECT_EQ(result.words.len(), 0u);
}

TEST(PipelineErrors, FirstInvalidChunkRecordedWins) {
  TempDir dir;
  std::string text = "ok \xFF ";  // index 3 of the first chunk
  text += std::string(65536 - text.size() - 1, 'b') + " ";
  text += "second chunk \xE6\x97";  // incomplete at its end
  const std::string path = dir.write("bad", text);
  // One scanner takes the chunks in file order.
  EXPECT_EQ(count_words({path}, 1, WS).status.message(),
            "input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 3 in " + path);
  const std::string second = dir.write("second", "second chunk \xE6\x97");
  EXPECT_EQ(count_words({second}, 1, WS).status.message(),
            "input is not valid UTF-8: incomplete utf-8 byte sequence from index 13 in " + second);
}

TEST(PipelineErrors, EmptyInputsGiveAnEmptyTable) {
  TempDir dir;
  const std::string empty = dir.write("empty", "");
  const std::string blank = dir.write("blank", " \n\t ");
  for (const std::vector<std::string>& files :
       {std::vector<std::string>{}, {empty}, {empty, blank, empty}}) {
    CountResult result = count_words(files, 3, WS);
    EXPECT_TRUE(result.status.ok());
    EXPECT_EQ(result.words.len(), 0u);
    EXPECT_EQ(result.words.offsets(), std::vector<uint32_t>{0});
  }
}

TEST(PipelineCounts, SameFileTwiceCountsEveryWordTwiceAndThreadBudgetIsClamped) {
  TempDir dir;
  const std::string path = dir.write("f", "b a b\nc\xC2\xA0" "d");
  WordCounts want = {{"a", 2}, {"b", 4}, {"c", 2}, {"d", 2}};
  for (uint64_t threads : {0, 1, 5000}) {
    CountResult result = count_words({path, path}, threads, WS);
    ASSERT_TRUE(result.status.ok());
    EXPECT_TRUE(testing::table_equals(result.words, want)) << threads;
  }
}

TEST(PipelineCounts, ByteLevelWordsAreStoredRespelled) {
  TempDir dir;
  const std::string path = dir.write("f", "x A\nx A");
  CountResult result = count_words({path}, 2, PretokenizerKind::ByteLevel);
  ASSERT_TRUE(result.status.ok());
  // " A" is stored as U+0120 U+0041 and "\n" as U+010A.
  const WordCounts want = {{"x", 2}, {"\xC4\xA0" "A", 2}, {"\xC4\x8A", 1}};
  EXPECT_TRUE(testing::table_equals(result.words, want));
}

// ---- Worker failures ----

struct ThreadCensus {
  std::atomic<int> exited{0};
  Phase1Hooks hooks(std::function<void(WorkerRole)> before_item) {
    Phase1Hooks h;
    h.before_item = std::move(before_item);
    h.on_thread_exit = [this](WorkerRole) { ++exited; };
    return h;
  }
};

// Many small ranges keep the readers busy well after an owner has failed.
std::vector<std::string> busy_files(const TempDir& dir) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "word" + std::to_string(i % 977) + " ";
  return {dir.write("a", text), dir.write("b", text)};
}

TEST(PipelineFailures, WorkerInternalErrorSurfacesAfterEveryThreadHasEnded) {
  TempDir dir;
  const std::vector<std::string> files = busy_files(dir);
  for (WorkerRole failing : {WorkerRole::Owner, WorkerRole::Scanner, WorkerRole::Reader}) {
    ThreadCensus census;
    std::atomic<bool> thrown{false};
    const Phase1Hooks hooks = census.hooks([&](WorkerRole role) {
      if (role == WorkerRole::Reader) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (role == failing && !thrown.exchange(true)) throw InternalError("injected fault");
    });
    // t = 4: 4 scanners, 2 owners, 4 readers (each file has 4+ ranges).
    try {
      count_words_with_hooks(config_of(files, 4, WS, 4096), hooks);
      FAIL() << "no exception";
    } catch (const InternalError& error) {
      EXPECT_EQ(census.exited.load(), 10) << "threads still running when the error surfaced";
      EXPECT_STREQ(error.what(), "phase 1 worker thread panicked: injected fault");
    }
  }
}

TEST(PipelineFailures, WorkerOutOfMemoryIsRethrownAsBadAlloc) {
  TempDir dir;
  const std::vector<std::string> files = busy_files(dir);
  ThreadCensus census;
  std::atomic<int> batches{0};
  const Phase1Hooks hooks = census.hooks([&](WorkerRole role) {
    if (role == WorkerRole::Owner && ++batches == 3) throw std::bad_alloc();
    if (role == WorkerRole::Scanner && batches.load() == 0) {
      // Another failure of a different kind does not mask the memory one.
      static std::atomic<bool> once{false};
      if (!once.exchange(true)) throw std::runtime_error("other");
    }
  });
  EXPECT_THROW(count_words_with_hooks(files, 7, WS, hooks), std::bad_alloc);
  EXPECT_EQ(census.exited.load(), 7 + 3 + 1);
}

TEST(PipelineFailures, EveryScannerFailingLetsReadersStop) {
  TempDir dir;
  const std::vector<std::string> files = busy_files(dir);
  ThreadCensus census;
  const Phase1Hooks hooks = census.hooks([](WorkerRole role) {
    if (role == WorkerRole::Scanner) throw InternalError("scanner down");
  });
  // With every scanner gone readers see "scanners hung up" instead of
  // blocking on a full channel; the call still ends with the failure.
  EXPECT_THROW(count_words_with_hooks(config_of(files, 16, WS, 1000), hooks), InternalError);
  EXPECT_EQ(census.exited.load(), 16 + 6 + 8);
}

// The coordinator failing part-way through starting its workers must still
// release its channel ends and join everything it started, whichever pool
// it was filling.
TEST(PipelineFailures, FailingToStartAWorkerJoinsEveryThreadStarted) {
  TempDir dir;
  const std::vector<std::string> files = busy_files(dir);
  struct Case {
    WorkerRole role;
    int nth;           // which start of that role fails, from 1
    int started_before;  // threads running by then (owners, scanners, readers)
  };
  for (const Case c : {Case{WorkerRole::Owner, 1, 0}, Case{WorkerRole::Owner, 3, 2},
                       Case{WorkerRole::Scanner, 1, 3}, Case{WorkerRole::Scanner, 2, 4},
                       Case{WorkerRole::Reader, 1, 11}, Case{WorkerRole::Reader, 4, 14}}) {
    ThreadCensus census;
    std::atomic<int> started{0};
    int seen = 0;
    Phase1Hooks hooks = census.hooks(nullptr);
    hooks.before_thread_start = [&](WorkerRole role) {
      if (role == c.role && ++seen == c.nth) throw InternalError("cannot start");
      ++started;
    };
    // t = 8: 3 owners, 8 scanners, 8 readers.
    EXPECT_THROW(count_words_with_hooks(config_of(files, 8, WS, 4096), hooks), InternalError);
    EXPECT_EQ(started.load(), c.started_before);
    EXPECT_EQ(census.exited.load(), c.started_before);
  }
}

// ---- Diagnostics ----

TEST(PipelineStats, PrintsSizingAndSummaryOnlyWhenSwitchedOn) {
  TempDir dir;
  const std::string path = dir.write("f", "a b c\n");
  TrainConfig config = config_of({path}, 2, WS);
  config.diagnostics = diagnostics_from_env("0", "/usr/bin:/bin");
  ::testing::internal::CaptureStderr();
  count_words(config);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

  config.diagnostics = diagnostics_from_env("1", "/usr/bin:/bin");
  ::testing::internal::CaptureStderr();
  count_words(config);
  const std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(out.rfind("sizing: chunk=64KB queue=8 batch=64KB readers=1 scanners=2 owners=1\n"
                      "phase1 cpu-ms (summed across threads):\n  read ",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find(" over 1 readers\n  scan+hash "), std::string::npos) << out;
  EXPECT_NE(out.find(" over 1 owners\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace selkbar
