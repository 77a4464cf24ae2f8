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

namespace {

// The integer index formats of a dictionary array: width in bytes and
// signedness, or width 0 for a format that is not one.
std::pair<int, bool> index_format(const std::string& format) {
  if (format.size() != 1) return {0, false};
  switch (format[0]) {
    case 'c': return {1, true};
    case 'C': return {1, false};
    case 's': return {2, true};
    case 'S': return {2, false};
    case 'i': return {4, true};
    case 'I': return {4, false};
    case 'l': return {8, true};
    case 'L': return {8, false};
    default: return {0, false};
  }
}

// The validity bitmap, or null when no entry is null (producers may omit it).
const uint8_t* validity_of(const ArrowArray& array) {
  return array.null_count == 0 ? nullptr : static_cast<const uint8_t*>(array.buffers[0]);
}

bool usable(const ArrowArray& array, int64_t buffers) {
  return array.length >= 0 && array.offset >= 0 && array.n_buffers == buffers &&
         array.buffers != nullptr;
}

}  // namespace

std::optional<ArrowStrings> ArrowStrings::open(const ArrowSchema& schema, const ArrowArray& array,
                                               Status* status) {
  const std::string format = schema.format != nullptr ? schema.format : "";
  if (schema.dictionary != nullptr) return open_dictionary(schema, array, status);
  if (format == "u" || format == "U") return open_offsets(format == "U", array, status);
  if (format == "vu") return open_views(array, status);
  *status = Status::WrongType("Arrow format '" + format +
           "' is not a string array (expected string, large_string, string_view or a "
           "dictionary of strings)");
  return std::nullopt;
}

std::optional<ArrowStrings> ArrowStrings::open_offsets(bool large, const ArrowArray& array,
                                                       Status* status) {
  ArrowStrings strings;
  strings.large_ = large;
  if (!usable(array, 3)) {
    *status = Status::InvalidInput(
        "malformed Arrow string array (bad length, offset or buffer count)");
    return std::nullopt;
  }
  strings.length_ = array.length;
  strings.first_ = array.offset;
  if (array.length == 0) return strings;
  strings.validity_ = validity_of(array);
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

std::optional<ArrowStrings> ArrowStrings::open_dictionary(const ArrowSchema& schema,
                                                          const ArrowArray& array,
                                                          Status* status) {
  const std::string format = schema.format != nullptr ? schema.format : "";
  const std::string value_format =
      schema.dictionary->format != nullptr ? schema.dictionary->format : "";
  const auto [width, is_signed] = index_format(format);
  if (width == 0 || (value_format != "u" && value_format != "U")) {
    *status = Status::WrongType("Arrow format '" + format + "' with dictionary '" + value_format +
             "' is not a dictionary of strings (expected integer indices into string or "
             "large_string values)");
    return std::nullopt;
  }
  if (!usable(array, 2) || array.dictionary == nullptr) {
    *status = Status::InvalidInput(
        "malformed Arrow dictionary array (bad length, offset, buffer count or no values)");
    return std::nullopt;
  }
  std::optional<ArrowStrings> values = open_offsets(value_format == "U", *array.dictionary, status);
  if (!values) return std::nullopt;
  ArrowStrings strings;
  strings.layout_ = Layout::Dictionary;
  strings.length_ = array.length;
  strings.first_ = array.offset;
  strings.index_bytes_ = width;
  strings.index_signed_ = is_signed;
  strings.values_ = std::make_unique<ArrowStrings>(std::move(*values));
  if (array.length == 0) return strings;
  strings.validity_ = validity_of(array);
  strings.offsets_ = array.buffers[1];
  if (strings.offsets_ == nullptr) {
    *status = Status::InvalidInput("malformed Arrow dictionary array (no indices buffer)");
    return std::nullopt;
  }
  for (int64_t i = strings.first_; i < strings.first_ + strings.length_; ++i) {
    if (strings.is_null(i)) continue;
    const int64_t index = strings.index_at(i);
    if (index < 0 || index >= strings.values_->length_) {
      *status = Status::InvalidInput(
          "malformed Arrow dictionary array (index " + std::to_string(index) +
               " outside its " + std::to_string(strings.values_->length_) + " values)");
      return std::nullopt;
    }
  }
  return strings;
}

std::optional<ArrowStrings> ArrowStrings::open_views(const ArrowArray& array, Status* status) {
  // Validity, views, the variadic data buffers, and their sizes last.
  if (array.length < 0 || array.offset < 0 || array.n_buffers < 3 || array.buffers == nullptr) {
    *status = Status::InvalidInput(
        "malformed Arrow string_view array (bad length, offset or buffer count)");
    return std::nullopt;
  }
  ArrowStrings strings;
  strings.layout_ = Layout::Views;
  strings.length_ = array.length;
  strings.first_ = array.offset;
  if (array.length == 0) return strings;
  strings.validity_ = validity_of(array);
  strings.offsets_ = array.buffers[1];
  const int64_t data_buffers = array.n_buffers - 3;
  const auto* sizes = static_cast<const int64_t*>(array.buffers[array.n_buffers - 1]);
  if (strings.offsets_ == nullptr || (data_buffers > 0 && sizes == nullptr)) {
    *status = Status::InvalidInput(
        "malformed Arrow string_view array (no views or no buffer sizes)");
    return std::nullopt;
  }
  for (int64_t b = 0; b < data_buffers; ++b) {
    strings.view_buffers_.push_back(static_cast<const char*>(array.buffers[2 + b]));
  }
  const auto* views = static_cast<const uint8_t*>(strings.offsets_);
  for (int64_t i = strings.first_; i < strings.first_ + strings.length_; ++i) {
    if (strings.is_null(i)) continue;
    int32_t length, buffer, offset;
    std::memcpy(&length, views + 16 * i, 4);
    std::memcpy(&buffer, views + 16 * i + 8, 4);
    std::memcpy(&offset, views + 16 * i + 12, 4);
    const bool inline_data = length >= 0 && length <= 12;
    if (length < 0 || (!inline_data && (buffer < 0 || buffer >= data_buffers || offset < 0 ||
                                        strings.view_buffers_[buffer] == nullptr ||
                                        int64_t{offset} + length > sizes[buffer]))) {
      *status = Status::InvalidInput(
          "malformed Arrow string_view array (a view outside its buffers)");
      return std::nullopt;
    }
  }
  return strings;
}

int64_t ArrowStrings::index_at(int64_t i) const {
  const auto* bytes = static_cast<const uint8_t*>(offsets_) + i * index_bytes_;
  switch (index_bytes_) {
    case 1: return index_signed_ ? int64_t{static_cast<int8_t>(*bytes)} : int64_t{*bytes};
    case 2: {
      uint16_t v;
      std::memcpy(&v, bytes, 2);
      return index_signed_ ? int64_t{static_cast<int16_t>(v)} : int64_t{v};
    }
    case 4: {
      uint32_t v;
      std::memcpy(&v, bytes, 4);
      return index_signed_ ? int64_t{static_cast<int32_t>(v)} : int64_t{v};
    }
    default: {
      uint64_t v;
      std::memcpy(&v, bytes, 8);
      // An unsigned index past INT64_MAX reads as negative: out of range.
      return static_cast<int64_t>(v);
    }
  }
}

std::string_view ArrowStrings::view_at(int64_t i) const {
  const auto* view = static_cast<const uint8_t*>(offsets_) + 16 * i;
  int32_t length, buffer, offset;
  std::memcpy(&length, view, 4);
  if (length <= 12) return std::string_view(reinterpret_cast<const char*>(view + 4), length);
  std::memcpy(&buffer, view + 8, 4);
  std::memcpy(&offset, view + 12, 4);
  return std::string_view(view_buffers_[buffer] + offset, static_cast<size_t>(length));
}

std::optional<std::string_view> ArrowStrings::get(int64_t row) const {
  const int64_t i = first_ + row;
  if (is_null(i)) return std::nullopt;
  switch (layout_) {
    case Layout::Offsets:
      return offsets_entry(i);
    case Layout::Views:
      return view_at(i);
    case Layout::Dictionary:
      break;
  }
  const int64_t value = values_->first_ + index_at(i);
  if (values_->is_null(value)) return std::nullopt;
  return values_->offsets_entry(value);
}

void ArrowStrings::append_some(ChunkBuilder& builder) {
  if (layout_ == Layout::Offsets) {
    append_offsets(builder);
  } else {
    append_one_by_one(builder);
  }
}

void ArrowStrings::append_offsets(ChunkBuilder& builder) {
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

void ArrowStrings::append_one_by_one(ChunkBuilder& builder) {
  while (!done() && !builder.full()) {
    const int64_t i = first_ + next_++;
    if (is_null(i)) continue;
    std::string_view text;
    if (layout_ == Layout::Views) {
      text = view_at(i);
    } else {
      const int64_t value = values_->first_ + index_at(i);
      if (values_->is_null(value)) continue;  // a null value: no text, as a null entry
      text = values_->offsets_entry(value);
    }
    builder.add_text(text);
  }
}

}  // namespace selkbar
