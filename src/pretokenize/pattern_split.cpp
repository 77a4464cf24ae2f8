// pattern_split.cpp: PCRE2 behind SplitPattern and PatternSplitter; in a
// build without PCRE2, the refusal of every pattern (at the end).
#include "pretokenize/pattern_split.h"

#include <algorithm>
#include <new>

#if SELKBAR_HAVE_PCRE2
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

namespace selkbar {

#if SELKBAR_HAVE_PCRE2

namespace {

// The JIT stack of one thread. PCRE2 starts matching on a 32 KiB stack of
// its own; a line that needs more (long runs under nested quantifiers) gets
// up to 8 MiB before the match fails with PCRE2's JIT stack limit message.
constexpr size_t JIT_STACK_START = 32 * 1024;
constexpr size_t JIT_STACK_MAX = 8 * 1024 * 1024;

std::string error_text(int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0) {
    return "PCRE2 error " + std::to_string(code);
  }
  return reinterpret_cast<const char*>(buffer);
}

// Characters (not bytes) before `offset` in UTF-8 text.
size_t character_position(std::string_view text, size_t offset) {
  size_t characters = 0;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if ((static_cast<uint8_t>(text[i]) & 0xC0) != 0x80) ++characters;
  }
  return characters;
}

// Length of the UTF-8 character starting at `lead`.
size_t character_length(uint8_t lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

}  // namespace

bool SplitPattern::available() { return true; }

std::string pcre2_unicode_version() {
  char buffer[64] = {};
  if (pcre2_config(PCRE2_CONFIG_UNICODE_VERSION, buffer) < 0) return "unknown";
  return buffer;
}

std::shared_ptr<const SplitPattern> SplitPattern::compile(std::string_view pattern,
                                                          std::string* error) {
  int code_error = 0;
  PCRE2_SIZE error_offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   PCRE2_UTF | PCRE2_UCP, &code_error, &error_offset, nullptr);
  if (code == nullptr) {
    if (code_error == PCRE2_ERROR_NOMEMORY) throw std::bad_alloc();
    *error = "invalid pattern: " + error_text(code_error) + " at position " +
             std::to_string(character_position(pattern, error_offset));
    return nullptr;
  }
  // Without JIT support (or memory for it) the interpreter runs the pattern.
  // A pattern that opts out itself, with (*NO_JIT), compiles "successfully"
  // to no machine code, and pcre2_jit_match would then fail every match with
  // "bad JIT option": the code size tells.
  size_t jit_size = 0;
  const bool jit = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0 &&
                   pcre2_pattern_info(code, PCRE2_INFO_JITSIZE, &jit_size) == 0 && jit_size > 0;
  try {
    return std::shared_ptr<const SplitPattern>(new SplitPattern(std::string(pattern), code, jit));
  } catch (...) {
    pcre2_code_free(code);
    throw;
  }
}

SplitPattern::~SplitPattern() { pcre2_code_free(code_); }

PatternSplitter::PatternSplitter(const SplitPattern& pattern)
    : pattern_(pattern),
      match_data_(pcre2_match_data_create_from_pattern(pattern.code_, nullptr)),
      match_context_(pcre2_match_context_create(nullptr)),
      jit_stack_(pattern.jit_ ? pcre2_jit_stack_create(JIT_STACK_START, JIT_STACK_MAX, nullptr)
                              : nullptr) {
  if (match_data_ == nullptr || match_context_ == nullptr || (pattern.jit_ && jit_stack_ == nullptr)) {
    pcre2_jit_stack_free(jit_stack_);
    pcre2_match_context_free(match_context_);
    pcre2_match_data_free(match_data_);
    throw std::bad_alloc();
  }
  if (jit_stack_ != nullptr) pcre2_jit_stack_assign(match_context_, nullptr, jit_stack_);
}

PatternSplitter::~PatternSplitter() {
  pcre2_jit_stack_free(jit_stack_);
  pcre2_match_context_free(match_context_);
  pcre2_match_data_free(match_data_);
}

// Matches are found as the library finds them: after a match that ends at
// e, the next search starts at e, unless the match was empty; then it starts
// one character later. Text between matches is a piece of its own.
bool PatternSplitter::cut(std::string_view line, std::string* error) {
  ends_.clear();
  const auto* const subject = reinterpret_cast<PCRE2_SPTR>(line.data());
  const size_t length = line.size();
  size_t boundary = 0;  // end of the last piece stored
  size_t search = 0;
  while (search <= length) {
    // A pattern can take seconds on one line: the run's owner is asked
    // between matches whether to go on, so Ctrl-C and another thread's
    // failure are seen within a match. The pieces of a stopped run are
    // never used.
    if (should_stop_ && should_stop_()) break;
    // The worker validated the text; PCRE2 need not check it again (which
    // it would do from the start offset on every call).
    const int rc = pattern_.jit_
                       ? pcre2_jit_match(pattern_.code_, subject, length, search, PCRE2_NO_UTF_CHECK,
                                         match_data_, match_context_)
                       : pcre2_match(pattern_.code_, subject, length, search, PCRE2_NO_UTF_CHECK,
                                     match_data_, match_context_);
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc < 0) {
      if (rc == PCRE2_ERROR_NOMEMORY) throw std::bad_alloc();
      *error = "matching the pattern failed: " + error_text(rc);
      return false;
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match_data_);
    // PCRE2 refuses \K inside lookarounds, so a match never reports a start
    // before the search start or an end before its start; the clamps keep
    // the pieces in order whatever happens.
    const size_t start = std::max<size_t>(ovector[0], boundary);
    const size_t end = std::max<size_t>(ovector[1], start);
    if (start > boundary) ends_.push_back(start);
    if (end > start) ends_.push_back(end);
    boundary = end;
    if (end > start) {
      search = end;
    } else if (end < length) {
      search = end + character_length(static_cast<uint8_t>(line[end]));
    } else {
      break;
    }
  }
  if (length > boundary) ends_.push_back(length);
  return true;
}

#else  // !SELKBAR_HAVE_PCRE2

namespace {

// Said when a pattern is given to a build without PCRE2, before any input is
// read. pip keeps the wheel it built from an sdist in its cache and would
// install that same build again, hence --no-cache-dir.
constexpr const char* NO_PCRE2_MESSAGE =
    "pattern needs PCRE2, which this selkbar was built without: install PCRE2's development "
    "files and pkg-config (Debian and Ubuntu: libpcre2-dev and pkg-config), then reinstall "
    "selkbar with pip install --no-cache-dir --force-reinstall; the pretokenizers "
    "\"bytelevel\", \"gpt4\" and \"o200k\" need no PCRE2";

}  // namespace

bool SplitPattern::available() { return false; }

std::string pcre2_unicode_version() { return "none"; }

std::shared_ptr<const SplitPattern> SplitPattern::compile(std::string_view, std::string* error) {
  *error = NO_PCRE2_MESSAGE;
  return nullptr;
}

// compile() makes no SplitPattern in this build, so nothing below runs; the
// definitions keep the interface whole for the code that names it.
SplitPattern::~SplitPattern() = default;

PatternSplitter::PatternSplitter(const SplitPattern& pattern)
    : pattern_(pattern), match_data_(nullptr), match_context_(nullptr), jit_stack_(nullptr) {}

PatternSplitter::~PatternSplitter() = default;

bool PatternSplitter::cut(std::string_view, std::string* error) {
  *error = NO_PCRE2_MESSAGE;
  return false;
}

#endif  // SELKBAR_HAVE_PCRE2

}  // namespace selkbar
