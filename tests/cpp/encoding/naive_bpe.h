// naive_bpe.h: a deliberately plain BPE encoder that the real one is checked
// against: strings for symbols, a std::map for ranks, and before every merge
// a scan of the whole word for the lowest-ranked pair (the leftmost of
// equals).
#ifndef SELKBAR_TESTS_NAIVE_BPE_H_
#define SELKBAR_TESTS_NAIVE_BPE_H_

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace selkbar::testing {

struct NaiveBpe {
  std::vector<std::string> tokens;
  std::vector<std::pair<std::string, std::string>> merges;
  std::optional<std::string> prefix;
  std::optional<std::string> suffix;
};

// The characters of a UTF-8 string, each as its own string.
inline std::vector<std::string> utf8_chars(const std::string& text) {
  std::vector<std::string> chars;
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    chars.push_back(text.substr(i, length));
    i += length;
  }
  return chars;
}

struct NaiveEncoding {
  std::vector<std::string> tokens;
  std::vector<std::string> covered;  // per token, the characters of the word it covers
  size_t unknown_chars = 0;
};

class NaiveEncoder {
 public:
  explicit NaiveEncoder(NaiveBpe bpe) : bpe_(std::move(bpe)), vocab_(bpe_.tokens.begin(), bpe_.tokens.end()) {
    for (size_t k = 0; k < bpe_.merges.size(); ++k) rank_[bpe_.merges[k]] = k;  // the last entry wins
  }

  NaiveEncoding encode(const std::string& word) const {
    NaiveEncoding out;
    const std::vector<std::string> chars = utf8_chars(word);
    std::vector<std::string>& symbols = out.tokens;
    for (size_t j = 0; j < chars.size(); ++j) {
      std::string symbol = chars[j];
      if (bpe_.prefix && j > 0) symbol = *bpe_.prefix + symbol;
      if (bpe_.suffix && j + 1 == chars.size()) symbol += *bpe_.suffix;
      if (vocab_.count(symbol)) {
        symbols.push_back(symbol);
        out.covered.push_back(chars[j]);
      } else {
        ++out.unknown_chars;
      }
    }
    for (;;) {
      size_t best = symbols.size();
      size_t best_rank = SIZE_MAX;
      for (size_t i = 0; i + 1 < symbols.size(); ++i) {
        const auto found = rank_.find({symbols[i], symbols[i + 1]});
        if (found != rank_.end() && found->second < best_rank) {
          best = i;
          best_rank = found->second;
        }
      }
      if (best == symbols.size()) break;
      std::string right = symbols[best + 1];
      if (bpe_.prefix && right.rfind(*bpe_.prefix, 0) == 0) right = right.substr(bpe_.prefix->size());
      symbols[best] += right;
      symbols.erase(symbols.begin() + static_cast<std::ptrdiff_t>(best) + 1);
      out.covered[best] += out.covered[best + 1];
      out.covered.erase(out.covered.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    }
    return out;
  }

 private:
  NaiveBpe bpe_;
  std::set<std::string> vocab_;
  std::map<std::pair<std::string, std::string>, size_t> rank_;
};

}  // namespace selkbar::testing

#endif  // SELKBAR_TESTS_NAIVE_BPE_H_
