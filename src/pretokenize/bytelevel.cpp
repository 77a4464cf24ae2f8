// bytelevel.cpp: character classification and the per-line cutter behind
// split_bytelevel.
#include "pretokenize/bytelevel.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "pretokenize/ascii_blocks.h"
#include "unicode/char_scan.h"
#include "unicode/utf8.h"
#include "unicode/whitespace.h"
#include "unicode/unicode_tables.h"

namespace selkbar {

namespace {

constexpr auto ASCII_CLASS = [] {
  std::array<CharClass, 128> table{};
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = CharClass::Letter;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = CharClass::Letter;
  for (int c = '0'; c <= '9'; ++c) table[c] = CharClass::Number;
  for (int c = 0; c < 128; ++c) {
    if (is_ascii_white_space(static_cast<uint8_t>(c))) table[c] = CharClass::Whitespace;
  }
  return table;
}();

// Finds cp in sorted, disjoint ranges: the last range whose first code point
// is not above cp is the only candidate. Returns whether cp is in a range;
// *stretch receives that range, or else the gap between ranges around cp.
bool locate(std::span<const CodePointRange> ranges, uint32_t cp, CodePointRange* stretch) {
  const auto after = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                      [](uint32_t v, const CodePointRange& r) { return v < r.first; });
  const bool has_before = after != ranges.begin();
  if (has_before && cp <= std::prev(after)->last) {
    *stretch = *std::prev(after);
    return true;
  }
  stretch->first = has_before ? std::prev(after)->last + 1 : 0;
  stretch->last = after != ranges.end() ? after->first - 1 : UINT32_MAX;
  return false;
}

}  // namespace

CharClass CharClassifier::ascii_class(uint32_t cp) { return ASCII_CLASS[cp]; }

CharClass find_char_class(uint32_t cp, CodePointRange* stretch) {
  if (is_non_ascii_white_space(cp)) {
    *stretch = {1, 0};  // alone among other characters: not worth a slot
    return CharClass::Whitespace;
  }
  CodePointRange letters;
  CodePointRange numbers;
  if (locate(LETTER_RANGES, cp, &letters)) {
    *stretch = letters;
    return CharClass::Letter;
  }
  if (locate(NUMBER_RANGES, cp, &numbers)) {
    *stretch = numbers;
    return CharClass::Number;
  }
  // Other: the overlap of both gaps, cut back to exclude whitespace.
  *stretch = {std::max(letters.first, numbers.first), std::min(letters.last, numbers.last)};
  for (const uint32_t white : NON_ASCII_WHITE_SPACE) {
    if (white < cp) stretch->first = std::max(stretch->first, white + 1);
    if (white > cp) stretch->last = std::min(stretch->last, white - 1);
  }
  return CharClass::Other;
}

CharClass classify_code_point(uint32_t cp) {
  CharClassifier fresh;
  return fresh.classify(cp);
}

namespace {

// One decoded character: its class and its length in bytes (at least 1).
struct Char {
  CharClass cls;
  uint32_t length;
};

// The cutter only runs on validated text, so it takes the decoder's fast path.
inline Char decode_non_ascii(const uint8_t* p, const uint8_t* end, CharClassifier* classifier) {
  const DecodedChar c = decode_utf8_unchecked(p, end);
  return {classifier->classify(c.cp), c.length};
}

// REQUIRES: p < end. Forced inline: it runs per character in every cutter
// below, and as a call it costs more than its own work.
[[gnu::always_inline]] inline Char decode_at(const uint8_t* p, const uint8_t* end, CharClassifier* classifier) {
  if (*p < 0x80) return {ASCII_CLASS[*p], 1};
  return decode_non_ascii(p, end, classifier);
}

// Extends a run of class cls from q, which is just past a character of that
// class. Returns the end of the run; if that is before end, *next receives
// the character found there (of another class).
inline const uint8_t* extend_run(const uint8_t* q, const uint8_t* end, CharClass cls, Char* next,
                                 CharClassifier* classifier) {
  if (cls == CharClass::Letter) {
    while (end - q >= 8) {
      const size_t n = ascii_letter_prefix(q);
      q += n;
      if (n < 8) break;
    }
  }
  while (q < end) {
    // ASCII on its own path: its length is a constant there, not a value
    // the loop has to keep in a register.
    if (*q < 0x80) {
      const CharClass ascii = ASCII_CLASS[*q];
      if (ascii != cls) {
        *next = Char{ascii, 1};
        return q;
      }
      ++q;
      continue;
    }
    const Char c = decode_non_ascii(q, end, classifier);
    if (c.cls != cls) {
      *next = c;
      return q;
    }
    q += c.length;
  }
  return q;
}

// Length of the contraction ('s 't 're 've 'm 'll 'd) at p, or 0.
// REQUIRES: p < end and *p == '\''.
inline size_t contraction_length(const uint8_t* p, const uint8_t* end) {
  const auto available = static_cast<size_t>(end - p);
  if (available < 2) return 0;
  switch (p[1]) {
    case 's': case 't': case 'm': case 'd':
      return 2;
    case 'r': case 'v':
      return available >= 3 && p[2] == 'e' ? 3 : 0;
    case 'l':
      return available >= 3 && p[2] == 'l' ? 3 : 0;
    default:
      return 0;
  }
}

}  // namespace

std::array<uint32_t, 256> build_byte_to_char() {
  std::array<uint32_t, 256> map{};
  uint32_t next_substitute = 0x100;
  for (uint32_t b = 0; b < 256; ++b) {
    const bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || b >= 0xAE;
    map[b] = printable ? b : next_substitute++;
  }
  return map;
}

int byte_of_char(uint32_t cp) {
  static constexpr uint32_t MAX_ALPHABET_CODE_POINT = 0x143;
  static const auto table = [] {
    std::array<int16_t, MAX_ALPHABET_CODE_POINT + 1> result;
    result.fill(-1);
    const std::array<uint32_t, 256> byte_to_char = build_byte_to_char();
    for (int byte = 0; byte < 256; ++byte) result[byte_to_char[byte]] = static_cast<int16_t>(byte);
    return result;
  }();
  return cp <= MAX_ALPHABET_CODE_POINT ? table[cp] : -1;
}

namespace bytelevel_internal {

// Each character is decoded and classified once: the character that stops a
// run is kept in `ahead_` and becomes the first character of the next
// pretoken. The only second looks are cheap raw ones: the bytes after an
// apostrophe (for the contractions) and the rest of the 8-byte word in which
// an ASCII letter run ends.
class LineCutter {
 public:
  LineCutter(const char* line_begin, const char* line_end, const char** cuts,
             CharClassifier* classifier)
      : p_(reinterpret_cast<const uint8_t*>(line_begin)),
        end_(reinterpret_cast<const uint8_t*>(line_end)),
        cuts_(cuts),
        classifier_(classifier) {}

  size_t run() {
    // Room for two: the whitespace rule may close two pretokens in one step.
    while (p_ < end_ && count_ + 2 <= CUT_BATCH) {
      if (*p_ == '\'' && cut_contraction()) continue;
      const Char c = ahead_.length != 0 ? ahead_ : decode_at(p_, end_, classifier_);
      ahead_.length = 0;
      const uint8_t* const q = p_ + c.length;
      if (c.cls != CharClass::Whitespace) {
        cut_run(q, c.cls);
      } else {
        cut_from_whitespace(q);
      }
    }
    return count_;
  }

 private:
  // A whitespace run from p_: where its last character starts, where it
  // ends, how many characters it has, and the character after it, if any.
  struct WhitespaceRun {
    const uint8_t* last;
    const uint8_t* end;
    size_t chars;
    Char after;
    bool has_after;
  };

  void cut(const uint8_t* at) {
    cuts_[count_++] = reinterpret_cast<const char*>(at);
    p_ = at;
  }

  bool cut_contraction() {
    const size_t n = contraction_length(p_, end_);
    if (n == 0) return false;
    ahead_.length = 0;
    cut(p_ + n);
    return true;
  }

  // Cuts at the end of the run of `cls` that goes on at q; the character
  // that stops it starts the next pretoken.
  void cut_run(const uint8_t* q, CharClass cls) {
    // The run either stops at a character, which extend_run stores, or at
    // the end of the line, where `next` keeps length 0: nothing ahead.
    Char next{};
    cut(extend_run(q, end_, cls, &next, classifier_));
    ahead_ = next;
  }

  // p_ is at a whitespace character whose end is q. A space takes the run of
  // letters, numbers or other characters after it; anything else follows
  // the whitespace rule.
  void cut_from_whitespace(const uint8_t* q) {
    Char second{};
    const bool has_second = q < end_;
    if (has_second) second = decode_at(q, end_, classifier_);
    if (*p_ == ' ' && has_second && second.cls != CharClass::Whitespace) {
      cut_run(q + second.length, second.cls);
      return;
    }
    apply_whitespace_rule(measure_whitespace_run(q, has_second, second));
  }

  WhitespaceRun measure_whitespace_run(const uint8_t* q, bool has_second, Char second) {
    WhitespaceRun run{p_, q, 1, Char{}, false};
    if (!has_second) return run;
    if (second.cls != CharClass::Whitespace) {
      run.after = second;
      run.has_after = true;
      return run;
    }
    run.last = q;
    run.end = q + second.length;
    run.chars = 2;
    while (run.end < end_) {
      const Char x = decode_at(run.end, end_, classifier_);
      if (x.cls != CharClass::Whitespace) {
        run.after = x;
        run.has_after = true;
        break;
      }
      run.last = run.end;
      run.end += x.length;
      ++run.chars;
    }
    return run;
  }

  // The whitespace rule: all of the run if it reaches the end of the line,
  // else all but its last character if it has two or more, else the single
  // character.
  void apply_whitespace_rule(const WhitespaceRun& run) {
    if (!run.has_after) {
      cut(end_);
      return;
    }
    if (run.chars >= 2) {
      cut(run.last);
      // The run's last character starts the next pretoken, before `after`;
      // a space takes the run after it.
      if (*run.last == ' ') {
        cut_run(run.end + run.after.length, run.after.cls);
        return;
      }
    }
    cut(run.end);
    ahead_ = run.after;
  }

  const uint8_t* p_;
  const uint8_t* const end_;
  const char** const cuts_;
  CharClassifier* const classifier_;
  size_t count_ = 0;
  // The character at p_ when it is already decoded; length 0 when not.
  Char ahead_{};
};

// GPT-2's cuts on ASCII text, found 64 bytes at a time (ascii_blocks.h). On
// a line of ASCII, trying the alternatives in order at each start comes down
// to these rules for whether byte i starts a pretoken:
//   letter, digit, symbol   unless i-1 is of the same class (the run goes
//                           on) or a space (" ?" takes it in front)
//   whitespace              when i-1 is not whitespace, or when i+1 is on
//                           the line and not whitespace: a run is one
//                           pretoken, but for its last character, which goes
//                           with what follows (a space) or stands alone
// and, where an apostrophe starts a pretoken and opens a contraction, the
// contraction is one pretoken: the letter after the apostrophe starts none,
// the byte after the contraction does.
class Gpt2Rules {
 public:
  static constexpr uint16_t UNFIT = 0;
  static constexpr uint16_t SPACES =
      ascii_masks_internal::BLANK | ascii_masks_internal::CARRIAGE | ascii_masks_internal::NEWLINE;

  uint64_t starts(const AsciiBlock& block) {
    const AsciiMasks& m = block.masks;
    const uint64_t white = m.blank | m.carriage | m.newline;
    const uint64_t space_1 = shifted_in(m.space, before_.space, 1);
    uint64_t starts = (m.letter & ~shifted_in(m.letter, before_.letter, 1) & ~space_1) |
                      (m.digit & ~shifted_in(m.digit, before_.digit, 1) & ~space_1) |
                      (m.symbol & ~shifted_in(m.symbol, before_.symbol, 1) & ~space_1) |
                      (white & (~shifted_in(white, before_.white, 1) | block.nonspace_next));
    StartChanges changes = carried_;
    for (uint64_t at = m.apostrophe & starts & block.valid; at != 0; at &= at - 1) {
      const auto i = static_cast<unsigned>(std::countr_zero(at));
      const size_t n = contraction_length(block.base + i, block.end);
      if (n == 0) continue;
      changes.clear(i + 1);
      changes.set(i + static_cast<unsigned>(n));
    }
    carried_ = changes.carried();
    before_ = {m.letter, m.digit, m.symbol, m.space, white};
    return changes.applied_to(starts);
  }

 private:
  struct Before {
    uint64_t letter, digit, symbol, space, white;
  };

  Before before_{};
  StartChanges carried_;
};

size_t cut_line(const char* line_begin, const char* line_end, const char** cuts,
                CharClassifier* classifier) {
  return cut_by_blocks_or_chars<Gpt2Rules>(line_begin, line_end, cuts, CUT_BATCH, cut_line_by_chars,
                                           classifier);
}

size_t cut_line_by_chars(const char* line_begin, const char* line_end, const char** cuts,
                         CharClassifier* classifier) {
  return LineCutter(line_begin, line_end, cuts, classifier).run();
}

}  // namespace bytelevel_internal

}  // namespace selkbar
