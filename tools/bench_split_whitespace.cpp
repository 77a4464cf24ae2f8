// bench_split_whitespace: throughput of split_whitespace on real text, next
// to a baseline that only splits on ASCII spaces, in the same run.
//
//   bench_split_whitespace [FILE...]   (default: the test fixtures, tests/data/*.txt)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pretokenize/split.h"

namespace {

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

template <typename F>
double best_seconds(F&& run, int repeats) {
  double best = 1e100;
  for (int i = 0; i < repeats; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> paths(argv + 1, argv + argc);
  if (paths.empty()) {
    for (const auto& entry : std::filesystem::directory_iterator(SELKBAR_SOURCE_DIR "/tests/data")) {
      if (entry.path().extension() == ".txt") paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
  }
  std::string all;
  for (const auto& path : paths) all += read_file(path) + "\n";
  // Repeat small corpora so one pass takes long enough to time.
  std::string text;
  while (text.size() < (64u << 20)) text += all;
  const double mb = static_cast<double>(text.size()) / 1e6;

  uint64_t words = 0, bytes = 0;
  const double split_s = best_seconds(
      [&] {
        words = bytes = 0;
        selkbar::split_whitespace(text, [&](std::string_view w) {
          ++words;
          bytes += w.size();
        });
      },
      5);
  uint64_t base_words = 0;
  const double base_s = best_seconds(
      [&] {
        base_words = 0;
        bool in_word = false;
        for (char c : text) {
          const bool space = c == ' ';
          base_words += (!space && !in_word);
          in_word = !space;
        }
      },
      5);
  std::printf("text: %.1f MB from %zu files\n", mb, paths.size());
  std::printf("split_whitespace: %8.1f MB/s  (%llu pretokens, %llu bytes)\n", mb / split_s,
              static_cast<unsigned long long>(words), static_cast<unsigned long long>(bytes));
  std::printf("baseline (ASCII space only): %8.1f MB/s  (%llu words)\n", mb / base_s,
              static_cast<unsigned long long>(base_words));
  std::printf("ratio split/baseline time: %.2f\n", split_s / base_s);
  return 0;
}
