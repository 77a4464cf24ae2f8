// bpe_model.h: a BPE model (vocabulary and ranked merges), checked, in the
// form the encoder reads.
//
//   std::vector<std::string> tokens = ...;                 // id = index
//   std::vector<MergeStrings> merges = {{"a", "b"}, ...};  // rank = index
//   BpeModel model;
//   Status status = BpeModel::build(std::move(tokens), merges, options, &model);
//   if (!status.ok()) return status;  // names the first bad merge
//   BpeEncoder encoder(model);        // bpe_encoder.h
//
// Symbols. A model works on the characters of a word as the word is spelled
// where it was counted: byte-level words in the 256 characters of the
// byte-level alphabet (bytelevel.h), whitespace words in their own
// characters. Character j of a word of n characters becomes the token
//   [continuing_subword_prefix if j > 0] char [end_of_word_suffix if j == n-1]
// (a decoration only when the option is set; positions count every character
// of the word, also those missing from the vocabulary). Merging the tokens
// (l, r) makes l followed by r, with r's leading continuing_subword_prefix,
// if any, dropped once: ("a", "##b") makes "ab". This is how the trainer
// spells the vocabulary and merges it writes, and how the library's BPE
// model reads them.
//
// Rules a model must satisfy (build checks them in list order and reports
// the first merge that breaks one, with its index):
//   - both parts and the merged token are in the vocabulary;
//   - each part is formable: a token of the alphabet (one character, spelled
//     with a decoration it may take), or the merged token of an earlier
//     merge.
// The rank of a pair is the index of its last entry in the list (a pair
// listed twice is ranked by its later entry, as the library ranks it).
// Token ids must be 0 .. n-1, each once (tokens_from_vocab checks a mapping
// given as token -> id).
//
// A built model is immutable; any number of encoders on any number of
// threads may read it at once. It is movable, not copyable: a vocabulary of
// a few hundred thousand tokens is tens of megabytes with its indexes.
#ifndef SELKBAR_BPE_MODEL_H_
#define SELKBAR_BPE_MODEL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/status.h"
#include "encoding/flat_u64_map.h"

namespace selkbar {

inline constexpr uint32_t NO_TOKEN = 0xFFFFFFFFu;
inline constexpr uint32_t NO_RANK = 0xFFFFFFFFu;

using MergeStrings = std::pair<std::string, std::string>;

struct BpeOptions {
  std::optional<std::string> continuing_subword_prefix;
  std::optional<std::string> end_of_word_suffix;
  // Words are spelled in the byte-level alphabet, so each character stands
  // for one byte of text; otherwise a character stands for its UTF-8 bytes.
  // Only the byte figures (text and unknown bytes, token lengths) read it.
  bool byte_level = false;
  // The library's ignore_merges: a word that is itself a token of the
  // vocabulary, as spelled (no decoration), encodes to that token without
  // any merge. Files selkbar writes set it false; some others set it true.
  bool ignore_merges = false;
};

// One merge of the list, as token ids.
struct MergeRule {
  uint32_t left, right, result;
};

// What a pair of adjacent symbols merges into, and how early.
struct PairRule {
  uint32_t rank;    // NO_RANK when the pair never merges
  uint32_t result;  // the merged token's id when rank != NO_RANK
};

class BpeModel {
 public:
  // An empty model (no tokens, no merges); build() fills one.
  BpeModel() = default;
  BpeModel(BpeModel&&) noexcept = default;
  BpeModel& operator=(BpeModel&&) noexcept = default;
  BpeModel(const BpeModel&) = delete;
  BpeModel& operator=(const BpeModel&) = delete;

  // Checks `tokens` (id = index) and `merges` (rank = index) against the
  // rules above and, if they hold, replaces *model with them. On failure
  // *model is unchanged and the status names the first problem: a repeated
  // token, or the first bad merge with its index.
  static Status build(std::vector<std::string> tokens, const std::vector<MergeStrings>& merges,
                      BpeOptions options, BpeModel* model);

  // Orders a token -> id mapping by id into *tokens. Fails, naming the
  // problem, unless the ids are exactly 0 .. n-1.
  static Status tokens_from_vocab(
      const std::vector<std::pair<std::string, uint64_t>>& vocab,
      std::vector<std::string>* tokens);

  size_t vocab_size() const { return tokens_.size(); }
  const std::vector<std::string>& tokens() const { return tokens_; }
  // REQUIRES: id < vocab_size().
  const std::string& token(uint32_t id) const { return tokens_[id]; }
  // The id of `token`, or NO_TOKEN.
  uint32_t find(std::string_view token) const;
  const BpeOptions& options() const { return options_; }

  // The merges as given, in list order (index = the rank of the entry).
  const std::vector<MergeRule>& merges() const { return merges_; }
  // The merges as strings, in list order.
  std::vector<MergeStrings> merge_strings() const;

  // The token of character `cp` in decoration form `form` (bit 0: not the
  // first character, bit 1: the last), or NO_TOKEN. A bit whose option is
  // not set is ignored: without a suffix the last character is spelled as
  // any other.
  uint32_t initial_symbol(uint32_t cp, unsigned form) const {
    form &= form_mask_;
    const uint64_t key = uint64_t{cp} << 2 | form;
    if (key < dense_symbols_.size()) return dense_symbols_[key];
    return static_cast<uint32_t>(sparse_symbols_.get(key, NO_TOKEN));
  }
  bool decorated() const { return form_mask_ != 0; }

  // What the adjacent tokens (left, right) merge into.
  PairRule pair_rule(uint32_t left, uint32_t right) const {
    const uint64_t packed = pair_rules_.get(uint64_t{left} << 32 | right, NO_PAIR_RULE);
    return PairRule{static_cast<uint32_t>(packed >> 32), static_cast<uint32_t>(packed)};
  }

  // Starts loading what pair_rule(left, right) will read.
  void prefetch_pair_rule(uint32_t left, uint32_t right) const {
    pair_rules_.prefetch(uint64_t{left} << 32 | right);
  }

  // The text bytes one character of a word stands for.
  uint32_t char_text_bytes(uint32_t utf8_length) const {
    return options_.byte_level ? 1 : utf8_length;
  }

 private:
  static constexpr uint64_t NO_PAIR_RULE = ~uint64_t{0};
  // Characters below this code point (times four forms) have their symbols
  // in a flat array: the byte-level alphabet and most scripts' letters.
  static constexpr uint32_t DENSE_CODE_POINTS = 0x800;

  void index_alphabet();
  // Checks and ranks the merges, in order (build's second half).
  Status add_merges(const std::vector<MergeStrings>& merges);
  bool is_alphabet_token(std::string_view token) const;

  std::vector<std::string> tokens_;
  std::unordered_map<std::string_view, uint32_t> ids_;  // views into tokens_
  BpeOptions options_;
  unsigned form_mask_ = 0;  // bit 0: a prefix is set, bit 1: a suffix is
  std::vector<MergeRule> merges_;
  FlatU64Map pair_rules_;  // left << 32 | right -> rank << 32 | result
  std::vector<uint32_t> dense_symbols_;  // cp << 2 | form -> token id
  FlatU64Map sparse_symbols_;            // the same for larger code points
};

// The token that merging `left` and `right` makes under `options`.
std::string merged_token(std::string_view left, std::string_view right, const BpeOptions& options);

}  // namespace selkbar

#endif  // SELKBAR_BPE_MODEL_H_
