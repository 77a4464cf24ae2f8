// bytelevel.cpp: character classification and the per-line cutter behind
// split_bytelevel.
#include "bytelevel.h"

#include <algorithm>

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

bool is_non_ascii_white_space(uint32_t cp) {
  if (cp > 0x3000) return false;
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

// Whether cp lies in one of the sorted, disjoint ranges: the last range whose
// first code point is not above cp is the only candidate.
bool in_ranges(std::span<const CodePointRange> ranges, uint32_t cp) {
  const auto after = std::upper_bound(ranges.begin(), ranges.end(), cp,
                                      [](uint32_t v, const CodePointRange& r) { return v < r.first; });
  return after != ranges.begin() && cp <= std::prev(after)->last;
}

CharClass classify_non_ascii(uint32_t cp) {
  if (is_non_ascii_white_space(cp)) return CharClass::Whitespace;
  if (in_ranges(LETTER_RANGES, cp)) return CharClass::Letter;
  if (in_ranges(NUMBER_RANGES, cp)) return CharClass::Number;
  return CharClass::Other;
}

// One decoded character: its class and its length in bytes (at least 1).
struct Char {
  CharClass cls;
  uint32_t length;
};

Char decode_non_ascii(const uint8_t* p, const uint8_t* end) {
  const uint8_t lead = p[0];
  uint32_t length;
  uint32_t cp;
  if (lead >= 0xC0 && lead < 0xE0) {
    length = 2;
    cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3;
    cp = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead < 0xF8) {
    length = 4;
    cp = lead & 0x07u;
  } else {
    return {CharClass::Other, 1};  // a stray continuation byte or 0xF8..0xFF
  }
  // A sequence cut short by the end of the view is taken whole as one Other
  // character, so the scan never reads past the end on invalid input.
  const auto available = static_cast<size_t>(end - p);
  if (available < length) return {CharClass::Other, static_cast<uint32_t>(available)};
  for (uint32_t i = 1; i < length; ++i) cp = (cp << 6) | (p[i] & 0x3Fu);
  return {classify_non_ascii(cp), length};
}

// REQUIRES: p < end.
inline Char decode_at(const uint8_t* p, const uint8_t* end) {
  if (*p < 0x80) return {ASCII_CLASS[*p], 1};
  return decode_non_ascii(p, end);
}

// Extends a run of class cls from q, which is just past a character of that
// class. Returns the end of the run; if that is before end, *next receives
// the character found there (of another class).
inline const uint8_t* extend_run(const uint8_t* q, const uint8_t* end, CharClass cls, Char* next) {
  while (q < end) {
    const Char c = decode_at(q, end);
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

CharClass classify_code_point(uint32_t cp) {
  return cp < 0x80 ? ASCII_CLASS[cp] : classify_non_ascii(cp);
}

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

// Each character is decoded once: the character that stops a run is kept in
// `ahead` and becomes the first character of the next pretoken. Only the
// bytes after an apostrophe are looked at twice (raw, for the contractions).
size_t cut_line(const char* line_begin, const char* line_end, const char** cuts) {
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
    const Char c = have_ahead ? ahead : decode_at(p, end);
    have_ahead = false;
    const uint8_t* q = p + c.length;
    if (c.cls != CharClass::Whitespace) {
      cut(extend_run(q, end, c.cls, &ahead));
      have_ahead = p < end;
      continue;
    }
    // A space takes the run of letters, numbers or other characters after it.
    Char second{};
    const bool has_second = q < end;
    if (has_second) second = decode_at(q, end);
    if (*p == ' ' && has_second && second.cls != CharClass::Whitespace) {
      cut(extend_run(q + second.length, end, second.cls, &ahead));
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
          const Char x = decode_at(q, end);
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
        cut(extend_run(q + after.length, end, after.cls, &ahead));
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
