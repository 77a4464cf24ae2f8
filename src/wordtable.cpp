#include "wordtable.h"

#include <string>

#include "error.h"

namespace selkbar {

uint32_t WordTable::push(std::string_view word, uint64_t count) {
  // Everything that can fail happens before the first change, so a throw
  // (the limit, or memory running out) leaves the table as it was.
  if (word.size() > max_bytes_ - bytes_.size()) {
    throw InternalError("unique word bytes exceed 4 GB; recompile with u64 offsets");
  }
  if (offsets_.size() == offsets_.capacity()) offsets_.reserve(offsets_.capacity() * 2 + 4);
  if (counts_.size() == counts_.capacity()) counts_.reserve(counts_.capacity() * 2 + 4);
  bytes_.insert(bytes_.end(), word.begin(), word.end());
  const auto id = static_cast<uint32_t>(counts_.size());
  offsets_.push_back(static_cast<uint32_t>(bytes_.size()));
  counts_.push_back(count);
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

}  // namespace selkbar
