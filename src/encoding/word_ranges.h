// word_ranges.h: runs a job over the distinct words of a table in
// contiguous ranges, one per thread of a budget.
//
//   run_over_word_ranges(words.len(), threads, control,
//                        [&](size_t part, uint32_t begin, uint32_t end) { ... });
//
// The words [0, word_count) are cut into `parts` ranges of nearly equal
// size, in order, part p being the p-th; at most `threads` parts, and fewer
// when the ranges would be too short to be worth a thread. Part 0 runs on
// the calling thread, the others on helpers started for this call and joined
// before it returns, on every path. The job polls the control itself
// through poll_word_cancel(); a part that throws does not stop the others,
// and the failure of the lowest-numbered part is rethrown once all have
// ended (fork_join.h).
#ifndef SELKBAR_WORD_RANGES_H_
#define SELKBAR_WORD_RANGES_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "config.h"
#include "threads/fork_join.h"
#include "threads/run_control.h"

namespace selkbar {

// Fewer words than this per range are done by fewer threads: starting a
// thread costs about as much as encoding a few thousand distinct words.
inline constexpr uint32_t MIN_WORDS_PER_RANGE = 4096;

// Throws Cancelled if the control is cancelled, looking every few thousand
// words (a millisecond or so of encoding).
inline void poll_word_cancel(const RunControl* control, uint32_t word) {
  if ((word & 4095u) == 0) stop_if_cancelled(control);
}

inline size_t word_range_parts(size_t word_count, uint64_t threads) {
  const uint64_t budget = std::clamp<uint64_t>(threads, 1, MAX_THREADS);
  return static_cast<size_t>(std::clamp<uint64_t>(word_count / MIN_WORDS_PER_RANGE, 1, budget));
}

template <typename Job>
void run_over_word_ranges(size_t word_count, size_t parts, Job&& job) {
  auto run_part = [&](size_t part) {
    const auto begin = static_cast<uint32_t>(uint64_t{word_count} * part / parts);
    const auto end = static_cast<uint32_t>(uint64_t{word_count} * (part + 1) / parts);
    job(part, begin, end);
  };
  if (parts <= 1) {
    run_part(0);
    return;
  }
  ForkJoin crew(parts - 1, "encode");
  // A helper that cannot start is done without; its range then goes to a
  // part that did start, so the parts cover the words whatever starts.
  const size_t running = crew.parts_for(parts);
  crew.run(running, [&](size_t slot) {
    for (size_t part = slot; part < parts; part += running) run_part(part);
  });
}

}  // namespace selkbar

#endif  // SELKBAR_WORD_RANGES_H_
