// run_control.h: how the caller of a training run stops it and watches it.
//
//   RunControl control;
//   config.control = &control;
//   std::thread run([&] { result = count_words(config); });  // engine
//   ...                                                      // caller
//   control.cancel();          // e.g. on Ctrl-C: the run ends early
//   draw(control.bytes_scanned(), control.merges_done());    // progress
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

namespace selkbar {

// Where a run is, for the progress display.
// Encoding: evaluating models on counted words, where the merge figures
// count the models done of merges_target.
enum class RunStage : uint8_t { Counting = 0, Merging = 1, Encoding = 2 };

class RunControl {
 public:
  void cancel() { cancelled_.store(true, std::memory_order_relaxed); }
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

}  // namespace selkbar

#endif  // SELKBAR_RUN_CONTROL_H_
