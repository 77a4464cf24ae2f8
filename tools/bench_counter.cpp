// bench_counter: the scanner's and the owner's work of phase 1, each alone.
//
//   bench_counter FILE [--repeat N]
//
// Times the scanner's work without validation (splitting FILE on whitespace,
// hashing, filling PretokenBatches for one owner), then times feeding every
// batch through a fresh ShardCounter the way an owner thread does,
// prefetching included. Prints the best and median of N
// runs (default 3) in MB of input per second and nanoseconds per pretoken,
// so a change to the counter can be judged without the scanner and the
// channels in the way.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "counting/batch.h"
#include "counting/counter.h"
#include "base/fxhash.h"
#include "pretokenize/split.h"
#include "stats.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_counter FILE [--repeat N]\n");
    return 2;
  }
  int repeat = 3;
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) == "--repeat" && i + 1 < argc) repeat = std::max(1, std::atoi(argv[++i]));
  }
  std::ifstream in(argv[1], std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  // Seconds of each of `repeat` calls of run(), fastest first. What run()
  // returns is destroyed after the clock has stopped, so freeing it is not
  // timed.
  auto time_runs = [repeat](auto run) {
    std::vector<double> seconds;
    for (int r = 0; r < repeat; ++r) {
      const uint64_t start = selkbar::monotonic_ns();
      const auto kept = run();
      seconds.push_back(static_cast<double>(selkbar::elapsed_ns_since(start)) / 1e9);
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds;
  };

  constexpr size_t BATCH_BYTES = 65536;
  std::vector<selkbar::PretokenBatch> batches;
  size_t pretokens = 0;
  const std::vector<double> scan_seconds = time_runs([&] {
    batches.clear();
    batches.emplace_back();
    pretokens = 0;
    selkbar::split_whitespace(text, [&](std::string_view pretoken) {
      batches.back().push(pretoken, selkbar::pretoken_hash(pretoken));
      ++pretokens;
      if (batches.back().byte_size() >= BATCH_BYTES) batches.emplace_back();
    });
    return pretokens;
  });

  size_t words = 0;
  const std::vector<double> seconds = time_runs([&] {
    selkbar::ShardCounter counter;
    for (const selkbar::PretokenBatch& batch : batches) counter.add_batch(batch);
    words = counter.len();
    return counter;
  });
  const double mb = static_cast<double>(text.size()) / 1e6;
  std::printf("scanner (split, hash, batch): best %.1f MB/s (%.2f ns/pretoken), median %.1f MB/s\n",
              mb / scan_seconds.front(), scan_seconds.front() * 1e9 / pretokens,
              mb / scan_seconds[scan_seconds.size() / 2]);
  std::printf("counter: %zu pretokens, %zu words; best %.1f MB/s (%.2f ns/pretoken), median %.1f MB/s\n",
              pretokens, words, mb / seconds.front(), seconds.front() * 1e9 / pretokens,
              mb / seconds[seconds.size() / 2]);
  return 0;
}
