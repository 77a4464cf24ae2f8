// ladder.h: the trainings to several vocabulary sizes, read off one
// training to the largest.
//
//   config.vocab_size = 64000;
//   TrainResult full = train_from_words(std::move(words), config);
//   TrainResult small = cut_training(full, 16000);  // as training to 16000
//
// The merge loop only ever appends, and nothing but its stopping test reads
// vocab_size: a training to N performs the first merges of a training to
// M > N, for as long as its vocabulary holds fewer than N tokens. So the
// training to N is the longer one's initial tokens (special tokens and
// alphabet, kept whole even when N is below their number, as training keeps
// them), then its merges in order while the vocabulary made so far is
// below N. A merge that makes a token already present (the vocabulary does
// not grow) is kept while that holds, as the loop performs it. A training
// continued from a base starts with the base's tokens and merges, and keeps
// them all at any size.
#ifndef SELKBAR_TRAINING_LADDER_H_
#define SELKBAR_TRAINING_LADDER_H_

#include <cstdint>

#include "training/trainer.h"

namespace selkbar {

// The result of training to `vocab_size` on the counts and options `full`
// was trained with. The merge loop figures are left empty. Throws
// InternalError if a merge of `full` skips a token id.
TrainResult cut_training(const TrainResult& full, uint64_t vocab_size);

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_LADDER_H_
