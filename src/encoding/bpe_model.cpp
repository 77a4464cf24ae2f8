#include "encoding/bpe_model.h"

#include <algorithm>

#include "unicode/utf8.h"

namespace selkbar {

namespace {

// `text` in double quotes, with quotes, backslashes and control characters
// escaped, so that a message shows exactly which token it means.
std::string quoted(std::string_view text) {
  static constexpr char HEX[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == '"' || byte == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += HEX[byte >> 4];
      out += HEX[byte & 0xF];
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

std::string merge_label(size_t index, const MergeStrings& merge) {
  return "merges[" + std::to_string(index) + "] (" + quoted(merge.first) + ", " +
         quoted(merge.second) + ")";
}

// The code point of `text` if it is exactly one well-formed character.
std::optional<uint32_t> one_char(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const DecodedChar c = decode_utf8(p, p + text.size());
  // decode_utf8 reads a malformed byte as U+FFFD of length 1; a real U+FFFD
  // is three bytes long.
  if (c.length != text.size() || (c.cp == REPLACEMENT_CHARACTER && c.length != 3)) {
    return std::nullopt;
  }
  return c.cp;
}

}  // namespace

std::string merged_token(std::string_view left, std::string_view right, const BpeOptions& options) {
  const std::optional<std::string>& prefix = options.continuing_subword_prefix;
  if (prefix && right.starts_with(*prefix)) right.remove_prefix(prefix->size());
  std::string merged;
  merged.reserve(left.size() + right.size());
  merged.append(left);
  merged.append(right);
  return merged;
}

uint32_t BpeModel::find(std::string_view token) const {
  const auto found = ids_.find(token);
  return found == ids_.end() ? NO_TOKEN : found->second;
}

std::vector<MergeStrings> BpeModel::merge_strings() const {
  std::vector<MergeStrings> out;
  out.reserve(merges_.size());
  for (const MergeRule& rule : merges_) out.emplace_back(tokens_[rule.left], tokens_[rule.right]);
  return out;
}

// Every (character, form) the token spells: form bit 0 takes the prefix,
// bit 1 the suffix, each only when that option is set.
template <typename Sink>
static void for_each_alphabet_reading(std::string_view token, const BpeOptions& options,
                                      Sink&& sink) {
  const std::optional<std::string>& prefix = options.continuing_subword_prefix;
  const std::optional<std::string>& suffix = options.end_of_word_suffix;
  for (unsigned form = 0; form < 4; ++form) {
    std::string_view middle = token;
    if (form & 1) {
      if (!prefix || !middle.starts_with(*prefix)) continue;
      middle.remove_prefix(prefix->size());
    }
    if (form & 2) {
      if (!suffix || !middle.ends_with(*suffix)) continue;
      middle.remove_suffix(suffix->size());
    }
    if (const std::optional<uint32_t> cp = one_char(middle)) sink(*cp, form);
  }
}

bool BpeModel::is_alphabet_token(std::string_view token) const {
  bool found = false;
  for_each_alphabet_reading(token, options_, [&](uint32_t, unsigned) { found = true; });
  return found;
}

void BpeModel::index_alphabet() {
  uint64_t dense_keys = 0;
  for (const std::string& token : tokens_) {
    for_each_alphabet_reading(token, options_, [&](uint32_t cp, unsigned) {
      if (cp < DENSE_CODE_POINTS) dense_keys = std::max<uint64_t>(dense_keys, (uint64_t{cp} << 2) + 4);
    });
  }
  dense_symbols_.assign(dense_keys, NO_TOKEN);
  for (uint32_t id = 0; id < tokens_.size(); ++id) {
    for_each_alphabet_reading(tokens_[id], options_, [&](uint32_t cp, unsigned form) {
      const uint64_t key = uint64_t{cp} << 2 | form;
      if (key < dense_symbols_.size()) {
        dense_symbols_[key] = id;
      } else {
        sparse_symbols_.insert(key, id);
      }
    });
  }
}

Status BpeModel::tokens_from_vocab(
    const std::vector<std::pair<std::string, uint64_t>>& vocab, std::vector<std::string>* tokens) {
  const size_t n = vocab.size();
  std::vector<const std::string*> by_id(n, nullptr);
  for (const auto& [token, id] : vocab) {
    if (id >= n) {
      return Status::InvalidInput(
          "vocab: " + quoted(token) + " has id " + std::to_string(id) + ", but the ids of " +
          std::to_string(n) + " tokens must be 0 .. " + std::to_string(n == 0 ? 0 : n - 1) +
          ", each once");
    }
    if (by_id[id] != nullptr) {
      return Status::InvalidInput("vocab: id " + std::to_string(id) + " is given to both " +
                                  quoted(*by_id[id]) + " and " + quoted(token));
    }
    by_id[id] = &token;
  }
  std::vector<std::string> ordered;
  ordered.reserve(n);
  for (const std::string* token : by_id) ordered.push_back(*token);
  *tokens = std::move(ordered);
  return Status();
}

Status BpeModel::build(std::vector<std::string> tokens, const std::vector<MergeStrings>& merges,
                       BpeOptions options, BpeModel* model) {
  if (tokens.size() >= NO_TOKEN) {
    return Status::InvalidInput("the vocabulary holds " + std::to_string(tokens.size()) +
                                " tokens; at most 4294967294 are supported");
  }
  if (merges.size() >= NO_RANK) {
    return Status::InvalidInput("the merge list holds " + std::to_string(merges.size()) +
                                " merges; at most 4294967294 are supported");
  }
  BpeModel built;
  built.tokens_ = std::move(tokens);
  built.options_ = std::move(options);
  built.form_mask_ = (built.options_.continuing_subword_prefix ? 1u : 0u) |
                     (built.options_.end_of_word_suffix ? 2u : 0u);
  built.ids_.reserve(built.tokens_.size());
  for (uint32_t id = 0; id < built.tokens_.size(); ++id) {
    const auto [at, fresh] = built.ids_.emplace(built.tokens_[id], id);
    if (!fresh) {
      return Status::InvalidInput("vocab: " + quoted(built.tokens_[id]) +
                                  " appears twice, with ids " + std::to_string(at->second) +
                                  " and " + std::to_string(id));
    }
  }
  built.index_alphabet();

  Status merged = built.add_merges(merges);
  if (!merged.ok()) return merged;
  *model = std::move(built);
  return Status();
}

Status BpeModel::add_merges(const std::vector<MergeStrings>& merges) {
  // made[id]: the token can occur in an encoded word at this point of the
  // list, as a character of the alphabet or the result of an earlier merge.
  std::vector<uint8_t> made(tokens_.size(), 0);
  for (uint32_t id = 0; id < tokens_.size(); ++id) {
    made[id] = is_alphabet_token(tokens_[id]) ? 1 : 0;
  }
  merges_.reserve(merges.size());
  for (size_t k = 0; k < merges.size(); ++k) {
    const MergeStrings& merge = merges[k];
    const uint32_t left = find(merge.first);
    const uint32_t right = find(merge.second);
    for (const auto& [id, text] : {std::pair{left, &merge.first}, std::pair{right, &merge.second}}) {
      if (id == NO_TOKEN) {
        return Status::InvalidInput(merge_label(k, merge) + ": " + quoted(*text) +
                                    " is not in the vocabulary");
      }
    }
    const std::string merged = merged_token(merge.first, merge.second, options_);
    const uint32_t result = find(merged);
    if (result == NO_TOKEN) {
      return Status::InvalidInput(merge_label(k, merge) + ": the merged token " +
                                  quoted(merged) + " is not in the vocabulary");
    }
    for (const auto& [id, text] : {std::pair{left, &merge.first}, std::pair{right, &merge.second}}) {
      if (!made[id]) {
        return Status::InvalidInput(
            merge_label(k, merge) + ": " + quoted(*text) +
            " is neither a character of the alphabet nor made by an earlier merge");
      }
    }
    made[result] = 1;
    merges_.push_back(MergeRule{left, right, result});
    // A later entry of the same pair replaces the rank of an earlier one.
    pair_rules_.insert(uint64_t{left} << 32 | right, uint64_t{k} << 32 | result);
  }
  return Status();
}

}  // namespace selkbar
