#include "counting/reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/error.h"
#include "base/os_text.h"
#include "unicode/whitespace.h"

namespace selkbar {

namespace {

constexpr auto DELIMITERS = [] {
  struct Table {
    bool whitespace[256] = {};
  } table;
  for (int b = 0; b < 256; ++b) table.whitespace[b] = is_ascii_white_space(static_cast<uint8_t>(b));
  return table;
}();

// Index of the first delimiter in [from, size), or size if there is none.
size_t find_first_delimiter(const ByteBuffer& buffer, size_t from, PretokenizerKind kind) {
  const uint8_t* data = buffer.data();
  const size_t size = buffer.size();
  if (from >= size) return size;
  if (is_byte_level(kind)) {
    const void* hit = std::memchr(data + from, '\n', size - from);
    return hit == nullptr ? size : static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
  }
  for (size_t i = from; i < size; ++i) {
    if (DELIMITERS.whitespace[data[i]]) return i;
  }
  return size;
}

// Index of the last delimiter in the buffer, or size if there is none.
size_t find_last_delimiter(const ByteBuffer& buffer, PretokenizerKind kind) {
  const uint8_t* data = buffer.data();
  const size_t size = buffer.size();
  if (is_byte_level(kind)) {
    const void* hit = memrchr(data, '\n', size);
    return hit == nullptr ? size : static_cast<size_t>(static_cast<const uint8_t*>(hit) - data);
  }
  for (size_t i = size; i-- > 0;) {
    if (DELIMITERS.whitespace[data[i]]) return i;
  }
  return size;
}

// Owns an open file descriptor.
class FileHandle {
 public:
  explicit FileHandle(int fd) : fd_(fd) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() {
    if (fd_ >= 0) close(fd_);
  }
  int fd() const { return fd_; }

 private:
  int fd_;
};

// One read step: appends up to `want` bytes, reading until they are all there
// or the file ends, retrying interrupted reads. Returns the number appended,
// or -1 with errno set.
int64_t read_step(int fd, ByteBuffer& buffer, size_t want) {
  size_t appended = 0;
  while (appended < want) {
    const ssize_t n = read(fd, buffer.spare(), want - appended);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    buffer.commit(static_cast<size_t>(n));
    appended += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(appended);
}

}  // namespace

bool is_delimiter(uint8_t byte, PretokenizerKind pretokenizer) {
  return is_byte_level(pretokenizer) ? byte == '\n' : DELIMITERS.whitespace[byte];
}

namespace {

// The outcome of one step of a range: go on reading, or stop with success
// (an ok status) or a failure.
struct Step {
  bool done;
  Status status;
};
const Step KEEP_READING{false, Status()};
const Step FINISHED{true, Status()};
Step failed(Status status) { return Step{true, std::move(status)}; }

// One call of read_range: an open file positioned at the range start, and a
// buffer holding the bytes from `pos_` on that are read but not yet sent.
class RangeReader {
 public:
  RangeReader(const std::string& path, uint64_t end, uint64_t chunk, PretokenizerKind kind,
              RangeSink& sink, Phase1Stats* stats)
      : path_(path), end_(end), chunk_(chunk), kind_(kind), sink_(sink), stats_(stats) {}

  Status run(uint64_t start) {
    std::optional<Step> opened = open_at(start);
    if (opened) return std::move(opened->status);
    for (;;) {
      Step step = next_step();
      if (step.done) return std::move(step.status);
    }
  }

 private:
  // The training input could not be read: ValueError for the caller, with
  // the errno kept.
  Status failure(const char* action, int error) const {
    return Status::InvalidInput(std::string(action) + " " + path_ + ": " + os_error_text(error),
                                error);
  }

  // Opens the file and positions it at `start`, deciding whether the range
  // begins inside a pretoken that belongs to the range before. Returns a
  // finished step when there is nothing to read.
  std::optional<Step> open_at(uint64_t start) {
    if (holds_nul(path_)) {
      return failed(Status::InvalidInput("opening " + path_ + ": " + NUL_IN_PATH));
    }
    int fd;
    do {
      fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return failed(failure("opening", errno));
    file_.emplace(fd);
    pos_ = start;
    if (start == 0) {
      if (lseek(fd, 0, SEEK_SET) < 0) return failed(failure("seeking", errno));
    } else {
      if (start - 1 > static_cast<uint64_t>(INT64_MAX)) return failed(failure("seeking", EINVAL));
      if (lseek(fd, static_cast<off_t>(start - 1), SEEK_SET) < 0) {
        return failed(failure("seeking", errno));
      }
      uint8_t before;
      ssize_t n;
      do {
        n = read(fd, &before, 1);
      } while (n < 0 && errno == EINTR);
      if (n < 0) return failed(failure("reading", errno));
      if (n == 0) return FINISHED;  // the file ends before the range starts
      skipping_ = !is_delimiter(before, kind_);
    }
    // The kernel's read-ahead may double its window for a sequential reader.
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::nullopt;
  }

  Step next_step() {
    if (!skipping_ && pos_ >= end_) return FINISHED;
    buffer_.reserve_more(chunk_);
    const uint64_t t0 = stats_ != nullptr ? monotonic_ns() : 0;
    const int64_t n = read_step(file_->fd(), buffer_, chunk_);
    if (stats_ != nullptr) Phase1Stats::add(stats_->read_ns, elapsed_ns_since(t0));
    if (n < 0) return failed(failure("reading", errno));
    at_eof_ = static_cast<uint64_t>(n) < chunk_;
    if (skipping_) {
      const Step skipped = skip_to_first_delimiter();
      if (skipped.done || skipping_) return skipped;
    }
    return pos_ + buffer_.size() <= end_ ? send_inside_range() : send_across_range_end();
  }

  // Drops the tail of the pretoken that the range before sends.
  Step skip_to_first_delimiter() {
    const size_t j = find_first_delimiter(buffer_, 0, kind_);
    if (j == buffer_.size()) {
      pos_ += buffer_.size();
      buffer_.clear();
      return at_eof_ || pos_ >= end_ ? FINISHED : KEEP_READING;
    }
    buffer_.drop_front(j + 1);
    pos_ += j + 1;
    if (pos_ >= end_) return FINISHED;
    skipping_ = false;
    return KEEP_READING;
  }

  // The buffer lies inside the range: deliver up to its last delimiter and
  // keep the partial pretoken after it.
  Step send_inside_range() {
    const size_t len = buffer_.size();
    if (at_eof_) return len == 0 ? FINISHED : send_and_finish(len);
    const size_t j = find_last_delimiter(buffer_, kind_);
    if (j == len) return KEEP_READING;  // one pretoken fills the buffer; read on
    if (!sink_.deliver(buffer_, j + 1, pos_, true)) return failed(Status::InvalidInput(HUNG_UP));
    pos_ += j + 1;
    return KEEP_READING;
  }

  // The buffer reaches past the range: cut at the first delimiter at or after
  // the range's last byte; what follows belongs to the next range.
  Step send_across_range_end() {
    const size_t h = pos_ <= end_ - 1 ? static_cast<size_t>(end_ - 1 - pos_) : 0;
    const size_t k = find_first_delimiter(buffer_, h, kind_);
    if (k < buffer_.size()) return send_and_finish(k + 1);
    if (at_eof_) return send_and_finish(buffer_.size());
    return KEEP_READING;  // the pretoken crossing the range end goes on
  }

  Step send_and_finish(size_t length) {
    return sink_.deliver(buffer_, length, pos_, false) ? FINISHED
                                                       : failed(Status::InvalidInput(HUNG_UP));
  }

  static constexpr const char* HUNG_UP = "scanners hung up";

  const std::string& path_;
  const uint64_t end_;
  const uint64_t chunk_;
  const PretokenizerKind kind_;
  RangeSink& sink_;
  Phase1Stats* const stats_;
  std::optional<FileHandle> file_;
  uint64_t pos_ = 0;       // file offset of the buffer's first byte
  bool skipping_ = false;  // inside a pretoken the range before sends
  bool at_eof_ = false;    // the latest read step reached the end of the file
  ByteBuffer buffer_;
};

}  // namespace

Status read_range(const std::string& path, uint64_t start, uint64_t end, uint64_t chunk,
                  PretokenizerKind pretokenizer, RangeSink& sink, Phase1Stats* stats) {
  if (chunk == 0) throw InternalError("read_range requires a non-zero chunk size");
  return RangeReader(path, end, chunk, pretokenizer, sink, stats).run(start);
}

namespace {

// Sends each piece as a chunk of its own buffer; the partial pretoken after
// it starts a new buffer with room for the next read step.
class ChannelSink final : public RangeSink {
 public:
  ChannelSink(const std::string& path, uint64_t chunk, ChunkSender& sender)
      : path_(path), chunk_(chunk), sender_(sender) {}

  bool deliver(ByteBuffer& buffer, size_t length, uint64_t offset, bool keep_rest) override {
    ByteBuffer next;
    if (keep_rest) {
      const size_t tail = buffer.size() - length;
      next.reserve_more(tail + chunk_);
      if (tail != 0) std::memcpy(next.spare(), buffer.data() + length, tail);
      next.commit(tail);
    }
    buffer.truncate(length);
    const bool sent = sender_.send(TextChunk(std::move(buffer), &path_, offset));
    buffer = std::move(next);
    return sent;
  }

 private:
  const std::string& path_;
  const uint64_t chunk_;
  ChunkSender& sender_;
};

}  // namespace

Status read_range(const std::string& path, uint64_t start, uint64_t end, uint64_t chunk,
                  PretokenizerKind pretokenizer, ChunkSender& sender, Phase1Stats* stats) {
  ChannelSink sink(path, chunk, sender);
  return read_range(path, start, end, chunk, pretokenizer, sink, stats);
}

}  // namespace selkbar
