// tiktoken_split.cpp: the line cutters behind split_gpt4 and split_o200k.
//
// Each cutter finds, at the current position, the end of the match that a
// backtracking engine would return, alternative by alternative, without
// backtracking: the quantifiers of both patterns either cannot give anything
// back that would help (possessive ones, runs followed by something that
// always matches), or give back in a way that is worked out once below
// (o200k's letter alternatives, and the whitespace alternatives).
#include "pretokenize/tiktoken_split.h"

#include <bit>
#include <cstdint>

#include "pretokenize/ascii_blocks.h"
#include "unicode/char_scan.h"
#include "unicode/utf8.h"

namespace selkbar {

namespace {

using namespace char_flags;

struct Char {
  uint8_t flags;
  uint32_t length;
};

class LineScanner {
 public:
  LineScanner(const uint8_t* end, PatternClassifier* classifier)
      : end_(end), classifier_(classifier) {}

  const uint8_t* end() const { return end_; }

  // REQUIRES: p < end(). The counters validate text before they split it
  // and the encoder takes Python's own UTF-8, so the decoder's fast path is
  // exact here; on invalid bytes it still never reads past end().
  Char at(const uint8_t* p) const {
    if (*p < 0x80) return {ASCII_PATTERN_FLAGS[*p], 1};
    const DecodedChar c = decode_utf8_unchecked(p, end_);
    return {classifier_->flags(c.cp), c.length};
  }

  // The end of the run of characters that have any of `flags`, from q.
  const uint8_t* run_end(const uint8_t* q, uint8_t flags) const {
    while (q < end_) {
      const Char c = at(q);
      if ((c.flags & flags) == 0) break;
      q += c.length;
    }
    return q;
  }

  // As run_end(q, LETTER), taking ASCII letters eight bytes at a time.
  const uint8_t* letter_run_end(const uint8_t* q) const {
    return fast_run_end<ascii_letter_prefix>(q, LETTER);
  }

  // As run_end(q, LOWER_SIDE), taking a-z eight bytes at a time.
  const uint8_t* lower_run_end(const uint8_t* q) const {
    return fast_run_end<ascii_lower_prefix>(q, LOWER_SIDE);
  }

  // The end of up to three numbers from q, which holds a number.
  const uint8_t* numbers_end(const uint8_t* q, uint32_t first_length) const {
    q += first_length;
    for (int taken = 1; taken < 3 && q < end_; ++taken) {
      const Char c = at(q);
      if ((c.flags & NUMBER) == 0) break;
      q += c.length;
    }
    return q;
  }

  // The end of the run of \r and \n (and / if `slash`) from q.
  const uint8_t* line_breaks_end(const uint8_t* q, bool slash) const {
    while (q < end_ && (*q == '\r' || *q == '\n' || (slash && *q == '/'))) ++q;
    return q;
  }

  // The three whitespace alternatives both patterns end with, at p, which
  // holds whitespace:
  //   \s*[\r\n]  (or [\r\n]+)  up to the last line break of the run,
  //   \s+(?!\S)                the run if it ends the line, else all of it
  //                            but its last character,
  //   \s+                      the run, when it is a single character.
  const uint8_t* whitespace_end(const uint8_t* p) const {
    const uint8_t* last_break_end = nullptr;
    const uint8_t* last_start = p;
    const uint8_t* q = p;
    size_t count = 0;
    while (q < end_) {
      const Char c = at(q);
      if ((c.flags & SPACE) == 0) break;
      last_start = q;
      q += c.length;
      ++count;
      if (c.flags & LINE_BREAK) last_break_end = q;
    }
    if (last_break_end != nullptr) return last_break_end;
    if (q == end_ || count == 1) return q;
    return last_start;
  }

 private:
  // run_end(q, flags) where ascii_prefix(q) counts the ASCII characters
  // with these flags among the 8 bytes at q.
  template <size_t (*ascii_prefix)(const uint8_t*)>
  const uint8_t* fast_run_end(const uint8_t* q, uint8_t flags) const {
    for (;;) {
      while (end_ - q >= 8) {
        const size_t n = ascii_prefix(q);
        q += n;
        if (n < 8) break;
      }
      if (q >= end_) return q;
      // Text in other scripts runs on in non-ASCII characters (a run of
      // ideographs, a Cyrillic word): take those without probing for ASCII.
      do {
        const Char c = at(q);
        if ((c.flags & flags) == 0) return q;
        q += c.length;
      } while (q < end_ && *q >= 0x80);
    }
  }

  const uint8_t* const end_;
  PatternClassifier* const classifier_;
};

// Length of the contraction at p, case-insensitively ('s 'd 'm 't with one
// letter, 'll 've 're with two), or 0. Under simple case folding the only
// non-ASCII letter that matches one of these is U+017F (long s, bytes C5 BF),
// which folds to s.
// REQUIRES: p < end and *p == '\''.
inline size_t contraction_length(const uint8_t* p, const uint8_t* end) {
  const auto available = static_cast<size_t>(end - p);
  if (available < 2) return 0;
  auto is_letter = [](uint8_t b, char lower) { return (b | 0x20) == lower; };
  const uint8_t first = p[1];
  if (is_letter(first, 's') || is_letter(first, 'd') || is_letter(first, 'm') ||
      is_letter(first, 't')) {
    return 2;
  }
  if (available < 3) return 0;
  const uint8_t second = p[2];
  if (first == 0xC5 && second == 0xBF) return 3;
  if ((is_letter(first, 'l') && is_letter(second, 'l')) ||
      ((is_letter(first, 'v') || is_letter(first, 'r')) && is_letter(second, 'e'))) {
    return 3;
  }
  return 0;
}

// The cutter's loop: calls next(p) for the end of each pretoken from p.
template <typename Next>
size_t cut_line_with(const char* line_begin, const char* line_end, const char** cuts, Next next) {
  const auto* p = reinterpret_cast<const uint8_t*>(line_begin);
  const auto* const end = reinterpret_cast<const uint8_t*>(line_end);
  size_t count = 0;
  while (p < end && count < tiktoken_split_internal::CUT_BATCH) {
    p = next(p);
    cuts[count++] = reinterpret_cast<const char*>(p);
  }
  return count;
}

// gpt4's and o200k's cuts on ASCII text, found 64 bytes at a time
// (ascii_blocks.h). On a line of ASCII without \r, trying gpt4's
// alternatives in order at each start comes down to these rules for whether
// byte i starts a pretoken (i-1 and i-2 are the bytes before it):
//   letter   unless i-1 is a letter, or a blank (which takes the letters as
//            its prefix), or a lone symbol that starts a pretoken itself
//            (i-2 neither a symbol nor a space), which does the same
//   digit    at the start of a run of digits, then every third digit
//   symbol   unless i-1 is a symbol (the run goes on) or a space (" ?" takes
//            the space in front of the run)
//   blank    when i-1 is not whitespace, or when i+1 is on the line and not
//            whitespace: a run of blanks is one pretoken, except that its
//            last blank goes with what follows (as prefix or " ?") or, before
//            a digit or after a tab, stands alone
//   \n       unless i-1 is a blank (\s*[\r\n] takes the run) or a symbol
//            ([\r\n]* takes it)
// and, where an apostrophe starts a pretoken and opens a contraction, the
// byte after the contraction starts one. o200k's alternatives come to the
// same but for its letters: an upper-case letter after a lower-case one
// starts a pretoken too (a word is A-Z* a-z+ or A-Z+), and a contraction
// ends the word before it: an apostrophe after a letter of a word (not of a
// contraction) that opens one starts no pretoken, nor does anything in the
// contraction; the byte after it does. The carries between blocks are the bits shifted in from the
// block before (one or two), the digit starts three back, and the starts a
// contraction changes in the next block. \r, which the patterns treat apart
// from other whitespace, is left to the per-character cutters.
template <bool O200k>
class ModernRules {
 public:
  static constexpr uint16_t UNFIT = ascii_masks_internal::CARRIAGE;
  static constexpr uint16_t SPACES = ascii_masks_internal::BLANK | ascii_masks_internal::NEWLINE;

  uint64_t starts(const AsciiBlock& block) {
    const AsciiMasks& m = block.masks;
    const uint64_t digits = digit_starts(m);
    const uint64_t starts = class_starts(block) | digits;
    const StartChanges changes = contractions(block, starts);
    carried_ = changes.carried();
    before_ = {m.letter, m.upper, m.blank, m.symbol, m.space, m.digit, digits};
    return changes.applied_to(starts);
  }

 private:
  // The starts that follow from the classes of a byte and the bytes next to
  // it: all but the digits' and the contractions'.
  uint64_t class_starts(const AsciiBlock& block) const {
    const AsciiMasks& m = block.masks;
    const uint64_t letter_1 = shifted_in(m.letter, before_.letter, 1);
    const uint64_t blank_1 = shifted_in(m.blank, before_.blank, 1);
    const uint64_t symbol_1 = shifted_in(m.symbol, before_.symbol, 1);
    const uint64_t symbol_2 = shifted_in(m.symbol, before_.symbol, 2);
    const uint64_t space_1 = shifted_in(m.space, before_.space, 1);
    const uint64_t space_2 = shifted_in(m.space, before_.space, 2);
    const uint64_t lone_symbol_1 = symbol_1 & ~symbol_2 & ~space_2;
    uint64_t starts = (m.letter & ~letter_1 & ~blank_1 & ~lone_symbol_1) |
                      (m.symbol & ~symbol_1 & ~space_1) |
                      (m.blank & (~blank_1 | block.nonspace_next)) |
                      (m.newline & ~blank_1 & ~symbol_1);
    if constexpr (O200k) {
      const uint64_t lower = m.letter & ~m.upper;
      starts |= m.upper & shifted_in(lower, before_.letter & ~before_.upper, 1);
    }
    return starts;
  }

  // The first digit of each run, then every third.
  uint64_t digit_starts(const AsciiMasks& m) const {
    const uint64_t digit_1 = shifted_in(m.digit, before_.digit, 1);
    const uint64_t digit_3 = m.digit & digit_1 & shifted_in(m.digit, before_.digit, 2);
    uint64_t starts = 0;
    for (uint64_t at = (m.digit & ~digit_1) | ((before_.digit_starts >> 61) & digit_3); at != 0;
         at = (at << 3) & digit_3) {
      starts |= at;
    }
    return starts;
  }

  // What the contractions change: in gpt4 an apostrophe that starts a
  // pretoken opens one, in o200k an apostrophe after a letter ends a word
  // with one.
  StartChanges contractions(const AsciiBlock& block, uint64_t starts) const {
    const AsciiMasks& m = block.masks;
    StartChanges changes = carried_;
    const uint64_t openers = m.apostrophe & block.valid &
                             (O200k ? shifted_in(m.letter, before_.letter, 1) : starts);
    for (uint64_t at = openers; at != 0; at &= at - 1) {
      const auto i = static_cast<unsigned>(std::countr_zero(at));
      // In o200k the letter before an apostrophe may end a contraction, not
      // a word ("'m" of "I'm's"): the apostrophe then starts a pretoken.
      if (O200k && changes.sets(i)) continue;
      const auto n = static_cast<unsigned>(contraction_length(block.base + i, block.end));
      if (n == 0) continue;
      if constexpr (O200k) {
        for (unsigned k = i; k < i + n; ++k) changes.clear(k);
      }
      changes.set(i + n);
    }
    return changes;
  }

  // The masks of the block before, for the bits the rules look back at.
  struct Before {
    uint64_t letter, upper, blank, symbol, space, digit, digit_starts;
  };

  Before before_{};
  StartChanges carried_;
};

}  // namespace

namespace tiktoken_split_internal {

size_t cut_line_gpt4(const char* begin, const char* line_end, const char** cuts,
                     PatternClassifier* classifier) {
  return cut_by_blocks_or_chars<ModernRules<false>>(begin, line_end, cuts, CUT_BATCH,
                                                    cut_line_gpt4_by_chars, classifier);
}

size_t cut_line_gpt4_by_chars(const char* begin, const char* line_end, const char** cuts,
                              PatternClassifier* classifier) {
  const LineScanner line(reinterpret_cast<const uint8_t*>(line_end), classifier);
  return cut_line_with(begin, line_end, cuts, [&line](const uint8_t* p) -> const uint8_t* {
    const uint8_t* const end = line.end();
    if (*p == '\'') {
      const size_t n = contraction_length(p, end);
      if (n != 0) return p + n;
    }
    const Char c = line.at(p);
    const uint8_t* const q = p + c.length;
    if (c.flags & LETTER) return line.letter_run_end(q);
    // A prefix is taken possessively, but it can never be a letter, so
    // giving it back could not help \p{L}+ match.
    Char next{};
    const bool has_next = q < end;
    if (has_next) next = line.at(q);
    if ((c.flags & PREFIX) && has_next && (next.flags & LETTER)) {
      return line.letter_run_end(q + next.length);
    }
    if (c.flags & NUMBER) return line.numbers_end(p, c.length);
    if (*p == ' ' && has_next && (next.flags & SYMBOL)) {
      return line.line_breaks_end(line.run_end(q + next.length, SYMBOL), false);
    }
    if (c.flags & SYMBOL) return line.line_breaks_end(line.run_end(q, SYMBOL), false);
    return line.whitespace_end(p);
  });
}

}  // namespace tiktoken_split_internal

namespace {

// Where o200k's two letter alternatives, without their optional prefix and
// contraction, end when they start at q:
//   A: [\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+
//   B: [\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*
// A's first run takes the longest upper-side run; if a lower-side character
// follows, the second run continues from there. Otherwise the first run gives
// back characters until the second can start on one, which is the run's last
// character that is on both sides (Lm, Lo, M); the second run then holds
// just that character, since the upper-only ones after it are not lower-side.
// B is only asked when A fails: the run has no character on both sides and
// nothing lower-side follows, so B is the whole upper-side run (nothing for
// its second part).
struct LetterMatch {
  const uint8_t* a = nullptr;  // the end of A, or nullptr if it fails
  const uint8_t* b = nullptr;  // the end of B, or nullptr if it fails too
};

LetterMatch match_letters(const LineScanner& line, const uint8_t* q) {
  const uint8_t* const end = line.end();
  const uint8_t* both_end = nullptr;  // end of the run's last both-sided character
  const uint8_t* r = q;
  Char c{};
  while (r < end) {
    c = line.at(r);
    if ((c.flags & UPPER_SIDE) == 0) break;
    r += c.length;
    if (c.flags & LOWER_SIDE) both_end = r;
  }
  LetterMatch match;
  if (r < end && (c.flags & LOWER_SIDE)) {
    match.a = line.lower_run_end(r + c.length);
  } else if (both_end != nullptr) {
    match.a = both_end;
  } else if (r != q) {
    match.b = r;
  }
  return match;
}

inline const uint8_t* with_contraction(const uint8_t* k, const uint8_t* end) {
  return k < end && *k == '\'' ? k + contraction_length(k, end) : k;
}

}  // namespace

namespace tiktoken_split_internal {

size_t cut_line_o200k(const char* begin, const char* line_end, const char** cuts,
                      PatternClassifier* classifier) {
  return cut_by_blocks_or_chars<ModernRules<true>>(begin, line_end, cuts, CUT_BATCH,
                                                   cut_line_o200k_by_chars, classifier);
}

size_t cut_line_o200k_by_chars(const char* begin, const char* line_end, const char** cuts,
                               PatternClassifier* classifier) {
  const LineScanner line(reinterpret_cast<const uint8_t*>(line_end), classifier);
  return cut_line_with(begin, line_end, cuts, [&line](const uint8_t* p) -> const uint8_t* {
    const uint8_t* const end = line.end();
    const Char c = line.at(p);
    const uint8_t* const q = p + c.length;
    if (c.flags & PREFIX) {
      // Alternatives A then B, each first with c as the prefix, then
      // without it; without it only a mark (a prefix on both sides) can
      // start a letter run.
      const LetterMatch with_prefix = q < end ? match_letters(line, q) : LetterMatch{};
      if (with_prefix.a != nullptr) return with_contraction(with_prefix.a, end);
      // A without the prefix: the mark alone is the second run, since
      // nothing after it could be (else A with the prefix had matched).
      if (c.flags & LOWER_SIDE) return with_contraction(q, end);
      if (with_prefix.b != nullptr) return with_contraction(with_prefix.b, end);
    } else if (c.flags & LETTER) {
      const LetterMatch plain = match_letters(line, p);
      return with_contraction(plain.a != nullptr ? plain.a : plain.b, end);
    }
    if (c.flags & NUMBER) return line.numbers_end(p, c.length);
    if (*p == ' ' && q < end && (line.at(q).flags & SYMBOL)) {
      return line.line_breaks_end(line.run_end(q, SYMBOL), true);
    }
    if (c.flags & SYMBOL) return line.line_breaks_end(line.run_end(q, SYMBOL), true);
    return line.whitespace_end(p);
  });
}

}  // namespace tiktoken_split_internal

}  // namespace selkbar
