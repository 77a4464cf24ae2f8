#include "counting/arrow_counts_reader.h"

#include <cstring>
#include <string_view>

#include "base/error.h"
#include "counting/text_feed.h"
#include "pretokenize/word_spelling.h"
#include "unicode/utf8.h"

namespace selkbar {

namespace {

constexpr uint64_t ROW_LIMIT = 0xFFFFFFFE;  // word ids are u32, one kept for "none"

constexpr char HEX[] = "0123456789abcdef";

std::string row_prefix(uint64_t row) { return "row " + std::to_string(row) + ": "; }

// The word quoted for a message as Python's repr quotes a str, with bytes
// that are not UTF-8 as \xNN escapes.
std::string quote_word(std::string_view word) {
  std::string out = "'";
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const uint8_t* const end = p + word.size();
  while (p < end) {
    const DecodedChar c = decode_utf8(p, end);
    // The decoder reads a byte that is not UTF-8 as U+FFFD of length 1.
    const bool invalid = c.cp == REPLACEMENT_CHARACTER && c.length == 1;
    if (invalid || c.cp < 0x20 || c.cp == 0x7F) {
      const uint32_t byte = invalid ? *p : c.cp;
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 15];
    } else if (c.cp == '\'' || c.cp == '\\') {
      out += '\\';
      out += static_cast<char>(c.cp);
    } else {
      out.append(reinterpret_cast<const char*>(p), c.length);
    }
    p += c.length;
  }
  return out + "'";
}

std::string u128_to_string(unsigned __int128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

std::string i128_to_string(__int128 value) {
  if (value >= 0) return u128_to_string(static_cast<unsigned __int128>(value));
  return "-" + u128_to_string(-static_cast<unsigned __int128>(value));
}

bool bit_set(const uint8_t* bitmap, int64_t i) { return ((bitmap[i >> 3] >> (i & 7)) & 1) != 0; }

// The count column of one batch: integers of any width and signedness, or
// decimal128 of scale 0.
class CountColumn {
 public:
  static std::optional<CountColumn> open(const ArrowSchema& schema, const ArrowArray& array,
                                         int64_t base, int64_t rows, Status* status) {
    const std::string format = schema.format != nullptr ? schema.format : "";
    CountColumn column;
    if (format.size() == 1 && std::strchr("cCsSiIlL", format[0]) != nullptr) {
      const char f = format[0];
      column.width_ = f == 'c' || f == 'C' ? 1 : f == 's' || f == 'S' ? 2 : f == 'i' || f == 'I' ? 4 : 8;
      column.signed_ = f >= 'a';
    } else if (is_decimal128_of_scale_0(format)) {
      column.width_ = 16;
      column.signed_ = true;
    } else {
      *status = Status::WrongType(
          "Arrow format '" + format +
          "' is not an integer (expected an integer type, or a decimal of scale 0)");
      return std::nullopt;
    }
    if (array.length < 0 || array.offset < 0 || array.n_buffers != 2 ||
        array.buffers == nullptr || array.length < base + rows ||
        (rows > 0 && array.buffers[1] == nullptr)) {
      *status = Status::InvalidInput("malformed Arrow array (bad length, offset or buffers)");
      return std::nullopt;
    }
    column.validity_ =
        array.null_count == 0 ? nullptr : static_cast<const uint8_t*>(array.buffers[0]);
    column.values_ = static_cast<const uint8_t*>(array.buffers[1]);
    column.first_ = array.offset + base;
    return column;
  }

  bool is_null(int64_t row) const {
    return validity_ != nullptr && !bit_set(validity_, first_ + row);
  }

  // The count of `row`, or nullopt with `*text` its value when it is outside
  // 1 .. 2^64 - 1.
  std::optional<uint64_t> get(int64_t row, std::string* text) const {
    const uint8_t* p = values_ + (first_ + row) * width_;
    if (width_ == 16) {
      uint64_t low;
      int64_t high;
      std::memcpy(&low, p, 8);
      std::memcpy(&high, p + 8, 8);
      if (high == 0 && low != 0) return low;
      *text = i128_to_string((static_cast<__int128>(high) << 64) | low);
      return std::nullopt;
    }
    uint64_t raw = 0;
    // Fixed sizes, so that each copy is one load; little-endian, as Arrow is here.
    switch (width_) {
      case 1: raw = *p; break;
      case 2: { uint16_t v; std::memcpy(&v, p, 2); raw = v; break; }
      case 4: { uint32_t v; std::memcpy(&v, p, 4); raw = v; break; }
      default: std::memcpy(&raw, p, 8); break;
    }
    if (signed_) {
      const int shift = 64 - 8 * width_;
      const int64_t value = static_cast<int64_t>(raw << shift) >> shift;
      if (value > 0) return static_cast<uint64_t>(value);
      *text = std::to_string(value);
      return std::nullopt;
    }
    if (raw != 0) return raw;
    *text = "0";
    return std::nullopt;
  }

 private:
  // "d:P,S" or "d:P,S,128" with S = 0.
  static bool is_decimal128_of_scale_0(const std::string& format) {
    if (format.rfind("d:", 0) != 0) return false;
    const size_t comma = format.find(',');
    if (comma == std::string::npos) return false;
    const std::string rest = format.substr(comma + 1);
    return rest == "0" || rest == "0,128";
  }

  int width_ = 8;
  bool signed_ = false;
  const uint8_t* validity_ = nullptr;
  const uint8_t* values_ = nullptr;
  int64_t first_ = 0;
};

// The index of the child named `name`, or -1.
int64_t find_child(const ArrowSchema& schema, const std::string& name) {
  for (int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema* child = schema.children[i];
    if (child != nullptr && child->name != nullptr && name == child->name) return i;
  }
  return -1;
}

std::string column_names(const ArrowSchema& schema) {
  std::string names;
  for (int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema* child = schema.children[i];
    if (!names.empty()) names += ", ";
    names += "'" + std::string(child != nullptr && child->name != nullptr ? child->name : "") + "'";
  }
  return names.empty() ? "none" : names;
}

}  // namespace

Status ArrowCountsReader::add_batch(const ArrowSchema& schema, const ArrowArray& batch) {
  const std::string format = schema.format != nullptr ? schema.format : "";
  if (format != "+s") {
    return Status::WrongType("expected a table or record batch (an Arrow struct), got Arrow "
                             "format '" + format + "'");
  }
  const int64_t word_index = find_child(schema, word_column_);
  const int64_t count_index = find_child(schema, count_column_);
  for (const auto& [index, name] : {std::pair{word_index, &word_column_},
                                    std::pair{count_index, &count_column_}}) {
    if (index < 0) {
      return Status::InvalidInput("no column '" + *name + "' (the columns are " +
                                  column_names(schema) + ")");
    }
  }
  if (batch.length < 0 || batch.offset < 0 || batch.n_children != schema.n_children ||
      batch.children == nullptr || batch.children[word_index] == nullptr ||
      batch.children[count_index] == nullptr) {
    return Status::InvalidInput("malformed Arrow record batch (bad length, offset or columns)");
  }
  const int64_t rows = batch.length;
  if (table_.len() + static_cast<uint64_t>(rows) > ROW_LIMIT) {
    throw InternalError("more than u32::MAX-1 unique words");
  }
  const ArrowArray& word_array = *batch.children[word_index];
  Status status;
  std::optional<ArrowStrings> words =
      ArrowStrings::open(*schema.children[word_index], word_array, &status);
  if (words && words->length() < batch.offset + rows) {
    status = Status::InvalidInput("malformed Arrow string array (shorter than its batch)");
    words.reset();
  }
  if (!words) return status.Prefixed("column '" + word_column_ + "': ");
  std::optional<CountColumn> counts = CountColumn::open(
      *schema.children[count_index], *batch.children[count_index], batch.offset, rows, &status);
  if (!counts) return status.Prefixed("column '" + count_column_ + "': ");
  const auto* row_validity =
      batch.null_count == 0 || batch.n_buffers < 1 || batch.buffers == nullptr
          ? nullptr
          : static_cast<const uint8_t*>(batch.buffers[0]);

  // Rows are checked first, their counts kept aside. Words that lie back to
  // back in the array (plain offsets, the usual layout) are then copied at
  // once; others one by one.
  batch_counts_.resize(static_cast<size_t>(rows));
  batch_ends_.resize(static_cast<size_t>(rows));
  const char* packed_begin = nullptr;
  const char* packed_end = nullptr;
  bool packed = true;
  std::string text;
  for (int64_t r = 0; r < rows; ++r) {
    const uint64_t row = table_.len() + static_cast<uint64_t>(r);
    if (row_validity != nullptr && !bit_set(row_validity, batch.offset + r)) {
      return Status::InvalidInput(row_prefix(row) + "the row is null");
    }
    const std::optional<std::string_view> word = words->get(batch.offset + r);
    if (!word) return Status::InvalidInput(row_prefix(row) + "the word is null");
    if (const auto problem = check_word_spelling(kind_, *word)) {
      return Status::InvalidInput(row_prefix(row) + "word " + quote_word(*word) + " " +
                                  describe_spelling_problem(*problem));
    }
    if (counts->is_null(r)) {
      return Status::InvalidInput(row_prefix(row) + "the count of word " + quote_word(*word) +
                                  " is null");
    }
    const std::optional<uint64_t> count = counts->get(r, &text);
    if (!count) {
      return Status::InvalidInput(row_prefix(row) + "count " + text + " of word " +
                                  quote_word(*word) +
                                  " is out of range (1 to 18446744073709551615)");
    }
    batch_counts_[r] = *count;
    if (r == 0) packed_begin = packed_end = word->data();
    packed = packed && word->data() == packed_end;
    packed_end = word->data() + word->size();
    batch_ends_[r] = static_cast<uint64_t>(packed_end - packed_begin);
  }
  if (rows == 0) return Status();
  if (packed) {
    table_.append_packed(std::string_view(packed_begin, static_cast<size_t>(packed_end - packed_begin)),
                         batch_ends_.data(), batch_counts_.data(), static_cast<size_t>(rows));
    return Status();
  }
  table_.reserve(static_cast<size_t>(rows), 0);
  for (int64_t r = 0; r < rows; ++r) table_.push(*words->get(batch.offset + r), batch_counts_[r]);
  return Status();
}

Status ArrowCountsReader::finish(PretokenizerId id, std::optional<WordCounts>* out) && {
  if (!first_repeat(table_)) {
    out->emplace(std::move(id), std::move(table_));
    return Status();
  }
  // Some word repeats: add the rows up one by one, the table freed after.
  WordCounts sum(std::move(id));
  WordTable rows = std::move(table_);
  for (uint32_t row = 0; row < rows.len(); ++row) {
    const std::string_view word = rows.get(row);
    if (!sum.add(word, rows.count(row))) {
      return Status::Overflow(row_prefix(row) + "the count of word " + quote_word(word) +
                              " would pass 2**64 - 1 (18446744073709551615)");
    }
  }
  out->emplace(std::move(sum));
  return Status();
}

}  // namespace selkbar
