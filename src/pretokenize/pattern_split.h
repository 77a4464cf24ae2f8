// pattern_split.h: splitting text by any regular expression, as the
// tokenizers library's isolated Split does, through PCRE2 and its JIT.
//
//   std::string error;
//   std::shared_ptr<const SplitPattern> pattern = SplitPattern::compile(P, &error);
//   if (!pattern) report(error);              // before any file is read
//   PatternSplitter splitter(*pattern);       // one per thread
//   if (!split_pattern(text, splitter, sink, &error)) report(error);
//
// The pattern is compiled once with PCRE2_UTF | PCRE2_UCP, so \p{..}, \s, \w
// and \d are Unicode classes and (?i) folds case by Unicode rules, and
// JIT-compiled when the platform allows (else PCRE2's interpreter runs it).
// PCRE2 carries its own Unicode tables (pcre2_unicode_version(); 14.0.0 for
// PCRE2 10.42), which can differ from the 16.0.0 tables of the hand-written
// splitters, and its \s also holds U+180E MONGOLIAN VOWEL SEPARATOR.
//
// split_pattern applies the pattern to each line on its own (a line ends
// just after each 0x0A byte), finding matches left to right: every match is
// a pretoken, so is the text between two matches (and before the first and
// after the last), and empty pieces are dropped. An empty match is a
// boundary only: the next search starts one character after it, so a pattern
// that matches the empty string never loops. So `x*` cuts "abxxc" into "a",
// "b", "xx", "c". The pretokens concatenate back to the text.
//
// Threads: a SplitPattern is immutable once compiled and is shared by every
// worker; a PatternSplitter holds the PCRE2 match data and JIT stack, which
// PCRE2 does not allow to be shared, so each worker thread makes its own.
//
// Failures: compile() returns the message "invalid pattern: {PCRE2's
// reason} at position {n}", n counting characters from 0. A match that
// fails at run time (PCRE2's match or depth limit on a pathological pattern)
// ends split_pattern with "matching the pattern failed: {PCRE2's reason}".
// Running out of memory throws std::bad_alloc.
//
// PCRE2 is optional at build time (SELKBAR_HAVE_PCRE2, set by CMake when it
// finds libpcre2-8), so that selkbar installs where it is missing. Without
// it available() is false and compile() refuses every pattern with a message
// naming what to install; since no SplitPattern can then exist, no
// PatternSplitter is ever made either.
#ifndef SELKBAR_PATTERN_SPLIT_H_
#define SELKBAR_PATTERN_SPLIT_H_

#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pretokenize/split_units.h"

// PCRE2's own types, so that only pattern_split.cpp includes pcre2.h.
struct pcre2_real_code_8;
struct pcre2_real_match_data_8;
struct pcre2_real_match_context_8;
struct pcre2_real_jit_stack_8;

namespace selkbar {

// The Unicode version of the linked PCRE2's tables, e.g. "14.0.0"; "none"
// in a build without PCRE2.
std::string pcre2_unicode_version();

class SplitPattern {
 public:
  // Whether this build has PCRE2, i.e. whether compile() can succeed.
  static bool available();

  // REQUIRES: pattern is valid UTF-8.
  static std::shared_ptr<const SplitPattern> compile(std::string_view pattern, std::string* error);

  ~SplitPattern();
  SplitPattern(const SplitPattern&) = delete;
  SplitPattern& operator=(const SplitPattern&) = delete;

  const std::string& source() const { return source_; }

 private:
  friend class PatternSplitter;
  SplitPattern(std::string source, pcre2_real_code_8* code, bool jit)
      : source_(std::move(source)), code_(code), jit_(jit) {}

  const std::string source_;
  pcre2_real_code_8* const code_;  // owned
  const bool jit_;                 // whether JIT compilation succeeded
};

class PatternSplitter {
 public:
  // Borrows pattern, which must outlive the splitter.
  explicit PatternSplitter(const SplitPattern& pattern);
  ~PatternSplitter();
  PatternSplitter(const PatternSplitter&) = delete;
  PatternSplitter& operator=(const PatternSplitter&) = delete;

  // Finds the pretokens of `line`; ends() then holds their end offsets, in
  // order (the last is line.size() unless the line is empty). Returns false
  // with *error set if a match failed. Once `should_stop` (see stop_when)
  // returns true, returns true at once with whatever pieces it has.
  // REQUIRES: line is valid UTF-8.
  bool cut(std::string_view line, std::string* error);

  // Asks `should_stop` before each match (a run cancelled or failed
  // elsewhere); it must be cheap and may be called from this thread only.
  void stop_when(std::function<bool()> should_stop) { should_stop_ = std::move(should_stop); }
  const std::vector<size_t>& ends() const { return ends_; }

 private:
  const SplitPattern& pattern_;
  pcre2_real_match_data_8* match_data_;
  pcre2_real_match_context_8* match_context_;
  pcre2_real_jit_stack_8* jit_stack_;
  std::vector<size_t> ends_;  // reused from line to line
  std::function<bool()> should_stop_;
};

// The pattern applied to the whole text as one subject, as the library's
// Split pre-tokenizer treats each text it is given.
// REQUIRES: text is valid UTF-8.
template <typename Sink>
bool split_pattern_text(std::string_view text, PatternSplitter& splitter, Sink&& sink,
                        std::string* error) {
  if (!splitter.cut(text, error)) return false;
  size_t start = 0;
  for (const size_t piece_end : splitter.ends()) {
    sink(std::string_view(text.data() + start, piece_end - start));
    start = piece_end;
  }
  return true;
}

// The pattern applied to each line of file text on its own; stops at the
// first match that fails.
// REQUIRES: text is valid UTF-8.
template <typename Sink>
bool split_pattern(std::string_view text, PatternSplitter& splitter, Sink&& sink,
                   std::string* error) {
  bool ok = true;
  for_each_line(text, [&](const char* begin, const char* end) {
    ok = ok && split_pattern_text(std::string_view(begin, static_cast<size_t>(end - begin)),
                                  splitter, sink, error);
  });
  return ok;
}

}  // namespace selkbar

#endif  // SELKBAR_PATTERN_SPLIT_H_
