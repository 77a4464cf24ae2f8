// bench_bytelevel: throughput of split_bytelevel on real text, next to plain
// baselines measured in the same run on the same bytes.
//
//   bench_bytelevel [corpora_dir] [repeats]
//
// corpora_dir defaults to the test fixtures in tests/data (a folder of larger
// corpora gives steadier figures), repeats to 5; each figure is the best of the repeats, in MB/s (10^6 bytes
// per second). Baselines: counting 0x0A bytes with memchr (the line search
// alone), a scalar split on the ASCII space, and split_whitespace.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "pretokenize/bytelevel.h"
#include "pretokenize/split.h"

namespace {

// What a sink folds every pretoken into, so no splitter can be optimised away.
struct Tally {
  uint64_t pretokens = 0;
  uint64_t check = 0;
  void add(std::string_view piece) {
    ++pretokens;
    check += piece.size() ^ static_cast<uint8_t>(piece.front());
  }
};

Tally count_newlines(std::string_view text) {
  Tally tally;
  const char* p = text.data();
  const char* const end = p + text.size();
  while (const void* hit = std::memchr(p, '\n', static_cast<size_t>(end - p))) {
    ++tally.pretokens;
    p = static_cast<const char*>(hit) + 1;
  }
  return tally;
}

Tally split_on_spaces(std::string_view text) {
  Tally tally;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') {
      if (i > start) tally.add(text.substr(start, i - start));
      start = i + 1;
    }
  }
  if (text.size() > start) tally.add(text.substr(start));
  return tally;
}

Tally run_whitespace(std::string_view text) {
  Tally tally;
  selkbar::split_whitespace(text, [&](std::string_view piece) { tally.add(piece); });
  return tally;
}

Tally run_bytelevel(std::string_view text) {
  Tally tally;
  selkbar::split_bytelevel(text, [&](std::string_view piece) { tally.add(piece); });
  return tally;
}

struct Method {
  const char* name;
  Tally (*run)(std::string_view);
};

constexpr Method METHODS[] = {
    {"newlines", count_newlines},
    {"spaces", split_on_spaces},
    {"whitespace", run_whitespace},
    {"bytelevel", run_bytelevel},
};
constexpr size_t METHOD_COUNT = std::size(METHODS);

// Best time of `repeats` runs, in seconds.
double best_seconds(const Method& method, std::string_view text, int repeats, Tally* tally) {
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    *tally = method.run(text);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = argc > 1 ? argv[1] : SELKBAR_SOURCE_DIR "/tests/data";
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::vector<std::filesystem::path> files;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (entry.path().extension() == ".txt") files.push_back(entry.path());
  }
  if (error || files.empty()) {
    std::fprintf(stderr, "bench_bytelevel: no .txt files in %s\n", dir.c_str());
    return 1;
  }
  std::sort(files.begin(), files.end());

  std::printf("%-16s %8s", "file", "MB");
  for (const auto& method : METHODS) std::printf(" %11s", method.name);
  std::printf(" %10s %9s\n", "pretokens", "bl/ws");
  uint64_t total_bytes = 0;
  double total_seconds[METHOD_COUNT] = {};
  for (const auto& path : files) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
      std::fprintf(stderr, "bench_bytelevel: cannot read %s\n", path.c_str());
      return 1;
    }
    total_bytes += text.size();
    std::printf("%-16s %8.2f", path.filename().c_str(), text.size() / 1e6);
    double seconds[METHOD_COUNT];
    Tally tally;
    for (size_t m = 0; m < METHOD_COUNT; ++m) {
      seconds[m] = best_seconds(METHODS[m], text, repeats, &tally);
      total_seconds[m] += seconds[m];
      std::printf(" %11.0f", text.size() / 1e6 / seconds[m]);
    }
    // tally holds the byte-level run, the last method.
    std::printf(" %10llu %8.2fx\n", static_cast<unsigned long long>(tally.pretokens),
                seconds[2] / seconds[3]);
  }
  std::printf("%-16s %8.2f", "total", total_bytes / 1e6);
  for (size_t m = 0; m < METHOD_COUNT; ++m) std::printf(" %11.0f", total_bytes / 1e6 / total_seconds[m]);
  std::printf(" %10s %8.2fx\n", "", total_seconds[2] / total_seconds[3]);
  std::printf("(MB/s, best of %d; bl/ws = byte-level speed relative to split_whitespace)\n", repeats);
  return 0;
}
