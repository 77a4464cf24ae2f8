#include "encoding/evaluate.h"

#include "encoding/bpe_encoder.h"
#include "encoding/word_ranges.h"

namespace selkbar {

namespace {

// Word bytes encoded between two looks at the control, besides the looks
// every few thousand words: about a millisecond of encoding.
constexpr uint64_t POLL_BYTES = uint64_t{1} << 18;

// One range's tallies.
struct Tally {
  CountTotal words = 0;
  CountTotal text_bytes = 0;
  CountTotal tokens = 0;
  CountTotal unknown_bytes = 0;
  std::vector<CountTotal> token_uses;
  std::vector<CountTotal> length_histogram;

  void add(const Tally& other) {
    words += other.words;
    text_bytes += other.text_bytes;
    tokens += other.tokens;
    unknown_bytes += other.unknown_bytes;
    for (size_t id = 0; id < other.token_uses.size(); ++id) token_uses[id] += other.token_uses[id];
    if (length_histogram.size() < other.length_histogram.size()) {
      length_histogram.resize(other.length_histogram.size(), 0);
    }
    for (size_t n = 0; n < other.length_histogram.size(); ++n) {
      length_histogram[n] += other.length_histogram[n];
    }
  }
};

void tally_range(const BpeModel& model, const WordTable& words, uint32_t begin, uint32_t end,
                 const RunControl* control, Tally& tally) {
  BpeEncoder encoder(model);
  tally.token_uses.assign(model.vocab_size(), 0);
  uint64_t bytes_since_poll = 0;
  for (uint32_t w = begin; w < end; ++w) {
    poll_word_cancel(control, w);
    const std::string_view word = words.get(w);
    // Long words take far longer than a few thousand of the usual ones:
    // poll by the bytes encoded too, so Ctrl-C still lands within
    // milliseconds.
    bytes_since_poll += word.size();
    if (bytes_since_poll >= POLL_BYTES) {
      stop_if_cancelled(control);
      bytes_since_poll = 0;
    }
    const EncodedWord encoded = encoder.encode(word);
    const uint64_t count = words.count(w);
    tally.words += count;
    tally.text_bytes += CountTotal{encoded.text_bytes} * count;
    tally.unknown_bytes += CountTotal{encoded.unknown_bytes} * count;
    tally.tokens += CountTotal{encoded.ids.size()} * count;
    for (size_t i = 0; i < encoded.ids.size(); ++i) {
      tally.token_uses[encoded.ids[i]] += count;
      const uint32_t length = encoded.token_text_bytes[i];
      if (length >= tally.length_histogram.size()) tally.length_histogram.resize(length + 1, 0);
      tally.length_histogram[length] += count;
    }
  }
}

// The lower median of the lengths the histogram counts.
uint64_t lower_median(const std::vector<CountTotal>& histogram, CountTotal total) {
  if (total == 0) return 0;
  const CountTotal wanted = (total + 1) / 2;  // the (k+1)-th of 2k+1, the k-th of 2k
  CountTotal seen = 0;
  for (size_t n = 0; n < histogram.size(); ++n) {
    seen += histogram[n];
    if (seen >= wanted) return n;
  }
  return histogram.size() - 1;
}

}  // namespace

EvalFigures evaluate_words(const BpeModel& model, const WordTable& words, uint64_t threads,
                           const RunControl* control) {
  const size_t parts = word_range_parts(words.len(), threads);
  std::vector<Tally> tallies(parts);
  run_over_word_ranges(words.len(), parts, [&](size_t part, uint32_t begin, uint32_t end) {
    tally_range(model, words, begin, end, control, tallies[part]);
  });
  Tally& total = tallies[0];
  for (size_t part = 1; part < parts; ++part) total.add(tallies[part]);

  EvalFigures figures;
  figures.words = total.words;
  figures.distinct_words = words.len();
  figures.text_bytes = total.text_bytes;
  figures.tokens = total.tokens;
  figures.unknown_bytes = total.unknown_bytes;
  figures.vocab_size = model.vocab_size();
  for (const CountTotal uses : total.token_uses) figures.unused_tokens += uses == 0 ? 1 : 0;
  while (!total.length_histogram.empty() && total.length_histogram.back() == 0) {
    total.length_histogram.pop_back();
  }
  figures.longest_token_bytes = total.length_histogram.empty() ? 0 : total.length_histogram.size() - 1;
  figures.median_token_bytes = lower_median(total.length_histogram, total.tokens);
  figures.token_uses = std::move(total.token_uses);
  figures.token_length_histogram = std::move(total.length_histogram);
  return figures;
}

}  // namespace selkbar
