#include "counting/pipeline.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "counting/batch.h"
#include "pretokenize/bytelevel.h"
#include "threads/channel.h"
#include "counting/counter.h"
#include "base/error.h"
#include "base/first_error.h"
#include "base/fxhash.h"
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
  s.batch = std::min<uint64_t>(std::max<uint64_t>(4194304 / t, 4096), 65536);
  s.chunk = std::min<uint64_t>(std::max<uint64_t>(total_bytes / (8 * t), 65536), 8388608);
  s.queue = std::min<uint64_t>(67108864 / s.chunk, 4 * t);
  s.readers = std::min<uint64_t>(std::max<uint64_t>(total_bytes / std::max<uint64_t>(min_range, 1), 1),
                                 std::min<uint64_t>(t, MAX_READERS));
  // Scanners count the frequent words themselves (local_counts.h), so an
  // owner receives about a fifth of the pretokens a scanner handles, and one
  // owner keeps up with three scanners.
  s.scanners = t;
  s.owners = (t + 2) / 3;
  return s;
}

void plan_file_ranges(const std::string& path, uint64_t size, uint64_t readers,
                      uint64_t min_range, std::vector<ReadTask>& tasks) {
  if (size == 0) return;
  min_range = std::max<uint64_t>(min_range, 1);
  uint64_t n = std::min<uint64_t>(std::max<uint64_t>(readers, 1), size / min_range);
  if (size < min_range) n = 1;
  const uint64_t step = size / n;
  for (uint64_t k = 0; k < n; ++k) {
    tasks.push_back(ReadTask{path, k * step, k + 1 == n ? size : (k + 1) * step});
  }
}

namespace {

using BatchSender = Sender<PretokenBatch>;
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
// of the chunk's file and the file named when there is one.
std::string invalid_utf8_message(Utf8Error error, const TextChunk& chunk) {
  error.valid_up_to += chunk.offset();
  std::string message = "input is not valid UTF-8: " + describe_utf8_error(error);
  if (chunk.source() != nullptr) message += " in " + *chunk.source();
  return message;
}

void run_item_hook(const Phase1Hooks& hooks, WorkerRole role) {
  if (hooks.before_item) hooks.before_item(role);
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

// The scanner loop around one pretokenizer. `split(text, sink)` calls sink
// once per pretoken of (valid UTF-8) file text, by the file rules;
// `split_text(text, sink)` does the same for one whole text.
template <typename Split, typename SplitText>
void scan_chunks(SharedChunkReceiver& chunks, std::vector<BatchSender>& owners,
                 FirstError& first_error, Phase1Stats* timing, uint64_t batch_bytes,
                 const Phase1Hooks& hooks, RunControl* control, Split split,
                 SplitText split_text) {
  const bool timed = timing != nullptr;
  const OwnerRouter route(owners.size());
  std::vector<PretokenBatch> batches(owners.size());
  // Words this scanner counted itself travel in batches of their own, with
  // their counts.
  std::vector<PretokenBatch> counted(owners.size());
  LocalCounts local;

  // A failed send means that owner is gone (it failed); its words are lost
  // and the call fails once every thread has ended.
  auto send_full = [&](std::vector<PretokenBatch>& kind, size_t owner) {
    PretokenBatch full = std::move(kind[owner]);
    // An owner whose batch filled once will likely fill the next one too:
    // size it up front instead of regrowing it from empty.
    kind[owner] = PretokenBatch();
    kind[owner].reserve(full.len() + full.len() / 4 + 1, batch_bytes + batch_bytes / 4);
    owners[owner].send(std::move(full));
  };
  auto hand_on = [&](std::string_view word, uint64_t hash, uint64_t count) {
    const size_t owner = route(hash);
    counted[owner].push_counted(word, hash, count);
    if (counted[owner].byte_size() >= batch_bytes) send_full(counted, owner);
  };
  auto emit_pretoken = [&](std::string_view pretoken) {
    const uint64_t hash = pretoken_hash(pretoken);
    if (local.add(pretoken, hash, hand_on)) return;
    const size_t owner = route(hash);
    PretokenBatch& batch = batches[owner];
    batch.push(pretoken, hash);
    if (batch.byte_size() >= batch_bytes) send_full(batches, owner);
  };

  while (std::optional<TextChunk> chunk = chunks.recv()) {
    // A cancelled run stops taking chunks; once every scanner has stopped,
    // the chunk channel has no receiver and the readers stop too.
    if (control != nullptr && control->cancelled()) return;
    run_item_hook(hooks, WorkerRole::Scanner);
    local.prepare();
    const uint64_t t0 = timed ? monotonic_ns() : 0;
    const std::string_view text = chunk->text();
    Utf8Error error;
    if (!validate_utf8(text, &error)) {
      first_error.record(Status::InvalidInput(chunk->holds_texts()
                                                  ? invalid_utf8_in_texts(error, *chunk)
                                                  : invalid_utf8_message(error, *chunk)));
    } else if (chunk->holds_texts()) {
      split_texts(*chunk, split_text, emit_pretoken);
    } else {
      split(text, emit_pretoken);
    }
    if (timed) Phase1Stats::add(timing->scan_hash_ns, elapsed_ns_since(t0));
    if (control != nullptr) control->add_bytes_scanned(text.size());
    chunk.reset();  // the chunk's buffer is released before the next wait
  }

  local.drain(hand_on);
  for (size_t owner = 0; owner < owners.size(); ++owner) {
    if (batches[owner].len() != 0) owners[owner].send(std::move(batches[owner]));
    if (counted[owner].len() != 0) owners[owner].send(std::move(counted[owner]));
  }
}

void run_scanner(std::shared_ptr<SharedChunkReceiver> chunks, std::vector<BatchSender> owners,
                 FirstError& first_error, Phase1Stats* timing, uint64_t batch_bytes,
                 const TrainConfig& config, const Phase1Hooks& hooks) {
  auto scan = [&](auto split, auto split_text) {
    scan_chunks(*chunks, owners, first_error, timing, batch_bytes, hooks, config.control, split,
                split_text);
  };
  switch (config.pretokenizer) {
    case PretokenizerKind::Whitespace: {
      // Whitespace splitting knows no lines: a whole text splits as file text.
      auto split = [](std::string_view text, auto& sink) { split_whitespace(text, sink); };
      return scan(split, split);
    }
    case PretokenizerKind::ByteLevel:
      return scan([](std::string_view text, auto& sink) { split_bytelevel(text, sink); },
                  [](std::string_view text, auto& sink) { split_bytelevel_text(text, sink); });
    case PretokenizerKind::Gpt4:
      return scan([](std::string_view text, auto& sink) { split_gpt4(text, sink); },
                  [](std::string_view text, auto& sink) { split_gpt4_text(text, sink); });
    case PretokenizerKind::O200k:
      return scan([](std::string_view text, auto& sink) { split_o200k(text, sink); },
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
      return scan(
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

ShardCounter run_owner(Receiver<PretokenBatch> batches, Phase1Stats* timing,
                       const Phase1Hooks& hooks) {
  const bool timed = timing != nullptr;
  ShardCounter counter;
  for (;;) {
    const uint64_t t0 = timed ? monotonic_ns() : 0;
    std::optional<PretokenBatch> batch = batches.recv();
    if (timed) Phase1Stats::add(timing->recv_blocked_ns, elapsed_ns_since(t0));
    if (!batch) break;
    run_item_hook(hooks, WorkerRole::Owner);
    const uint64_t t1 = timed ? monotonic_ns() : 0;
    counter.add_batch(*batch);
    if (timed) Phase1Stats::add(timing->insert_ns, elapsed_ns_since(t1));
  }
  return counter;
}

void run_reader(ChunkSender sender, const std::vector<ReadTask>& tasks,
                std::atomic<uint64_t>& next_task, FirstError& first_error, uint64_t chunk,
                PretokenizerKind pretokenizer, Phase1Stats* timing, const Phase1Hooks& hooks) {
  for (;;) {
    const uint64_t index = next_task.fetch_add(1, std::memory_order_relaxed);
    if (index >= tasks.size()) return;
    run_item_hook(hooks, WorkerRole::Reader);
    const ReadTask& task = tasks[index];
    Status status =
        read_range(task.path, task.start, task.end, chunk, pretokenizer, sender, timing);
    if (!status.ok()) {
      first_error.record(std::move(status));
      return;
    }
  }
}

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
// path; the groups are destroyed in reverse order, readers joined first,
// then scanners, then owners. The coordinator holds the chunk channel's
// sending end outside this object, declared after it, so if anything throws
// that end is dropped before any join and the workers run down on their own
// instead of waiting for the coordinator.
//
//   CountingRun run(config, hooks, total_bytes);
//   ChunkSender sender = run.start();   // owners and scanners wait
//   run.read_files(sender);             // or: the caller sends chunks
//   CountResult result = run.finish(std::move(sender));
class CountingRun {
 public:
  CountingRun(const TrainConfig& config, const Phase1Hooks& hooks, uint64_t total_bytes)
      : config_(config),
        hooks_(hooks),
        sizing_(compute_sizing(total_bytes, std::clamp<uint64_t>(config.threads, 1, MAX_THREADS),
                               config.min_range)),
        timing_(config.diagnostics.enabled ? &stats_ : nullptr),
        shards_(sizing_.owners) {}

  const PipelineSizing& sizing() const { return sizing_; }
  bool failed() { return first_error_.holds(); }

  // Starts the owners and the scanners; returns the sending end of the
  // chunk channel they read.
  ChunkSender start() {
    if (config_.diagnostics.enabled) write_stderr(format_sizing_line(sizing_));
    auto [chunk_sender, chunk_receiver] = make_channel<TextChunk>(sizing_.queue);
    // Once these go, the owner channels disconnect when the last scanner
    // ends, and the chunk channel has no receiver once every scanner is gone.
    std::vector<BatchSender> owner_senders = start_owners();
    start_scanners(std::make_shared<SharedChunkReceiver>(std::move(chunk_receiver)),
                   owner_senders);
    return std::move(chunk_sender);
  }

  // Cuts config.files into ranges and starts the readers, which send them.
  void read_files(const ChunkSender& sender) {
    plan_ranges();
    start_readers(sender);
  }

  // Waits for the readers, closes the channel, waits for the rest and
  // returns the counts. Throws Cancelled if the run was cancelled.
  CountResult finish(ChunkSender sender) {
    reader_threads_.join_all();
    sender.reset();
    scanner_threads_.join_all();
    owner_threads_.join_all();
    rethrow_worker_failures({&reader_threads_, &scanner_threads_, &owner_threads_});
    stop_if_cancelled(config_.control);
    return combine();
  }

 private:
  void before_start(WorkerRole role) const {
    if (hooks_.before_thread_start) hooks_.before_thread_start(role);
  }
  auto on_exit(WorkerRole role) const {
    return [&hooks = hooks_, role] {
      if (hooks.on_thread_exit) hooks.on_thread_exit(role);
    };
  }

  std::vector<BatchSender> start_owners() {
    std::vector<BatchSender> senders;
    senders.reserve(sizing_.owners);
    for (uint64_t owner = 0; owner < sizing_.owners; ++owner) {
      auto [sender, receiver] = make_channel<PretokenBatch>(OWNER_QUEUE);
      senders.push_back(std::move(sender));
      before_start(WorkerRole::Owner);
      owner_threads_.start(
          [receiver = std::move(receiver), &shard = shards_[owner], timing = timing_,
           &hooks = hooks_]() mutable { shard = run_owner(std::move(receiver), timing, hooks); },
          on_exit(WorkerRole::Owner));
    }
    return senders;
  }

  void start_scanners(std::shared_ptr<SharedChunkReceiver> chunks,
                      const std::vector<BatchSender>& owners) {
    for (uint64_t scanner = 0; scanner < sizing_.scanners; ++scanner) {
      before_start(WorkerRole::Scanner);
      scanner_threads_.start(
          [chunks, owners, &first_error = first_error_, timing = timing_, batch = sizing_.batch,
           &config = config_, &hooks = hooks_]() mutable {
            run_scanner(std::move(chunks), std::move(owners), first_error, timing, batch, config,
                        hooks);
          },
          on_exit(WorkerRole::Scanner));
    }
  }

  // Cuts the files into ranges, in input order, while owners and scanners
  // already wait. The first file that cannot be read stops the planning;
  // the ranges planned before it are still read.
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
      plan_file_ranges(path, static_cast<uint64_t>(info.st_size), sizing_.readers,
                       config_.min_range, tasks_);
    }
  }

  void start_readers(const ChunkSender& sender) {
    const uint64_t reader_count =
        std::min<uint64_t>(sizing_.readers, std::max<uint64_t>(tasks_.size(), 1));
    for (uint64_t reader = 0; reader < reader_count; ++reader) {
      before_start(WorkerRole::Reader);
      reader_threads_.start(
          [sender, &tasks = tasks_, &next_task = next_task_, &first_error = first_error_,
           chunk = sizing_.chunk, pretokenizer = config_.pretokenizer, timing = timing_,
           &hooks = hooks_]() mutable {
            run_reader(std::move(sender), tasks, next_task, first_error, chunk, pretokenizer,
                       timing, hooks);
          },
          on_exit(WorkerRole::Reader));
    }
  }

  // After every thread has been joined: the summary, then the shards as one
  // table. Byte-level words are counted as raw bytes and re-spelled as
  // printable characters once per distinct word, here.
  CountResult combine() {
    const Diagnostics& diagnostics = config_.diagnostics;
    if (diagnostics.enabled) write_stderr(format_phase1_summary(stats_, sizing_));
    report_rss(diagnostics, "phase 1 shard counters");
    const std::array<uint32_t, 256> byte_to_char = build_byte_to_char();
    const bool respell = is_byte_level(config_.pretokenizer);
    WordTable words = combine_shards(std::move(shards_), respell ? &byte_to_char : nullptr);
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
  std::vector<ShardCounter> shards_;
  std::vector<ReadTask> tasks_;  // immutable once the readers start
  std::atomic<uint64_t> next_task_{0};
  WorkerGroup owner_threads_{"phase 1 worker"};
  WorkerGroup scanner_threads_{"phase 1 worker"};
  WorkerGroup reader_threads_{"phase 1 worker"};
};

CountResult count_words_with_hooks(const TrainConfig& config, const Phase1Hooks& hooks) {
  const uint64_t total_bytes = total_file_bytes(config.files);
  if (config.control != nullptr) config.control->set_bytes_total(total_bytes);
  CountingRun run(config, hooks, total_bytes);
  ChunkSender sender = run.start();
  run.read_files(sender);
  return run.finish(std::move(sender));
}

namespace {

// Sized as for this much input: chunks of about 2 MiB each, whatever the
// thread budget, and a queue of a few per scanner.
uint64_t fed_sizing_bytes(uint64_t threads) {
  return 8 * std::clamp<uint64_t>(threads, 1, MAX_THREADS) * (uint64_t{2} << 20);
}

}  // namespace

FedCounting::FedCounting(const TrainConfig& config, Phase1Hooks hooks)
    : hooks_(std::move(hooks)),
      run_(std::make_unique<CountingRun>(config, hooks_, fed_sizing_bytes(config.threads))) {
  sender_ = run_->start();
}

FedCounting::~FedCounting() {
  // Dropping the sender first lets the scanners drain and end; the run's
  // destructor then joins every thread.
  sender_.reset();
  run_.reset();
}

uint64_t FedCounting::chunk_bytes() const { return run_->sizing().chunk; }

SendStatus FedCounting::send_for(TextChunk& chunk, std::chrono::milliseconds timeout) {
  return sender_.send_for(chunk, timeout);
}

bool FedCounting::failed() { return run_->failed(); }

CountResult FedCounting::finish() { return run_->finish(std::move(sender_)); }

}  // namespace selkbar
