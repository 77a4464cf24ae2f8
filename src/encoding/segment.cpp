#include "encoding/segment.h"

#include <memory>

#include "encoding/bpe_encoder.h"
#include "encoding/flat_u64_map.h"
#include "encoding/word_ranges.h"
#include "unicode/utf8.h"

namespace selkbar {

namespace {

// One range's words, before they are joined.
struct SegmentedRange {
  std::vector<uint32_t> symbols;
  std::vector<uint64_t> lengths;  // symbols per word
  uint64_t dropped_chars = 0;
};

// The character pairs some merge of the model joins: the last character of
// its left token followed by the first of its right token. Between two
// characters that form no such pair no merge ever applies, so a word falls
// there into pieces whose encodings are independent: encoding the pieces
// one by one gives what encoding the word whole gives. A word that is a
// whole line (the superword pretokens) so becomes many short pieces, which
// the encoder takes through its fast path instead of its heap.
//
// Only for models whose characters are spelled alike wherever they stand: a
// decorated character's token depends on its place in the whole word, and
// ignore_merges looks at the whole word.
class JoinablePairs {
 public:
  explicit JoinablePairs(const BpeModel& model)
      : splits_(!model.decorated() && !model.options().ignore_merges) {
    if (!splits_) return;
    for (const MergeRule& rule : model.merges()) {
      joins_.insert(key(last_char(model.token(rule.left)), first_char(model.token(rule.right))), 1);
    }
  }

  bool splits() const { return splits_; }
  bool joinable(uint32_t left, uint32_t right) const { return joins_.get(key(left, right), 0) != 0; }

 private:
  static uint64_t key(uint32_t left, uint32_t right) { return uint64_t{left} << 32 | right; }
  static uint32_t first_char(std::string_view token) {
    const auto* p = reinterpret_cast<const uint8_t*>(token.data());
    return decode_utf8(p, p + token.size()).cp;
  }
  static uint32_t last_char(std::string_view token) {
    size_t start = token.size() - 1;
    while (start > 0 && (static_cast<uint8_t>(token[start]) & 0xC0) == 0x80) --start;
    return first_char(token.substr(start));
  }

  bool splits_;
  FlatU64Map joins_;
};

// Appends the encoding of `word` to `out`, piece by piece where the model
// allows (JoinablePairs). Returns the number of symbols appended.
uint64_t encode_word(BpeEncoder& encoder, const BpeModel& model, const JoinablePairs& joins,
                     std::string_view word, SegmentedRange& out) {
  const size_t before = out.symbols.size();
  const auto append = [&](std::string_view piece) {
    const EncodedWord encoded = encoder.encode(piece);
    out.symbols.insert(out.symbols.end(), encoded.ids.begin(), encoded.ids.end());
    out.dropped_chars += encoded.unknown_chars;
  };
  if (!joins.splits()) {
    append(word);
    return out.symbols.size() - before;
  }
  const auto* const begin = reinterpret_cast<const uint8_t*>(word.data());
  const uint8_t* const end = begin + word.size();
  const uint8_t* piece = begin;
  uint32_t previous = 0;
  bool previous_known = false;
  for (const uint8_t* p = begin; p < end;) {
    const DecodedChar c = decode_utf8(p, end);
    // A character the model lacks is dropped and joins its neighbours, so
    // no cut is made beside it.
    const bool known = model.initial_symbol(c.cp, 0) != NO_TOKEN;
    if (previous_known && known && !joins.joinable(previous, c.cp)) {
      append(word.substr(piece - begin, p - piece));
      piece = p;
    }
    previous = c.cp;
    previous_known = known;
    p += c.length;
  }
  append(word.substr(piece - begin));
  return out.symbols.size() - before;
}

void segment_range(const BpeModel& model, const JoinablePairs& joins, const WordTable& words,
                   uint32_t begin, uint32_t end, const RunControl* control, SegmentedRange& out) {
  BpeEncoder encoder(model);
  out.lengths.reserve(end - begin);
  for (uint32_t w = begin; w < end; ++w) {
    poll_word_cancel(control, w);
    out.lengths.push_back(encode_word(encoder, model, joins, words.get(w), out));
  }
}

}  // namespace

SegmentedWords segment_words(const BpeModel& model, const WordTable& words, uint64_t threads,
                             const RunControl* control) {
  const size_t parts = word_range_parts(words.len(), threads);
  std::vector<SegmentedRange> ranges(parts);
  const JoinablePairs joins(model);
  run_over_word_ranges(words.len(), parts, [&](size_t part, uint32_t begin, uint32_t end) {
    segment_range(model, joins, words, begin, end, control, ranges[part]);
  });
  SegmentedWords out;
  uint64_t symbol_count = 0;
  for (const SegmentedRange& range : ranges) symbol_count += range.symbols.size();
  out.symbols.reserve(symbol_count);
  out.word_ends.reserve(words.len());
  for (SegmentedRange& range : ranges) {
    out.symbols.insert(out.symbols.end(), range.symbols.begin(), range.symbols.end());
    for (const uint64_t length : range.lengths) {
      out.word_ends.push_back((out.word_ends.empty() ? 0 : out.word_ends.back()) + length);
    }
    out.dropped_chars += range.dropped_chars;
    range = SegmentedRange();  // give the range's memory back as it is copied
  }
  out.counts = words.counts();
  return out;
}

}  // namespace selkbar
