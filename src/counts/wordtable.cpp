#include "counts/wordtable.h"

#include <string>
#include <utility>

#include "base/error.h"
#include "base/fxhash.h"

namespace selkbar {

WordTable::WordTable(std::vector<uint8_t> bytes, std::vector<uint32_t> offsets,
                     std::vector<uint64_t> counts)
    : bytes_(std::move(bytes)),
      offsets_(std::move(offsets)),
      counts_(std::move(counts)),
      max_bytes_(MAX_ARENA_BYTES) {
  bool ordered = !offsets_.empty() && offsets_.front() == 0;
  for (size_t i = 1; ordered && i < offsets_.size(); ++i) ordered = offsets_[i - 1] <= offsets_[i];
  if (!ordered || offsets_.size() != counts_.size() + 1 || offsets_.back() != bytes_.size() ||
      bytes_.size() > max_bytes_) {
    throw InternalError("word table arrays do not describe a table");
  }
}

WordTable WordTable::clone() const {
  WordTable copy(bytes_, offsets_, counts_);
  copy.max_bytes_ = max_bytes_;
  return copy;
}

uint32_t WordTable::push(std::string_view word, uint64_t count) {
  // A throw (the limit, or memory running out) leaves the table as it was:
  // the limit is checked first, and an append that fails undoes the ones
  // before it. The undo costs nothing until something throws, unlike
  // reserving ahead on every call.
  if (word.size() > max_bytes_ - bytes_.size()) {
    throw InternalError("unique word bytes exceed 4 GB; recompile with u64 offsets");
  }
  const auto id = static_cast<uint32_t>(counts_.size());
  bytes_.insert(bytes_.end(), word.begin(), word.end());
  try {
    offsets_.push_back(static_cast<uint32_t>(bytes_.size()));
    counts_.push_back(count);
  } catch (...) {
    bytes_.resize(offsets_[id]);
    offsets_.resize(static_cast<size_t>(id) + 1);
    throw;
  }
  return id;
}

std::string_view WordTable::get(uint32_t id) const {
  if (id >= counts_.size()) {
    throw InternalError("word id " + std::to_string(id) + " out of range for a table of " +
                        std::to_string(counts_.size()) + " words");
  }
  const uint32_t begin = offsets_[id];
  return std::string_view(reinterpret_cast<const char*>(bytes_.data()) + begin,
                          offsets_[id + 1] - begin);
}

void WordTable::reserve(size_t words, size_t bytes) {
  bytes_.reserve(bytes_.size() + bytes);
  offsets_.reserve(offsets_.size() + words);
  counts_.reserve(counts_.size() + words);
}

void WordTable::release() {
  std::vector<uint8_t>().swap(bytes_);
  std::vector<uint32_t>{0}.swap(offsets_);
  std::vector<uint64_t>().swap(counts_);
}

std::optional<std::pair<uint32_t, uint32_t>> first_repeat(const WordTable& table) {
  const size_t words = table.len();
  size_t slots = 16;
  while (slots < words * 2) slots *= 2;
  constexpr uint32_t EMPTY = UINT32_MAX;
  std::vector<uint32_t> index(slots, EMPTY);
  const size_t mask = slots - 1;
  for (uint32_t w = 0; w < words; ++w) {
    const std::string_view word = table.get(w);
    for (size_t i = pretoken_hash(word) & mask;; i = (i + 1) & mask) {
      if (index[i] == EMPTY) {
        index[i] = w;
        break;
      }
      if (table.get(index[i]) == word) return std::make_pair(index[i], w);
    }
  }
  return std::nullopt;
}

}  // namespace selkbar
