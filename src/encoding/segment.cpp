#include "encoding/segment.h"

#include <map>
#include <memory>

#include "encoding/bpe_encoder.h"
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

void segment_range(const BpeModel& model, const WordTable& words, uint32_t begin, uint32_t end,
                   const RunControl* control, SegmentedRange& out) {
  BpeEncoder encoder(model);
  out.lengths.reserve(end - begin);
  for (uint32_t w = begin; w < end; ++w) {
    poll_word_cancel(control, w);
    const EncodedWord encoded = encoder.encode(words.get(w));
    out.symbols.insert(out.symbols.end(), encoded.ids.begin(), encoded.ids.end());
    out.lengths.push_back(encoded.ids.size());
    out.dropped_chars += encoded.unknown_chars;
  }
}

}  // namespace

SegmentedWords segment_words(const BpeModel& model, const WordTable& words, uint64_t threads,
                             const RunControl* control) {
  const size_t parts = word_range_parts(words.len(), threads);
  std::vector<SegmentedRange> ranges(parts);
  run_over_word_ranges(words.len(), parts, [&](size_t part, uint32_t begin, uint32_t end) {
    segment_range(model, words, begin, end, control, ranges[part]);
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

std::vector<CharCount> missing_characters(const BpeModel& model, const WordTable& words) {
  std::map<uint32_t, uint64_t> missing;
  for (uint32_t w = 0; w < words.len(); ++w) {
    const std::string_view word = words.get(w);
    const auto* p = reinterpret_cast<const uint8_t*>(word.data());
    const uint8_t* const end = p + word.size();
    while (p < end) {
      const DecodedChar c = decode_utf8(p, end);
      p += c.length;
      if (model.initial_symbol(c.cp, 0) == NO_TOKEN) missing[c.cp] += words.count(w);
    }
  }
  std::vector<CharCount> out;
  out.reserve(missing.size());
  for (const auto& [cp, count] : missing) out.push_back(CharCount{cp, count});
  return out;
}

}  // namespace selkbar
