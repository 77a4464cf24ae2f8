// Fuzz target for range planning and the reader's boundary rule.
//
// The input chooses a mode, a read-step size, how the file is cut (by
// plan_file_ranges with random reader counts and minimum range sizes, or at
// random offsets, some of them past the end of the file) and the file's
// contents. Every range is read with read_range. Properties:
//   - planned ranges are contiguous, cover the file and respect their bounds;
//   - each chunk is non-empty, starts at the file start or after a
//     delimiter, and ends with a delimiter unless it ends the file;
//   - the chunks of all ranges, in range order, concatenate to the file:
//     every pretoken is delivered exactly once, whole;
//   - splitting the chunks one by one gives the pretokens of the whole file.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "pretokenize/bytelevel.h"
#include "threads/channel.h"
#include "fuzz_check.h"
#include "counting/pipeline.h"
#include "counting/reader.h"
#include "pretokenize/split.h"
#include "unicode/utf8.h"

namespace {

using selkbar::PretokenizerKind;

// Reads fixed-width values from the front of the input; zeros once it runs out.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint64_t take(size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes && pos_ < size_; ++i) value = (value << 8) | data_[pos_++];
    return value;
  }
  std::string_view rest() const {
    return std::string_view(reinterpret_cast<const char*>(data_ + pos_), size_ - pos_);
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// One in-memory file for the whole run, reached through /proc/self/fd.
const std::string& scratch_path() {
  static const std::string path = [] {
    const int fd = memfd_create("reader_fuzz", 0);
    if (fd < 0) std::abort();
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

void write_scratch(std::string_view contents) {
  const int fd = std::atoi(scratch_path().c_str() + std::string("/proc/self/fd/").size());
  if (ftruncate(fd, 0) != 0) std::abort();
  if (!contents.empty() &&
      pwrite(fd, contents.data(), contents.size(), 0) != static_cast<ssize_t>(contents.size())) {
    std::abort();
  }
}

std::vector<std::string> split_all(std::string_view text, PretokenizerKind kind) {
  std::vector<std::string> out;
  auto sink = [&](std::string_view pretoken) { out.emplace_back(pretoken); };
  if (kind == PretokenizerKind::Whitespace) {
    selkbar::split_whitespace(text, sink);
  } else {
    selkbar::split_bytelevel(text, sink);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input(data, size);
  const uint64_t flags = input.take(1);
  const PretokenizerKind kind =
      (flags & 1) ? PretokenizerKind::ByteLevel : PretokenizerKind::Whitespace;
  const bool planned = (flags & 2) != 0;
  const uint64_t chunk = 1 + input.take(1) % 64;
  const uint64_t readers = input.take(1) % 10;
  const uint64_t min_range = input.take(2);
  const uint64_t cut_count = input.take(1) % 8;
  std::vector<uint64_t> cuts;
  for (uint64_t i = 0; i < cut_count; ++i) cuts.push_back(input.take(2));
  const std::string_view contents = input.rest();
  const uint64_t file_size = contents.size();
  write_scratch(contents);

  std::vector<selkbar::ReadTask> tasks;
  if (planned) {
    selkbar::plan_file_ranges(scratch_path(), file_size, readers, min_range, tasks);
    FUZZ_CHECK(tasks.empty() == (file_size == 0));
    FUZZ_CHECK(tasks.size() <= std::max<uint64_t>(readers, 1));
    for (size_t i = 0; i < tasks.size(); ++i) {
      FUZZ_CHECK(tasks[i].start < tasks[i].end);
      FUZZ_CHECK(tasks[i].start == (i == 0 ? 0 : tasks[i - 1].end));
      FUZZ_CHECK(tasks.size() == 1 || tasks[i].end - tasks[i].start >= std::max<uint64_t>(min_range, 1));
    }
    if (!tasks.empty()) FUZZ_CHECK(tasks.back().end == file_size);
  } else {
    // Arbitrary cuts, some of them beyond the end (a file that shrank after
    // planning): the ranges still cover everything, the file included.
    cuts.push_back(0);
    cuts.push_back(file_size);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    for (size_t i = 0; i + 1 < cuts.size(); ++i) {
      tasks.push_back({scratch_path(), cuts[i], cuts[i + 1]});
    }
  }

  std::string joined;
  std::vector<std::string> chunks;
  for (const selkbar::ReadTask& task : tasks) {
    auto [sender, receiver] = selkbar::make_channel<selkbar::TextChunk>(file_size + 2);
    const selkbar::Status status =
        selkbar::read_range(task.path, task.start, task.end, chunk, kind, sender, nullptr);
    FUZZ_CHECK(status.ok());
    sender = selkbar::ChunkSender();  // disconnect so recv() ends
    while (std::optional<selkbar::TextChunk> got = receiver.recv()) {
      const std::string_view text = got->text();
      FUZZ_CHECK(!text.empty());
      FUZZ_CHECK(joined.empty() || selkbar::is_delimiter(joined.back(), kind));
      joined += text;
      FUZZ_CHECK(joined.size() <= file_size);
      FUZZ_CHECK(selkbar::is_delimiter(text.back(), kind) || joined.size() == file_size);
      chunks.emplace_back(text);
    }
  }
  FUZZ_CHECK(joined == contents);

  // On valid UTF-8 (all a scanner ever splits), the pretokens of the chunks
  // one by one are those of the whole file: a delimiter is always a boundary
  // for the splitter of its mode.
  selkbar::Utf8Error utf8_error;
  if (selkbar::validate_utf8(contents, &utf8_error)) {
    std::vector<std::string> per_chunk;
    for (const std::string& text : chunks) {
      for (std::string& pretoken : split_all(text, kind)) per_chunk.push_back(std::move(pretoken));
    }
    FUZZ_CHECK(per_chunk == split_all(contents, kind));
  }
  return 0;
}
