// initial_state.h: the vocabulary and the words the merge loop starts from.
//
// A training from scratch starts from the special tokens, the alphabet and
// the decorated characters, with every word spelled in characters (the
// order is trainer.h's). A training that continues from a base vocabulary
// and merges (config.base) starts from the base instead:
//   1. the base's tokens at their ids, then the special tokens it lacks;
//   2. the characters of the words and of the initial alphabet that the base
//      lacks, in the alphabet's order (alphabet.h); limit_alphabet bounds the
//      whole alphabet, but the base's characters always stay, so only new
//      characters are dropped (the base's one-character tokens take their
//      places first);
//   3. the decorated characters the words need and the base lacks;
// and spells every word as the base model encodes it: its merges applied by
// rank (encoding/segment.h), which for words the base was trained on gives
// the words exactly as that training left them. The base's merges then head
// the merge list, so training on to a larger size continues the base's
// training as if it had never stopped.
#ifndef SELKBAR_TRAINING_INITIAL_STATE_H_
#define SELKBAR_TRAINING_INITIAL_STATE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/fxhash.h"
#include "config.h"
#include "counts/wordtable.h"
#include "stats.h"
#include "threads/run_control.h"
#include "training/merge.h"
#include "training/word.h"

namespace selkbar {

// Words between two looks at the cancellation flag in the loops over every
// word: a few milliseconds of work.
constexpr uint32_t CANCEL_CHECK_WORDS = 1u << 16;

inline void poll_cancel(const RunControl* control, uint32_t w) {
  if ((w & (CANCEL_CHECK_WORDS - 1)) == 0) stop_if_cancelled(control);
}

// The token list and its index. Looked up once per merge: an open-addressed
// table of (hash bits, id) at most half full, so that entering a new token
// costs one probe into a flat array and no allocation besides the string
// itself.
class Vocabulary {
 public:
  size_t size() const { return tokens_.size(); }
  const std::string& token(SymbolId id) const {
    if (id >= tokens_.size()) {
      throw InternalError("token id " + std::to_string(id) + " out of range for a vocabulary of " +
                          std::to_string(tokens_.size()) + " tokens");
    }
    return tokens_[id];
  }
  // Room for `tokens` tokens in the list and the index: the merge loop
  // enters one per merge, and a growing index moves every entry.
  void reserve(size_t tokens);

  SymbolId find(std::string_view text) const;

  // The id of `text`, entering it first if it is new.
  SymbolId find_or_add(std::string text);

  const std::vector<std::string>& tokens() const { return tokens_; }
  std::vector<std::string> take_tokens() && { return std::move(tokens_); }

 private:
  // 8 bytes: the index is allocated for the whole vocabulary up front.
  struct Slot {
    uint32_t tag;  // bits of the hash below those that pick the slot
    SymbolId id;   // NO_SYMBOL: free
  };
  static uint32_t tag_of(uint64_t hash) { return static_cast<uint32_t>(hash >> 8); }

  // The slot holding `text`, or the free slot where it belongs.
  size_t probe(std::string_view text, uint64_t hash) const;
  void rehash(size_t slot_count);

  std::vector<std::string> tokens_;
  std::vector<Slot> slots_;
  size_t mask_ = 0;
  int shift_ = 64;
};

// The initial vocabulary and every word as symbol ids, from scratch or from
// config.base.
struct InitialState {
  Vocabulary vocab;
  SymbolArena arena;
  // The base's merges, for a training that continues from one; empty
  // otherwise.
  std::vector<Merge> merges;
};

// With config.base, throws InternalError if its merges do not build on the
// extended vocabulary: callers check the base first (BpeModel::build).
InitialState build_initial_state(const WordTable& words, const TrainConfig& config,
                                 PhaseTimer& timer);

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_INITIAL_STATE_H_
