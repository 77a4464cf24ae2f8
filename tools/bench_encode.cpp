// bench_encode: the speed of evaluating a vocabulary on held-out text.
//
// Usage: bench_encode [--train PATH]... [--eval PATH]... [--vocab N]
//                     [--pretokenizer NAME] [--threads T] [--repeat R]
//   --train        a training file; repeatable (default: the test fixtures)
//   --eval         a held-out file; repeatable (default: the training files)
//   --vocab        vocabulary size trained to (default 32000)
//   --pretokenizer bytelevel, gpt4, o200k or whitespace (default gpt4)
//   --threads      threads for counting and for encoding (default 1)
//   --repeat       runs of each timed step; the fastest is reported (default 3)
// Trains a model on the training files (untimed), then times the two steps
// of an evaluation on the held-out files: counting their words (phase 1)
// and encoding each distinct word once (evaluate_words). Prints, for each
// step and for both together, held-out megabytes per second of wall time
// and per second of CPU time summed over all threads (the per-thread rate,
// and on a busy machine the steadier figure), and the figures the
// evaluation gives.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "counting/pipeline.h"
#include "encoding/bpe_model.h"
#include "encoding/evaluate.h"
#include "pretokenize/pretokenizer_id.h"
#include "training/trainer.h"

namespace {

[[noreturn]] void usage_error(const std::string& message) {
  std::fprintf(stderr, "bench_encode: %s\n", message.c_str());
  std::exit(2);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU time of the whole process, all threads.
double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

selkbar::WordTable count_or_exit(const std::vector<std::string>& files, uint64_t threads,
                                 selkbar::PretokenizerKind kind) {
  selkbar::CountResult counted = selkbar::count_words(files, threads, kind);
  if (!counted.status.ok()) usage_error(counted.status.message());
  return std::move(counted.words);
}

std::vector<std::string> fixture_files() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(SELKBAR_SOURCE_DIR "/tests/data")) {
    if (entry.path().extension() == ".txt") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> train_files, eval_files;
  uint64_t vocab_size = 32000;
  uint64_t threads = 1;
  int repeat = 3;
  selkbar::PretokenizerKind kind = selkbar::PretokenizerKind::Gpt4;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) usage_error("every option takes a value");
    const char* value = argv[++i];
    if (arg == "--train") {
      train_files.emplace_back(value);
    } else if (arg == "--eval") {
      eval_files.emplace_back(value);
    } else if (arg == "--vocab") {
      vocab_size = std::strtoull(value, nullptr, 10);
    } else if (arg == "--threads") {
      threads = std::max<uint64_t>(1, std::strtoull(value, nullptr, 10));
    } else if (arg == "--repeat") {
      repeat = std::max(1, std::atoi(value));
    } else if (arg == "--pretokenizer") {
      const auto named = selkbar::pretokenizer_from_name(value);
      if (!named) usage_error(std::string("unknown pretokenizer ") + value);
      kind = *named;
    } else {
      usage_error("unknown option " + arg);
    }
  }
  if (train_files.empty()) train_files = fixture_files();
  if (eval_files.empty()) eval_files = train_files;
  uint64_t eval_bytes = 0;
  for (const std::string& path : eval_files) eval_bytes += std::filesystem::file_size(path);
  const double eval_mb = eval_bytes / 1e6;

  selkbar::TrainConfig config;
  config.vocab_size = vocab_size;
  config.pretokenizer = kind;
  config.threads = threads;
  const selkbar::TrainResult trained =
      selkbar::train_from_words(count_or_exit(train_files, threads, kind), config);
  selkbar::BpeOptions options;
  options.byte_level = selkbar::is_byte_level(kind);
  selkbar::BpeModel model;
  const selkbar::Status status =
      selkbar::BpeModel::build(trained.tokens, selkbar::merge_string_pairs(trained), options, &model);
  if (!status.ok()) usage_error("the trained model does not build: " + status.message());

  double count_seconds = 1e300, encode_seconds = 1e300;
  double count_cpu = 1e300, encode_cpu = 1e300;
  selkbar::WordTable words;
  selkbar::EvalFigures figures;
  for (int run = 0; run < repeat; ++run) {
    auto start = std::chrono::steady_clock::now();
    double cpu_start = process_cpu_seconds();
    words = count_or_exit(eval_files, threads, kind);
    count_seconds = std::min(count_seconds, seconds_since(start));
    count_cpu = std::min(count_cpu, process_cpu_seconds() - cpu_start);
    start = std::chrono::steady_clock::now();
    cpu_start = process_cpu_seconds();
    figures = selkbar::evaluate_words(model, words, threads, nullptr);
    encode_seconds = std::min(encode_seconds, seconds_since(start));
    encode_cpu = std::min(encode_cpu, process_cpu_seconds() - cpu_start);
  }
  const double total_seconds = count_seconds + encode_seconds;
  const double total_cpu = count_cpu + encode_cpu;
  std::printf("model: %s, %zu tokens, %zu merges; held-out: %zu files, %.1f MB, %llu pretokens, "
              "%zu distinct words\n",
              std::string(selkbar::pretokenizer_name(kind)).c_str(), model.vocab_size(),
              model.merges().size(), eval_files.size(), eval_mb,
              static_cast<unsigned long long>(figures.words), words.len());
  std::printf("threads %llu (best of %d)\n", static_cast<unsigned long long>(threads), repeat);
  auto line = [&](const char* step, double seconds, double cpu) {
    std::printf("  %-16s %7.3f s wall %7.1f MB/s | %7.3f s cpu %7.1f MB/s per thread\n", step,
                seconds, eval_mb / seconds, cpu, eval_mb / cpu);
  };
  line("count", count_seconds, count_cpu);
  line("encode distinct", encode_seconds, encode_cpu);
  line("count + encode", total_seconds, total_cpu);
  // What encoding costs grows with the characters of the distinct words.
  uint64_t distinct_chars = 0;
  for (const uint8_t byte : words.bytes()) distinct_chars += (byte & 0xC0) != 0x80 ? 1 : 0;
  std::printf("  encode cpu: %.0f ns per distinct word, %.1f ns per character of the distinct words (%.1f M)\n",
              encode_cpu * 1e9 / std::max<size_t>(1, words.len()),
              encode_cpu * 1e9 / std::max<uint64_t>(1, distinct_chars), distinct_chars / 1e6);
  std::printf("figures: %.3f bytes/token, %.3f tokens/word, %.2f%% of the vocabulary unused, "
              "%.4f%% of bytes unknown, longest token %llu bytes, median %llu bytes\n",
              figures.bytes_per_token(), figures.tokens_per_word(), 100 * figures.unused_share(),
              100 * figures.unknown_share(), static_cast<unsigned long long>(figures.longest_token_bytes),
              static_cast<unsigned long long>(figures.median_token_bytes));
  return 0;
}
