#include "training/alphabet.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include "pretokenize/bytelevel.h"
#include "pretokenize/pretokenizer_id.h"
#include "unicode/utf8.h"

namespace selkbar {

std::vector<uint32_t> initial_characters(const std::vector<std::string>& initial_alphabet) {
  std::vector<uint32_t> chars;
  std::unordered_set<uint32_t> seen;
  for (const std::string& text : initial_alphabet) {
    if (text.empty()) continue;
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint32_t cp = decode_utf8(p, p + text.size()).cp;
    if (seen.insert(cp).second) chars.push_back(cp);
  }
  return chars;
}

std::vector<uint32_t> choose_alphabet(const std::vector<std::pair<uint32_t, uint64_t>>& counted,
                                      const std::vector<uint32_t>& initial,
                                      std::optional<uint64_t> limit_alphabet) {
  const uint64_t limit = limit_alphabet.value_or(UINT64_MAX);
  // The initial characters first, as many as the limit allows.
  const size_t kept_initial = static_cast<size_t>(std::min<uint64_t>(initial.size(), limit));
  std::vector<uint32_t> alphabet(initial.begin(), initial.begin() + kept_initial);
  const std::unordered_set<uint32_t> initial_set(initial.begin(), initial.end());

  std::vector<std::pair<uint32_t, uint64_t>> corpus;
  corpus.reserve(counted.size());
  for (const auto& entry : counted) {
    if (initial_set.count(entry.first) == 0) corpus.push_back(entry);
  }
  const uint64_t room = limit - kept_initial;
  if (corpus.size() > room) {
    // Drop the rarest; among equally rare ones the lower code point first.
    std::sort(corpus.begin(), corpus.end(), [](const auto& a, const auto& b) {
      return a.second != b.second ? a.second < b.second : a.first < b.first;
    });
    corpus.erase(corpus.begin(), corpus.end() - static_cast<ptrdiff_t>(room));
  }
  for (const auto& entry : corpus) alphabet.push_back(entry.first);
  std::sort(alphabet.begin(), alphabet.end());
  return alphabet;
}

std::string describe_character(uint32_t cp) {
  char name[16];
  std::snprintf(name, sizeof name, "U+%04X", static_cast<unsigned>(cp));
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return name;
  std::string quoted = "'";
  append_utf8(quoted, cp);
  return quoted + "' (" + name + ")";
}

std::optional<std::string> check_initial_alphabet(const TrainConfig& config) {
  if (!is_byte_level(config.pretokenizer)) return std::nullopt;
  for (const uint32_t cp : initial_characters(config.initial_alphabet)) {
    if (byte_of_char(cp) >= 0) continue;
    return "initial_alphabet: " + describe_character(cp) +
           " is not in the byte-level alphabet, the 256 characters pretokenizer \"" +
           std::string(pretokenizer_name(config.pretokenizer)) +
           "\" spells every word with (selkbar.BYTE_LEVEL_ALPHABET; a space is '\xc4\xa0')";
  }
  return std::nullopt;
}

}  // namespace selkbar
