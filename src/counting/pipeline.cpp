#include "counting/pipeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <new>

#include "counting/batch.h"
#include "pretokenize/bytelevel.h"
#include "threads/channel.h"
#include "counting/counter.h"
#include "base/error.h"
#include "base/first_error.h"
#include "base/fxhash.h"
#include "base/huge_pages.h"
#include "counting/local_counts.h"
#include "pretokenize/tiktoken_split.h"
#include "base/os_text.h"
#include "pretokenize/pattern_split.h"
#include "counting/reader.h"
#include "threads/run_control.h"
#include "pretokenize/split.h"
#include "stats.h"
#include "unicode/utf8.h"
#include "threads/worker_group.h"

namespace selkbar {

PipelineSizing compute_sizing(uint64_t total_bytes, uint64_t threads, uint64_t min_range) {
  const uint64_t t = threads;
  PipelineSizing s;
  // A read step small enough that the text is still in the core's cache
  // when the worker splits it, large enough that a read call costs nothing.
  s.chunk = std::min<uint64_t>(std::max<uint64_t>(total_bytes / (8 * t), 65536), 1048576);
  s.queue = std::min<uint64_t>(67108864 / s.chunk, 4 * t);
  // Many ranges per worker, taken in turn: a worker that runs slower takes
  // fewer, and the last ones to finish are short, so the workers end close
  // together.
  s.ranges = std::max<uint64_t>(std::min<uint64_t>(total_bytes / std::max<uint64_t>(min_range, 1), 16 * t), 1);
  s.workers = t;
  // More partitions than threads, so that merging them balances; one when
  // there is nothing to merge.
  s.partitions = t == 1 ? 1 : std::min<uint64_t>(4 * t, MAX_PARTITIONS);
  // A worker holds two batches per partition (single and counted words).
  s.batch = std::min<uint64_t>(std::max<uint64_t>(1048576 / s.partitions, 4096), 65536);
  return s;
}

void plan_file_ranges(const std::string& path, uint64_t size, uint64_t ranges,
                      uint64_t min_range, std::vector<ReadTask>& tasks) {
  if (size == 0) return;
  min_range = std::max<uint64_t>(min_range, 1);
  uint64_t n = std::min<uint64_t>(std::max<uint64_t>(ranges, 1), size / min_range);
  if (size < min_range) n = 1;
  const uint64_t step = size / n;
  for (uint64_t k = 0; k < n; ++k) {
    tasks.push_back(ReadTask{path, k * step, k + 1 == n ? size : (k + 1) * step});
  }
}

namespace {

using SharedChunkReceiver = SharedReceiver<TextChunk>;

// stat() following links; a failure is "reading {path}: {reason}".
Status query_metadata(const std::string& path, struct stat* info) {
  if (holds_nul(path)) return Status::InvalidInput("reading " + path + ": " + NUL_IN_PATH);
  if (stat(path.c_str(), info) != 0) {
    const int error = errno;
    return Status::InvalidInput("reading " + path + ": " + os_error_text(error), error);
  }
  return Status();
}

// "input is not valid UTF-8: {description}", the index counted from the start
// of the file and the file named when there is one.
std::string invalid_utf8_in_file(Utf8Error error, const std::string* source, uint64_t offset) {
  error.valid_up_to += offset;
  std::string message = "input is not valid UTF-8: " + describe_utf8_error(error);
  if (source != nullptr) message += " in " + *source;
  return message;
}

// "input is not valid UTF-8: {description}" for whole texts: the index is
// counted from the start of the text that holds the error, and the text is
// named by its number in the caller's stream.
std::string invalid_utf8_in_texts(Utf8Error error, const TextChunk& chunk) {
  const std::vector<size_t>& ends = chunk.text_ends();
  const auto holder = std::upper_bound(ends.begin(), ends.end(), error.valid_up_to);
  const size_t index = static_cast<size_t>(holder - ends.begin());
  const size_t text_start = index == 0 ? 0 : ends[index - 1];
  error.valid_up_to -= text_start;
  return "input is not valid UTF-8: " + describe_utf8_error(error) + " in text " +
         std::to_string(chunk.first_text() + index);
}

// Splits a chunk of whole texts one text at a time.
template <typename SplitText, typename Sink>
void split_texts(const TextChunk& chunk, SplitText& split_text, Sink& sink) {
  const std::string_view text = chunk.text();
  size_t start = 0;
  for (const size_t end : chunk.text_ends()) {
    if (end > start) split_text(text.substr(start, end - start), sink);
    start = end;
  }
}

// One worker's counts: a counter per partition, the batches that feed them,
// and the small table of frequent words in front of both. Used by one
// thread.
class WorkerCounts {
 public:
  WorkerCounts(uint64_t partitions, uint64_t batch_bytes, bool timed)
      : route_(partitions),
        parts_(partitions),
        batches_(partitions),
        counted_(partitions),
        batch_bytes_(batch_bytes),
        timed_(timed) {}

  // Allocates the small table; a worker that never gets text costs nothing.
  void prepare() { local_.prepare(); }

  [[gnu::always_inline]] void add(std::string_view pretoken, uint64_t hash) {
    if (local_.add(pretoken, hash, HandOn{this})) return;
    const size_t part = route_(hash);
    PretokenBatch& batch = batches_[part];
    batch.push(pretoken, hash);
    if (batch.byte_size() >= batch_bytes_) count_batch(batch, part);
  }

  // Counts what the small table and the batches still hold, and frees them.
  void finish() {
    local_.drain(HandOn{this});
    for (size_t part = 0; part < parts_.size(); ++part) {
      if (batches_[part].len() != 0) count_batch(batches_[part], part);
      if (counted_[part].len() != 0) count_batch(counted_[part], part);
    }
    std::vector<PretokenBatch>().swap(batches_);
    std::vector<PretokenBatch>().swap(counted_);
  }

  ShardCounter& part(size_t index) { return parts_[index]; }
  // Time spent counting batches so far, when timed.
  uint64_t insert_ns() const { return insert_ns_; }

 private:
  // Takes the words the small table hands back, with their counts.
  struct HandOn {
    WorkerCounts* counts;
    void operator()(std::string_view word, uint64_t hash, uint64_t count) const {
      const size_t part = counts->route_(hash);
      PretokenBatch& batch = counts->counted_[part];
      batch.push_counted(word, hash, count);
      if (batch.byte_size() >= counts->batch_bytes_) counts->count_batch(batch, part);
    }
  };

  [[gnu::noinline]] void count_batch(PretokenBatch& batch, size_t part) {
    const uint64_t t0 = timed_ ? monotonic_ns() : 0;
    parts_[part].add_batch(batch);
    batch.clear();
    if (timed_) insert_ns_ += elapsed_ns_since(t0);
  }

  const OwnerRouter route_;
  std::vector<ShardCounter> parts_;
  std::vector<PretokenBatch> batches_;
  std::vector<PretokenBatch> counted_;  // words the small table handed back
  LocalCounts local_;
  const uint64_t batch_bytes_;
  const bool timed_;
  uint64_t insert_ns_ = 0;
};

// Runs `body(split, split_text)` with the splitters of the configured
// pretokenizer: `split(text, sink)` calls sink once per pretoken of (valid
// UTF-8) file text, by the file rules; `split_text(text, sink)` does the same
// for one whole text. Taking them as template arguments lets the compiler
// inline the splitter into the worker's loop.
template <typename Body>
void with_splitters(const TrainConfig& config, FirstError& first_error, Body&& body) {
  switch (config.pretokenizer) {
    case PretokenizerKind::Whitespace: {
      // Whitespace splitting knows no lines: a whole text splits as file text.
      auto split = [](std::string_view text, auto& sink) { split_whitespace(text, sink); };
      return body(split, split);
    }
    case PretokenizerKind::ByteLevel:
      return body([](std::string_view text, auto& sink) { split_bytelevel(text, sink); },
                  [](std::string_view text, auto& sink) { split_bytelevel_text(text, sink); });
    case PretokenizerKind::Gpt4:
      return body([](std::string_view text, auto& sink) { split_gpt4(text, sink); },
                  [](std::string_view text, auto& sink) { split_gpt4_text(text, sink); });
    case PretokenizerKind::O200k:
      return body([](std::string_view text, auto& sink) { split_o200k(text, sink); },
                  [](std::string_view text, auto& sink) { split_o200k_text(text, sink); });
    case PretokenizerKind::Pattern: {
      if (!config.pattern) throw InternalError("pattern pretokenizer without a pattern");
      // PCRE2's match data and JIT stack belong to one thread.
      PatternSplitter splitter(*config.pattern);
      // A slow pattern must not hold up Ctrl-C or the report of a match that
      // failed in another text or on another thread for the rest of a chunk.
      splitter.stop_when([&first_error, control = config.control] {
        return (control != nullptr && control->cancelled()) || first_error.holds();
      });
      std::string error;
      return body(
          [&](std::string_view text, auto& sink) {
            if (!split_pattern(text, splitter, sink, &error)) {
              first_error.record(Status::InvalidInput(std::move(error)));
            }
          },
          [&](std::string_view text, auto& sink) {
            if (!split_pattern_text(text, splitter, sink, &error)) {
              first_error.record(Status::InvalidInput(std::move(error)));
            }
          });
    }
  }
}

// Hands each piece a reader cuts to `scan` and keeps the partial pretoken
// after it in the same buffer, so a worker reads every range into one buffer.
template <typename Scan>
class ScanningSink final : public RangeSink {
 public:
  ScanningSink(Scan& scan, const std::function<bool()>& stop) : scan_(scan), stop_(stop) {}

  bool deliver(ByteBuffer& buffer, size_t length, uint64_t offset, bool keep_rest) override {
    if (stop_()) {
      stopped_ = true;
      return false;
    }
    scan_(std::string_view(reinterpret_cast<const char*>(buffer.data()), length), offset);
    if (keep_rest) buffer.drop_front(length);
    return true;
  }
  // Whether the sink ended the range (the run stops), rather than the file.
  bool stopped() const { return stopped_; }

 private:
  Scan& scan_;
  const std::function<bool()>& stop_;
  bool stopped_ = false;
};

std::string exception_text(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown exception";
  }
}

bool is_bad_alloc(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::bad_alloc&) {
    return true;
  } catch (...) {
    return false;
  }
}

// Rethrows a worker failure on the coordinator: running out of memory stays
// std::bad_alloc (the caller reports it as such); anything else becomes an
// InternalError naming the first failure in join order.
void rethrow_worker_failures(const std::vector<const WorkerGroup*>& groups) {
  std::vector<std::exception_ptr> failures;
  for (const WorkerGroup* group : groups) {
    for (std::exception_ptr& failure : group->failures()) failures.push_back(std::move(failure));
  }
  if (failures.empty()) return;
  for (const std::exception_ptr& failure : failures) {
    if (is_bad_alloc(failure)) throw std::bad_alloc();
  }
  throw InternalError("phase 1 worker thread panicked: " + exception_text(failures.front()));
}

}  // namespace

namespace {

TrainConfig counting_config(const std::vector<std::string>& files, uint64_t threads,
                            PretokenizerKind pretokenizer) {
  TrainConfig config;
  config.files = files;
  config.threads = threads;
  config.pretokenizer = pretokenizer;
  return config;
}

}  // namespace

CountResult count_words(const TrainConfig& config) {
  return count_words_with_hooks(config, Phase1Hooks{});
}

CountResult count_words(const std::vector<std::string>& files, uint64_t threads,
                        PretokenizerKind pretokenizer) {
  return count_words(counting_config(files, threads, pretokenizer));
}

CountResult count_words_with_hooks(const std::vector<std::string>& files, uint64_t threads,
                                   PretokenizerKind pretokenizer, const Phase1Hooks& hooks) {
  return count_words_with_hooks(counting_config(files, threads, pretokenizer), hooks);
}

namespace {

constexpr const char* NOT_A_REGULAR_FILE =
    " is not a regular file; pipes and process substitution are not supported because the "
    "reader seeks. Write the stream to a file first.";

// A path whose metadata cannot be read adds nothing here; planning reports it.
uint64_t total_file_bytes(const std::vector<std::string>& files) {
  uint64_t total = 0;
  for (const std::string& path : files) {
    struct stat info;
    if (query_metadata(path, &info).ok()) total += static_cast<uint64_t>(info.st_size);
  }
  return total;
}

}  // namespace

// One call of count_words: the state its threads share and the threads.
//
// Member order is lifetime order: everything the workers refer to is
// declared before the thread groups, so it outlives every thread on every
// path; the groups are destroyed (joined) before it. In a fed run the caller
// holds the chunk channel's sending end outside this object, declared after
// it, so if anything throws that end is dropped before any join and the
// workers run down on their own instead of waiting for the caller.
//
//   CountingRun run(config, hooks, total_bytes);
//   run.count_files();                          // or, fed by the caller:
//   // ChunkSender sender = run.start_fed();  ...send...  sender.reset();
//   CountResult result = run.finish();
class CountingRun {
 public:
  CountingRun(const TrainConfig& config, const Phase1Hooks& hooks, uint64_t total_bytes)
      : config_(config),
        hooks_(hooks),
        sizing_(compute_sizing(total_bytes, std::clamp<uint64_t>(config.threads, 1, MAX_THREADS),
                               config.min_range)),
        timing_(config.diagnostics.enabled ? &stats_ : nullptr) {}

  const PipelineSizing& sizing() const { return sizing_; }
  bool failed() { return first_error_.holds(); }

  // Cuts config.files into ranges and starts the workers, which read them.
  void count_files() {
    announce();
    plan_ranges();
    start_workers(std::min<uint64_t>(sizing_.workers, std::max<size_t>(tasks_.size(), 1)), nullptr);
  }

  // Starts the workers on a channel of chunks; returns its sending end.
  ChunkSender start_fed() {
    announce();
    auto [sender, receiver] = make_channel<TextChunk>(sizing_.queue);
    start_workers(sizing_.workers, std::make_shared<SharedChunkReceiver>(std::move(receiver)));
    return std::move(sender);
  }

  // Waits for the workers (in a fed run, after the caller has dropped the
  // sending end), merges the partitions and returns the counts. Throws
  // Cancelled if the run was cancelled.
  CountResult finish() {
    worker_threads_.join_all();
    rethrow_worker_failures({&worker_threads_});
    stop_if_cancelled(config_.control);
    if (first_error_.holds()) return CountResult{WordTable(), first_error_.take()};
    std::vector<ShardCounter> partitions = merge_partitions();
    return combine(std::move(partitions));
  }

 private:
  void announce() const {
    if (config_.diagnostics.enabled) write_stderr(format_sizing_line(sizing_));
  }

  void step(WorkStep what) const {
    if (hooks_.before_step) hooks_.before_step(what);
  }
  void before_start() const {
    if (hooks_.before_thread_start) hooks_.before_thread_start();
  }
  auto on_exit() const {
    return [&hooks = hooks_] {
      if (hooks.on_thread_exit) hooks.on_thread_exit();
    };
  }

  // A worker stops taking work once the run is cancelled or has failed, or
  // another worker has thrown.
  bool should_stop() {
    return (config_.control != nullptr && config_.control->cancelled()) || first_error_.holds() ||
           worker_failed_.load(std::memory_order_relaxed);
  }

  // Starts `count` workers, reading the planned ranges or, with `chunks`,
  // taking the caller's chunks. Each counts into workers_[i].
  void start_workers(uint64_t count, std::shared_ptr<SharedChunkReceiver> chunks) {
    for (uint64_t i = 0; i < count; ++i) {
      workers_.emplace_back(sizing_.partitions, sizing_.batch, timing_ != nullptr);
    }
    for (uint64_t i = 0; i < count; ++i) {
      before_start();
      worker_threads_.start(
          [this, &counts = workers_[i], chunks]() mutable { run_worker(counts, std::move(chunks)); },
          on_exit());
    }
  }

  void run_worker(WorkerCounts& counts, std::shared_ptr<SharedChunkReceiver> chunks) {
    try {
      with_splitters(config_, first_error_, [&](auto split, auto split_text) {
        count_text(counts, std::move(chunks), split, split_text);
      });
    } catch (...) {
      // The call fails once every thread has ended: the others need not
      // count the rest of the corpus first.
      worker_failed_.store(true, std::memory_order_relaxed);
      throw;
    }
  }

  template <typename Split, typename SplitText>
  void count_text(WorkerCounts& counts, std::shared_ptr<SharedChunkReceiver> chunks, Split& split,
                  SplitText& split_text) {
    const bool timed = timing_ != nullptr;
    uint64_t scan_ns = 0;
    uint64_t recv_ns = 0;
    auto emit = [&counts](std::string_view pretoken) { counts.add(pretoken, pretoken_hash(pretoken)); };
    // Validates and counts one piece of text; `split_all` splits it when it
    // is valid, `describe` words the error when it is not.
    auto scan = [&](std::string_view text, auto&& split_all, auto&& describe) {
      const uint64_t t0 = timed ? monotonic_ns() : 0;
      const uint64_t inserted = counts.insert_ns();
      Utf8Error error;
      if (validate_utf8(text, &error)) {
        split_all(text);
      } else {
        first_error_.record(Status::InvalidInput(describe(error)));
      }
      if (timed) scan_ns += elapsed_ns_since(t0) - (counts.insert_ns() - inserted);
      if (config_.control != nullptr) config_.control->add_bytes_scanned(text.size());
    };
    auto scan_file_text = [&](std::string_view text, const std::string* source, uint64_t offset) {
      scan(text, [&](std::string_view valid) { split(valid, emit); },
           [&](Utf8Error error) { return invalid_utf8_in_file(error, source, offset); });
    };

    counts.prepare();
    if (chunks) {
      for (;;) {
        const uint64_t t0 = timed ? monotonic_ns() : 0;
        std::optional<TextChunk> chunk = chunks->recv();
        if (timed) recv_ns += elapsed_ns_since(t0);
        if (!chunk || should_stop()) break;
        step(WorkStep::Chunk);
        if (chunk->holds_texts()) {
          scan(chunk->text(), [&](std::string_view) { split_texts(*chunk, split_text, emit); },
               [&](Utf8Error error) { return invalid_utf8_in_texts(error, *chunk); });
        } else {
          scan_file_text(chunk->text(), chunk->source(), chunk->offset());
        }
      }
      // Once every worker has let go of it, the channel reports Closed to
      // the caller.
      chunks.reset();
    } else {
      read_ranges(scan_file_text);
    }
    counts.finish();
    if (timed) {
      Phase1Stats::add(stats_.scan_hash_ns, scan_ns);
      Phase1Stats::add(stats_.recv_blocked_ns, recv_ns);
      Phase1Stats::add(stats_.insert_ns, counts.insert_ns());
    }
  }

  // Takes ranges until none is left, reading each into one reused buffer.
  template <typename ScanFileText>
  void read_ranges(ScanFileText& scan_file_text) {
    const std::function<bool()> stop = [this] { return should_stop(); };
    for (;;) {
      if (should_stop()) return;
      const uint64_t index = next_task_.fetch_add(1, std::memory_order_relaxed);
      if (index >= tasks_.size()) return;
      step(WorkStep::Range);
      const ReadTask& task = tasks_[index];
      auto scan = [&](std::string_view text, uint64_t offset) {
        step(WorkStep::Chunk);
        scan_file_text(text, &task.path, offset);
      };
      ScanningSink<decltype(scan)> sink(scan, stop);
      Status status = read_range(task.path, task.start, task.end, sizing_.chunk,
                                 config_.pretokenizer, sink, timing_);
      if (!status.ok() && !sink.stopped()) {
        first_error_.record(std::move(status));
        return;
      }
    }
  }

  // Cuts the files into ranges, in input order. The first file that cannot
  // be read stops the planning and fails the run.
  void plan_ranges() {
    for (const std::string& path : config_.files) {
      struct stat info;
      if (Status status = query_metadata(path, &info); !status.ok()) {
        first_error_.record(std::move(status));
        return;
      }
      if (!S_ISREG(info.st_mode)) {
        first_error_.record(Status::InvalidInput(path + NOT_A_REGULAR_FILE));
        return;
      }
      if (info.st_size == 0) {
        // Files under /proc and /sys report size 0 and still have content,
        // so a regular file of size 0 is read to its end in one range; a
        // truly empty one then yields nothing.
        tasks_.push_back(ReadTask{path, 0, UINT64_MAX});
        continue;
      }
      plan_file_ranges(path, static_cast<uint64_t>(info.st_size), sizing_.ranges,
                       config_.min_range, tasks_);
    }
  }

  // Every partition's counters, one per worker, merged into one, the
  // partitions spread over the budget.
  std::vector<ShardCounter> merge_partitions() {
    std::vector<ShardCounter> merged(sizing_.partitions);
    if (workers_.size() <= 1) {
      for (size_t part = 0; part < merged.size() && !workers_.empty(); ++part) {
        merged[part] = std::move(workers_[0].part(part));
      }
      return merged;
    }
    run_in_parallel(merged.size(), [&](size_t part) {
      step(WorkStep::Merge);
      const uint64_t t0 = timing_ != nullptr ? monotonic_ns() : 0;
      merged[part] = merge_partition(part);
      if (timing_ != nullptr) Phase1Stats::add(stats_.merge_ns, elapsed_ns_since(t0));
    });
    return merged;
  }

  // Runs job(i) for every i in [0, count) on up to `workers` threads that
  // take the next i in turn; rethrows a failure once all have ended.
  void run_in_parallel(size_t count, const std::function<void(size_t)>& job) {
    const uint64_t threads = std::min<uint64_t>(sizing_.workers, count);
    if (threads <= 1) {
      for (size_t i = 0; i < count; ++i) job(i);
      return;
    }
    std::atomic<size_t> next{0};
    WorkerGroup threads_group("phase 1 worker");
    for (uint64_t t = 0; t < threads; ++t) {
      before_start();
      threads_group.start(
          [&] {
            for (size_t i; (i = next.fetch_add(1)) < count;) job(i);
          },
          on_exit());
    }
    threads_group.join_all();
    rethrow_worker_failures({&threads_group});
  }

  // The largest counter of the partition takes in the others, in worker
  // order, so the fewest words move.
  ShardCounter merge_partition(size_t part) {
    size_t largest = 0;
    for (size_t w = 1; w < workers_.size(); ++w) {
      if (workers_[w].part(part).len() > workers_[largest].part(part).len()) largest = w;
    }
    ShardCounter merged = std::move(workers_[largest].part(part));
    for (size_t w = 0; w < workers_.size(); ++w) {
      if (w != largest) merged.absorb(std::move(workers_[w].part(part)));
    }
    return merged;
  }

  // After every thread has been joined: the summary, then the partitions as
  // one table. Byte-level words are counted as raw bytes and re-spelled as
  // printable characters once per distinct word, here.
  CountResult combine(std::vector<ShardCounter> partitions) {
    const Diagnostics& diagnostics = config_.diagnostics;
    if (diagnostics.enabled) write_stderr(format_phase1_summary(stats_, sizing_));
    report_rss(diagnostics, "phase 1 shard counters");
    const std::array<uint32_t, 256> byte_to_char = build_byte_to_char();
    const bool respell = is_byte_level(config_.pretokenizer);
    WordTable words = combine_shards(
        std::move(partitions), respell ? &byte_to_char : nullptr,
        [this](size_t count, const std::function<void(size_t)>& job) { run_in_parallel(count, job); });
    // The workers' tables were freed on their own threads; training runs on
    // this one and could not reuse that memory.
    return_free_memory();
    report_rss(diagnostics, "combining shards");
    CountResult result;
    result.status = first_error_.take();
    if (result.status.ok()) result.words = std::move(words);
    return result;
  }

  const TrainConfig& config_;
  const Phase1Hooks& hooks_;
  const PipelineSizing sizing_;
  Phase1Stats stats_;
  Phase1Stats* const timing_;
  FirstError first_error_;
  std::vector<ReadTask> tasks_;  // immutable once the workers start
  std::atomic<uint64_t> next_task_{0};
  std::atomic<bool> worker_failed_{false};
  std::deque<WorkerCounts> workers_;  // never moved once a thread counts into one
  WorkerGroup worker_threads_{"phase 1 worker"};
};

CountResult count_words_with_hooks(const TrainConfig& config, const Phase1Hooks& hooks) {
  const uint64_t total_bytes = total_file_bytes(config.files);
  if (config.control != nullptr) config.control->set_bytes_total(total_bytes);
  CountingRun run(config, hooks, total_bytes);
  run.count_files();
  return run.finish();
}

namespace {

// Sized as for this much input: chunks of the largest read step, whatever
// the thread budget, and a queue of a few per worker.
uint64_t fed_sizing_bytes(uint64_t threads) {
  return 8 * std::clamp<uint64_t>(threads, 1, MAX_THREADS) * (uint64_t{2} << 20);
}

}  // namespace

FedCounting::FedCounting(const TrainConfig& config, Phase1Hooks hooks)
    : hooks_(std::move(hooks)),
      run_(std::make_unique<CountingRun>(config, hooks_, fed_sizing_bytes(config.threads))) {
  sender_ = run_->start_fed();
}

FedCounting::~FedCounting() {
  // Dropping the sender first lets the workers drain and end; the run's
  // destructor then joins every thread.
  sender_.reset();
  run_.reset();
}

uint64_t FedCounting::chunk_bytes() const { return run_->sizing().chunk; }

SendStatus FedCounting::send_for(TextChunk& chunk, std::chrono::milliseconds timeout) {
  return sender_.send_for(chunk, timeout);
}

bool FedCounting::failed() { return run_->failed(); }

CountResult FedCounting::finish() {
  sender_.reset();
  return run_->finish();
}

}  // namespace selkbar
