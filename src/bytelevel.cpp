// bytelevel.cpp: character classification and the per-line cutter behind
// split_bytelevel.
#include "bytelevel.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "char_scan.h"
#include "split.h"
#include "unicode_tables.h"

namespace selkbar {

namespace {

constexpr auto ASCII_CLASS = [] {
  std::array<CharClass, 128> table{};
  for (int c = 'A'; c <= 'Z'; ++c) table[c] = CharClass::Letter;
  for (int c = 'a'; c <= 'z'; ++c) table[c] = CharClass::Letter;
  for (int c = '0'; c <= '9'; ++c) table[c] = CharClass::Number;
  for (int c = 0x09; c <= 0x0D; ++c) table[c] = CharClass::Whitespace;
  table[' '] = CharClass::Whitespace;
  return table;
}();

// The non-ASCII White_Space code points, in increasing order.
constexpr uint32_t NON_ASCII_WHITE_SPACE[] = {0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002,
                                              0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008,
                                              0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F,
                                              0x3000};

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

CharClass CharClassifier::classify_and_remember(uint32_t cp) {
  if (is_non_ascii_white_space(cp)) return CharClass::Whitespace;
  CodePointRange letters;
  CodePointRange numbers;
  CodePointRange stretch;
  CharClass cls;
  if (locate(LETTER_RANGES, cp, &letters)) {
    stretch = letters;
    cls = CharClass::Letter;
  } else if (locate(NUMBER_RANGES, cp, &numbers)) {
    stretch = numbers;
    cls = CharClass::Number;
  } else {
    // Other: the overlap of both gaps, cut back to exclude whitespace.
    stretch = {std::max(letters.first, numbers.first), std::min(letters.last, numbers.last)};
    for (const uint32_t white : NON_ASCII_WHITE_SPACE) {
      if (white < cp) stretch.first = std::max(stretch.first, white + 1);
      if (white > cp) stretch.last = std::min(stretch.last, white - 1);
    }
    cls = CharClass::Other;
  }
  first_[next_slot_] = stretch.first;
  last_[next_slot_] = stretch.last;
  class_[next_slot_] = cls;
  next_slot_ = (next_slot_ + 1) % SLOTS;
  return cls;
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

inline Char decode_non_ascii(const uint8_t* p, const uint8_t* end, CharClassifier* classifier) {
  uint32_t cp;
  const uint32_t length = selkbar::decode_non_ascii(p, end, &cp);
  return {cp == INVALID_CODE_POINT ? CharClass::Other : classifier->classify(cp), length};
}

// REQUIRES: p < end.
inline Char decode_at(const uint8_t* p, const uint8_t* end, CharClassifier* classifier) {
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
    const Char c = decode_at(q, end, classifier);
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

namespace bytelevel_internal {

// Each character is decoded and classified once: the character that stops a
// run is kept in `ahead` and becomes the first character of the next
// pretoken. The only second looks are cheap raw ones: the bytes after an
// apostrophe (for the contractions) and the rest of the 8-byte word in which
// an ASCII letter run ends.
size_t cut_line(const char* line_begin, const char* line_end, const char** cuts,
                CharClassifier* classifier) {
  const auto* const begin = reinterpret_cast<const uint8_t*>(line_begin);
  const auto* const end = reinterpret_cast<const uint8_t*>(line_end);
  const uint8_t* p = begin;
  size_t count = 0;
  Char ahead{};
  bool have_ahead = false;  // whether `ahead` is the character at p
  auto cut = [&](const uint8_t* at) {
    cuts[count++] = reinterpret_cast<const char*>(at);
    p = at;
  };
  // Room for two: the whitespace rule may close two pretokens in one step.
  while (p < end && count + 2 <= CUT_BATCH) {
    if (*p == '\'') {
      const size_t n = contraction_length(p, end);
      if (n != 0) {
        have_ahead = false;
        cut(p + n);
        continue;
      }
    }
    const Char c = have_ahead ? ahead : decode_at(p, end, classifier);
    have_ahead = false;
    const uint8_t* q = p + c.length;
    if (c.cls != CharClass::Whitespace) {
      cut(extend_run(q, end, c.cls, &ahead, classifier));
      have_ahead = p < end;
      continue;
    }
    // A space takes the run of letters, numbers or other characters after it.
    Char second{};
    const bool has_second = q < end;
    if (has_second) second = decode_at(q, end, classifier);
    if (*p == ' ' && has_second && second.cls != CharClass::Whitespace) {
      cut(extend_run(q + second.length, end, second.cls, &ahead, classifier));
      have_ahead = p < end;
      continue;
    }
    // The whitespace rule: the longest whitespace run from p; all of it if it
    // reaches the end of the line, else all but its last character if it has
    // two or more, else the single character.
    const uint8_t* last = p;  // start of the run's last character
    size_t run_chars = 1;
    Char after{};             // the first non-whitespace character, if any
    bool has_after = false;
    if (has_second) {
      if (second.cls == CharClass::Whitespace) {
        last = q;
        q += second.length;
        ++run_chars;
        while (q < end) {
          const Char x = decode_at(q, end, classifier);
          if (x.cls != CharClass::Whitespace) {
            after = x;
            has_after = true;
            break;
          }
          last = q;
          q += x.length;
          ++run_chars;
        }
      } else {
        after = second;
        has_after = true;
      }
    }
    if (!has_after) {
      cut(end);
    } else if (run_chars == 1) {
      cut(q);
      ahead = after;
      have_ahead = true;
    } else {
      cut(last);
      // The run's last character starts the next pretoken, before `after`.
      if (*last == ' ') {
        cut(extend_run(q + after.length, end, after.cls, &ahead, classifier));
        have_ahead = p < end;
      } else {
        cut(q);
        ahead = after;
        have_ahead = true;
      }
    }
  }
  return count;
}

}  // namespace bytelevel_internal

}  // namespace selkbar
