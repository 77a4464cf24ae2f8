// Phase 1 against a hostile file system: files that change size or vanish
// between planning and reading or while they are read, reads that fail,
// and reads interrupted by signals. Each case must end in the right count or
// the documented message, with every thread joined.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "counting/pipeline.h"
#include "counting/reader.h"
#include "reference_count.h"
#include "test_files.h"

namespace selkbar {
namespace {

using testing::TempDir;
using testing::WordCounts;
constexpr auto WS = PretokenizerKind::Whitespace;

WordCounts reference(std::string_view text) {
  WordCounts counts;
  testing::count_reference(text, WS, counts);
  return counts;
}

// Words "w0 w1 w2 ..." separated by spaces and newlines, `bytes` long or a
// little more, ending with a newline.
std::string numbered_words(size_t bytes) {
  std::string text;
  for (size_t i = 0; text.size() < bytes; ++i) {
    text += "w" + std::to_string(i % 5000) + (i % 13 == 12 ? "\n" : " ");
  }
  return text + "\n";
}

// Runs `change` once, when the first range is taken, before any is read;
// every worker waits for it (call_once blocks concurrent callers).
Phase1Hooks before_first_read(std::function<void()> change) {
  auto once = std::make_shared<std::once_flag>();
  Phase1Hooks hooks;
  hooks.before_step = [once, change](WorkStep step) {
    if (step == WorkStep::Range) std::call_once(*once, change);
  };
  return hooks;
}

// ---- Between planning and reading ----

TEST(FileChangesAfterPlanning, ShrunkFileCountsWhatIsLeft) {
  TempDir dir;
  const std::string text = numbered_words(1 << 20);
  const std::string path = dir.write("corpus.txt", text);
  for (uint64_t threads : {1, 4, 16}) {
    dir.write("corpus.txt", text);
    // Cut in the middle of a word: the piece left is a word of its own.
    const size_t keep = text.size() / 3 + 1;
    ASSERT_NE(text[keep - 1], ' ');
    const CountResult result = count_words_with_hooks(
        {path}, threads, WS, before_first_read([&] { ASSERT_EQ(truncate(path.c_str(), keep), 0); }));
    ASSERT_TRUE(result.status.ok()) << result.status.message();
    EXPECT_TRUE(testing::table_equals(result.words, reference(text.substr(0, keep))))
        << "threads " << threads;
  }
}

TEST(FileChangesAfterPlanning, ShrunkToNothingCountsNothing) {
  TempDir dir;
  const std::string path = dir.write("corpus.txt", numbered_words(300000));
  const CountResult result = count_words_with_hooks(
      {path}, 8, WS, before_first_read([&] { ASSERT_EQ(truncate(path.c_str(), 0), 0); }));
  ASSERT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_EQ(result.words.len(), 0u);
}

TEST(FileChangesAfterPlanning, GrownFileCountsThePlannedBytesAndFinishesTheLastWord) {
  TempDir dir;
  for (const std::string& original : {numbered_words(200000), std::string("alpha beta gam")}) {
    const std::string path = dir.write("corpus.txt", original);
    const std::string appended = "ma delta epsilon\n";
    const CountResult result = count_words_with_hooks({path}, 4, WS, before_first_read([&] {
      std::FILE* file = std::fopen(path.c_str(), "ab");
      ASSERT_NE(file, nullptr);
      std::fwrite(appended.data(), 1, appended.size(), file);
      std::fclose(file);
    }));
    ASSERT_TRUE(result.status.ok()) << result.status.message();
    // The planned bytes, plus the rest of a word that crossed the old end.
    std::string want = original;
    if (want.back() != '\n') want += "ma";
    EXPECT_TRUE(testing::table_equals(result.words, reference(want)));
  }
}

TEST(FileChangesAfterPlanning, RemovedFileFailsWithTheOpeningMessage) {
  TempDir dir;
  const std::string first = dir.write("first.txt", numbered_words(100000));
  const std::string doomed = dir.write("doomed.txt", numbered_words(100000));
  const CountResult result = count_words_with_hooks(
      {first, doomed}, 4, WS, before_first_read([&] { ASSERT_EQ(unlink(doomed.c_str()), 0); }));
  ASSERT_FALSE(result.status.ok());
  EXPECT_EQ(result.status.message(), "opening " + doomed + ": No such file or directory");
  EXPECT_EQ(result.words.len(), 0u);
}

TEST(FileChangesAfterPlanning, FileReplacedByADirectoryFailsWithTheReadingMessage) {
  TempDir dir;
  const std::string path = dir.write("corpus.txt", numbered_words(100000));
  const CountResult result = count_words_with_hooks({path}, 2, WS, before_first_read([&] {
    ASSERT_EQ(unlink(path.c_str()), 0);
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  }));
  ASSERT_FALSE(result.status.ok());
  EXPECT_EQ(result.status.message(), "reading " + path + ": Is a directory");
}

// ---- While the file is being read ----

// Splits `text` at every prefix length the reader may have reached when the
// file changed: the result must equal the count of one of those prefixes.
::testing::AssertionResult counts_some_prefix(const WordTable& table, const std::string& text,
                                              size_t from, size_t chunk) {
  std::vector<size_t> candidates = {from, text.size()};
  for (size_t end = chunk; end < text.size(); end += chunk) {
    if (end > from) candidates.push_back(end);
  }
  for (size_t end : candidates) {
    if (testing::table_equals(table, reference(text.substr(0, end)))) {
      return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure() << "the " << table.len()
                                       << " words counted match no prefix of the file";
}

TEST(FileChangesWhileRead, ShrinkingMidReadCountsAConsistentPrefix) {
  TempDir dir;
  // One worker (threads 1) reads 8 MiB in 1 MiB steps; the first chunk it
  // counts truncates the file to 3 MiB while the worker is in it.
  const std::string text = numbered_words(8 << 20);
  const std::string path = dir.write("corpus.txt", text);
  const uint64_t chunk = compute_sizing(text.size(), 1, DEFAULT_MIN_RANGE).chunk;
  const size_t keep = 3 << 20;
  auto once = std::make_shared<std::once_flag>();
  Phase1Hooks hooks;
  hooks.before_step = [&, once](WorkStep step) {
    if (step == WorkStep::Chunk) {
      std::call_once(*once, [&] { ASSERT_EQ(truncate(path.c_str(), keep), 0); });
    }
  };
  const CountResult result = count_words_with_hooks({path}, 1, WS, hooks);
  ASSERT_TRUE(result.status.ok()) << result.status.message();
  EXPECT_TRUE(counts_some_prefix(result.words, text, keep, chunk));
}

TEST(FileChangesWhileRead, GrowingFileCountsTheLinesPresentWhenPlanned) {
  TempDir dir;
  const std::string text = numbered_words(4 << 20);
  const std::string path = dir.write("corpus.txt", text);
  std::atomic<bool> stop{false};
  // Appends one-word lines (one write each) while the file is planned and
  // read. A range reads past its end only to finish a word, so the lines
  // present when the size was taken are counted; at most the one being
  // written at that moment may be seen cut short.
  std::thread writer([&] {
    std::FILE* file = std::fopen(path.c_str(), "ab");
    for (int i = 0; i < 2000 && !stop; ++i) {
      std::fputs("appended\n", file);
      std::fflush(file);
    }
    std::fclose(file);
  });
  const CountResult result = count_words(std::vector<std::string>{path}, 8, WS);
  stop = true;
  writer.join();
  ASSERT_TRUE(result.status.ok()) << result.status.message();
  WordCounts want = reference(text);
  for (uint32_t id = 0; id < result.words.len(); ++id) {
    const std::string word(result.words.get(id));
    if (want.count(word)) continue;
    const bool whole = word == "appended";
    const bool cut_short = std::string("appended").starts_with(word) && result.words.count(id) == 1;
    ASSERT_TRUE(whole || cut_short) << "unexpected word " << word;
    want[word] = result.words.count(id);
  }
  EXPECT_TRUE(testing::table_equals(result.words, want));
}

// ---- Reads that fail ----

TEST(FailingReads, ReadErrorOfASpecialFileIsReported) {
  // /proc/self/mem opens, but reading its first page fails with EIO.
  auto [tx, rx] = make_channel<TextChunk>(4);
  EXPECT_EQ(read_range("/proc/self/mem", 0, 100, 64, WS, tx).message(),
            "reading /proc/self/mem: Input/output error");
  tx.reset();
  EXPECT_FALSE(rx.recv());
}

TEST(FailingReads, DanglingSymlinkFailsPlanningWithTheReadingMessage) {
  TempDir dir;
  const std::string link = dir.path() + "/dangling";
  ASSERT_EQ(symlink((dir.path() + "/nowhere").c_str(), link.c_str()), 0);
  const CountResult result = count_words(std::vector<std::string>{link}, 2, WS);
  ASSERT_FALSE(result.status.ok());
  EXPECT_EQ(result.status.message(), "reading " + link + ": No such file or directory");
}

// ---- Signals ----

std::atomic<uint64_t> signals_handled{0};
extern "C" void count_signal(int) { signals_handled.fetch_add(1, std::memory_order_relaxed); }

// A signal storm without SA_RESTART while phase 1 runs: every blocking call
// of every thread (open, read, channel waits, joins) may be interrupted and
// must be resumed without a trace in the result. Reads of local files are
// rarely interrupted by the kernel, so this checks the whole pipeline, not
// only the reader's EINTR loop.
TEST(InterruptedReads, SignalStormLeavesTheCountUnchanged) {
  struct sigaction action = {};
  action.sa_handler = count_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocking calls fail with EINTR
  struct sigaction old_action;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old_action), 0);

  TempDir dir;
  const std::string text = numbered_words(6 << 20);
  const std::string first = dir.write("a.txt", text);
  const std::string second = dir.write("b.txt", text.substr(0, 1 << 20));
  WordCounts want = reference(text);
  testing::count_reference(text.substr(0, 1 << 20), WS, want);

  std::atomic<bool> done{false};
  std::thread signaller([&] {
    while (!done) {
      kill(getpid(), SIGUSR1);  // any thread that does not block it
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  const uint64_t before = signals_handled.load();
  for (uint64_t threads : {1, 3, 8}) {
    const CountResult result = count_words({first, second}, threads, WS);
    ASSERT_TRUE(result.status.ok()) << result.status.message();
    EXPECT_TRUE(testing::table_equals(result.words, want)) << "threads " << threads;
  }
  done = true;
  signaller.join();
  sigaction(SIGUSR1, &old_action, nullptr);
  EXPECT_GT(signals_handled.load(), before + 10);
}

}  // namespace
}  // namespace selkbar
