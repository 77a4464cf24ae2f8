#include "encoding/bpe_encoder.h"

#include <algorithm>
#include <functional>

#include "base/error.h"
#include "unicode/utf8.h"

namespace selkbar {

namespace {

constexpr uint32_t NO_SLOT = 0xFFFFFFFFu;

// How far ahead of the pair being looked up the initial lookups fetch.
constexpr size_t PREFETCH_DISTANCE = 4;

}  // namespace

void BpeEncoder::initial_symbols(std::string_view word, EncodedWord& out) {
  ids_.clear();
  lengths_.clear();
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const uint8_t* const end = p + word.size();
  auto add = [&](uint32_t cp, uint32_t utf8_length, unsigned form) {
    const uint32_t bytes = model_.char_text_bytes(utf8_length);
    out.text_bytes += bytes;
    const uint32_t id = model_.initial_symbol(cp, form);
    if (id == NO_TOKEN) {
      ++out.unknown_chars;
      out.unknown_bytes += bytes;
      return;
    }
    ids_.push_back(id);
    lengths_.push_back(bytes);
  };
  if (!model_.decorated()) {
    while (p < end) {
      const DecodedChar c = decode_utf8(p, end);
      p += c.length;
      add(c.cp, c.length, 0);
    }
    return;
  }
  // A character's form depends on its position among all the word's
  // characters, so the word is decoded whole first.
  chars_.clear();
  char_lengths_.clear();
  while (p < end) {
    const DecodedChar c = decode_utf8(p, end);
    p += c.length;
    chars_.push_back(c.cp);
    char_lengths_.push_back(c.length);
  }
  const size_t n = chars_.size();
  for (size_t j = 0; j < n; ++j) {
    add(chars_[j], char_lengths_[j], (j > 0 ? 1u : 0u) | (j + 1 == n ? 2u : 0u));
  }
}

EncodedWord BpeEncoder::encode(std::string_view word) {
  EncodedWord out;
  initial_symbols(word, out);
  if (model_.options().ignore_merges) {
    const uint32_t whole = model_.find(word);
    if (whole != NO_TOKEN) {
      ids_.assign(1, whole);
      lengths_.assign(1, static_cast<uint32_t>(out.text_bytes));
      out.unknown_chars = 0;
      out.unknown_bytes = 0;
      out.ids = ids_;
      out.token_text_bytes = lengths_;
      return out;
    }
  }
  if (ids_.size() <= SHORT_WORD_SYMBOLS) {
    merge_short();
  } else {
    merge_long();
  }
  out.ids = ids_;
  out.token_text_bytes = lengths_;
  return out;
}

void BpeEncoder::merge_short() {
  const size_t n = ids_.size();
  if (n < 2) return;
  ranks_.resize(n - 1);
  results_.resize(n - 1);
  auto look_up = [&](size_t i) {
    const PairRule rule = pair_rule(ids_[i], ids_[i + 1]);
    ranks_[i] = rule.rank;
    results_[i] = rule.result;
  };
  for (size_t i = 0; i + 1 < n; ++i) {
    if (i + 1 + PREFETCH_DISTANCE < n) prefetch_pair_rule(ids_[i + PREFETCH_DISTANCE], ids_[i + 1 + PREFETCH_DISTANCE]);
    look_up(i);
  }
  while (!ranks_.empty()) {
    // The first of the lowest ranks: leftmost wins a tie.
    const size_t best = static_cast<size_t>(std::min_element(ranks_.begin(), ranks_.end()) - ranks_.begin());
    if (ranks_[best] == NO_RANK) break;
    ids_[best] = results_[best];
    lengths_[best] += lengths_[best + 1];
    ids_.erase(ids_.begin() + static_cast<ptrdiff_t>(best) + 1);
    lengths_.erase(lengths_.begin() + static_cast<ptrdiff_t>(best) + 1);
    // The pairs after `best` shift left by one; the two that touch the
    // merged symbol are looked up again.
    ranks_.erase(ranks_.begin() + static_cast<ptrdiff_t>(best));
    results_.erase(results_.begin() + static_cast<ptrdiff_t>(best));
    if (best > 0 && best < ranks_.size()) prefetch_pair_rule(ids_[best], ids_[best + 1]);
    if (best > 0) look_up(best - 1);
    if (best < ranks_.size()) look_up(best);
  }
}

// The heap path. Candidates are rank << 32 | position, so that the smallest
// is the lowest rank and, among equals, the leftmost. ranks_[p] is the rank
// of the pair that starts at slot p now (NO_RANK for none, or for a slot
// merged away) and results_[p] what it merges into; a candidate whose rank
// no longer matches is stale. A pair that changes into one of the same rank
// is the same pair, so a candidate that matches is always current.
void BpeEncoder::merge_long() {
  seed_candidates();
  while (!heap_.empty()) {
    std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
    const uint64_t top = heap_.back();
    heap_.pop_back();
    const auto position = static_cast<uint32_t>(top);
    if (ranks_[position] == static_cast<uint32_t>(top >> 32)) merge_at(position);
  }
  // Gather the surviving symbols to the front, in order. Slot 0 always
  // survives: only the right symbol of a pair is merged away.
  uint32_t kept = 0;
  for (uint32_t i = 0; i != NO_SLOT; i = next_[i]) {
    ids_[kept] = ids_[i];
    lengths_[kept] = lengths_[i];
    ++kept;
  }
  ids_.resize(kept);
  lengths_.resize(kept);
}

void BpeEncoder::seed_candidates() {
  // Slots are u32 with NO_SLOT as the end mark; only a text pretoken (a
  // table's words are below 4 GiB in all) could reach it.
  if (ids_.size() >= NO_SLOT) throw InternalError("a word of 2^32 - 1 or more symbols");
  const auto n = static_cast<uint32_t>(ids_.size());
  next_.resize(n);
  prev_.resize(n);
  ranks_.assign(n, NO_RANK);
  results_.resize(n);
  heap_.clear();
  for (uint32_t i = 0; i < n; ++i) {
    next_[i] = i + 1 < n ? i + 1 : NO_SLOT;
    prev_[i] = i > 0 ? i - 1 : NO_SLOT;
  }
  for (uint32_t i = 0; i + 1 < n; ++i) {
    if (i + 1 + PREFETCH_DISTANCE < n) {
      prefetch_pair_rule(ids_[i + PREFETCH_DISTANCE], ids_[i + 1 + PREFETCH_DISTANCE]);
    }
    const PairRule rule = pair_rule(ids_[i], ids_[i + 1]);
    ranks_[i] = rule.rank;
    results_[i] = rule.result;
    if (rule.rank != NO_RANK) heap_.push_back(uint64_t{rule.rank} << 32 | i);
  }
  std::make_heap(heap_.begin(), heap_.end(), std::greater<>());
}

void BpeEncoder::merge_at(uint32_t position) {
  const uint32_t after = next_[position];
  ids_[position] = results_[position];
  lengths_[position] += lengths_[after];
  ranks_[after] = NO_RANK;
  next_[position] = next_[after];
  if (next_[after] != NO_SLOT) prev_[next_[after]] = position;
  const uint32_t before = prev_[position];
  const uint32_t following = next_[position];
  if (before != NO_SLOT && following != NO_SLOT) prefetch_pair_rule(ids_[position], ids_[following]);
  if (before != NO_SLOT) offer_candidate(before);
  if (following != NO_SLOT) {
    offer_candidate(position);
  } else {
    ranks_[position] = NO_RANK;
  }
}

void BpeEncoder::offer_candidate(uint32_t position) {
  const PairRule rule = pair_rule(ids_[position], ids_[next_[position]]);
  ranks_[position] = rule.rank;
  if (rule.rank == NO_RANK) return;
  results_[position] = rule.result;
  heap_.push_back(uint64_t{rule.rank} << 32 | position);
  std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
}

}  // namespace selkbar
