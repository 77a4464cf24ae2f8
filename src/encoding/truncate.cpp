#include "encoding/truncate.h"

#include <limits>

#include "base/error.h"

namespace selkbar {

namespace {

constexpr uint64_t NOT_MADE = std::numeric_limits<uint64_t>::max();

// For every token, the index of the first merge whose result it is.
std::vector<uint64_t> first_made(const BpeModel& model) {
  std::vector<uint64_t> first(model.vocab_size(), NOT_MADE);
  const std::vector<MergeRule>& merges = model.merges();
  for (uint64_t k = 0; k < merges.size(); ++k) {
    uint64_t& slot = first[merges[k].result];
    if (slot == NOT_MADE) slot = k;
  }
  return first;
}

}  // namespace

uint64_t unmerged_token_count(const BpeModel& model) {
  const std::vector<uint64_t> first = first_made(model);
  uint64_t count = first.size();
  while (count > 0 && first[count - 1] != NOT_MADE &&
         (count == first.size() || first[count - 1] < first[count])) {
    --count;
  }
  return count;
}

Status truncate_bpe(const BpeModel& model, uint64_t vocab_size, BpeVocabulary* out) {
  const uint64_t kept_always = unmerged_token_count(model);
  if (vocab_size < kept_always) {
    return Status::InvalidInput(
        "vocab_size " + std::to_string(vocab_size) + " is below the " +
        std::to_string(kept_always) +
        " tokens that no merge makes (the special tokens and the alphabet), which every "
        "truncation keeps");
  }
  BpeVocabulary cut;
  if (vocab_size >= model.vocab_size()) {
    cut.tokens = model.tokens();
    cut.merges = model.merge_strings();
    *out = std::move(cut);
    return Status();
  }
  const uint64_t target = vocab_size;
  uint64_t size = kept_always;
  for (size_t k = 0; k < model.merges().size() && size < target; ++k) {
    const MergeRule& merge = model.merges()[k];
    // Ids from kept_always up are first made in id order, so a merge makes
    // either the next id or one made before.
    if (merge.result > size) throw InternalError("truncate_bpe: a merge skips a token id");
    if (merge.result == size) ++size;
    cut.merges.emplace_back(model.token(merge.left), model.token(merge.right));
  }
  cut.tokens.assign(model.tokens().begin(), model.tokens().begin() + static_cast<ptrdiff_t>(target));
  *out = std::move(cut);
  return Status();
}

}  // namespace selkbar
