// naive_trainer.h: a deliberately plain BPE trainer that the real one is
// checked against, by the unit tests and by the trainer fuzz target.
//
// std::map and std::set everywhere, every pair recounted from scratch before
// each merge, every word rewritten after it. It stops at the first merge
// whose string already exists; from there on the trainer under test merges
// only the words recorded for the pair, which this one does not model, so
// only the run up to that merge is comparable.
#ifndef SELKBAR_TESTS_NAIVE_TRAINER_H_
#define SELKBAR_TESTS_NAIVE_TRAINER_H_

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "training/trainer.h"
#include "unicode/utf8.h"

namespace selkbar::testing {

using NaiveWordCounts = std::vector<std::pair<std::string, uint64_t>>;

struct NaiveRun {
  std::vector<std::string> tokens;
  std::vector<Merge> merges;
  bool stopped_at_existing_string = false;
};

inline std::vector<uint32_t> decode_utf8(const std::string& text) {
  std::vector<uint32_t> chars;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t cp = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) cp = (cp << 6) | (text[i + k] & 0x3F);
    chars.push_back(cp);
    i += length;
  }
  return chars;
}

inline std::string encode_utf8(uint32_t cp) {
  std::string out;
  append_utf8(out, cp);
  return out;
}

inline NaiveRun naive_train(const NaiveWordCounts& words, const TrainConfig& config) {
  NaiveRun run;
  std::map<std::string, uint32_t> ids;
  std::vector<uint64_t> covers;  // characters each token covers
  auto enter = [&](const std::string& text, uint64_t characters) {
    if (ids.count(text)) return;
    ids[text] = static_cast<uint32_t>(run.tokens.size());
    run.tokens.push_back(text);
    covers.push_back(characters);
  };

  for (const std::string& special : config.special_tokens) enter(special, 1);

  std::map<uint32_t, uint64_t> alphabet;
  for (const auto& [word, count] : words) {
    for (uint32_t cp : decode_utf8(word)) alphabet[cp] += count;
  }
  // The initial characters come first, in the caller's order, whatever the
  // corpus holds; the corpus characters fill what the limit leaves, the most
  // frequent first, and among equally frequent the higher code point first.
  std::vector<uint32_t> initial;
  for (const std::string& text : config.initial_alphabet) {
    if (text.empty()) continue;
    const uint32_t cp = decode_utf8(text).front();
    if (std::find(initial.begin(), initial.end(), cp) == initial.end()) initial.push_back(cp);
  }
  std::vector<std::pair<uint64_t, uint32_t>> by_frequency;
  for (const auto& [cp, count] : alphabet) {
    if (std::find(initial.begin(), initial.end(), cp) == initial.end()) {
      by_frequency.emplace_back(count, cp);
    }
  }
  std::sort(by_frequency.rbegin(), by_frequency.rend());
  std::vector<uint32_t> candidates = initial;
  for (const auto& entry : by_frequency) candidates.push_back(entry.second);
  if (config.limit_alphabet && candidates.size() > *config.limit_alphabet) {
    candidates.resize(*config.limit_alphabet);
  }
  for (uint32_t cp : std::set<uint32_t>(candidates.begin(), candidates.end())) {
    enter(encode_utf8(cp), 1);
  }

  const auto& prefix = config.continuing_subword_prefix;
  const auto& suffix = config.end_of_word_suffix;
  auto spell = [&](const std::vector<uint32_t>& chars, size_t j) {
    std::string text = encode_utf8(chars[j]);
    if (prefix && j > 0) text = *prefix + text;
    if (suffix && j + 1 == chars.size()) text += *suffix;
    return text;
  };
  if (prefix || suffix) {
    std::set<std::string> decorated;  // std::string orders bytes as unsigned
    for (const auto& [word, count] : words) {
      const std::vector<uint32_t> chars = decode_utf8(word);
      for (size_t j = 0; j < chars.size(); ++j) {
        if (ids.count(encode_utf8(chars[j])) && !ids.count(spell(chars, j))) {
          decorated.insert(spell(chars, j));
        }
      }
    }
    for (const std::string& text : decorated) enter(text, 1);
  }

  std::vector<std::vector<uint32_t>> symbols;
  for (const auto& [word, count] : words) {
    const std::vector<uint32_t> chars = decode_utf8(word);
    std::vector<uint32_t> word_symbols;
    for (size_t j = 0; j < chars.size(); ++j) {
      if (!ids.count(encode_utf8(chars[j]))) continue;
      word_symbols.push_back(ids.at(prefix || suffix ? spell(chars, j) : encode_utf8(chars[j])));
    }
    symbols.push_back(word_symbols);
  }

  // With max_token_length, a pair counts if it joins two single characters
  // or spans fewer characters than the limit.
  auto countable = [&](uint32_t left, uint32_t right) {
    const uint64_t span = covers[left] + covers[right];
    return !config.max_token_length || span == 2 || span < *config.max_token_length;
  };

  while (run.tokens.size() < config.vocab_size) {
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> counts;
    for (size_t w = 0; w < symbols.size(); ++w) {
      for (size_t i = 0; i + 1 < symbols[w].size(); ++i) {
        if (countable(symbols[w][i], symbols[w][i + 1])) {
          counts[{symbols[w][i], symbols[w][i + 1]}] += words[w].second;
        }
      }
    }
    // The map iterates by left, then right: the first highest count wins.
    std::pair<uint32_t, uint32_t> best;
    uint64_t best_count = 0;
    for (const auto& [pair, count] : counts) {
      if (count > best_count) best = pair, best_count = count;
    }
    if (best_count == 0 || best_count < config.min_frequency) break;

    std::string right = run.tokens[best.second];
    if (prefix && right.starts_with(*prefix)) right = right.substr(prefix->size());
    const std::string merged = run.tokens[best.first] + right;
    const bool exists = ids.count(merged) > 0;
    enter(merged, covers[best.first] + covers[best.second]);
    run.merges.push_back({best.first, best.second, ids.at(merged)});
    if (exists) {
      run.stopped_at_existing_string = true;
      break;
    }
    for (auto& word : symbols) {
      std::vector<uint32_t> rewritten;
      for (size_t i = 0; i < word.size();) {
        if (i + 1 < word.size() && word[i] == best.first && word[i + 1] == best.second) {
          rewritten.push_back(ids.at(merged));
          i += 2;
        } else {
          rewritten.push_back(word[i++]);
        }
      }
      word = rewritten;
    }
  }
  return run;
}

}  // namespace selkbar::testing

#endif  // SELKBAR_TESTS_NAIVE_TRAINER_H_
