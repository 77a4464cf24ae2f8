// merge.h: one merge of a training, as token ids.
#ifndef SELKBAR_TRAINING_MERGE_H_
#define SELKBAR_TRAINING_MERGE_H_

#include <cstdint>

namespace selkbar {

// Tokens `left` and `right` merged into `new_id` (an existing id when the
// merged string was already a token).
struct Merge {
  uint32_t left, right, new_id;
};

}  // namespace selkbar

#endif  // SELKBAR_TRAINING_MERGE_H_
