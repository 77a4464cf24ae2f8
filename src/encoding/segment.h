// segment.h: counted words segmented by an existing model, the starting
// point of a training that continues from that model.
//
//   SegmentedWords start = segment_words(base, counts.words(), threads, control);
//   for (size_t w = 0; w < start.size(); ++w)
//     arena.push_word(start.count(w), start.word(w));  // ids in base's id space
//
// Every distinct word of the table is encoded by `model` (bpe_encoder.h):
// its characters become the tokens of their forms, characters the model
// lacks are dropped, and the model's merges are applied by rank. The result
// keeps the table's word order and ids, also for words left with no symbol
// (all of their characters dropped), so word w of the result is word w of
// the table.
//
// A continuing training first extends the base vocabulary with the new
// characters it keeps (training/initial_state.h) and builds the model from
// that vocabulary and the base merges: the new characters are then symbols
// that no base merge joins, and the characters it leaves out are dropped as
// the trainer drops characters outside its alphabet.
//
// Runs on up to `threads` threads (contiguous ranges of words, joined in
// order, so the result does not depend on the thread count) and polls
// `control` (may be null), throwing Cancelled once every thread has ended.
#ifndef SELKBAR_SEGMENT_H_
#define SELKBAR_SEGMENT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "counts/wordtable.h"
#include "encoding/bpe_model.h"
#include "threads/run_control.h"

namespace selkbar {

struct SegmentedWords {
  std::vector<uint32_t> symbols;     // every word's symbols, word after word
  std::vector<uint64_t> word_ends;   // word w ends at symbols[word_ends[w]]
  std::vector<uint64_t> counts;      // word w occurs counts[w] times
  uint64_t dropped_chars = 0;        // characters outside the model, each word once

  size_t size() const { return counts.size(); }
  uint64_t count(size_t w) const { return counts[w]; }
  std::span<const uint32_t> word(size_t w) const {
    const uint64_t begin = w == 0 ? 0 : word_ends[w - 1];
    return std::span<const uint32_t>(symbols.data() + begin, word_ends[w] - begin);
  }
};

SegmentedWords segment_words(const BpeModel& model, const WordTable& words, uint64_t threads,
                             const RunControl* control);

}  // namespace selkbar

#endif  // SELKBAR_SEGMENT_H_
