// bench_trainer: times phase 2 (train_from_words) on real text.
//
// Usage: bench_trainer [--dir DIR | --file PATH...] [--vocab N]... [--repeat R]
//                      [--threads T] [--bytelevel 0|1] [--dump PREFIX]
//   --dir     directory whose *.txt files form the corpus (default: the
//             test fixtures in tests/data)
//   --file    a corpus file; repeatable, replaces --dir
//   --vocab   target vocabulary size; repeatable (default 8000 and 32000)
//   --repeat  runs per vocabulary size; the fastest is reported (default 1)
//   --threads the thread budget of phase 2 (default 1); the merge loop
//             splits long merges over it
// Reports the wall time and the calling thread's CPU time of phase 2 (on a
// busy machine the CPU time is the steadier figure; with --threads above 1 it
// leaves out the merge loop's helpers), and the peak resident
// set during phase 2 next to what the process held just before it. For the
// merge loop alone it reports its time, the words it visited (summed over
// merges) and the time per visited word: the loop scales as it should when
// that last figure stays flat as the vocabulary grows. The share of visits
// that found the pair shows what lists of only the words that still hold it
// would save. The same follows in CPU time of all threads, the steadier
// figure on a busy machine.
//   --bytelevel 1: words are split and spelled as the bytelevel
//             pretokenizer does (one symbol per byte before the first
//             merges, as in the long early merges of Chinese or Japanese)
//   --dump    writes PREFIX-<vocab>.tokens (one token per line) and
//             PREFIX-<vocab>.merges ("left right" per line) for comparison
//             with another trainer
// Words are counted with the whitespace splitter (or the bytelevel one) on
// one thread; only train_from_words is timed.
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "counting/counter.h"
#include "base/fxhash.h"
#include "pretokenize/bytelevel.h"
#include "pretokenize/split.h"
#include "training/trainer.h"
#include "counts/wordtable.h"

namespace {

using selkbar::WordTable;

WordTable copy_table(const WordTable& source) {
  WordTable copy;
  copy.reserve(source.len(), source.bytes().size());
  for (uint32_t id = 0; id < source.len(); ++id) copy.push(source.get(id), source.count(id));
  return copy;
}

double thread_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Linux: restarts the peak resident set count (VmHWM) of this process.
void reset_peak_rss() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// Linux: the peak resident set since the last reset, in MB, or -1.
long peak_rss_mb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10) / 1024;
  }
  return -1;
}

// The words of the files with their counts, split on white space or, with
// `bytelevel`, as the bytelevel pretokenizer splits them and, as phase 1
// does, counted as raw bytes and spelled once per distinct word when the
// counts are combined; adds the files' sizes to `corpus_bytes`.
WordTable count_words(const std::vector<std::filesystem::path>& files, bool bytelevel,
                      uint64_t& corpus_bytes) {
  selkbar::ShardCounter counter;
  const auto count = [&](std::string_view word) { counter.add(word, selkbar::pretoken_hash(word)); };
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    std::string content(std::filesystem::file_size(path), '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    corpus_bytes += content.size();
    if (bytelevel) {
      selkbar::split_bytelevel(content, count);
    } else {
      selkbar::split_whitespace(content, count);
    }
  }
  std::vector<selkbar::ShardCounter> shards;
  shards.push_back(std::move(counter));
  const std::array<uint32_t, 256> byte_to_char = selkbar::build_byte_to_char();
  return selkbar::combine_shards(std::move(shards), bytelevel ? &byte_to_char : nullptr);
}

[[noreturn]] void usage_error(const char* message) {
  std::fprintf(stderr, "bench_trainer: %s\n", message);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = SELKBAR_SOURCE_DIR "/tests/data";
  std::vector<uint64_t> vocab_sizes;
  int repeat = 1;
  uint64_t threads = 1;
  std::string dump;
  bool bytelevel = false;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) usage_error("every option takes a value");
    const char* value = argv[++i];
    if (arg == "--dir") {
      dir = value;
    } else if (arg == "--file") {
      files.emplace_back(value);
    } else if (arg == "--vocab") {
      vocab_sizes.push_back(std::strtoull(value, nullptr, 10));
    } else if (arg == "--repeat") {
      repeat = std::max(1, std::atoi(value));
    } else if (arg == "--threads") {
      threads = std::max<uint64_t>(1, std::strtoull(value, nullptr, 10));
    } else if (arg == "--bytelevel") {
      bytelevel = std::atoi(value) != 0;
    } else if (arg == "--dump") {
      dump = value;
    } else {
      usage_error("unknown option");
    }
  }
  if (vocab_sizes.empty()) vocab_sizes = {8000, 32000};

  if (files.empty()) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file() && entry.path().extension() == ".txt") {
        files.push_back(entry.path());
      }
    }
    std::sort(files.begin(), files.end());
  }
  if (files.empty()) usage_error("no *.txt files in the corpus directory");

  uint64_t corpus_bytes = 0;
  const WordTable words = count_words(files, bytelevel, corpus_bytes);
  // What the benchmark itself holds during phase 2: its word table and the
  // copy handed to the trainer.
  const long baseline_mb = [&] {
    WordTable probe = copy_table(words);
    reset_peak_rss();
    return peak_rss_mb();
  }();
  std::printf("corpus: %zu files, %.1f MB, %zu distinct words, %.1f MB of word bytes\n",
              files.size(), corpus_bytes / 1048576.0, words.len(),
              words.bytes().size() / 1048576.0);

  for (uint64_t vocab_size : vocab_sizes) {
    double best = 1e300;
    double best_cpu = 1e300;
    double best_loop = 1e300;
    double best_loop_cpu = 1e300;
    long peak_mb = 0;
    selkbar::TrainResult result;
    for (int run = 0; run < repeat; ++run) {
      selkbar::TrainConfig config;
      config.vocab_size = vocab_size;
      config.threads = threads;
      config.diagnostics = selkbar::diagnostics_from_env(std::getenv("SELKBAR_STATS"), std::getenv("PATH"));
      WordTable input = copy_table(words);
      reset_peak_rss();
      const auto start = std::chrono::steady_clock::now();
      const double cpu_start = thread_cpu_seconds();
      result = selkbar::train_from_words(std::move(input), config);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      best = std::min(best, seconds);
      best_cpu = std::min(best_cpu, thread_cpu_seconds() - cpu_start);
      best_loop = std::min(best_loop, static_cast<double>(result.merge_loop.elapsed_ns) / 1e9);
      best_loop_cpu = std::min(best_loop_cpu, static_cast<double>(result.merge_loop.cpu_ns) / 1e9);
      peak_mb = std::max(peak_mb, peak_rss_mb());
    }
    std::printf(
        "vocab %llu: phase2 %.3f s wall (%.3f s cpu), %zu merges, %.0f merges/s, %zu tokens, "
        "peak rss %ld MB (%ld MB before phase 2)\n",
        static_cast<unsigned long long>(vocab_size), best, best_cpu, result.merges.size(),
        result.merges.size() / best, result.tokens.size(), peak_mb, baseline_mb);
    const uint64_t visited = result.merge_loop.words_visited;
    std::printf(
        "  merge loop %.3f s, %llu words visited (%.1f per merge, %.0f%% holding the pair), "
        "%.1f ns per visited word; %.3f s cpu (all threads), %.1f ns cpu per visited word\n",
        best_loop, static_cast<unsigned long long>(visited),
        result.merges.empty() ? 0.0 : static_cast<double>(visited) / result.merges.size(),
        visited == 0 ? 0.0 : 100.0 * static_cast<double>(result.merge_loop.words_rewritten) / visited,
        visited == 0 ? 0.0 : best_loop * 1e9 / static_cast<double>(visited), best_loop_cpu,
        visited == 0 ? 0.0 : best_loop_cpu * 1e9 / static_cast<double>(visited));
    if (!dump.empty()) {
      const std::string base = dump + "-" + std::to_string(vocab_size);
      std::ofstream tokens(base + ".tokens", std::ios::binary);
      for (const std::string& token : result.tokens) tokens << token << '\n';
      std::ofstream merges(base + ".merges", std::ios::binary);
      for (const auto& [left, right] : selkbar::merge_string_pairs(result)) {
        merges << left << ' ' << right << '\n';
      }
    }
  }
  return 0;
}
