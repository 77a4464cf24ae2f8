// ascii_blocks.h: cutting ASCII text into the pretokens of a split pattern
// 64 bytes at a time, for the byte-level family's line cutters.
//
//   size_t n = cut_by_blocks_or_chars<ModernRules<false>>(begin, end, cuts, 128,
//                                                         cut_line_gpt4_by_chars, &classifier);
//
// A pattern's rules say, from the masks of a block (ascii_masks.h), which
// bytes start a pretoken; the cutter classifies the blocks, hands them to
// the rules in order and stores the start of each pretoken after the first,
// which is the end of the one before, as a cut. It stops at the end of the
// unit, when the batch is full, or before the first byte its rules leave to
// the per-character cutter (non-ASCII, and whatever else the rules name),
// having stored only cuts it is sure of; the caller goes on from the last
// cut, and cuts character by character when no cut was stored at all.
//
// Rules is a class with
//   static constexpr uint16_t UNFIT;   // classes (ascii_masks_internal) left to the
//                                      // per-character cutter, besides non-ASCII
//   static constexpr uint16_t SPACES;  // the classes the pattern's \s holds
//   uint64_t starts(const AsciiBlock& block);
// where starts() returns the bits of the bytes of the block that start a
// pretoken (only those of `valid` are used), keeping what it needs of one
// block for the next in its members. The rules look at the byte after byte i
// only through `nonspace_next`, which is clear where that byte is left to
// the per-character cutter: so a start that depends on such a byte is missed
// rather than invented. A fresh Rules object sees the unit as if it began at the
// cutter's `begin`: that is sound because `begin` always starts a pretoken,
// and a pattern matches from there on its own (none looks behind).
#ifndef SELKBAR_PRETOKENIZE_ASCII_BLOCKS_H_
#define SELKBAR_PRETOKENIZE_ASCII_BLOCKS_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pretokenize/ascii_masks.h"

namespace selkbar {

// What a pattern's rules see of one block.
struct AsciiBlock {
  AsciiMasks masks;
  const uint8_t* base;   // the block's first byte
  const uint8_t* end;    // the end of the unit being cut
  uint64_t valid;        // the bytes of the block that are in the unit and classified
  uint64_t nonspace_next;  // bit i: byte i+1 is in the unit, classified and not \s
};

// The bits of `m` of any of `classes`.
inline uint64_t mask_of(const AsciiMasks& m, uint16_t classes) {
  using namespace ascii_masks_internal;
  uint64_t bits = 0;
  if (classes & LETTER) bits |= m.letter;
  if (classes & UPPER) bits |= m.upper;
  if (classes & DIGIT) bits |= m.digit;
  if (classes & BLANK) bits |= m.blank;
  if (classes & SPACE) bits |= m.space;
  if (classes & CARRIAGE) bits |= m.carriage;
  if (classes & NEWLINE) bits |= m.newline;
  if (classes & SYMBOL) bits |= m.symbol;
  if (classes & APOSTROPHE) bits |= m.apostrophe;
  if (classes & UNFIT) bits |= m.unfit;
  return bits;
}

// The masks of `m` moved down by k bits (0 < k < 64): those of the bytes
// k further on.
inline AsciiMasks moved_down(const AsciiMasks& m, unsigned k) {
  return {m.letter >> k, m.upper >> k,   m.digit >> k,  m.blank >> k,      m.space >> k,
          m.carriage >> k, m.newline >> k, m.symbol >> k, m.apostrophe >> k, m.unfit >> k};
}

// (mask << k), with the top k bits of the block before shifted in.
inline uint64_t shifted_in(uint64_t mask, uint64_t before, unsigned k) {
  return (mask << k) | (before >> (64 - k));
}

// Starts a rule puts in or takes out, in the block it works on and in the
// next one (a contraction can reach over the block's end).
class StartChanges {
 public:
  void set(unsigned at) { (at < 64 ? set_ : next_set_) |= uint64_t{1} << (at % 64); }
  void clear(unsigned at) { (at < 64 ? cleared_ : next_cleared_) |= uint64_t{1} << (at % 64); }

  // Whether byte `at` (< 64) of the block is set to start a pretoken.
  bool sets(unsigned at) const { return (set_ >> at) & 1; }

  uint64_t applied_to(uint64_t starts) const { return (starts & ~cleared_) | set_; }

  // The changes left for the next block.
  StartChanges carried() const {
    StartChanges next;
    next.set_ = next_set_;
    next.cleared_ = next_cleared_;
    return next;
  }

 private:
  uint64_t set_ = 0;
  uint64_t cleared_ = 0;
  uint64_t next_set_ = 0;
  uint64_t next_cleared_ = 0;
};

template <typename Rules>
class AsciiBlockCutter {
 public:
  AsciiBlockCutter(const uint8_t* begin, const uint8_t* end, const char** cuts, size_t batch)
      : begin_(begin), end_(end), cuts_(cuts), batch_(batch) {}

  // REQUIRES: begin < end, begin starts a pretoken, room for `batch` cuts.
  size_t run() {
    for (const uint8_t* base = begin_;; base += 64) {
      bool last = false;
      bool stop = false;
      const AsciiBlock block = classify(base, &last, &stop);
      uint64_t starts = rules_.starts(block) & block.valid;
      if (base == begin_) starts &= ~uint64_t{1};
      for (; starts != 0; starts &= starts - 1) {
        cuts_[count_++] = reinterpret_cast<const char*>(base + std::countr_zero(starts));
        if (count_ == batch_) return count_;
      }
      if (stop) return count_;
      if (last) {
        cuts_[count_++] = reinterpret_cast<const char*>(end_);
        return count_;
      }
    }
  }

 private:
  AsciiBlock classify(const uint8_t* base, bool* last, bool* stop) const {
    using namespace ascii_masks_internal;
    constexpr uint16_t UNFIT_CLASSES = Rules::UNFIT | UNFIT;
    const auto left = static_cast<size_t>(end_ - base);
    AsciiBlock block{};
    block.base = base;
    block.end = end_;
    if (left >= 64) {
      block.masks = ascii_masks(base);
    } else if (base != begin_) {
      // The last block of a long unit: the 64 bytes that end the unit,
      // whose masks, moved down, are this block's.
      block.masks = moved_down(ascii_masks(end_ - 64), static_cast<unsigned>(64 - left));
    } else {
      uint8_t padded[64] = {};
      std::memcpy(padded, base, left);
      block.masks = ascii_masks(padded);
    }
    *last = left <= 64;
    block.valid = left >= 64 ? ~uint64_t{0} : (uint64_t{1} << left) - 1;
    // A line feed before the end (in a text cut whole) is left to the
    // per-character cutter too: the rules know line feeds only as the end.
    const uint64_t final_byte = *last ? uint64_t{1} << (left - 1) : 0;
    const uint64_t unfit =
        (mask_of(block.masks, UNFIT_CLASSES) | (block.masks.newline & ~final_byte)) & block.valid;
    if (!*last) {
      const uint16_t next = CLASS_OF.of[base[64]];
      const bool fits = (next & UNFIT_CLASSES) == 0 && ((next & NEWLINE) == 0 || left == 65);
      block.nonspace_next = uint64_t{fits && (next & Rules::SPACES) == 0} << 63;
      *stop = !fits;
    }
    if (unfit != 0) {
      // Stop before the first byte the rules leave alone. Whether the byte
      // just before it starts a pretoken can depend on it (a blank does, on
      // whether it is whitespace); the rules then take it as not starting
      // one. So a start is missed, never invented, and the caller goes on
      // from the last cut.
      block.valid &= (uint64_t{1} << std::countr_zero(unfit)) - 1;
      *stop = true;
      *last = false;
    }
    block.nonspace_next |= (~mask_of(block.masks, Rules::SPACES) & block.valid) >> 1;
    return block;
  }

  const uint8_t* const begin_;
  const uint8_t* const end_;
  const char** const cuts_;
  const size_t batch_;
  size_t count_ = 0;
  Rules rules_;
};

// A line cutter: from `begin`, the cuts of the blocks, or, where they find
// none, those of `by_chars`, the character-by-character cutter of the same
// pattern.
template <typename Rules, typename Classifier>
size_t cut_by_blocks_or_chars(const char* begin, const char* end, const char** cuts, size_t batch,
                              size_t (*by_chars)(const char*, const char*, const char**,
                                                 Classifier*),
                              Classifier* classifier) {
  // Text in other scripts mostly opens a line, or a batch, with a non-ASCII
  // character: no block is worth classifying there.
  if (static_cast<uint8_t>(*begin) < 0x80) {
    const size_t count = AsciiBlockCutter<Rules>(reinterpret_cast<const uint8_t*>(begin),
                                                 reinterpret_cast<const uint8_t*>(end), cuts, batch)
                             .run();
    if (count != 0) return count;
  }
  return by_chars(begin, end, cuts, classifier);
}

}  // namespace selkbar

#endif  // SELKBAR_PRETOKENIZE_ASCII_BLOCKS_H_
