// pipeline.h: phase 1, counting the distinct pretokens of a list of files.
//
//   CountResult result = count_words({"a.txt", "b.txt"}, 8, PretokenizerKind::Whitespace);
//   if (!result.status.ok()) report(result.status.message());  // result.words is empty then
//   else train(std::move(result.words));
//
// The calling thread starts `threads` workers and waits. Each worker takes
// byte ranges of the files (cut on pretoken boundaries, reader.h) from a
// shared list and reads them itself into one buffer it reuses; it validates
// the text as UTF-8, splits it, hashes every pretoken and counts it in its own
// tables, one per partition of the hash space (owner_index(hash,
// partitions)), after a small table of the words it sees most often
// (local_counts.h). Nothing passes between workers while they count. Once
// all have ended, the partitions are merged in parallel, each by one thread:
// the counters the workers kept for it become one. Partitions hold disjoint
// words, so the result is their concatenation in partition order
// (combine_shards), re-spelled through byte_to_char in byte-level mode.
// At threads=1 one worker counts into one partition and nothing is merged.
//
// Failures:
//   - expected ones (a file that cannot be opened, sought or read, a path
//     that is not a regular file, text that is not UTF-8) are recorded in a
//     FirstError, and the first message recorded is returned in
//     CountResult::status (code InvalidInput). Workers take no new range or
//     chunk once one is recorded: the run fails anyway.
//   - a worker that throws does not end the process: its exception is caught
//     on its thread, the other workers stop taking work, and after every
//     thread has been joined count_words
//     throws std::bad_alloc if a worker ran out of memory, otherwise
//     InternalError "phase 1 worker thread panicked: {what}". Failing to
//     start a thread throws InternalError after joining the threads already
//     started.
// No thread outlives the call, on any path.
//
// Options come in through TrainConfig (min_range, diagnostics); nothing here
// reads the environment.
#ifndef SELKBAR_PIPELINE_H_
#define SELKBAR_PIPELINE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "threads/channel.h"
#include "config.h"
#include "counting/reader.h"
#include "stats.h"
#include "counts/wordtable.h"

namespace selkbar {

struct CountResult {
  WordTable words;
  Status status;  // not ok => words is empty and must be ignored
};

// Counts every distinct pretoken of `files` (paths used exactly as given; a
// path listed twice is read twice) on a budget of `threads` worker threads
// (0 counts as 1, above MAX_THREADS as MAX_THREADS).
// Reads config.files, threads, pretokenizer, min_range and diagnostics.
CountResult count_words(const TrainConfig& config);
// The same with the default minimum range and diagnostics off.
CountResult count_words(const std::vector<std::string>& files, uint64_t threads,
                        PretokenizerKind pretokenizer);

// ---- Sizing and range planning, exposed for tests. ----

// Partitions of the hash space at most: each worker keeps two batches per
// partition, so their count bounds a worker's buffers.
inline constexpr uint64_t MAX_PARTITIONS = 256;

// REQUIRES: 1 <= threads <= MAX_THREADS.
PipelineSizing compute_sizing(uint64_t total_bytes, uint64_t threads, uint64_t min_range);

struct ReadTask {
  std::string path;
  uint64_t start;  // inclusive
  uint64_t end;    // exclusive
};

// Appends the ranges of one file of `size` bytes: at most `ranges` of them,
// each at least `min_range` long unless the file is shorter, the last one
// absorbing the remainder. A file of size 0 gets none.
void plan_file_ranges(const std::string& path, uint64_t size, uint64_t ranges,
                      uint64_t min_range, std::vector<ReadTask>& tasks);

// ---- Test hooks: observe and inject faults into worker threads. ----

// What a worker is about to do.
enum class WorkStep {
  Range,  // read and count one file range
  Chunk,  // count one chunk of text, read from a range or sent by the caller
  Merge,  // merge the counters of one partition
};

struct Phase1Hooks {
  // Runs on a worker before each step; whatever it throws is treated as that
  // worker's failure.
  std::function<void(WorkStep)> before_step;
  // Runs as a worker thread's last action.
  std::function<void()> on_thread_exit;
  // Runs on the calling thread just before it starts each thread; whatever
  // it throws ends the call as a failure to start that thread would.
  std::function<void()> before_thread_start;
};

// count_words with hooks; count_words itself passes none.
CountResult count_words_with_hooks(const TrainConfig& config, const Phase1Hooks& hooks);
CountResult count_words_with_hooks(const std::vector<std::string>& files, uint64_t threads,
                                   PretokenizerKind pretokenizer, const Phase1Hooks& hooks);

class CountingRun;

// Phase 1 fed by the caller instead of by files: the caller builds
// TextChunks (of whole texts or of file text, see reader.h) and sends them;
// `config.threads` workers take them from the channel and count them as
// count_words does.
//
//   FedCounting counting(config);
//   TextChunk chunk = ...;                       // about chunk_bytes() long
//   while (counting.send_for(chunk, 100ms) == SendStatus::Timeout) {
//     if (interrupted()) return;                 // the destructor cleans up
//   }
//   CountResult result = counting.finish();
//
// The constructor starts the threads (throwing InternalError or
// ThreadStartError, with every thread started joined, if one cannot start).
// Memory in flight is bounded by the channel: send_for waits while it is
// full. send_for reports Closed once the workers have stopped (a worker
// failed, or config.control was cancelled); finish() then reports why.
// finish() joins every thread and returns the counts, or the first error,
// throwing like count_words (and Cancelled for a cancelled run). The
// destructor, without finish(), drops the channel and joins every thread.
// Not thread-safe: one thread uses the object.
class FedCounting {
 public:
  // Borrows config, which must outlive the object; copies hooks.
  explicit FedCounting(const TrainConfig& config, Phase1Hooks hooks = Phase1Hooks{});
  ~FedCounting();
  FedCounting(const FedCounting&) = delete;
  FedCounting& operator=(const FedCounting&) = delete;

  // The chunk size the pipeline is sized for.
  uint64_t chunk_bytes() const;
  // Sent: the chunk is queued and `chunk` is left empty. Timeout or Closed:
  // `chunk` is left with the caller.
  SendStatus send_for(TextChunk& chunk, std::chrono::milliseconds timeout);
  // Whether an error (bad UTF-8, a failed pattern match) has been found, so
  // that the caller can stop feeding a run that will fail anyway.
  bool failed();
  // REQUIRES: called once.
  CountResult finish();

 private:
  const Phase1Hooks hooks_;
  std::unique_ptr<CountingRun> run_;
  Sender<TextChunk> sender_;
};

}  // namespace selkbar

#endif  // SELKBAR_PIPELINE_H_
