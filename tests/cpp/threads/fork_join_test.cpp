// The fork-join crew: every part of every job runs once, part 0 on the
// caller, whether the helpers are still awake or asleep when it comes;
// failures come back in part order after all parts ended; helpers start only
// when asked for, stop using the processor between jobs and are gone with
// their owner.
#include "threads/fork_join.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <random>
#include <thread>
#include <vector>

namespace selkbar {
namespace {

size_t thread_count() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
}

TEST(ForkJoin, EveryPartOfEveryJobRunsOnceAndPartZeroOnTheCaller) {
  ForkJoin crew(3, "test");
  const std::thread::id caller = std::this_thread::get_id();
  for (size_t wanted : {4, 1, 2, 9, 3, 4, 2}) {
    const size_t parts = crew.parts_for(wanted);
    ASSERT_EQ(parts, std::min<size_t>(wanted, 4));
    std::vector<int> runs(parts, 0);  // each part writes its own slot
    std::vector<std::thread::id> ran_on(parts);
    crew.run(parts, [&](size_t part) {
      ++runs[part];
      ran_on[part] = std::this_thread::get_id();
    });
    EXPECT_EQ(runs, std::vector<int>(parts, 1));
    EXPECT_EQ(ran_on[0], caller);
    const std::set<std::thread::id> distinct(ran_on.begin(), ran_on.end());
    EXPECT_EQ(distinct.size(), parts);
  }
}

double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

TEST(ForkJoin, JobsReachHelpersAwakeOrAsleepAndIdleHelpersGiveTheProcessorBack) {
  ForkJoin crew(2, "test");
  ASSERT_EQ(crew.parts_for(3), 3u);
  // Pauses from none to well past the time helpers wait awake, so that jobs
  // arrive while they wait, while they fall asleep and once they sleep; a
  // lost wake-up would hang here.
  std::mt19937 rng(5);
  std::atomic<uint64_t> sum{0};
  for (int job = 0; job < 3000; ++job) {
    if (job % 3 != 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
    crew.run(3, [&](size_t part) { sum.fetch_add(part + 1, std::memory_order_relaxed); });
  }
  EXPECT_EQ(sum.load(), 3000u * 6);
  // Between jobs the helpers sleep: the idle process uses next to no time.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const double before = process_cpu_seconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(process_cpu_seconds() - before, 0.05);
}

TEST(ForkJoin, HelpersStartWhenAskedForAndEndWithTheirOwner) {
  const size_t before = thread_count();
  {
    ForkJoin crew(2, "test");
    EXPECT_EQ(crew.parts_for(1), 1u);
    crew.run(1, [](size_t) {});
    EXPECT_EQ(thread_count(), before);
    EXPECT_EQ(crew.parts_for(8), 3u);
    EXPECT_EQ(thread_count(), before + 2);
  }
  EXPECT_EQ(thread_count(), before);

  ForkJoin alone(0, "test");
  EXPECT_EQ(alone.parts_for(5), 1u);
  bool ran = false;
  alone.run(1, [&](size_t part) { ran = part == 0; });
  EXPECT_TRUE(ran);
  EXPECT_EQ(thread_count(), before);
}

TEST(ForkJoin, LowestFailingPartIsRethrownAfterEveryPartEnded) {
  ForkJoin crew(3, "test");
  ASSERT_EQ(crew.parts_for(4), 4u);
  std::atomic<int> ended{0};
  try {
    crew.run(4, [&](size_t part) {
      if (part == 3) {
        // The slowest part: run must still wait for it.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ++ended;
        return;
      }
      ++ended;
      if (part >= 1) throw std::runtime_error("part " + std::to_string(part));
    });
    FAIL() << "run did not rethrow";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "part 1");
  }
  EXPECT_EQ(ended.load(), 4);

  // The caller's own failure comes first; the crew keeps working afterwards.
  EXPECT_THROW(crew.run(2, [](size_t part) { throw std::logic_error(std::to_string(part)); }),
               std::logic_error);
  std::atomic<int> runs{0};
  crew.run(4, [&](size_t) { ++runs; });
  EXPECT_EQ(runs.load(), 4);
}

}  // namespace
}  // namespace selkbar
