// reader.h: reads one byte range of a file as TextChunks cut on pretoken
// boundaries.
//
// Several readers read neighbouring ranges of one file at once, cut without
// looking at the text, so the reader moves the cuts itself. A range
// [start, end) owns the bytes from just after the first delimiter at or after
// offset start - 1 (from offset 0 when start is 0) up to and including the
// first delimiter at or after offset end - 1 (to the end of the file if there
// is none). Neighbours apply the rule to the same delimiter, so every
// pretoken is sent whole by exactly one reader. Delimiters are ASCII
// whitespace (tab, LF, VT, FF, CR, space) in whitespace mode and LF alone in
// byte-level mode; being ASCII, a cut never splits a UTF-8 sequence. The
// Dask counter applies the same rule in Python (selkbar_dask.owned_bytes);
// tests/python/test_range_rule.py compares the two through tools/owned_ranges.
//
// Every piece starts at the file start or just after a delimiter and ends
// with a delimiter, except the last piece of a file that does not end with
// one.
#ifndef SELKBAR_READER_H_
#define SELKBAR_READER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/byte_buffer.h"
#include "base/status.h"
#include "threads/channel.h"
#include "config.h"
#include "stats.h"

namespace selkbar {

// An immutable, reference-counted byte buffer of text for the counting
// workers.
// Copying a TextChunk copies a reference, never the bytes. It holds either
//   - file text: whole pretokens of one file range, split by the file rules
//     (in byte-level modes each line on its own). It remembers where it came
//     from, so that an error found in it can name the file and the byte
//     offset in that file: `source` is borrowed and must outlive the chunk
//     (the reader's task list does); nullptr when the text came from no file;
//   - whole texts: texts given one by one (by an iterator), each split as
//     one input, so a pretoken may span a line break. text_ends() holds the
//     end of each text in text(), ascending, the last one text().size();
//     first_text() is the number of the first text in the caller's stream,
//     for error messages.
class TextChunk {
 public:
  TextChunk() = default;
  explicit TextChunk(ByteBuffer&& buffer, const std::string* source = nullptr,
                     uint64_t offset = 0)
      : payload_(std::make_shared<const Payload>(Payload{std::move(buffer), {}})),
        source_(source),
        offset_(offset) {}
  // REQUIRES: ends ascending, ends.back() == buffer.size(), ends not empty.
  TextChunk(ByteBuffer&& buffer, std::vector<size_t>&& ends, uint64_t first_text)
      : payload_(std::make_shared<const Payload>(Payload{std::move(buffer), std::move(ends)})),
        offset_(first_text),
        texts_(true) {}

  std::string_view text() const { return payload_ ? payload_->bytes.view() : std::string_view(); }
  size_t size() const { return payload_ ? payload_->bytes.size() : 0; }
  const std::string* source() const { return source_; }
  uint64_t offset() const { return texts_ ? 0 : offset_; }  // of the first byte, in source

  bool holds_texts() const { return texts_; }
  const std::vector<size_t>& text_ends() const { return payload_->ends; }
  uint64_t first_text() const { return texts_ ? offset_ : 0; }

 private:
  struct Payload {
    ByteBuffer bytes;
    std::vector<size_t> ends;
  };
  std::shared_ptr<const Payload> payload_;
  const std::string* source_ = nullptr;
  uint64_t offset_ = 0;  // file text: offset in source; whole texts: first text
  bool texts_ = false;
};

using ChunkSender = Sender<TextChunk>;

// True for the bytes after which a reader may cut in the given mode.
bool is_delimiter(uint8_t byte, PretokenizerKind pretokenizer);

// Where read_range delivers the text it cuts. deliver(buffer, length,
// offset) is called once per piece: the piece is the first `length` bytes of
// `buffer` and starts `offset` bytes into the file. When `keep_rest` is set,
// the bytes after the piece are the start of the next one: deliver must leave
// exactly those in `buffer`, in order (its capacity may change). Otherwise the
// range has ended and deliver may leave anything there. Returning false stops
// the range: nobody takes its text any more.
class RangeSink {
 public:
  virtual ~RangeSink() = default;
  virtual bool deliver(ByteBuffer& buffer, size_t length, uint64_t offset, bool keep_rest) = 0;
};

// Reads [start, end) of `path` and hands its pieces to `sink`, asking the
// file for `chunk` bytes per read step. Returns ok, or an InvalidInput status
// (with the errno where there is one) whose message is:
//   "opening {path}: {os error}", "seeking {path}: {os error}",
//   "reading {path}: {os error}", or "scanners hung up" when the sink takes
//   no more text.
// Pieces delivered before an error stay delivered. A range beyond the end of
// the file delivers nothing and succeeds; a file that shrank is read to its
// end. With `stats`, time spent reading is added to read_ns.
// Throws InternalError "read_range requires a non-zero chunk size" if chunk
// is 0.
Status read_range(const std::string& path, uint64_t start, uint64_t end, uint64_t chunk,
                  PretokenizerKind pretokenizer, RangeSink& sink, Phase1Stats* stats = nullptr);

// The same, sending each piece as a TextChunk tagged with `path` (which must
// outlive the chunks) and its offset. A chunk's bytes are moved into it,
// never copied; only the partial pretoken after the last delimiter is copied
// into the next buffer.
Status read_range(const std::string& path, uint64_t start, uint64_t end, uint64_t chunk,
                  PretokenizerKind pretokenizer, ChunkSender& sender,
                  Phase1Stats* stats = nullptr);

}  // namespace selkbar

#endif  // SELKBAR_READER_H_
