// bpe_encoder.h: encodes one word (one pretoken) into token ids with a
// BpeModel.
//
//   BpeEncoder encoder(model);                 // one per thread
//   EncodedWord word = encoder.encode("Ġthe");
//   for (uint32_t id : word.ids) ...;         // valid until the next encode()
//   unknown_bytes += word.unknown_bytes;
//
// Semantics, the library's BPE model without dropout, unk_token or byte
// fallback:
//   1. the word's characters become the tokens of their decoration forms
//      (bpe_model.h); a character whose token is not in the vocabulary is
//      dropped and counted as unknown, and its neighbours become adjacent;
//   2. while some adjacent pair has a rank, the pair of the lowest rank is
//      merged, the leftmost one when it occurs more than once.
// So "aaaaa" with the merges (a a), (aa a) gives "aa", "aaa". With the
// ignore_merges option, a word that is a token of the vocabulary as it
// stands is that one token, whatever the merges.
//
// Byte figures: a character stands for one byte of text in a byte-level
// model and for its UTF-8 bytes otherwise; a token covers the text bytes of
// the characters merged into it.
//
// IMPLEMENTATION: a word of few symbols keeps the rank of every adjacent
// pair in an array, scans it for the lowest and recomputes only the two
// pairs around each merge (two hash lookups per merge). A long word keeps
// its symbols in a linked list and its candidate pairs in a heap keyed by
// (rank, position), dropping candidates that a merge has made stale when
// they come up, so that it costs O(n log n) rather than O(n^2).
//
// Both paths look pairs up through a direct-mapped cache of 2^14 recent
// pairs (256 KiB per encoder): the model's table of a large vocabulary is
// megabytes, and each miss in it waits on memory.
//
// Not thread-safe: an encoder holds the scratch of the word being encoded
// and its cache, so make one per thread and keep it for many words. The
// model must outlive it.
#ifndef SELKBAR_BPE_ENCODER_H_
#define SELKBAR_BPE_ENCODER_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "base/fxhash.h"
#include "base/prefetch.h"
#include "encoding/bpe_model.h"

namespace selkbar {

struct EncodedWord {
  std::span<const uint32_t> ids;
  std::span<const uint32_t> token_text_bytes;  // per token, the text bytes it covers
  uint64_t text_bytes = 0;                     // of the whole word, unknown characters included
  uint64_t unknown_chars = 0;                  // characters dropped
  uint64_t unknown_bytes = 0;                  // text bytes of the characters dropped
};

class BpeEncoder {
 public:
  explicit BpeEncoder(const BpeModel& model) : model_(model) {}
  BpeEncoder(const BpeEncoder&) = delete;
  BpeEncoder& operator=(const BpeEncoder&) = delete;

  // REQUIRES: word is UTF-8 (anything else is read safely, a bad byte as
  // one U+FFFD character). The spans stay valid until the next call.
  EncodedWord encode(std::string_view word);

 private:
  // Words of at most this many symbols take the array path.
  static constexpr size_t SHORT_WORD_SYMBOLS = 32;

  // The pairs looked up recently. The model's table spreads a large
  // vocabulary's pairs over megabytes, one cache line per lookup, and
  // lookups stall on memory; the pairs text actually presents keep coming
  // back (the byte pairs inside a script's characters, its common character
  // pairs), so a small dense cache answers many of them.
  static constexpr int RULE_CACHE_BITS = 14;
  struct CachedRule {
    uint64_t key = ~uint64_t{0};  // no pair: left and right are below NO_TOKEN
    PairRule rule{NO_RANK, NO_TOKEN};
  };

  // model_.pair_rule through the cache.
  PairRule pair_rule(uint32_t left, uint32_t right) {
    const uint64_t key = uint64_t{left} << 32 | right;
    CachedRule& slot = cache_slot(key);
    if (slot.key != key) {
      slot.key = key;
      slot.rule = model_.pair_rule(left, right);
    }
    return slot.rule;
  }
  // Starts loading both places a lookup of the pair may read, so that
  // several lookups wait for memory at once rather than one after another.
  // Looking at the cache slot first to skip the model's would itself wait.
  void prefetch_pair_rule(uint32_t left, uint32_t right) {
    prefetch_read(&cache_slot(uint64_t{left} << 32 | right));
    model_.prefetch_pair_rule(left, right);
  }
  CachedRule& cache_slot(uint64_t key) {
    return rule_cache_[fx_add(0, key) >> (64 - RULE_CACHE_BITS)];
  }

  void initial_symbols(std::string_view word, EncodedWord& out);
  void merge_short();
  void merge_long();
  void seed_candidates();
  // Merges the pair starting at `position` and offers the two pairs it forms.
  void merge_at(uint32_t position);
  // Looks up the pair starting at `position` and queues it if it merges.
  void offer_candidate(uint32_t position);

  const BpeModel& model_;
  std::vector<CachedRule> rule_cache_ = std::vector<CachedRule>(size_t{1} << RULE_CACHE_BITS);
  // The symbols of the word being encoded, and their text bytes.
  std::vector<uint32_t> ids_;
  std::vector<uint32_t> lengths_;
  // Scratch: decoded characters (code point, UTF-8 length), pair ranks and
  // results (both paths), links and candidates (heap path).
  std::vector<uint32_t> chars_;
  std::vector<uint32_t> char_lengths_;
  std::vector<uint32_t> ranks_;
  std::vector<uint32_t> results_;
  std::vector<uint32_t> next_;
  std::vector<uint32_t> prev_;
  std::vector<uint64_t> heap_;
};

}  // namespace selkbar

#endif  // SELKBAR_BPE_ENCODER_H_
