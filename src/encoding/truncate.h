// truncate.h: the vocabulary a shorter training would have given, cut from
// a longer one.
//
//   BpeVocabulary small;
//   Status status = truncate_bpe(model_64k, 32000, &small);
//   // small.tokens: ids 0 .. 31999 of model_64k; small.merges: the merges
//   // that made them, a prefix of model_64k's list
//
// BPE training only ever appends: the merges of a run to N tokens are a
// prefix of the merges of a longer run on the same counts, and its tokens
// the first N. So the model of a smaller size is read off the larger one:
// the tokens no merge makes (special tokens and the alphabet) keep their
// ids and stay; then merges are kept in list order for as long as the
// vocabulary they have made so far holds fewer than vocab_size tokens. A
// merge that makes a token already made (the trainer records it, the
// vocabulary does not grow) is kept while that holds, as training keeps it.
//
// The model is expected in the order training gives: the tokens made by
// merges hold the last ids, in the order of the merges that first make
// them. Those are found by counting down from the last id while each token
// is first made by an earlier merge than the token after it; every token
// below that point counts as one no merge makes (a special token that a
// merge happens to spell stays one). In a model out of that order, a token
// made by a merge can land below the point: it is kept, unreachable, and
// the cut is still a model that builds, since a kept merge only ever needs
// tokens made before it.
// Failure (InvalidInput): vocab_size below the number of tokens no merge
// makes. A vocab_size at or above the model's
// size returns the model whole, as a training that runs out of pairs
// before reaching its size returns what it has.
#ifndef SELKBAR_TRUNCATE_H_
#define SELKBAR_TRUNCATE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "encoding/bpe_model.h"
#include "base/status.h"

namespace selkbar {

struct BpeVocabulary {
  std::vector<std::string> tokens;   // id = index
  std::vector<MergeStrings> merges;  // rank = index
};

// How many tokens of `model` no merge makes, counted as above: the first
// ids, which every truncation keeps.
uint64_t unmerged_token_count(const BpeModel& model);

// On failure *out is unchanged.
Status truncate_bpe(const BpeModel& model, uint64_t vocab_size, BpeVocabulary* out);

}  // namespace selkbar

#endif  // SELKBAR_TRUNCATE_H_
