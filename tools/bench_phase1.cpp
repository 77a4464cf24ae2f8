// bench_phase1: phase-1 throughput of count_words next to a plain baseline.
//
//   bench_phase1 FILE [--bytelevel | --mode NAME] [--repeat N]
//
// For thread budgets 1 and 2 it times count_words on FILE and prints MB/s
// (decimal megabytes of input per wall-clock second), next to a baseline
// measured in the same run: one thread reading the same bytes with read(2)
// into a reused 8 MiB buffer and splitting them on ASCII whitespace (counting
// the pieces, nothing else). Each figure is the best of N runs (default 3),
// with the median beside it; the machine is shared, so the best run is the
// least disturbed one. Beside it, "cpu" is the input divided by the CPU
// time of the best run (user + system, all threads): on a busy machine it
// still shows how much work each byte costs. Run it on a file that fits in
// the page cache; the first, untimed pass warms the cache.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "counting/pipeline.h"
#include "pretokenize/pretokenizer_id.h"
#include "stats.h"

namespace {

struct Baseline {
  uint64_t bytes = 0;
  uint64_t pieces = 0;
};

// Reads the file with read(2) and counts the runs of non-whitespace bytes.
Baseline read_and_split(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "bench_phase1: opening %s: %s\n", path.c_str(), std::strerror(errno));
    std::exit(1);
  }
  bool is_space[256] = {};
  for (int b = 0x09; b <= 0x0D; ++b) is_space[b] = true;
  is_space[0x20] = true;
  constexpr size_t BUFFER_BYTES = 8 << 20;
  auto buffer = std::make_unique_for_overwrite<uint8_t[]>(BUFFER_BYTES);
  Baseline result;
  bool in_piece = false;
  for (;;) {
    const ssize_t n = read(fd, buffer.get(), BUFFER_BYTES);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.bytes += static_cast<uint64_t>(n);
    for (ssize_t i = 0; i < n; ++i) {
      const bool space = is_space[buffer[i]];
      result.pieces += !space & !in_piece;
      in_piece = !space;
    }
  }
  close(fd);
  return result;
}

struct Figures {
  double best;
  double median;
  double cpu;  // MB per CPU second of the best run
};

double cpu_seconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& tv) { return tv.tv_sec + tv.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

template <typename Run>
Figures measure(int repeat, double megabytes, Run run) {
  std::vector<std::pair<double, double>> rates;  // wall MB/s, CPU MB/s
  for (int i = 0; i < repeat; ++i) {
    const double cpu_start = cpu_seconds();
    const uint64_t start = selkbar::monotonic_ns();
    run();
    const double seconds = static_cast<double>(selkbar::elapsed_ns_since(start)) / 1e9;
    rates.emplace_back(megabytes / seconds, megabytes / (cpu_seconds() - cpu_start));
  }
  std::sort(rates.begin(), rates.end());
  return Figures{rates.back().first, rates[rates.size() / 2].first, rates.back().second};
}

}  // namespace

int main(int argc, char** argv) {
  std::string path;
  selkbar::PretokenizerKind kind = selkbar::PretokenizerKind::Whitespace;
  int repeat = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--bytelevel") {
      kind = selkbar::PretokenizerKind::ByteLevel;
    } else if (arg == "--mode" && i + 1 < argc) {
      const std::optional<selkbar::PretokenizerKind> named = selkbar::pretokenizer_from_name(argv[++i]);
      if (!named || *named == selkbar::PretokenizerKind::Pattern) {
        std::fprintf(stderr, "bench_phase1: --mode takes whitespace, bytelevel, gpt4 or o200k\n");
        return 2;
      }
      kind = *named;
    } else if (arg == "--repeat" && i + 1 < argc) {
      repeat = std::max(1, std::atoi(argv[++i]));
    } else if (path.empty()) {
      path = arg;
    } else {
      std::fprintf(stderr, "usage: bench_phase1 FILE [--bytelevel | --mode NAME] [--repeat N]\n");
      return 2;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "usage: bench_phase1 FILE [--bytelevel | --mode NAME] [--repeat N]\n");
    return 2;
  }

  const Baseline warm = read_and_split(path);  // also warms the page cache
  const double megabytes = static_cast<double>(warm.bytes) / 1e6;
  std::printf("file %s: %.1f MB, %llu whitespace-separated pieces, mode %s, best/median of %d\n",
              path.c_str(), megabytes, static_cast<unsigned long long>(warm.pieces),
              std::string(selkbar::pretokenizer_name(kind)).c_str(), repeat);

  const Figures baseline = measure(repeat, megabytes, [&] { read_and_split(path); });
  std::printf("baseline read+split (1 thread): %8.1f MB/s  (median %.1f, cpu %.1f)\n",
              baseline.best, baseline.median, baseline.cpu);
  for (uint64_t threads : {1, 2}) {
    size_t words = 0;
    const Figures figures = measure(repeat, megabytes, [&] {
      selkbar::TrainConfig config;
      config.files = {path};
      config.threads = threads;
      config.pretokenizer = kind;
      config.min_range = selkbar::min_range_from_env(std::getenv("SELKBAR_MIN_RANGE"));
      config.diagnostics = selkbar::diagnostics_from_env(std::getenv("SELKBAR_STATS"), std::getenv("PATH"));
      selkbar::CountResult result = selkbar::count_words(config);
      if (!result.status.ok()) {
        std::fprintf(stderr, "bench_phase1: %s\n", result.status.message().c_str());
        std::exit(1);
      }
      words = result.words.len();
    });
    std::printf(
        "count_words threads=%llu:        %8.1f MB/s  (median %.1f, cpu %.1f)  %.3fx baseline  "
        "%zu words\n",
        static_cast<unsigned long long>(threads), figures.best, figures.median, figures.cpu,
        figures.best / baseline.best, words);
  }
  return 0;
}
