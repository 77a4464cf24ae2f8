// owned_ranges: test hook that prints which bytes of a file each byte range
// owns, as the range reader (counting/reader.h) cuts them, and the chunks it
// sends for them; so that other implementations of the same rule (the Dask
// counter's owned_bytes) can be checked against it from outside C++.
//
//   owned_ranges MODE CHUNK FILE START END [START END]...
//
// MODE is "whitespace" or "bytelevel" (which bytes are delimiters), CHUNK the
// reader's read step in bytes. For each range, in the order given, it runs
// read_range and writes one line "range START END", then one line
// "chunk OFFSET LENGTH" per chunk sent, in order. A read error is written as
// "error MESSAGE" in place of the chunks. Exit status: 0 on success (read
// errors included), 2 on bad usage.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "counting/reader.h"
#include "threads/channel.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: owned_ranges whitespace|bytelevel CHUNK FILE START END...\n");
  return 2;
}

bool parse(const char* text, uint64_t* value) {
  char* end = nullptr;
  *value = std::strtoull(text, &end, 10);
  return end != text && *end == '\0';
}

struct Sent {
  uint64_t offset, length;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6 || (argc - 4) % 2 != 0) return usage();
  const std::string mode = argv[1];
  if (mode != "whitespace" && mode != "bytelevel") return usage();
  const selkbar::PretokenizerKind kind = mode == "whitespace"
                                             ? selkbar::PretokenizerKind::Whitespace
                                             : selkbar::PretokenizerKind::ByteLevel;
  uint64_t chunk = 0;
  if (!parse(argv[2], &chunk) || chunk == 0) return usage();
  const std::string path = argv[3];
  for (int i = 4; i < argc; i += 2) {
    uint64_t start = 0, end = 0;
    if (!parse(argv[i], &start) || !parse(argv[i + 1], &end)) return usage();
    auto [tx, rx] = selkbar::make_channel<selkbar::TextChunk>(2);
    std::vector<Sent> sent;
    std::string error;
    std::thread reader([&, tx = std::move(tx)]() mutable {
      const auto failure = selkbar::read_range(path, start, end, chunk, kind, tx);
      if (!failure.ok()) error = failure.message();
      tx.reset();
    });
    while (std::optional<selkbar::TextChunk> received = rx.recv()) {
      sent.push_back({received->offset(), received->size()});
    }
    reader.join();
    std::printf("range %" PRIu64 " %" PRIu64 "\n", start, end);
    if (!error.empty()) {
      std::printf("error %s\n", error.c_str());
      continue;
    }
    for (const Sent& s : sent) std::printf("chunk %" PRIu64 " %" PRIu64 "\n", s.offset, s.length);
  }
  return 0;
}
