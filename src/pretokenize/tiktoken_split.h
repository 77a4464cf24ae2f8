// tiktoken_split.h: hand-written splitters for the split patterns of current
// language models, GPT-4's (tiktoken's cl100k_base) and o200k (o200k_base).
//
// split_gpt4 and split_o200k cut text as the tokenizers library's isolated
// Split does with these patterns, evaluated by a backtracking engine
// (leftmost match, first alternative that matches):
//
//   gpt4:  '(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}|
//          ?[^\s\p{L}\p{N}]++[\r\n]*|\s*[\r\n]|\s+(?!\S)|\s+
//   o200k: [^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+
//          (?i:'s|'t|'re|'ve|'m|'ll|'d)?|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+
//          [\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?|\p{N}{1,3}|
//          ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+
//
// (each written here on several lines; the patterns have no line breaks).
// Every match is a pretoken; the patterns leave no text between matches, so
// the pretokens concatenate back to the text. Like split_bytelevel, the
// pattern is applied to each line on its own (a line ends just after each
// 0x0A byte), so no pretoken extends past a newline and the end of a line is
// the end of the input for (?!\S). The character classes are those of
// tiktoken_classes.h (Unicode 16.0.0). Case-insensitive contractions follow
// Unicode simple case folding: s matches S and U+017F (long s), the other
// contraction letters only their ASCII pair.
//
// Both call the sink once per pretoken, in text order, with a non-empty view
// into the text. No allocation, no copy. The text is expected to be valid
// UTF-8; invalid bytes never make a scan leave the view (where they cut is
// unspecified). Example:
//
//   split_gpt4("I'LL pay 12345$!\n", sink);
//   // sink sees "I", "'LL", " pay", " ", "123", "45", "$!\n"
//   split_o200k("HelloWORLD it's", sink);
//   // sink sees "Hello", "WORLD", " it's"
#ifndef SELKBAR_TIKTOKEN_SPLIT_H_
#define SELKBAR_TIKTOKEN_SPLIT_H_

#include <cstddef>
#include <cstring>
#include <string_view>

#include "pretokenize/split_units.h"
#include "pretokenize/tiktoken_classes.h"

namespace selkbar {

// The two patterns as published, for tokenizer.json's Split pre-tokenizer.
inline constexpr std::string_view GPT4_PATTERN =
    R"('(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]++[\r\n]*|)"
    R"(\s*[\r\n]|\s+(?!\S)|\s+)";
inline constexpr std::string_view O200K_PATTERN =
    R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+)"
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)?|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+)"
    R"([\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?|\p{N}{1,3}|)"
    R"( ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+)";

namespace tiktoken_split_internal {

// Pretokens found per call of a line cutter; the caller's cut array has this
// size.
inline constexpr size_t CUT_BATCH = 128;

// Cut the line [begin, line_end) from its start into pretokens of one
// pattern and store the end of each in cuts[0..], stopping after at most
// CUT_BATCH of them. Return how many were stored, at least one.
// REQUIRES: begin < line_end. The cut is the pattern's on [begin, line_end)
// as one input; split_gpt4 and split_o200k keep each call to one line.
size_t cut_line_gpt4(const char* begin, const char* line_end, const char** cuts,
                     PatternClassifier* classifier);
size_t cut_line_o200k(const char* begin, const char* line_end, const char** cuts,
                      PatternClassifier* classifier);

// The line cutters take ASCII stretches 64 bytes at a time and the rest
// character by character; these are the character-by-character cutters
// alone, which the tests compare with the whole.
size_t cut_line_gpt4_by_chars(const char* begin, const char* line_end, const char** cuts,
                              PatternClassifier* classifier);
size_t cut_line_o200k_by_chars(const char* begin, const char* line_end, const char** cuts,
                               PatternClassifier* classifier);

template <typename CutLine, typename Sink>
void split_lines(std::string_view text, CutLine cut_line, Sink& sink) {
  PatternClassifier classifier;
  for_each_line(text, [&](const char* begin, const char* end) {
    cut_unit<CUT_BATCH>(begin, end, cut_line, &classifier, sink);
  });
}

template <typename CutLine, typename Sink>
void split_whole(std::string_view text, CutLine cut_line, Sink& sink) {
  PatternClassifier classifier;
  cut_unit<CUT_BATCH>(text.data(), text.data() + text.size(), cut_line, &classifier, sink);
}

}  // namespace tiktoken_split_internal

template <typename Sink>
void split_gpt4(std::string_view text, Sink&& sink) {
  tiktoken_split_internal::split_lines(text, tiktoken_split_internal::cut_line_gpt4, sink);
}

template <typename Sink>
void split_o200k(std::string_view text, Sink&& sink) {
  tiktoken_split_internal::split_lines(text, tiktoken_split_internal::cut_line_o200k, sink);
}

// The patterns applied to the whole text as one input, as the library's
// Split pre-tokenizer treats each text it is given: a run of whitespace may
// hold line breaks, and only the end of the text ends the input.
template <typename Sink>
void split_gpt4_text(std::string_view text, Sink&& sink) {
  tiktoken_split_internal::split_whole(text, tiktoken_split_internal::cut_line_gpt4, sink);
}

template <typename Sink>
void split_o200k_text(std::string_view text, Sink&& sink) {
  tiktoken_split_internal::split_whole(text, tiktoken_split_internal::cut_line_o200k, sink);
}

}  // namespace selkbar

#endif  // SELKBAR_TIKTOKEN_SPLIT_H_
