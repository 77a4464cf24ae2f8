// evaluate.h: what a vocabulary does on held-out text, from the text's
// counted words.
//
//   WordTable held_out = count_words(config).words;         // phase 1
//   EvalFigures figures = evaluate_words(model, held_out, threads, control);
//   figures.bytes_per_token();  // 4.21
//
// Counting first and encoding each distinct word once gives the same figures
// as encoding the text pretoken by pretoken (BPE encodes each pretoken on
// its own), at a cost per distinct word instead of per pretoken. Each
// word's figures are weighted by its count. The words are the text's
// pretokens as phase 1 spells them, so a byte-level word stands for one
// byte per character; in the whitespace family the white space between
// words is in no pretoken and counts nowhere here.
//
// Figures:
//   words          pretokens (word occurrences)
//   text_bytes     the bytes those pretokens stand for
//   tokens         tokens the encoding gives
//   unknown_bytes  bytes of characters outside the vocabulary, dropped
//   token_uses     per token id, its occurrences in the encoding
//   token_length_histogram[n]  token occurrences covering n text bytes
//   unused_tokens  tokens of the vocabulary with no occurrence (special
//                  tokens included: no word encodes to them)
//   longest / median token length: over token occurrences, in text bytes;
//                  the median is the lower one (the (k+1)-th of 2k or
//                  2k+1 occurrences by length); both 0 without tokens.
// Totals are 128 bits wide, as the counts' total is: a table's counts can
// sum past 2^64.
//
// Runs on up to `threads` threads over ranges of words, each with its own
// tallies, added up at the end: the figures do not depend on the thread
// count. Polls `control` (may be null) and throws Cancelled once every
// thread has ended.
#ifndef SELKBAR_EVALUATE_H_
#define SELKBAR_EVALUATE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "counts/word_counts.h"
#include "counts/wordtable.h"
#include "encoding/bpe_model.h"
#include "threads/run_control.h"

namespace selkbar {

struct EvalFigures {
  CountTotal words = 0;
  uint64_t distinct_words = 0;
  CountTotal text_bytes = 0;
  CountTotal tokens = 0;
  CountTotal unknown_bytes = 0;
  std::vector<CountTotal> token_uses;              // index: token id
  std::vector<CountTotal> token_length_histogram;  // index: text bytes
  uint64_t vocab_size = 0;
  uint64_t unused_tokens = 0;
  uint64_t longest_token_bytes = 0;
  uint64_t median_token_bytes = 0;

  // Ratios, 0 when their denominator is.
  double bytes_per_token() const { return ratio(text_bytes, tokens); }
  double tokens_per_word() const { return ratio(tokens, words); }
  double unused_share() const { return ratio(unused_tokens, vocab_size); }
  double unknown_share() const { return ratio(unknown_bytes, text_bytes); }

 private:
  static double ratio(CountTotal a, CountTotal b) {
    return b == 0 ? 0.0 : static_cast<double>(a) / static_cast<double>(b);
  }
};

EvalFigures evaluate_words(const BpeModel& model, const WordTable& words, uint64_t threads,
                           const RunControl* control);

}  // namespace selkbar

#endif  // SELKBAR_EVALUATE_H_
