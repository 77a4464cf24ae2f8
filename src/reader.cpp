#include "reader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error.h"

namespace selkbar {

void ByteBuffer::reserve_more(size_t more) {
  if (capacity_ - size_ >= more) return;
  size_t wanted = size_ + more;
  if (wanted < capacity_ * 2) wanted = capacity_ * 2;
  auto grown = std::make_unique_for_overwrite<uint8_t[]>(wanted);
  if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_);
  data_ = std::move(grown);
  capacity_ = wanted;
}

void ByteBuffer::drop_front(size_t n) {
  if (n != 0 && n < size_) std::memmove(data_.get(), data_.get() + n, size_ - n);
  size_ -= n;
}

namespace {

constexpr auto DELIMITERS = [] {
  struct Table {
    bool whitespace[256] = {};
  } table;
  for (int b = 0x09; b <= 0x0D; ++b) table.whitespace[b] = true;
  table.whitespace[0x20] = true;
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

std::string os_error_text(int error) { return std::strerror(error); }

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

std::optional<std::string> read_range(const std::string& path, uint64_t start, uint64_t end,
                                      uint64_t chunk, PretokenizerKind pretokenizer,
                                      ChunkSender& sender, Phase1Stats* stats) {
  if (chunk == 0) throw InternalError("read_range requires a non-zero chunk size");

  // The OS would stop reading the path at an embedded NUL and open another file.
  if (path.find('\0') != std::string::npos) return "opening " + path + ": path contains a NUL byte";
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return "opening " + path + ": " + os_error_text(errno);
  const FileHandle file(fd);

  bool skipping = false;
  if (start == 0) {
    if (lseek(fd, 0, SEEK_SET) < 0) return "seeking " + path + ": " + os_error_text(errno);
  } else {
    if (start - 1 > static_cast<uint64_t>(INT64_MAX) ||
        lseek(fd, static_cast<off_t>(start - 1), SEEK_SET) < 0) {
      return "seeking " + path + ": " + os_error_text(start - 1 > INT64_MAX ? EINVAL : errno);
    }
    uint8_t before;
    ssize_t n;
    do {
      n = read(fd, &before, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return "reading " + path + ": " + os_error_text(errno);
    if (n == 0) return std::nullopt;  // the file ends before the range starts
    skipping = !is_delimiter(before, pretokenizer);
  }
  // The kernel's read-ahead may double its window for a sequential reader.
  posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

  const bool timed = stats != nullptr;
  // `offset` is where the bytes start in the file.
  auto send = [&](ByteBuffer&& bytes, uint64_t offset) {
    const uint64_t t0 = timed ? monotonic_ns() : 0;
    const bool sent = sender.send(TextChunk(std::move(bytes), &path, offset));
    if (timed) Phase1Stats::add(stats->send_blocked_ns, elapsed_ns_since(t0));
    return sent;
  };
  const std::string hung_up = "scanners hung up";

  uint64_t pos = start;
  ByteBuffer buffer;
  for (;;) {
    if (!skipping && pos >= end) return std::nullopt;

    buffer.reserve_more(chunk);
    const uint64_t t0 = timed ? monotonic_ns() : 0;
    const int64_t n = read_step(fd, buffer, chunk);
    if (timed) Phase1Stats::add(stats->read_ns, elapsed_ns_since(t0));
    if (n < 0) return "reading " + path + ": " + os_error_text(errno);
    const bool at_eof = static_cast<uint64_t>(n) < chunk;

    if (skipping) {
      const size_t j = find_first_delimiter(buffer, 0, pretokenizer);
      if (j == buffer.size()) {
        const size_t dropped = buffer.size();
        buffer.clear();
        if (at_eof) return std::nullopt;
        pos += dropped;
        if (pos >= end) return std::nullopt;
        continue;
      }
      buffer.drop_front(j + 1);
      pos += j + 1;
      if (pos >= end) return std::nullopt;
      skipping = false;
    }

    const size_t len = buffer.size();
    if (pos + len <= end) {
      if (at_eof) {
        if (len == 0) return std::nullopt;
        if (!send(std::move(buffer), pos)) return hung_up;
        return std::nullopt;
      }
      const size_t j = find_last_delimiter(buffer, pretokenizer);
      if (j == len) continue;  // one pretoken fills the buffer; read on
      // The next buffer starts with the partial pretoken after the cut and
      // has room for the next read step, so it is filled without regrowing.
      const size_t tail = len - (j + 1);
      ByteBuffer next;
      next.reserve_more(tail + chunk);
      if (tail != 0) std::memcpy(next.spare(), buffer.data() + j + 1, tail);
      next.commit(tail);
      buffer.truncate(j + 1);
      if (!send(std::move(buffer), pos)) return hung_up;
      buffer = std::move(next);
      pos += j + 1;
      continue;
    }

    // The buffer reaches past the range: cut at the first delimiter at or
    // after the range's last byte; what follows belongs to the next range.
    const size_t h = pos <= end - 1 ? static_cast<size_t>(end - 1 - pos) : 0;
    const size_t k = find_first_delimiter(buffer, h, pretokenizer);
    if (k < len) {
      buffer.truncate(k + 1);
      if (!send(std::move(buffer), pos)) return hung_up;
      return std::nullopt;
    }
    if (at_eof) {
      if (!send(std::move(buffer), pos)) return hung_up;
      return std::nullopt;
    }
  }
}

}  // namespace selkbar
