#include "counts/counts_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "base/atomic_file.h"
#include "base/error.h"
#include "base/huge_pages.h"
#include "base/os_text.h"
#include "base/xxh64.h"
#include "pretokenize/word_spelling.h"

namespace selkbar {

namespace {

static_assert(std::endian::native == std::endian::little,
              "the counts file is little-endian and is read and written directly");

constexpr uint32_t FLAG_PATTERN = 1;
constexpr size_t HEADER_CHECKSUM_OFFSET = 56;
// Names are short option strings; patterns are regular expressions. The
// bounds only keep a damaged header from asking for absurd strings.
constexpr uint32_t MAX_NAME_BYTES = 255;
constexpr uint32_t MAX_PATTERN_BYTES = 1 << 20;
constexpr uint64_t MAX_WORDS = 0xFFFFFFFE;

struct Header {
  uint32_t version;
  uint32_t flags;
  uint64_t word_count;
  uint64_t arena_bytes;
  uint64_t lengths_bytes;
  uint64_t counts_bytes;
  uint32_t name_bytes;
  uint32_t pattern_bytes;
  uint64_t header_checksum;
};

template <typename T>
void put(char* at, T value) {
  std::memcpy(at, &value, sizeof value);
}

template <typename T>
T get(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

Header parse_header(const char* bytes) {
  Header h;
  h.version = get<uint32_t>(bytes + 8);
  h.flags = get<uint32_t>(bytes + 12);
  h.word_count = get<uint64_t>(bytes + 16);
  h.arena_bytes = get<uint64_t>(bytes + 24);
  h.lengths_bytes = get<uint64_t>(bytes + 32);
  h.counts_bytes = get<uint64_t>(bytes + 40);
  h.name_bytes = get<uint32_t>(bytes + 48);
  h.pattern_bytes = get<uint32_t>(bytes + 52);
  h.header_checksum = get<uint64_t>(bytes + HEADER_CHECKSUM_OFFSET);
  return h;
}

inline size_t varint_size(uint64_t value) {
  size_t size = 1;
  while (value >= 0x80) {
    value >>= 7;
    ++size;
  }
  return size;
}

inline char* put_varint(char* p, uint64_t value) {
  while (value >= 0x80) {
    *p++ = static_cast<char>(value | 0x80);
    value >>= 7;
  }
  *p++ = static_cast<char>(value);
  return p;
}

// Reads one minimal LEB128 varint of at most 64 bits. False for a varint
// that runs past `end`, is too long, or has redundant zero groups.
inline bool read_varint(const uint8_t*& p, const uint8_t* end, uint64_t* value) {
  if (p < end && *p < 0x80) {
    *value = *p++;
    return true;
  }
  uint64_t result = 0;
  for (int shift = 0; p < end && shift < 64; shift += 7) {
    const uint8_t byte = *p++;
    if (shift == 63 && byte > 1) return false;
    result |= uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) {
      if (byte == 0) return false;  // a redundant top group
      *value = result;
      return true;
    }
  }
  return false;
}

// Reserves room for `n` elements of a vector that holds none yet, on huge
// pages where the kernel agrees. The arrays of a large file are filled once,
// in order, so their cost is mostly the first touch of each page.
template <typename Vector>
void fresh_reserve(Vector& vector, size_t n) {
  vector.reserve(n);
  advise_huge_pages(vector.data(), n * sizeof(typename Vector::value_type));
}

template <typename Vector>
void fresh_resize(Vector& vector, size_t n) {
  fresh_reserve(vector, n);
  vector.resize(n);
}

// Where the bytes come from: a file or memory. Reads are exact.
class Source {
 public:
  virtual ~Source() = default;
  virtual uint64_t size() const = 0;
  // Fills `size` bytes or fails, leaving the failure in *status.
  virtual bool read(void* into, size_t size, Status* status) = 0;
};

class MemorySource : public Source {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  uint64_t size() const override { return bytes_.size(); }
  bool read(void* into, size_t size, Status*) override {
    // Sizes were checked against size() before any read.
    std::memcpy(into, bytes_.data() + position_, size);
    position_ += size;
    return true;
  }

 private:
  std::string_view bytes_;
  size_t position_ = 0;
};

class FileSource : public Source {
 public:
  FileSource(const std::string& path, int fd, uint64_t size) : path_(path), fd_(fd), size_(size) {}
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override { ::close(fd_); }
  uint64_t size() const override { return size_; }
  bool read(void* into, size_t size, Status* status) override {
    auto* p = static_cast<char*>(into);
    while (size > 0) {
      const ssize_t got = ::read(fd_, p, size);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        const int error = errno;
        *status = Status::OsError(error, "reading " + path_ + ": " + os_error_text(error));
        return false;
      }
      if (got == 0) {  // the file shrank while it was read
        *status = Status::InvalidInput("loading " + path_ +
                                       ": truncated: the file ended early while it was read");
        return false;
      }
      p += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }

 private:
  const std::string& path_;
  int fd_;
  uint64_t size_;
};

class Decoder {
 public:
  Decoder(Source& source, std::string_view step, std::string_view name)
      : source_(source), prefix_(std::string(step) + " " + std::string(name) + ": ") {}

  Status run(std::optional<WordCounts>* counts) {
    if (!read_header() || !read_body()) return std::move(status_);
    *counts = build();
    return std::move(status_);
  }

 private:
  bool words_are_sound(const WordTable& table, PretokenizerKind kind) {
    for (uint32_t w = 0; w < table.len(); ++w) {
      if (const auto problem = check_word_spelling(kind, table.get(w))) {
        return wrong("word " + std::to_string(w) + " " + describe_spelling_problem(*problem));
      }
    }
    if (const std::optional<std::pair<uint32_t, uint32_t>> twice = first_repeat(table)) {
      return wrong("word " + std::to_string(twice->second) + " repeats word " +
                   std::to_string(twice->first));
    }
    return true;
  }

  bool wrong(const std::string& what) {
    status_ = Status::InvalidInput(prefix_ + what);
    return false;
  }

  bool read(void* into, size_t size) {
    if (size == 0) return true;  // `into` may be null then
    if (!source_.read(into, size, &status_)) return false;
    sum_.update(into, size);
    return true;
  }

  bool read_header() {
    const uint64_t total = source_.size();
    char bytes[COUNTS_HEADER_BYTES];
    const size_t first = total < sizeof bytes ? static_cast<size_t>(total) : sizeof bytes;
    if (!read(bytes, first)) return false;
    const size_t magic_seen = first < 8 ? first : 8;
    if (std::memcmp(bytes, COUNTS_MAGIC, magic_seen) != 0) {
      return wrong("not a selkbar word counts file (wrong magic number)");
    }
    if (first < sizeof bytes) {
      return wrong("truncated: " + std::to_string(total) + " bytes, less than the " +
                   std::to_string(COUNTS_HEADER_BYTES + COUNTS_CHECKSUM_BYTES) +
                   " of an empty counts file");
    }
    header_ = parse_header(bytes);
    if (header_.version != COUNTS_FORMAT_VERSION) {
      if (header_.version > COUNTS_FORMAT_VERSION) {
        return wrong("counts file format version " + std::to_string(header_.version) +
                     " is newer than this selkbar reads (version " +
                     std::to_string(COUNTS_FORMAT_VERSION) + "); upgrade selkbar to load it");
      }
      return wrong("unknown counts file format version 0");
    }
    if (xxh64(std::string_view(bytes, HEADER_CHECKSUM_OFFSET)) != header_.header_checksum) {
      return wrong("header checksum mismatch (the file is damaged)");
    }
    return check_sizes(total);
  }

  // Every size is checked against the others and against the source's size
  // before anything is allocated from it.
  bool check_sizes(uint64_t total) {
    const Header& h = header_;
    if ((h.flags & ~FLAG_PATTERN) != 0) return wrong("unknown flags in the header");
    if (!(h.flags & FLAG_PATTERN) && h.pattern_bytes != 0) {
      return wrong("a pattern size without a pattern");
    }
    if (h.name_bytes == 0 || h.name_bytes > MAX_NAME_BYTES || h.pattern_bytes > MAX_PATTERN_BYTES) {
      return wrong("impossible pretokenizer name or pattern size");
    }
    if (h.word_count > MAX_WORDS || h.arena_bytes > MAX_ARENA_BYTES ||
        h.arena_bytes < h.word_count || h.lengths_bytes < h.word_count ||
        h.lengths_bytes > 5 * h.word_count || h.counts_bytes < h.word_count ||
        h.counts_bytes > 10 * h.word_count) {
      return wrong("impossible section sizes in the header (" + std::to_string(h.word_count) +
                   " words, " + std::to_string(h.arena_bytes) + " word bytes)");
    }
    // No sum overflows: every term is below 2^36 after the checks above.
    const uint64_t expected = COUNTS_HEADER_BYTES + h.name_bytes + h.pattern_bytes +
                              h.lengths_bytes + h.counts_bytes + h.arena_bytes +
                              COUNTS_CHECKSUM_BYTES;
    if (expected > total) {
      return wrong("truncated: the header describes " + std::to_string(expected) +
                   " bytes, but there are only " + std::to_string(total));
    }
    if (expected < total) {
      return wrong(std::to_string(total - expected) +
                   " bytes of unexpected data after the end of the counts");
    }
    return true;
  }

  bool read_body() {
    name_.resize(header_.name_bytes);
    pattern_.resize(header_.pattern_bytes);
    fresh_resize(varints_, header_.lengths_bytes + header_.counts_bytes);
    fresh_resize(arena_, header_.arena_bytes);
    uint64_t stored;
    if (!read(name_.data(), name_.size()) || !read(pattern_.data(), pattern_.size()) ||
        !read(varints_.data(), varints_.size()) || !read(arena_.data(), arena_.size())) {
      return false;
    }
    const uint64_t computed = sum_.digest();
    if (!source_.read(&stored, sizeof stored, &status_)) return false;
    if (stored != computed) return wrong("checksum mismatch (the file is damaged)");
    return true;
  }

  std::optional<WordCounts> build() {
    const std::optional<PretokenizerKind> kind = pretokenizer_from_name(name_);
    if (!kind) {
      wrong("unknown pretokenizer \"" + name_ +
            "\" (this selkbar knows \"whitespace\", \"bytelevel\", \"gpt4\" and \"o200k\"; "
            "the file may come from a newer selkbar)");
      return std::nullopt;
    }
    PretokenizerId id{*kind, std::nullopt};
    if (header_.flags & FLAG_PATTERN) {
      // A pattern replaces the rule of "bytelevel" and of no other.
      if (*kind != PretokenizerKind::ByteLevel) {
        wrong("pretokenizer \"" + name_ + "\" takes no pattern");
        return std::nullopt;
      }
      id = PretokenizerId{PretokenizerKind::Pattern, pattern_};
    }
    const size_t words = static_cast<size_t>(header_.word_count);
    std::vector<uint32_t> offsets;
    std::vector<uint64_t> counts;
    fresh_reserve(offsets, words + 1);
    fresh_reserve(counts, words);
    offsets.push_back(0);
    const uint8_t* p = varints_.data();
    const uint8_t* const lengths_end = p + header_.lengths_bytes;
    uint64_t end_offset = 0;
    for (size_t i = 0; i < words; ++i) {
      uint64_t length;
      if (!read_varint(p, lengths_end, &length) || length == 0 ||
          length > header_.arena_bytes - end_offset) {
        wrong("damaged length of word " + std::to_string(i));
        return std::nullopt;
      }
      end_offset += length;
      offsets.push_back(static_cast<uint32_t>(end_offset));
    }
    if (p != lengths_end || end_offset != header_.arena_bytes) {
      wrong("the word lengths do not match the sizes in the header");
      return std::nullopt;
    }
    const uint8_t* const counts_end = p + header_.counts_bytes;
    for (size_t i = 0; i < words; ++i) {
      uint64_t count;
      if (!read_varint(p, counts_end, &count) || count == 0) {
        wrong("damaged count of word " + std::to_string(i));
        return std::nullopt;
      }
      counts.push_back(count);
    }
    if (p != counts_end) {
      wrong("the word counts do not match the sizes in the header");
      return std::nullopt;
    }
    std::vector<uint8_t>().swap(varints_);
    WordTable table(std::move(arena_), std::move(offsets), std::move(counts));
    // The checksums vouch for the bytes, not for who wrote them: a word that
    // is not spelled as its pretokenizer spells words, or that repeats, would
    // make training and comparisons go wrong later, far from the file.
    if (!words_are_sound(table, id.kind)) return std::nullopt;
    return WordCounts(std::move(id), std::move(table));
  }

  Source& source_;
  std::string prefix_;
  Header header_{};
  Xxh64 sum_;
  std::string name_;
  std::string pattern_;
  std::vector<uint8_t> varints_;
  std::vector<uint8_t> arena_;
  Status status_;
};

}  // namespace

namespace {

std::string_view pattern_of(const WordCounts& counts) {
  const std::optional<std::string>& pattern = counts.pretokenizer().pattern;
  return pattern ? std::string_view(*pattern) : std::string_view();
}

}  // namespace

CountsImageSize measure_counts_image(const WordCounts& counts) {
  const WordTable& table = counts.words();
  CountsImageSize size{0, 0, 0};
  for (uint32_t id = 0; id < table.len(); ++id) {
    size.lengths_bytes += varint_size(table.offsets()[id + 1] - table.offsets()[id]);
    size.counts_bytes += varint_size(table.count(id));
  }
  size.total = COUNTS_HEADER_BYTES + pretokenizer_name(counts.pretokenizer().kind).size() +
               pattern_of(counts).size() + size.lengths_bytes +
               size.counts_bytes + table.bytes().size() + COUNTS_CHECKSUM_BYTES;
  return size;
}

uint64_t counts_image_bound(const WordCounts& counts) {
  const WordTable& table = counts.words();
  constexpr uint64_t LONGEST_VARINT = 10;  // of a 64-bit value
  return COUNTS_HEADER_BYTES + pretokenizer_name(counts.pretokenizer().kind).size() +
         pattern_of(counts).size() + uint64_t{table.len()} * 2 * LONGEST_VARINT +
         table.bytes().size() + COUNTS_CHECKSUM_BYTES;
}

// The sections are written first and the header, which records their sizes,
// last; so one pass over the words does, with no measuring pass before it.
uint64_t encode_counts_into(const WordCounts& counts, char* out) {
  const WordTable& table = counts.words();
  const std::string_view name = pretokenizer_name(counts.pretokenizer().kind);
  const std::string_view pattern = pattern_of(counts);
  char* p = out + COUNTS_HEADER_BYTES;
  std::memcpy(p, name.data(), name.size());
  p += name.size();
  if (!pattern.empty()) std::memcpy(p, pattern.data(), pattern.size());  // data() may be null
  p += pattern.size();
  char* const lengths_start = p;
  for (uint32_t id = 0; id < table.len(); ++id) {
    p = put_varint(p, table.offsets()[id + 1] - table.offsets()[id]);
  }
  char* const counts_start = p;
  for (uint64_t count : table.counts()) p = put_varint(p, count);
  const auto lengths_bytes = static_cast<uint64_t>(counts_start - lengths_start);
  const auto counts_bytes = static_cast<uint64_t>(p - counts_start);
  if (!table.bytes().empty()) std::memcpy(p, table.bytes().data(), table.bytes().size());
  p += table.bytes().size();

  std::memcpy(out, COUNTS_MAGIC, sizeof COUNTS_MAGIC);
  put<uint32_t>(out + 8, COUNTS_FORMAT_VERSION);
  put<uint32_t>(out + 12, counts.pretokenizer().pattern ? FLAG_PATTERN : 0);
  put<uint64_t>(out + 16, table.len());
  put<uint64_t>(out + 24, table.bytes().size());
  put<uint64_t>(out + 32, lengths_bytes);
  put<uint64_t>(out + 40, counts_bytes);
  put<uint32_t>(out + 48, static_cast<uint32_t>(name.size()));
  put<uint32_t>(out + 52, static_cast<uint32_t>(pattern.size()));
  put<uint64_t>(out + HEADER_CHECKSUM_OFFSET, xxh64(std::string_view(out, HEADER_CHECKSUM_OFFSET)));
  put<uint64_t>(p, xxh64(std::string_view(out, static_cast<size_t>(p - out))));
  return static_cast<uint64_t>(p - out) + COUNTS_CHECKSUM_BYTES;
}

void encode_counts_into(const WordCounts& counts, const CountsImageSize& size, char* out) {
  if (encode_counts_into(counts, out) != size.total) {
    throw InternalError("counts image size differs from its measure");
  }
}

std::string encode_counts(const WordCounts& counts) {
  const CountsImageSize size = measure_counts_image(counts);
  std::string image(size.total, '\0');
  encode_counts_into(counts, size, image.data());
  return image;
}

Status save_counts(const WordCounts& counts, const std::string& path) {
  // Not a std::string: its size would be zero-filled first, a pass over the
  // largest buffer of the save for nothing. Room for the longest image is
  // reserved and only the pages written are ever touched. Huge pages: see
  // fresh_reserve.
  const uint64_t bound = counts_image_bound(counts);
  const auto release = [bound](char* image) { release_huge(image, bound); };
  const std::unique_ptr<char, decltype(release)> image(static_cast<char*>(allocate_huge(bound)),
                                                       release);
  const uint64_t size = encode_counts_into(counts, image.get());
  return write_file_atomically(path, std::string_view(image.get(), size));
}

Status load_counts(const std::string& path, std::optional<WordCounts>* counts) {
  counts->reset();
  if (holds_nul(path)) return Status::InvalidInput("opening " + path + ": " + NUL_IN_PATH);
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    return Status::OsError(error, "opening " + path + ": " + os_error_text(error));
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    return Status::OsError(error, "reading " + path + ": " + os_error_text(error));
  }
  if (!S_ISREG(info.st_mode)) {
    ::close(fd);
    if (S_ISDIR(info.st_mode)) {
      // open() takes a directory on Linux, where Python's own open() refuses
      // it: said as opening, as for a file that cannot be opened.
      return Status::OsError(EISDIR, "opening " + path + ": " + os_error_text(EISDIR));
    }
    return Status::InvalidInput("loading " + path +
                                ": not a regular file (a counts file is read with its size "
                                "known in advance; write the stream to a file first)");
  }
  FileSource source(path, fd, static_cast<uint64_t>(info.st_size));
  return Decoder(source, "loading", path).run(counts);
}

Status decode_counts(std::string_view image, std::string_view step, std::string_view source,
                     std::optional<WordCounts>* counts) {
  counts->reset();
  MemorySource memory(image);
  return Decoder(memory, step, source).run(counts);
}

}  // namespace selkbar
