#include "training/ladder.h"

#include <algorithm>

#include "base/error.h"

namespace selkbar {

TrainResult cut_training(const TrainResult& full, uint64_t vocab_size) {
  TrainResult cut;
  cut.refused = full.refused;
  cut.initial_tokens = full.initial_tokens;
  cut.initial_merges = full.initial_merges;
  uint64_t size = full.initial_tokens;
  for (size_t k = 0; k < full.merges.size(); ++k) {
    const Merge& merge = full.merges[k];
    if (size >= vocab_size && k >= full.initial_merges) break;
    // Tokens past the initial ones are made in id order, so a merge makes
    // either the next id or one made before.
    if (merge.new_id > size) throw InternalError("cut_training: a merge skips a token id");
    if (merge.new_id == size) ++size;
    cut.merges.push_back(merge);
  }
  const uint64_t kept = std::min<uint64_t>(size, full.tokens.size());
  cut.tokens.assign(full.tokens.begin(), full.tokens.begin() + static_cast<ptrdiff_t>(kept));
  return cut;
}

}  // namespace selkbar
