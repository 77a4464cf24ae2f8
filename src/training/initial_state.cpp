#include "training/initial_state.h"

#include <algorithm>
#include <array>
#include <bit>
#include <optional>

#include "encoding/bpe_model.h"
#include "encoding/segment.h"
#include "threads/fork_join.h"
#include "training/alphabet.h"
#include "unicode/utf8.h"

namespace selkbar {

size_t Vocabulary::probe(std::string_view text, uint64_t hash) const {
  // The high bits of an FxHash are the well-mixed ones.
  const uint32_t tag = tag_of(hash);
  for (size_t i = static_cast<size_t>(hash >> shift_);; i = (i + 1) & mask_) {
    const Slot& slot = slots_[i];
    if (slot.id == NO_SYMBOL || (slot.tag == tag && tokens_[slot.id] == text)) return i;
  }
}

void Vocabulary::rehash(size_t slot_count) {
  std::vector<Slot>(slot_count, Slot{0, NO_SYMBOL}).swap(slots_);
  mask_ = slot_count - 1;
  shift_ = 64 - std::countr_zero(slot_count);
  // The slots keep only part of each hash: enter the tokens afresh.
  for (size_t id = 0; id < tokens_.size(); ++id) {
    const uint64_t hash = pretoken_hash(tokens_[id]);
    size_t i = static_cast<size_t>(hash >> shift_);
    while (slots_[i].id != NO_SYMBOL) i = (i + 1) & mask_;
    slots_[i] = {tag_of(hash), static_cast<SymbolId>(id)};
  }
}

void Vocabulary::reserve(size_t tokens) {
  tokens_.reserve(tokens);
  const size_t wanted = std::bit_ceil(std::max<size_t>(16, tokens * 2));
  if (wanted > slots_.size()) rehash(wanted);
}

SymbolId Vocabulary::find(std::string_view text) const {
  if (slots_.empty()) return NO_SYMBOL;
  return slots_[probe(text, pretoken_hash(text))].id;
}

SymbolId Vocabulary::find_or_add(std::string text) {
  if ((tokens_.size() + 1) * 2 > slots_.size()) rehash(std::max<size_t>(16, slots_.size() * 2));
  const uint64_t hash = pretoken_hash(text);
  Slot& slot = slots_[probe(text, hash)];
  if (slot.id != NO_SYMBOL) return slot.id;
  if (tokens_.size() >= NO_SYMBOL) throw InternalError("vocabulary exceeds u32::MAX-1 tokens");
  const auto id = static_cast<SymbolId>(tokens_.size());
  tokens_.push_back(std::move(text));
  slot = {tag_of(hash), id};
  return id;
}

namespace {

// Decodes the character at p (< end) and advances p past it.
inline uint32_t next_char(const uint8_t*& p, const uint8_t* end) {
  const DecodedChar c = decode_utf8(p, end);
  p += c.length;
  return c.cp;
}

// Calls visit(cp) for each character of the word, in order.
template <typename Visit>
void for_each_char(std::string_view word, Visit&& visit) {
  const auto* p = reinterpret_cast<const uint8_t*>(word.data());
  const uint8_t* const end = p + word.size();
  while (p < end) visit(next_char(p, end));
}

void decode_word(std::string_view word, std::vector<uint32_t>& chars) {
  chars.clear();
  for_each_char(word, [&](uint32_t cp) { chars.push_back(cp); });
}

std::string char_string(uint32_t cp) {
  std::string out;
  append_utf8(out, cp);
  return out;
}

// The code point of `text` if it is exactly one character spelled in
// well-formed UTF-8.
std::optional<uint32_t> single_char(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* const end = p + text.size();
  const uint32_t cp = next_char(p, end);
  if (p != end || char_string(cp) != text) return std::nullopt;
  return cp;
}

// The spellings of a character by its place in a word: at the start or not,
// at the end or not. Form bits: 1 = after the first character (takes the
// prefix), 2 = last character (takes the suffix).
inline int form_of(size_t position, size_t length) {
  return (position > 0 ? 1 : 0) | (position + 1 == length ? 2 : 0);
}

class Decoration {
 public:
  explicit Decoration(const TrainConfig& config)
      : prefix_(config.continuing_subword_prefix), suffix_(config.end_of_word_suffix) {}

  bool active() const { return prefix_.has_value() || suffix_.has_value(); }

  std::string spell(uint32_t cp, int form) const {
    std::string out;
    if (prefix_ && (form & 1)) out += *prefix_;
    append_utf8(out, cp);
    if (suffix_ && (form & 2)) out += *suffix_;
    return out;
  }

 private:
  const std::optional<std::string>& prefix_;
  const std::optional<std::string>& suffix_;
};

// Character -> id of its one-character token, for every one-character
// string in the vocabulary. Dense: the code points of a corpus are few and
// mostly small, and this lookup runs once per character of every word.
class CharIndex {
 public:
  explicit CharIndex(const Vocabulary& vocab) {
    for (SymbolId id = 0; id < vocab.size(); ++id) {
      const std::optional<uint32_t> cp = single_char(vocab.token(id));
      if (!cp) continue;
      if (*cp >= ids_.size()) ids_.resize(*cp + 1, NO_SYMBOL);
      ids_[*cp] = id;
    }
  }
  SymbolId find(uint32_t cp) const { return cp < ids_.size() ? ids_[cp] : NO_SYMBOL; }
  size_t span() const { return ids_.size(); }
  // How many characters have a token.
  uint64_t count() const {
    return static_cast<uint64_t>(std::count_if(ids_.begin(), ids_.end(),
                                               [](SymbolId id) { return id != NO_SYMBOL; }));
  }

 private:
  std::vector<SymbolId> ids_;
};

// The count of every word's characters and the tokenization run in parts
// over consecutive ranges of words, on the thread budget, once there are
// this many words per part.
constexpr uint32_t MIN_WORDS_PER_PART = 1u << 14;

// How many parts `words` words split into on `crew`.
size_t word_parts(uint64_t words, ForkJoin& crew) {
  return words < 2 * MIN_WORDS_PER_PART ? 1 : crew.parts_for(words / MIN_WORDS_PER_PART);
}

// The first word of `part` of `parts` (with part == parts: the end).
uint32_t first_word_of(uint64_t words, size_t part, size_t parts) {
  return static_cast<uint32_t>(words * part / parts);
}

// The characters of the words in [begin, end): each character's count
// (wrapping; `bytes`, the sum of count times length, bounds them all),
// whether it occurs, and how many characters each word has (into
// `lengths`, indexed by word).
struct CharacterCounts {
  std::vector<uint64_t> counts = std::vector<uint64_t>(128, 0);
  std::vector<uint8_t> seen = std::vector<uint8_t>(128, 0);
  unsigned __int128 bytes = 0;

  void count_words(const WordTable& words, uint32_t begin, uint32_t end, uint32_t* lengths,
                   const RunControl* control) {
    for (uint32_t w = begin; w < end; ++w) {
      poll_cancel(control, w);
      const std::string_view word = words.get(w);
      const uint64_t count = words.count(w);
      bytes += static_cast<unsigned __int128>(count) * word.size();
      uint32_t length = 0;
      for_each_char(word, [&](uint32_t cp) {
        ++length;
        if (cp >= counts.size()) {
          const size_t size = std::max<size_t>(cp + 1, counts.size() * 2);
          counts.resize(size, 0);
          seen.resize(size, 0);
        }
        counts[cp] += count;
        seen[cp] = 1;
      });
      lengths[w] = length;
    }
  }

  void add(const CharacterCounts& other) {
    if (other.counts.size() > counts.size()) {
      counts.resize(other.counts.size(), 0);
      seen.resize(other.counts.size(), 0);
    }
    for (size_t cp = 0; cp < other.counts.size(); ++cp) {
      counts[cp] += other.counts[cp];
      seen[cp] |= other.seen[cp];
    }
    bytes += other.bytes;
  }
};

// Each character's count in the words, saturating at 2^64 - 1 (counts only
// rank characters for limit_alphabet). The sum rarely matters: only when
// count times length over all words passes 2^64 - 1 can one have wrapped,
// and only then are they counted again, in 128 bits. `lengths` gets each
// word's number of characters.
CharacterCounts count_characters(const WordTable& words, std::vector<uint32_t>& lengths,
                                 const RunControl* control, ForkJoin& crew) {
  const uint64_t n = words.len();
  const size_t parts = word_parts(n, crew);
  std::vector<CharacterCounts> counted(parts);
  lengths.resize(n);
  crew.run(parts, [&](size_t part) {
    counted[part].count_words(words, first_word_of(n, part, parts),
                              first_word_of(n, part + 1, parts), lengths.data(), control);
  });
  CharacterCounts& all = counted[0];
  for (size_t part = 1; part < parts; ++part) all.add(counted[part]);
  if (all.bytes <= UINT64_MAX) return std::move(all);
  std::vector<unsigned __int128> wide(all.counts.size(), 0);
  for (uint32_t w = 0; w < words.len(); ++w) {
    for_each_char(words.get(w), [&](uint32_t cp) { wide[cp] += words.count(w); });
  }
  for (size_t cp = 0; cp < wide.size(); ++cp) {
    all.counts[cp] = static_cast<uint64_t>(std::min<unsigned __int128>(wide[cp], UINT64_MAX));
  }
  return std::move(all);
}

// Steps 1-2 of the initial vocabulary: the alphabet. Continuing from a base,
// only the characters the vocabulary lacks are candidates, and under
// limit_alphabet the one-character tokens it has take their places first.
// `lengths` gets each word's number of characters.
void add_alphabet(const WordTable& words, const TrainConfig& config, Vocabulary& vocab,
                  ForkJoin& crew, std::vector<uint32_t>& lengths) {
  const CharacterCounts characters = count_characters(words, lengths, config.control, crew);
  std::vector<std::pair<uint32_t, uint64_t>> counted;
  for (uint32_t cp = 0; cp < characters.counts.size(); ++cp) {
    if (characters.seen[cp]) counted.emplace_back(cp, characters.counts[cp]);
  }
  std::vector<uint32_t> initial = initial_characters(config.initial_alphabet);
  std::optional<uint64_t> limit = config.limit_alphabet;
  if (config.base != nullptr) {
    const CharIndex present(vocab);
    const auto has = [&](uint32_t cp) { return present.find(cp) != NO_SYMBOL; };
    std::erase_if(counted, [&](const auto& entry) { return has(entry.first); });
    std::erase_if(initial, has);
    if (limit) *limit -= std::min(*limit, present.count());
  }
  const std::vector<uint32_t> alphabet = choose_alphabet(counted, initial, limit);
  for (const uint32_t cp : alphabet) vocab.find_or_add(char_string(cp));
}

// Step 3: enters the decorated spellings the words need, in byte order, and
// returns the id of every (character, form) that occurs, as
// form_ids[cp][form].
std::vector<std::array<SymbolId, 4>> add_decorated(const WordTable& words, const CharIndex& chars,
                                                   const Decoration& decoration,
                                                   Vocabulary& vocab) {
  std::vector<std::array<SymbolId, 4>> form_ids(chars.span(),
                                                {NO_SYMBOL, NO_SYMBOL, NO_SYMBOL, NO_SYMBOL});
  std::vector<uint8_t> seen(chars.span(), 0);
  std::vector<std::pair<uint32_t, int>> pending;  // (cp, form) not yet in the vocabulary
  std::vector<std::string> fresh;
  std::vector<uint32_t> word_chars;
  for (uint32_t w = 0; w < words.len(); ++w) {
    decode_word(words.get(w), word_chars);
    const size_t n = word_chars.size();
    for (size_t j = 0; j < n; ++j) {
      const uint32_t cp = word_chars[j];
      if (chars.find(cp) == NO_SYMBOL) continue;
      const int form = form_of(j, n);
      if (seen[cp] & (1u << form)) continue;
      seen[cp] |= static_cast<uint8_t>(1u << form);
      std::string spelled = decoration.spell(cp, form);
      const SymbolId id = vocab.find(spelled);
      if (id != NO_SYMBOL) {
        form_ids[cp][form] = id;
      } else {
        pending.emplace_back(cp, form);
        fresh.push_back(std::move(spelled));
      }
    }
  }
  // Two forms may spell the same string (an empty suffix, say); enter it once.
  std::sort(fresh.begin(), fresh.end());
  fresh.erase(std::unique(fresh.begin(), fresh.end()), fresh.end());
  for (std::string& text : fresh) vocab.find_or_add(std::move(text));
  for (const auto& [cp, form] : pending) {
    const SymbolId id = vocab.find(decoration.spell(cp, form));
    if (id == NO_SYMBOL) throw InternalError("no entry found for key");
    form_ids[cp][form] = id;
  }
  return form_ids;
}

// Step 4: every word as symbol ids; characters outside the vocabulary are
// dropped. On the budget: the arena is laid out with room for each word's
// characters (`lengths`; a word that loses some to limit_alphabet leaves
// the rest of its room unused), then each part writes its range of words.
// The arena is hundreds of megabytes of fresh memory, and its first touch
// is most of the time; each thread touches its own words' pages, and the
// kernel takes page faults of two threads side by side (256 MB first
// touched in 0.09 s by one thread, 0.056 s by two).
SymbolArena tokenize(const WordTable& words, const CharIndex& chars,
                     const std::vector<std::array<SymbolId, 4>>* form_ids, bool track_lengths,
                     std::vector<uint32_t> lengths, const RunControl* control, ForkJoin& crew) {
  const uint64_t n = words.len();
  const size_t parts = word_parts(n, crew);
  SymbolArena arena = SymbolArena::laid_out(lengths, words.counts(), track_lengths);
  std::vector<uint32_t>().swap(lengths);
  crew.run(parts, [&](size_t part) {
    std::vector<SymbolId> symbols;
    std::vector<uint32_t> word_chars;
    for (uint32_t w = first_word_of(n, part, parts); w < first_word_of(n, part + 1, parts); ++w) {
      poll_cancel(control, w);
      const std::string_view word = words.get(w);
      symbols.clear();
      if (form_ids == nullptr) {
        for_each_char(word, [&](uint32_t cp) {
          const SymbolId id = chars.find(cp);
          if (id != NO_SYMBOL) symbols.push_back(id);
        });
      } else {
        decode_word(word, word_chars);
        const size_t length = word_chars.size();
        for (size_t j = 0; j < length; ++j) {
          const uint32_t cp = word_chars[j];
          if (chars.find(cp) == NO_SYMBOL) continue;
          const SymbolId id = (*form_ids)[cp][form_of(j, length)];
          if (id == NO_SYMBOL) throw InternalError("no entry found for key");
          symbols.push_back(id);
        }
      }
      arena.fill_word(w, words.count(w), symbols);
    }
  });
  return arena;
}

// How many characters of a word each token covers, for max_token_length:
// one for a character (decorated or not), the sum of its parts for a token
// a merge makes.
std::vector<uint32_t> token_char_lengths(const BpeModel& model) {
  std::vector<uint32_t> lengths(model.vocab_size(), 1);
  for (const MergeRule& rule : model.merges()) {
    lengths[rule.result] = lengths[rule.left] + lengths[rule.right];
  }
  return lengths;
}

// Step 4 of a continuing training: every word as the base's merges, applied
// by rank, spell it in the extended vocabulary; the base's merges head the
// merge list.
InitialState segment_with_base(const WordTable& words, const TrainConfig& config,
                               Vocabulary vocab, PhaseTimer& timer) {
  BpeModel model;
  const BpeOptions options{config.continuing_subword_prefix, config.end_of_word_suffix};
  const Status built = BpeModel::build(vocab.tokens(), config.base->merges, options, &model);
  if (!built.ok()) throw InternalError("the base merges do not build: " + built.message());
  std::vector<Merge> merges;
  merges.reserve(model.merges().size());
  for (const MergeRule& rule : model.merges()) merges.push_back({rule.left, rule.right, rule.result});
  const bool track_lengths = config.max_token_length.has_value();
  const std::vector<uint32_t> lengths = track_lengths ? token_char_lengths(model) : std::vector<uint32_t>();

  SegmentedWords segmented = segment_words(model, words, config.threads, config.control);
  SymbolArena arena(segmented.symbols.size(), segmented.size(), track_lengths);
  for (uint32_t w = 0; w < segmented.size(); ++w) {
    poll_cancel(config.control, w);
    arena.push_word(segmented.count(w), segmented.word(w), lengths);
  }
  timer.lap("segment");
  return InitialState{std::move(vocab), std::move(arena), std::move(merges)};
}

}  // namespace

InitialState build_initial_state(const WordTable& words, const TrainConfig& config,
                                 PhaseTimer& timer) {
  Vocabulary vocab;
  if (config.base != nullptr) {
    for (const std::string& token : config.base->tokens) vocab.find_or_add(token);
  }
  for (const std::string& special : config.special_tokens) vocab.find_or_add(special);
  // The character count and the tokenization run on the budget; the
  // crew's helpers end with them, before the pair count starts its own.
  ForkJoin crew(static_cast<size_t>(std::clamp<uint64_t>(config.threads, 1, MAX_THREADS) - 1),
                "initial state");
  std::vector<uint32_t> lengths;  // of every word, in characters
  add_alphabet(words, config, vocab, crew, lengths);
  timer.lap("alphabet");

  const CharIndex chars(vocab);
  const Decoration decoration(config);
  std::vector<std::array<SymbolId, 4>> form_ids;
  if (decoration.active()) form_ids = add_decorated(words, chars, decoration, vocab);
  if (config.base != nullptr) return segment_with_base(words, config, std::move(vocab), timer);
  SymbolArena arena = tokenize(words, chars, decoration.active() ? &form_ids : nullptr,
                               config.max_token_length.has_value(), std::move(lengths),
                               config.control, crew);
  timer.lap("tokenize");
  return InitialState{std::move(vocab), std::move(arena), {}};
}

}  // namespace selkbar
