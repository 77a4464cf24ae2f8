// A cancel and the commit before a run writes its files exclude each other:
// whichever comes first wins, the other does nothing, even when they race.
#include "threads/run_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace selkbar {
namespace {

TEST(RunControl, CancelAndCommitExcludeEachOther) {
  for (int round = 0; round < 2000; ++round) {
    RunControl control;
    std::atomic<bool> go{false};
    bool committed = false;
    std::thread writer([&] {
      while (!go.load()) {
      }
      committed = control.commit();
    });
    bool decided = false;
    go.store(true);
    const bool cancelled = control.cancel_if([&] {
      decided = true;
      return true;
    });
    writer.join();
    ASSERT_NE(committed, cancelled) << "round " << round;
    // The decision (a signal handler) runs only while a cancel can still take.
    ASSERT_EQ(decided, cancelled) << "round " << round;
    ASSERT_EQ(control.cancelled(), cancelled) << "round " << round;
    control.cancel();  // too late once committed
    ASSERT_EQ(control.cancelled(), !committed) << "round " << round;
  }
}

}  // namespace
}  // namespace selkbar
