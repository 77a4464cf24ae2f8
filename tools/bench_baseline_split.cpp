// bench_baseline_split: the floor for phase 1 on one thread. Reads the files
// from disk in large blocks and splits them on ASCII whitespace, counting the
// words and their bytes, and nothing else: no UTF-8 check, no hashing, no
// counting of distinct words. bench/run.py times it next to the trainers.
//
//   bench_baseline_split FILE...
//
// Prints one line: "bytes=N words=N word_bytes=N seconds=S".
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr size_t BLOCK_BYTES = 16u << 20;

// The six ASCII whitespace bytes: tab, line feed, vertical tab, form feed,
// carriage return, space.
constexpr std::array<bool, 256> make_space_table() {
  std::array<bool, 256> table{};
  for (unsigned char c : {'\t', '\n', '\v', '\f', '\r', ' '}) table[c] = true;
  return table;
}
constexpr std::array<bool, 256> IS_SPACE = make_space_table();

struct SplitCounts {
  uint64_t bytes = 0;
  uint64_t words = 0;
  uint64_t word_bytes = 0;
};

// Counts words across block boundaries: in_word carries over, so a word cut
// by a block end is counted once.
void split_block(const unsigned char* data, size_t size, bool& in_word, SplitCounts& counts) {
  uint64_t words = 0, word_bytes = 0;
  for (size_t i = 0; i < size; ++i) {
    const bool space = IS_SPACE[data[i]];
    words += (!space && !in_word);
    word_bytes += !space;
    in_word = !space;
  }
  counts.bytes += size;
  counts.words += words;
  counts.word_bytes += word_bytes;
}

bool split_file(const char* path, unsigned char* buffer, SplitCounts& counts) {
  const int fd = open(path, O_RDONLY);
  if (fd < 0) {
    std::fprintf(stderr, "opening %s: %s\n", path, std::strerror(errno));
    return false;
  }
  bool in_word = false;
  bool ok = true;
  for (;;) {
    const ssize_t got = read(fd, buffer, BLOCK_BYTES);
    if (got < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "reading %s: %s\n", path, std::strerror(errno));
      ok = false;
      break;
    }
    if (got == 0) break;
    split_block(buffer, static_cast<size_t>(got), in_word, counts);
  }
  close(fd);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE...\n", argv[0]);
    return 2;
  }
  const auto buffer = std::make_unique<unsigned char[]>(BLOCK_BYTES);
  SplitCounts counts;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; i < argc; ++i) {
    if (!split_file(argv[i], buffer.get(), counts)) return 1;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("bytes=%llu words=%llu word_bytes=%llu seconds=%.6f\n",
              static_cast<unsigned long long>(counts.bytes),
              static_cast<unsigned long long>(counts.words),
              static_cast<unsigned long long>(counts.word_bytes), elapsed.count());
  return 0;
}
