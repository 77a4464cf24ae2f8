// text_feed.h: packs texts handed over one by one into TextChunks for
// FedCounting, and reads Arrow string arrays without an object per string.
//
//   ChunkBuilder builder(counting.chunk_bytes());
//   for (std::string_view text : texts) {
//     builder.add_text(text);                   // copied
//     if (builder.full()) send(builder.take());
//   }
//   if (!builder.empty()) send(builder.take());
//
// A chunk of whole texts holds consecutive texts of the stream, each split
// on its own (reader.h). A text is never cut: one longer than the chunk size
// makes a chunk of its own, so memory in flight is bounded by the queue
// times the larger of the chunk size and the longest text. File blocks
// (file_chunk) carry file text, split by the file rules, and go into chunks
// of their own.
//
// Arrow strings come in through the Arrow C data interface: ArrowStrings
// checks an array's format and layout once, then appends its strings to a
// builder a chunk at a time, skipping nulls, so that a large array never
// needs one large buffer.
//
// Thread safety: none; one thread (the one taking items from the caller's
// iterator) uses a builder.
#ifndef SELKBAR_TEXT_FEED_H_
#define SELKBAR_TEXT_FEED_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/arrow_abi.h"
#include "base/status.h"
#include "counting/reader.h"


namespace selkbar {

class ChunkBuilder {
 public:
  explicit ChunkBuilder(uint64_t chunk_bytes) : chunk_bytes_(chunk_bytes) {}

  void add_text(std::string_view text);
  // Writing a text in place: room for `max_bytes` at the returned pointer,
  // then end_text(n) for the n bytes written; without end_text nothing is
  // added.
  char* begin_text(size_t max_bytes);
  void end_text(size_t bytes);
  // Appends `count` texts stored back to back in `bytes`, text i ending at
  // ends[i] - base (ends ascending, the first text starting at bytes[0]).
  void add_texts(std::string_view bytes, const int64_t* ends, size_t count, int64_t base);

  bool full() const { return buffer_.size() >= chunk_bytes_; }
  bool empty() const { return ends_.empty(); }
  // The texts added since the last take() as one chunk.
  // REQUIRES: !empty().
  TextChunk take();
  // Bytes still free before the chunk is full.
  size_t room() const { return full() ? 0 : chunk_bytes_ - buffer_.size(); }

  // Texts taken or pending so far: the number the next text gets.
  uint64_t texts_seen() const { return next_text_; }

 private:
  const uint64_t chunk_bytes_;
  ByteBuffer buffer_;
  std::vector<size_t> ends_;
  uint64_t first_text_ = 0;  // of the pending chunk
  uint64_t next_text_ = 0;
};

// A chunk of file text: `data` copied, tagged with `source` (borrowed, must
// outlive the chunk) and the offset of data[0] in it.
TextChunk file_chunk(std::string_view data, const std::string* source, uint64_t offset);

// The strings of one Arrow array of type string ("u"), large_string ("U"),
// string_view ("vu"), or a dictionary of either offset type with integer
// indices (what Parquet readers and pandas' categoricals hand out). Borrows
// the array, which must stay alive and unchanged while used.
class ArrowStrings {
 public:
  // The reader, or nullopt with `*status` set: WrongType "Arrow format 'F'
  // is not a string array (expected string, large_string, string_view or a
  // dictionary of strings)" for another type, or InvalidInput naming what is
  // malformed. Everything that could make a read go outside the array's
  // buffers (offsets, dictionary indices, views) is checked here, once.
  static std::optional<ArrowStrings> open(const ArrowSchema& schema, const ArrowArray& array,
                                          Status* status);

  ArrowStrings(ArrowStrings&&) noexcept = default;
  ArrowStrings& operator=(ArrowStrings&&) noexcept = default;

  bool done() const { return next_ >= length_; }
  // Entries, and entry `row` (0 .. length() - 1) by itself, nullopt for a
  // null: for readers that need each string apart (a counts table).
  int64_t length() const { return length_; }
  std::optional<std::string_view> get(int64_t row) const;
  // Appends strings from the next one on until the builder is full or the
  // array ends; nulls add nothing.
  void append_some(ChunkBuilder& builder);

 private:
  enum class Layout { Offsets, Dictionary, Views };

  ArrowStrings() = default;
  static std::optional<ArrowStrings> open_offsets(bool large, const ArrowArray& array,
                                                  Status* status);
  static std::optional<ArrowStrings> open_dictionary(const ArrowSchema& schema,
                                                     const ArrowArray& array, Status* status);
  static std::optional<ArrowStrings> open_views(const ArrowArray& array, Status* status);

  int64_t offset_at(int64_t i) const {
    return large_ ? static_cast<const int64_t*>(offsets_)[i]
                  : static_cast<const int32_t*>(offsets_)[i];
  }
  bool is_null(int64_t i) const {
    return validity_ != nullptr && ((validity_[i >> 3] >> (i & 7)) & 1) == 0;
  }
  // Entry i (counted in the buffers, so first_ included) of an Offsets array.
  std::string_view offsets_entry(int64_t i) const {
    const int64_t begin = offset_at(i);
    return std::string_view(data_ + begin, static_cast<size_t>(offset_at(i + 1) - begin));
  }
  int64_t index_at(int64_t i) const;
  std::string_view view_at(int64_t i) const;
  void append_offsets(ChunkBuilder& builder);
  void append_one_by_one(ChunkBuilder& builder);

  Layout layout_ = Layout::Offsets;
  bool large_ = false;
  const uint8_t* validity_ = nullptr;  // null: no nulls
  const void* offsets_ = nullptr;      // Offsets; indices of a Dictionary; views of Views
  const char* data_ = nullptr;
  int64_t first_ = 0;   // the array's offset into its buffers
  int64_t length_ = 0;  // entries
  int64_t next_ = 0;    // the next entry to append, from 0
  std::vector<int64_t> ends_;  // scratch for add_texts
  // Dictionary: the index width in bytes and signedness, and the values.
  int index_bytes_ = 0;
  bool index_signed_ = false;
  std::unique_ptr<ArrowStrings> values_;
  // Views: the variadic data buffers.
  std::vector<const char*> view_buffers_;
};

}  // namespace selkbar

#endif  // SELKBAR_TEXT_FEED_H_
