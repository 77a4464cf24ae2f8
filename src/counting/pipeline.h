// pipeline.h: phase 1, counting the distinct pretokens of a list of files.
//
//   CountResult result = count_words({"a.txt", "b.txt"}, 8, PretokenizerKind::Whitespace);
//   if (!result.status.ok()) report(result.status.message());  // result.words is empty then
//   else train(std::move(result.words));
//
// The calling thread coordinates three pools of worker threads joined by
// bounded channels:
//   readers  -- TextChunk -->  scanners  -- PretokenBatch -->  owners
// Readers read byte ranges of the files cut on pretoken boundaries (reader.h);
// scanners validate each chunk as UTF-8, split it, hash every pretoken and
// route it to the owner of its shard, owner_index(hash, owners); each owner
// counts one shard in a ShardCounter. Shards hold disjoint words, so the
// result is their concatenation in owner order (combine_shards), re-spelled
// through byte_to_char in byte-level mode.
//
// Failures:
//   - expected ones (a file that cannot be opened, sought or read, a path
//     that is not a regular file, text that is not UTF-8) are recorded in a
//     FirstError; the pipeline still runs to its end and the first message
//     recorded is returned in CountResult::status (code InvalidInput).
//   - a worker that throws does not end the process: its exception is caught
//     on its thread, its channel ends are dropped so the others stop on their
//     own, and after every thread has been joined count_words throws
//     std::bad_alloc if a worker ran out of memory, otherwise InternalError
//     "phase 1 worker thread panicked: {what}". Failing to start a thread
//     throws InternalError after joining the threads already started.
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

inline constexpr uint64_t MAX_READERS = 8;
inline constexpr uint64_t OWNER_QUEUE = 4;


// REQUIRES: 1 <= threads <= MAX_THREADS.
PipelineSizing compute_sizing(uint64_t total_bytes, uint64_t threads, uint64_t min_range);

struct ReadTask {
  std::string path;
  uint64_t start;  // inclusive
  uint64_t end;    // exclusive
};

// Appends the ranges of one file of `size` bytes: at most `readers` of them,
// each at least `min_range` long unless the file is shorter, the last one
// absorbing the remainder. A file of size 0 gets none.
void plan_file_ranges(const std::string& path, uint64_t size, uint64_t readers,
                      uint64_t min_range, std::vector<ReadTask>& tasks);

// ---- Test hooks: observe and inject faults into worker threads. ----

enum class WorkerRole { Reader, Scanner, Owner };

struct Phase1Hooks {
  // Runs on a worker before it handles each item (a range, a chunk, a batch);
  // whatever it throws is treated as that worker's failure.
  std::function<void(WorkerRole)> before_item;
  // Runs as a worker thread's last action, after its channel ends are gone.
  std::function<void(WorkerRole)> on_thread_exit;
  // Runs on the calling thread just before it starts each worker; whatever it
  // throws ends the call as a failure to start that thread would.
  std::function<void(WorkerRole)> before_thread_start;
};

// count_words with hooks; count_words itself passes none.
CountResult count_words_with_hooks(const TrainConfig& config, const Phase1Hooks& hooks);
CountResult count_words_with_hooks(const std::vector<std::string>& files, uint64_t threads,
                                   PretokenizerKind pretokenizer, const Phase1Hooks& hooks);

class CountingRun;

// Phase 1 fed by the caller instead of by readers: the caller builds
// TextChunks (of whole texts or of file text, see reader.h) and sends them;
// owners and scanners count them on `config.threads` worker threads as
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
// full. send_for reports Closed once the scanners have stopped (a worker
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
