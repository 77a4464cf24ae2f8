// pair_hash.h: the hash of a symbol pair, shared by the hashed pair maps
// (PairCounts, PairSteps).
//
// FxHash over (left, right), left first. The maps open-address a
// power-of-two table and take the bucket from the high bits of the hash,
// which are the well-mixed ones; a left id of NO_SYMBOL marks an empty slot,
// since no pair ever holds it.
#ifndef SELKBAR_TRAINING_PAIR_HASH_H_
#define SELKBAR_TRAINING_PAIR_HASH_H_

#include <cstdint>

#include "base/fxhash.h"
#include "training/word.h"

namespace selkbar {

inline uint64_t pair_hash(Pair pair) { return fx_add(fx_add(0, pair.left), pair.right); }

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_PAIR_HASH_H_
