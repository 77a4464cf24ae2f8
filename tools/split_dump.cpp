// split_dump: test hook that runs one of the engine's splitters on its
// standard input, for differential tests and fuzzing from outside C++.
//
//   split_dump bytelevel  < text   # split_bytelevel
//   split_dump whitespace < text   # split_whitespace
//   split_dump gpt4       < text   # split_gpt4
//   split_dump o200k      < text   # split_o200k
//   split_dump pattern P  < text   # split_pattern with the pattern P
//   split_dump classes             # byte-level class of every code point
//   split_dump flags               # pattern flags of every code point
//
// The splitter modes read all of standard input as one text and write, for
// each pretoken in order, two little-endian unsigned 64-bit numbers: its byte
// offset in the input and its byte length. Offsets rather than bytes keep the
// output unambiguous whatever the input holds and let the caller check where
// each view points. The classes mode ignores standard input and writes one
// byte per code point U+0000..U+10FFFF: 'L' letter, 'N' number,
// 'W' whitespace, 'O' other; the flags mode likewise writes the byte of
// pattern flags (pretokenize/tiktoken_classes.h) of each code point.
// The pattern mode validates its input as UTF-8 first, as scanners do, and
// reports an invalid input, pattern or match on stderr with status 3.
// Exit status: 0 on success, 1 on an I/O error, 2 on bad usage.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "pretokenize/bytelevel.h"
#include "pretokenize/tiktoken_split.h"
#include "pretokenize/tiktoken_classes.h"
#include "pretokenize/pattern_split.h"
#include "pretokenize/split.h"
#include "unicode/utf8.h"

namespace {

bool read_all(std::FILE* in, std::string* out) {
  char buffer[1 << 16];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) out->append(buffer, n);
  return !std::ferror(in);
}

void put_u64(std::vector<unsigned char>* out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

template <typename Sink>
bool split_by_pattern(const char* pattern_text, const std::string& text, Sink& sink) {
  std::string error;
  const auto pattern = selkbar::SplitPattern::compile(pattern_text, &error);
  selkbar::Utf8Error utf8_error;
  if (pattern == nullptr) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  if (!selkbar::validate_utf8(text, &utf8_error)) {
    std::fprintf(stderr, "input is not valid UTF-8: %s\n",
                 selkbar::describe_utf8_error(utf8_error).c_str());
    return false;
  }
  selkbar::PatternSplitter splitter(*pattern);
  if (!selkbar::split_pattern(text, splitter, sink, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  return true;
}

int usage() {
  std::fputs("usage: split_dump bytelevel|whitespace|gpt4|o200k|classes|flags|pattern P\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string_view mode = argv[1];
  if ((mode == "pattern") != (argc == 3) || argc > 3) return usage();
  std::vector<unsigned char> out;
  if (mode == "classes") {
    static constexpr char CLASS_LETTERS[] = {'O', 'L', 'N', 'W'};
    out.reserve(0x110000);
    for (uint32_t cp = 0; cp < 0x110000; ++cp) {
      out.push_back(CLASS_LETTERS[static_cast<int>(selkbar::classify_code_point(cp))]);
    }
  } else if (mode == "flags") {
    out.reserve(0x110000);
    for (uint32_t cp = 0; cp < 0x110000; ++cp) out.push_back(selkbar::pattern_flags(cp));
  } else if (mode == "bytelevel" || mode == "whitespace" || mode == "gpt4" || mode == "o200k" ||
             mode == "pattern") {
    std::string text;
    if (!read_all(stdin, &text)) {
      std::perror("split_dump: reading standard input");
      return 1;
    }
    const char* const base = text.data();
    auto record = [&](std::string_view piece) {
      put_u64(&out, static_cast<uint64_t>(piece.data() - base));
      put_u64(&out, piece.size());
    };
    if (mode == "bytelevel") {
      selkbar::split_bytelevel(text, record);
    } else if (mode == "gpt4") {
      selkbar::split_gpt4(text, record);
    } else if (mode == "o200k") {
      selkbar::split_o200k(text, record);
    } else if (mode == "pattern") {
      if (!split_by_pattern(argv[2], text, record)) return 3;
    } else {
      selkbar::split_whitespace(text, record);
    }
  } else {
    return usage();
  }
  if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
    std::perror("split_dump: writing standard output");
    return 1;
  }
  return 0;
}
