// run_control.h: how the caller of a training run stops it and watches it.
//
//   RunControl control;
//   config.control = &control;
//   std::thread run([&] { result = count_words(config); });  // engine
//   ...                                                      // caller
//   control.cancel();          // e.g. on Ctrl-C: the run ends early
//   draw(control.bytes_scanned(), control.merges_done());    // progress
//
// A run that writes files commits first (commit_or_stop): from then on a
// cancel no longer takes, so a caller that cancels is never told the run
// stopped when its files were in fact written. A caller that decides to
// cancel by running something, such as signal handlers, does it through
// cancel_if, which skips the decision once the run has committed.
//
// The engine polls cancelled() at points a few milliseconds apart: a
// counting worker before each chunk, the trainer every few thousand words while it
// builds its initial state and before each merge. A run that sees it set
// stops its threads, joins them and throws Cancelled; nothing it would have
// written is written. The figures are plain counters, stored with relaxed
// atomics by the engine and read at any time by the caller: they are for
// display only and never feed back into the result.
//
// Thread safety: every member may be used from any thread at once.
#ifndef SELKBAR_RUN_CONTROL_H_
#define SELKBAR_RUN_CONTROL_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <mutex>

namespace selkbar {

// Where a run is, for the progress display.
// Encoding: evaluating models on counted words, where the merge figures
// count the models done of merges_target.
enum class RunStage : uint8_t { Counting = 0, Merging = 1, Encoding = 2 };

class RunControl {
 public:
  void cancel() {
    cancel_if([] { return true; });
  }
  // Runs `decide` and cancels the run if it returns true, unless the run
  // has committed, in which case `decide` is not run at all. Returns
  // whether the run was cancelled.
  template <class Decide>
  bool cancel_if(Decide&& decide) {
    std::scoped_lock lock(commit_mutex_);
    if (committed_ || !decide()) return false;
    cancelled_.store(true, std::memory_order_relaxed);
    return true;
  }
  // Returns false if the run was cancelled; otherwise no later cancel takes.
  bool commit() {
    std::scoped_lock lock(commit_mutex_);
    if (cancelled_.load(std::memory_order_relaxed)) return false;
    committed_ = true;
    return true;
  }
  bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

  RunStage stage() const { return stage_.load(std::memory_order_relaxed); }
  // Also notes when merging started, on the steady clock.
  void set_stage(RunStage stage) {
    if (stage != RunStage::Counting) {
      merging_started_ns_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                    std::chrono::steady_clock::now().time_since_epoch())
                                    .count(),
                                std::memory_order_relaxed);
    }
    stage_.store(stage, std::memory_order_relaxed);
  }
  std::chrono::steady_clock::time_point merging_started() const {
    return std::chrono::steady_clock::time_point(
        std::chrono::nanoseconds(merging_started_ns_.load(std::memory_order_relaxed)));
  }

  // Phase 1: input bytes split so far, of bytes_total (0 when unknown).
  uint64_t bytes_scanned() const { return bytes_scanned_.load(std::memory_order_relaxed); }
  void add_bytes_scanned(uint64_t n) { bytes_scanned_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t bytes_total() const { return bytes_total_.load(std::memory_order_relaxed); }
  void set_bytes_total(uint64_t n) { bytes_total_.store(n, std::memory_order_relaxed); }

  // Phase 2: merges done so far, of at most merges_target.
  uint64_t merges_done() const { return merges_done_.load(std::memory_order_relaxed); }
  void set_merges_done(uint64_t n) { merges_done_.store(n, std::memory_order_relaxed); }
  uint64_t merges_target() const { return merges_target_.load(std::memory_order_relaxed); }
  void set_merges_target(uint64_t n) { merges_target_.store(n, std::memory_order_relaxed); }

 private:
  std::atomic<bool> cancelled_{false};
  std::mutex commit_mutex_;  // orders a cancel and the commit
  bool committed_ = false;   // guarded by commit_mutex_
  std::atomic<RunStage> stage_{RunStage::Counting};
  std::atomic<uint64_t> bytes_scanned_{0};
  std::atomic<uint64_t> bytes_total_{0};
  std::atomic<uint64_t> merges_done_{0};
  std::atomic<uint64_t> merges_target_{0};
  std::atomic<int64_t> merging_started_ns_{0};
};

// Thrown by a run that saw its control cancelled, once its threads are
// joined.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the run was cancelled"; }
};

// Throws Cancelled if `control` (which may be null) is cancelled.
inline void stop_if_cancelled(const RunControl* control) {
  if (control != nullptr && control->cancelled()) throw Cancelled();
}

// Commits `control`'s run (which may be null) before a step that cannot be
// undone; throws Cancelled if the run was cancelled.
inline void commit_or_stop(RunControl* control) {
  if (control != nullptr && !control->commit()) throw Cancelled();
}

}  // namespace selkbar

#endif  // SELKBAR_RUN_CONTROL_H_
