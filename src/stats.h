// stats.h: diagnostics switched on by the environment variable SELKBAR_STATS.
//
// The entry point reads the switch once into a Diagnostics value
// (config.h); everything here takes that value instead of looking at the
// environment. With the switch off nothing is written, no worker thread reads
// a clock and no child process is started. With it on, the calling thread of a training
// call (never a worker) writes to standard error:
//   the phase-1 sizing line, the phase-1 time summary, "rss after ..." lines
//   and the phase-2 lap lines.
// Diagnostics never change a training result and never report an error.
#ifndef SELKBAR_STATS_H_
#define SELKBAR_STATS_H_

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config.h"

namespace selkbar {

// Monotonic clock in nanoseconds, and the time since `start` (0 if the clock
// reads earlier than start).
uint64_t monotonic_ns();
uint64_t elapsed_ns_since(uint64_t start);

// Shared timing record of one phase-1 call; scanners and owners add to it
// with relaxed atomic additions, the coordinator reads it after joining them.
struct Phase1Stats {
  std::atomic<uint64_t> read_ns{0};          // reading files
  std::atomic<uint64_t> scan_hash_ns{0};     // validating, splitting, hashing, the small tables
  std::atomic<uint64_t> recv_blocked_ns{0};  // waiting for the caller's chunks
  std::atomic<uint64_t> insert_ns{0};        // counting batches in the partition counters
  std::atomic<uint64_t> merge_ns{0};         // merging each partition's counters

  static void add(std::atomic<uint64_t>& counter, uint64_t ns) {
    counter.fetch_add(ns, std::memory_order_relaxed);
  }
};

// The sizes of one phase-1 call's threads and buffers, computed by the
// pipeline (compute_sizing) and printed here.
struct PipelineSizing {
  uint64_t chunk;       // bytes per read step
  uint64_t queue;       // capacity of the channel of the caller's chunks
  uint64_t batch;       // bytes a worker collects per partition before counting them
  uint64_t ranges;      // most ranges per file
  uint64_t workers;     // worker threads
  uint64_t partitions;  // partitions of the hash space
};

// "sizing: chunk={}KB queue={} batch={}KB ranges={} workers={} partitions={}\n"
std::string format_sizing_line(const PipelineSizing& sizing);
// The summary lines, each ending with "\n".
std::string format_phase1_summary(const Phase1Stats& stats, const PipelineSizing& sizing);
// Nanoseconds as milliseconds rounded to a whole number, ties to even.
uint64_t ns_to_rounded_ms(uint64_t ns);
// "1.50s", "12.35ms", "7.00µs", "42.00ns": two decimals, rounded half up.
std::string format_duration(uint64_t ns);
// The text of "ps -o rss= -p PID" as kibibytes, if it is exactly one number
// (surrounded by White_Space at most).
std::optional<uint64_t> parse_rss_kib(std::string_view ps_output);
// "rss after {label}: {MB} MB\n"
std::string format_rss_line(std::string_view label, uint64_t kib);

// Writes `text` to standard error in one call.
void write_stderr(std::string_view text);

// Writes "rss after {label}: {MB} MB" when diagnostics are on and "ps"
// (looked up in diagnostics.search_path) answers with a number; otherwise
// does nothing.
void report_rss(const Diagnostics& diagnostics, std::string_view label);

// Phase-2 lap timer: lap() writes "  phase2 {label}: {duration}" with the
// time since the previous lap (or construction) when diagnostics are on.
class PhaseTimer {
 public:
  explicit PhaseTimer(const Diagnostics& diagnostics)
      : enabled_(diagnostics.enabled), lap_start_ns_(monotonic_ns()) {}
  void lap(std::string_view label);

 private:
  bool enabled_;
  uint64_t lap_start_ns_;
};

}  // namespace selkbar

#endif  // SELKBAR_STATS_H_
