// counts_file.h: WordCounts as a compact binary file, and back.
//
//   Status saved = save_counts(counts, "corpus.counts");
//   std::optional<WordCounts> loaded;
//   Status status = load_counts("corpus.counts", &loaded);
//   if (!loaded.counts) report(loaded.error, loaded.os_error);
//
// Encoding (all integers little-endian; "varint" is unsigned LEB128: seven
// bits per byte, low group first, high bit set on every byte but the last):
//
//   offset  size  field
//   0       8     magic 89 53 4B 57 43 0D 0A 1A ("\x89SKWC\r\n\x1a")
//   8       4     format version, 1
//   12      4     flags: bit 0 = a pattern follows the name; others 0
//   16      8     word_count     number of words
//   24      8     arena_bytes    total bytes of all words
//   32      8     lengths_bytes  size of the lengths section
//   40      8     counts_bytes   size of the counts section
//   48      4     name_bytes     size of the pretokenizer name
//   52      4     pattern_bytes  size of the pattern (0 without one)
//   56      8     XXH64 (seed 0) of bytes 0 .. 55, so that a damaged size
//                 field is reported as damage, not as a truncated file
//   64            pretokenizer name, UTF-8 ("whitespace", "bytelevel")
//                 pattern, UTF-8 (only with flag bit 0)
//                 lengths: word_count varints, each word's byte length (>= 1)
//                 counts: word_count varints, each word's count (1 .. 2^64-1)
//                 arena: the words' bytes, concatenated in the same order
//   end - 8 8     XXH64 (seed 0) of every byte before it
//
// Words are stored in table order, which is not canonical: two files of the
// same counts can differ in bytes. A typical word costs its bytes plus 2 to
// 4 bytes. The magic's first byte is not ASCII and its CR LF and ^Z catch
// files mangled by text-mode transfers.
//
// Loading reads the header first (magic, then version, then the header
// checksum, so a newer version may lay out its header differently) and
// checks that the sizes it declares add up to exactly the file's size (and
// are possible: every word at least one byte, varints at most 5 or 10 bytes
// each) before allocating anything, so a size field claiming terabytes is
// refused without a large allocation. It then reads the rest, verifies the
// checksum and decodes the sections checking every structural rule (minimal
// varints, lengths and counts at least 1, lengths adding up to the arena).
// It never returns partial data.
//
// What the checksum vouches for is not checked again: a file that matches it
// holds what save_counts wrote, and the counts it wrote had distinct, well
// spelled words (phase 1 makes them so, from_items checks them). Checking
// spelling and distinctness on every load would cost more than all the rest
// of loading; a forged file that passes the checksum can hold odd words, but
// nothing downstream reads past a word or trusts its bytes to be UTF-8.
//
// Both directions run without the interpreter; neither keeps state.
#ifndef SELKBAR_COUNTS_FILE_H_
#define SELKBAR_COUNTS_FILE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/status.h"
#include "counts/word_counts.h"

namespace selkbar {

inline constexpr char COUNTS_MAGIC[8] = {'\x89', 'S', 'K', 'W', 'C', '\r', '\n', '\x1a'};
inline constexpr uint32_t COUNTS_FORMAT_VERSION = 1;
inline constexpr size_t COUNTS_HEADER_BYTES = 64;
inline constexpr size_t COUNTS_CHECKSUM_BYTES = 8;

// The whole file image of `counts`.
std::string encode_counts(const WordCounts& counts);

// The same in two steps, for a caller that provides the memory (the module
// encodes straight into a Python bytes object). Neither step allocates or
// throws.
struct CountsImageSize {
  uint64_t lengths_bytes;
  uint64_t counts_bytes;
  uint64_t total;  // bytes of the whole image
};
CountsImageSize measure_counts_image(const WordCounts& counts);
// REQUIRES: `size` measured for `counts`; `out` holds size.total bytes.
void encode_counts_into(const WordCounts& counts, const CountsImageSize& size, char* out);
// The most bytes the image of `counts` can take (every varint at its
// longest), and the encoding into a buffer of that size, returning the
// image's size. For callers that would rather reserve than measure.
uint64_t counts_image_bound(const WordCounts& counts);
uint64_t encode_counts_into(const WordCounts& counts, char* out);

// Writes encode_counts(counts) to `path` with write_file_atomically: an
// existing file is replaced only once the new one is complete, and a failed
// or interrupted save leaves no file behind. Fails with write_file_atomically's
// OsError status, "writing {path}: {error}".
Status save_counts(const WordCounts& counts, const std::string& path);

// Loads a file written by save_counts into *counts. Refuses anything else,
// leaving *counts empty, with a status whose message starts with the step
// and the source (e.g. "loading c.bin: checksum mismatch (the file is
// damaged)"):
//   OsError (with the errno)  the path cannot be opened or read, or is a
//                             directory;
//   InvalidInput              a path holding a NUL byte, another non-regular
//                             file, a foreign, truncated, damaged or
//                             newer-version file.
Status load_counts(const std::string& path, std::optional<WordCounts>* counts);

// Decodes a file image held in memory; `source` names it in messages, as
// "{step} {source}: ..." does for a path (e.g. step "unpickling",
// source "WordCounts"). Fails only with InvalidInput.
Status decode_counts(std::string_view image, std::string_view step, std::string_view source,
                     std::optional<WordCounts>* counts);

}  // namespace selkbar

#endif  // SELKBAR_COUNTS_FILE_H_
