#include "counting/text_feed.h"

#include <cstring>
#include <utility>

namespace selkbar {

void ChunkBuilder::add_text(std::string_view text) {
  char* const out = begin_text(text.size());
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  end_text(text.size());
}

char* ChunkBuilder::begin_text(size_t max_bytes) {
  buffer_.reserve_more(max_bytes);
  return reinterpret_cast<char*>(buffer_.spare());
}

void ChunkBuilder::end_text(size_t bytes) {
  if (ends_.empty()) first_text_ = next_text_;
  buffer_.commit(bytes);
  ends_.push_back(buffer_.size());
  ++next_text_;
}

void ChunkBuilder::add_texts(std::string_view bytes, const int64_t* ends, size_t count,
                             int64_t base) {
  if (count == 0) return;
  if (ends_.empty()) first_text_ = next_text_;
  const size_t start = buffer_.size();
  buffer_.reserve_more(bytes.size());
  if (!bytes.empty()) std::memcpy(buffer_.spare(), bytes.data(), bytes.size());
  buffer_.commit(bytes.size());
  for (size_t i = 0; i < count; ++i) ends_.push_back(start + static_cast<size_t>(ends[i] - base));
  next_text_ += count;
}

TextChunk ChunkBuilder::take() {
  std::vector<size_t> ends;
  ends.swap(ends_);
  // The next chunk will likely be as large: size it once instead of
  // regrowing it from empty.
  ends_.reserve(ends.size());
  ByteBuffer bytes;
  bytes.swap(buffer_);
  buffer_.reserve_more(static_cast<size_t>(chunk_bytes_));
  return TextChunk(std::move(bytes), std::move(ends), first_text_);
}

TextChunk file_chunk(std::string_view data, const std::string* source, uint64_t offset) {
  ByteBuffer bytes;
  bytes.reserve_more(data.size());
  if (!data.empty()) std::memcpy(bytes.spare(), data.data(), data.size());
  bytes.commit(data.size());
  return TextChunk(std::move(bytes), source, offset);
}

std::optional<ArrowStrings> ArrowStrings::open(const ArrowSchema& schema, const ArrowArray& array,
                                               Status* status) {
  const std::string format = schema.format != nullptr ? schema.format : "";
  if ((format != "u" && format != "U") || schema.dictionary != nullptr) {
    *status = Status::WrongType("Arrow format '" + format +
                                "' is not a string array (expected string or large_string)");
    return std::nullopt;
  }
  ArrowStrings strings;
  strings.large_ = format == "U";
  if (array.length < 0 || array.offset < 0 || array.n_buffers != 3 || array.buffers == nullptr) {
    *status = Status::InvalidInput("malformed Arrow string array (bad length, offset or buffer count)");
    return std::nullopt;
  }
  strings.length_ = array.length;
  strings.first_ = array.offset;
  if (array.length == 0) return strings;
  strings.validity_ = array.null_count == 0 ? nullptr : static_cast<const uint8_t*>(array.buffers[0]);
  strings.offsets_ = array.buffers[1];
  strings.data_ = static_cast<const char*>(array.buffers[2]);
  if (strings.offsets_ == nullptr) {
    *status = Status::InvalidInput("malformed Arrow string array (no offsets buffer)");
    return std::nullopt;
  }
  // Offsets come from another library: a decreasing or negative one would
  // make a read outside the data buffer, so they are checked once here.
  int64_t previous = strings.offset_at(strings.first_);
  if (previous < 0) {
    *status = Status::InvalidInput("malformed Arrow string array (negative offset)");
    return std::nullopt;
  }
  for (int64_t i = 1; i <= array.length; ++i) {
    const int64_t current = strings.offset_at(strings.first_ + i);
    if (current < previous) {
      *status = Status::InvalidInput("malformed Arrow string array (decreasing offsets)");
      return std::nullopt;
    }
    previous = current;
  }
  if (strings.data_ == nullptr && previous != strings.offset_at(strings.first_)) {
    *status = Status::InvalidInput("malformed Arrow string array (no data buffer)");
    return std::nullopt;
  }
  return strings;
}

void ArrowStrings::append_some(ChunkBuilder& builder) {
  while (!done() && !builder.full()) {
    const int64_t i = first_ + next_;
    if (is_null(i)) {
      ++next_;
      continue;
    }
    // The longest run of non-null entries from i that fits in the room left
    // (at least one entry, however long), copied at once.
    const int64_t begin = offset_at(i);
    const int64_t room = static_cast<int64_t>(builder.room());
    int64_t j = i + 1;
    while (j < first_ + length_ && !is_null(j) && offset_at(j + 1) - begin <= room) ++j;
    ends_.clear();
    for (int64_t k = i; k < j; ++k) ends_.push_back(offset_at(k + 1));
    const int64_t end = ends_.back();
    builder.add_texts(std::string_view(data_ + begin, static_cast<size_t>(end - begin)),
                      ends_.data(), ends_.size(), begin);
    next_ = j - first_;
  }
}

}  // namespace selkbar
