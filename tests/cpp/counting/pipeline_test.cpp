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

// The sizing's contract, over budgets and input sizes: every count at least
// one, buffers within their bounds, one partition exactly when there is one
// worker, and never more ranges per file than the input can give.
TEST(PipelineSizing, StaysWithinItsBoundsForEveryBudget) {
  for (uint64_t threads : {1, 2, 3, 8, 64, 4096}) {
    for (uint64_t bytes : {uint64_t{0}, uint64_t{1000}, uint64_t{5242880}, uint64_t{1} << 30, uint64_t{1} << 40}) {
      const PipelineSizing s = compute_sizing(bytes, threads, DEFAULT_MIN_RANGE);
      const std::string where = std::to_string(threads) + " threads, " + std::to_string(bytes) + " bytes";
      EXPECT_EQ(s.workers, threads) << where;
      EXPECT_EQ(s.partitions == 1, threads == 1) << where;
      EXPECT_LE(s.partitions, MAX_PARTITIONS) << where;
      EXPECT_GE(s.ranges, 1u) << where;
      EXPECT_LE(s.ranges, std::max<uint64_t>(bytes / DEFAULT_MIN_RANGE, 1)) << where;
      EXPECT_GE(s.chunk, 4096u) << where;
      EXPECT_GE(s.queue, 1u) << where;
      EXPECT_GE(s.batch, 4096u) << where;
    }
  }
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

TEST(RangePlanning, CutsFilesIntoAtMostTheGivenRangesOfAtLeastTheMinimum) {
  EXPECT_EQ(plan(209715200, 8, 67108864),
            "[0,69905066)[69905066,139810132)[139810132,209715200)");
  EXPECT_EQ(plan(0, 8, 1), "");
  EXPECT_EQ(plan(5, 8, 100), "[0,5)");
  EXPECT_EQ(plan(10, 3, 1), "[0,3)[3,6)[6,10)");
  EXPECT_EQ(plan(10, 8, 4), "[0,5)[5,10)");
  EXPECT_EQ(plan(10, 0, 1), "[0,10)");
}

// ---- Errors ----

TEST(PipelineErrors, MissingFileFailsTheRunBeforeAnythingIsRead) {
  TempDir dir;
  const std::string first = dir.write("first", "one two two");
  const std::string second = dir.path() + "/missing";
  const std::string third = dir.write("third", "three");
  std::atomic<int> ranges{0};
  Phase1Hooks hooks;
  hooks.before_step = [&](WorkStep step) { ranges += step == WorkStep::Range; };
  CountResult result = count_words_with_hooks({first, second, third}, 4, WS, hooks);
  EXPECT_EQ(result.status.message(), "reading " + second + ": No such file or directory");
  EXPECT_EQ(result.words.len(), 0u);
  EXPECT_EQ(ranges.load(), 0);  // the run fails anyway: nothing is worth reading
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
  // One worker reads the file in order.
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
  std::atomic<int> started{0};
  std::atomic<int> exited{0};
  Phase1Hooks hooks(std::function<void(WorkStep)> before_step) {
    Phase1Hooks h;
    h.before_step = std::move(before_step);
    h.before_thread_start = [this] { ++started; };
    h.on_thread_exit = [this] { ++exited; };
    return h;
  }
};

// Many small ranges keep the workers busy well after one has failed.
std::vector<std::string> busy_files(const TempDir& dir) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "word" + std::to_string(i % 977) + " ";
  return {dir.write("a", text), dir.write("b", text)};
}

// A failure while counting or while merging, of either kind, on any of the
// budgets: the call throws only once every thread it started has ended, and
// memory running out stays std::bad_alloc even beside another failure.
TEST(PipelineFailures, WorkerFailuresSurfaceAfterEveryThreadHasEnded) {
  TempDir dir;
  const std::vector<std::string> files = busy_files(dir);
  for (WorkStep failing : {WorkStep::Range, WorkStep::Merge}) {
    for (uint64_t threads : {2, 4}) {
      ThreadCensus census;
      std::atomic<bool> thrown{false};
      std::atomic<int> ranges{0};
      const Phase1Hooks hooks = census.hooks([&](WorkStep step) {
        ranges += step == WorkStep::Range;
        if (step == failing && !thrown.exchange(true)) throw InternalError("injected fault");
        // Once the fault is thrown, a worker in a range waits until the
        // failing thread has ended (which it does only after flagging its
        // failure), so however the threads are scheduled, what it may take
        // next is decided by the flag alone.
        if (failing == WorkStep::Range && step == WorkStep::Range && thrown) {
          const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
          while (census.exited.load() == 0 && std::chrono::steady_clock::now() < until) {
            std::this_thread::yield();
          }
        }
      });
      try {
        count_words_with_hooks(config_of(files, threads, WS, 4096), hooks);
        ADD_FAILURE() << "no exception";
      } catch (const InternalError& error) {
        EXPECT_STREQ(error.what(), "phase 1 worker thread panicked: injected fault");
      }
      EXPECT_GT(census.started.load(), 0);
      EXPECT_EQ(census.exited.load(), census.started.load()) << "threads still running";
      // Each file has dozens of ranges; once one worker has failed, the
      // others finish the range they are in and take no other.
      if (failing == WorkStep::Range) EXPECT_LE(ranges.load(), static_cast<int>(2 * threads));
    }
  }
  // Two workers fail at once, one for lack of memory: both wait until the
  // other has taken its first range too, so neither stops the other first.
  ThreadCensus census;
  std::atomic<int> ranges{0};
  const Phase1Hooks hooks = census.hooks([&](WorkStep step) {
    if (step != WorkStep::Range) return;
    const int nth = ++ranges;
    if (nth > 2) return;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ranges.load() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    if (nth == 1) throw std::runtime_error("other");
    throw std::bad_alloc();
  });
  EXPECT_THROW(count_words_with_hooks(config_of(files, 2, WS, 4096), hooks), std::bad_alloc);
  EXPECT_EQ(census.exited.load(), census.started.load());
}

// The caller failing part-way through starting the workers or the merging
// threads must still join everything it started.
TEST(PipelineFailures, FailingToStartAThreadJoinsEveryThreadStarted) {
  TempDir dir;
  const std::vector<std::string> files = busy_files(dir);
  // t = 4: 4 workers, then 4 merging threads.
  for (int nth : {1, 3, 5, 8}) {
    ThreadCensus census;
    Phase1Hooks hooks = census.hooks(nullptr);
    int seen = 0;
    hooks.before_thread_start = [&] {
      if (++seen == nth) throw InternalError("cannot start");
      ++census.started;
    };
    EXPECT_THROW(count_words_with_hooks(config_of(files, 4, WS, 4096), hooks), InternalError);
    EXPECT_EQ(census.started.load(), nth - 1);
    EXPECT_EQ(census.exited.load(), nth - 1);
  }
}

// A fed run whose workers fail reports Closed to the caller instead of
// letting it block on a full channel, and finish() reports the failure.
TEST(PipelineFailures, FedRunWhoseWorkersFailClosesTheChannel) {
  TrainConfig config;
  config.threads = 3;
  Phase1Hooks hooks;
  hooks.before_step = [](WorkStep step) {
    if (step == WorkStep::Chunk) throw InternalError("worker down");
  };
  FedCounting counting(config, hooks);
  SendStatus status = SendStatus::Sent;
  for (int i = 0; i < 1000 && status != SendStatus::Closed; ++i) {
    ByteBuffer bytes;
    bytes.append(reinterpret_cast<const uint8_t*>("a b c "), 6);
    TextChunk chunk(std::move(bytes));
    status = counting.send_for(chunk, std::chrono::milliseconds(100));
  }
  EXPECT_EQ(status, SendStatus::Closed);
  EXPECT_THROW(counting.finish(), InternalError);
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
  EXPECT_EQ(out.rfind("sizing: ", 0), 0u) << out;
  EXPECT_NE(out.find("phase1 cpu-ms (summed across threads):\n"), std::string::npos) << out;
}

}  // namespace
}  // namespace selkbar
