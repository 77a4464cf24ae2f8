#include "training/trainer.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/error.h"
#include "threads/fork_join.h"
#include "base/fxhash.h"
#include "base/huge_pages.h"
#include "base/prefetch.h"
#include "training/initial_state.h"
#include "training/merge_changes.h"
#include "training/merge_queue.h"
#include "training/pair_counts.h"
#include "training/pair_steps.h"
#include "training/position_list.h"
#include "training/spare_pool.h"
#include "threads/run_control.h"
#include "stats.h"
#include "unicode/utf8.h"
#include "training/word.h"

namespace selkbar {

namespace {

// Pair counts and their changes add modulo 2^64. Every pair occurrence in
// the merge loop sits on a boundary between two characters of a word, and
// boundaries only disappear, so no count ever exceeds the largest initial
// pair count: once those are known to fit (count_initial_pairs checks),
// the modular sums are the exact counts, whatever the order of the changes.
inline uint64_t wrapping_add(uint64_t a, uint64_t b) { return a + b; }
inline uint64_t wrapping_sub(uint64_t a, uint64_t b) { return a - b; }

std::string stats_line(const SymbolArena& arena, const PairCounts& pair_counts,
                       const PairSteps& steps) {
  uint64_t entries = 0;
  uint64_t capacity = 0;
  uint64_t heap_bytes = 0;  // entries stored outside the lists' inline room
  steps.for_each([&](const PairStep& step) {
    entries += step.positions.size();
    capacity += step.positions.capacity();
    if (step.positions.on_heap()) heap_bytes += uint64_t{step.positions.capacity()} * 4;
  });
  const uint64_t lists = steps.size();
  const uint64_t symbols = arena.total_symbols();
  const uint64_t pairs = pair_counts.size();
  return "stats: words=" + std::to_string(arena.word_count()) +
         " symbols=" + std::to_string(symbols) + " (" + std::to_string(symbols >> 18) + " MB)" +
         " pairs=" + std::to_string(pairs) + " (" + std::to_string(pairs * 20 >> 20) + " MB)" +
         " pos_entries=" + std::to_string(entries) + " pos_cap=" + std::to_string(capacity) + " (" +
         std::to_string((heap_bytes + lists * sizeof(PositionList)) >> 20) +
         " MB incl. Vec headers)\n";
}

// How far ahead of the current word the merge loop fetches the next words'
// headers (with the symbols that share their line) and the ends of their
// symbols. Position lists are in word order but sparse, so every word is a
// fresh cache miss.
constexpr uint32_t HEADER_PREFETCH_DISTANCE = 24;
constexpr uint32_t SYMBOL_PREFETCH_DISTANCE = 10;
// Likewise for the slots of the pairs further along a word in the initial
// count, and for the PairCounts slots of a merge's changed pairs.
constexpr size_t PAIR_PREFETCH_DISTANCE = 2;
constexpr size_t COUNT_PREFETCH_DISTANCE = 8;


// The pair statistics the merge loop starts from.
struct PairState {
  SparePool pool;
  PairCounts counts;
  MergeQueue queue;
};

// The first pair whose count passes 2^64 - 1, as an Overflow status; ok when
// there is none. Only run when the counts could overflow at all, so it
// counts in 128 bits in a map of its own rather than in the fast tables.
Status find_overflowing_pair(const SymbolArena& arena, const Vocabulary& vocab) {
  std::unordered_map<uint64_t, unsigned __int128> totals;
  for (const uint32_t w : arena.keys()) {
    const std::span<const SymbolId> s = arena.word(w);
    for (size_t i = 0; i + 1 < s.size(); ++i) {
      unsigned __int128& total = totals[(uint64_t{s[i]} << 32) | s[i + 1]];
      total += arena.count(w);
      if (total > UINT64_MAX) {
        return Status::Overflow("the pair ('" + vocab.token(s[i]) + "', '" + vocab.token(s[i + 1]) +
                                "') occurs more than 18446744073709551615 (2**64 - 1) times, the "
                                "largest count training holds; scale the counts down");
      }
    }
  }
  return Status();
}

// The initial count runs on the thread budget, each part counting the pairs
// of its own range of words into a table of its own; the tables are then
// joined in word order, so that each pair's word list comes out ascending,
// as one pass gives it. Below this many symbols per part, starting and
// joining the parts costs more than they save.
constexpr uint64_t MIN_SYMBOLS_PER_COUNT_PART = uint64_t{1} << 17;
// Helper threads of the initial count, as for the merge loop.
constexpr size_t MAX_COUNT_HELPERS = 7;

// A pair table of at least this many entries (32 bytes each, at most 3/4
// full) no longer fits a core's cache: each pair then costs a miss on its
// slot and another on the end of its word list, and the count fetches both
// well ahead. Below it, the fetching costs more than the misses it hides.
constexpr size_t FETCH_AHEAD_MIN_PAIRS = size_t{1} << 15;
// How far ahead of the pair being counted a large table's slots are
// fetched, in pairs; the ends of their word lists, which are found through
// the slots, half as far.
constexpr size_t SLOT_FETCH_DISTANCE = 16;
constexpr size_t LIST_FETCH_DISTANCE = SLOT_FETCH_DISTANCE / 2;
// Pairs gathered from consecutive words before they are counted.
constexpr size_t GATHERED_PAIRS = 2048;

// One occurrence of a pair, gathered before it is counted.
struct PairOccurrence {
  Pair pair;
  uint32_t word;
  uint64_t count;
};

// Counts `pairs` into `table` in order, fetching the slots and the ends of
// the word lists of the pairs ahead.
void count_gathered(const std::vector<PairOccurrence>& pairs, PairSteps& table,
                    SparePool& pool) {
  const size_t n = pairs.size();
  for (size_t i = 0; i < std::min(n, SLOT_FETCH_DISTANCE); ++i) table.prefetch(pairs[i].pair);
  for (size_t i = 0; i < std::min(n, LIST_FETCH_DISTANCE); ++i) table.prefetch_positions(pairs[i].pair);
  for (size_t i = 0; i < n; ++i) {
    if (i + SLOT_FETCH_DISTANCE < n) table.prefetch(pairs[i + SLOT_FETCH_DISTANCE].pair);
    if (i + LIST_FETCH_DISTANCE < n) table.prefetch_positions(pairs[i + LIST_FETCH_DISTANCE].pair);
    const PairOccurrence& occurrence = pairs[i];
    PairStep& step = table[occurrence.pair];
    step.count_change = wrapping_add(step.count_change, occurrence.count);
    step.positions.push_unique(occurrence.word, pool);
  }
}

// Counts into `table` the pairs of the words [begin, end) as
// count_words_pairs does, for a table too large for the cache: the pairs of
// consecutive words are gathered first (words are short, so fetching within
// a word would leave its first pairs unfetched), then counted in order.
// `too_long(w, i)` says whether word w's pair at i does not count.
template <typename TooLong>
[[gnu::noinline]] void count_pairs_fetching(const SymbolArena& arena, RunControl* control,
                                            uint32_t begin, uint32_t end, PairSteps& table,
                                            SparePool& pool, const TooLong& too_long) {
  std::vector<PairOccurrence> pairs;
  pairs.reserve(GATHERED_PAIRS);
  const std::vector<uint32_t>& keys = arena.keys();
  for (uint32_t k = begin; k < end;) {
    pairs.clear();
    for (; k < end && pairs.size() < GATHERED_PAIRS; ++k) {
      poll_cancel(control, k);
      const uint32_t w = keys[k];
      const std::span<const SymbolId> s = arena.word(w);
      const uint64_t count = arena.count(w);
      for (size_t i = 0; i + 1 < s.size(); ++i) {
        if (!too_long(w, i)) pairs.push_back({Pair{s[i], s[i + 1]}, w, count});
      }
    }
    count_gathered(pairs, table, pool);
  }
}

// Counts into `table` the pairs of the words [begin, end) in push order: each
// pair's count and the keys of the words it occurs in (ascending, each
// once). Words spelled by a base's
// merges hold symbols longer than one character: a pair of them counts only
// under max_token_length's rule for the pairs merges form (word.h), as it
// would have when those merges were trained. Pairs of two characters always
// count, as in a training from scratch.
void count_words_pairs(const SymbolArena& arena, const TrainConfig& config, uint32_t begin,
                       uint32_t end, PairSteps& table, SparePool& pool) {
  const std::optional<uint64_t> limit = config.max_token_length;
  const bool check_lengths = config.base != nullptr && limit.has_value();
  const auto pair_too_long = [&](uint32_t w, size_t i) {
    if (!check_lengths) return false;
    const std::span<const uint32_t> lengths = arena.symbol_lengths(w);
    return (lengths[i] > 1 || lengths[i + 1] > 1) && uint64_t{lengths[i]} + lengths[i + 1] >= *limit;
  };
  const std::vector<uint32_t>& keys = arena.keys();
  uint32_t k = begin;
  for (; k < end && table.size() < FETCH_AHEAD_MIN_PAIRS; ++k) {
    poll_cancel(config.control, k);
    const uint32_t w = keys[k];
    const std::span<const SymbolId> s = arena.word(w);
    const uint64_t count = arena.count(w);
    for (size_t i = 0; i + 1 < s.size(); ++i) {
      if (i + 1 + PAIR_PREFETCH_DISTANCE < s.size()) {
        table.prefetch(Pair{s[i + PAIR_PREFETCH_DISTANCE], s[i + 1 + PAIR_PREFETCH_DISTANCE]});
      }
      if (pair_too_long(w, i)) continue;
      PairStep& step = table[Pair{s[i], s[i + 1]}];
      step.count_change = wrapping_add(step.count_change, count);
      step.positions.push_unique(w, pool);
    }
  }
  if (k < end) count_pairs_fetching(arena, config.control, k, end, table, pool, pair_too_long);
}

// Moves the counts of `later`, a table of the words after those of `table`,
// into `table`: counts add up, word lists join. `later` ends empty, each of
// its lists freed once copied, so that the lists are not held twice.
void join_counts(PairSteps& table, SparePool& pool, PairSteps& later) {
  const bool large = table.size() >= FETCH_AHEAD_MIN_PAIRS;
  size_t next = 0;
  later.drain([&](PairStep& theirs) {
    if (large && next + SLOT_FETCH_DISTANCE < later.size()) {
      table.prefetch(later.entry(next + SLOT_FETCH_DISTANCE).pair);
      table.prefetch_positions(later.entry(next + LIST_FETCH_DISTANCE).pair);
    }
    ++next;
    PairStep& ours = table[theirs.pair];
    ours.count_change = wrapping_add(ours.count_change, theirs.count_change);
    ours.positions.append(theirs.positions, pool);
    theirs.positions = PositionList();
  });
}

// Whether some pair count may have passed 2^64 - 1: every pair count is at
// most the sum of all pair occurrences.
bool counts_may_overflow(const SymbolArena& arena) {
  unsigned __int128 occurrences = 0;
  for (const uint32_t w : arena.keys()) {
    const size_t length = arena.word(w).size();
    if (length > 1) occurrences += static_cast<unsigned __int128>(arena.count(w)) * (length - 1);
  }
  return occurrences > UINT64_MAX;
}

// Every pair of every word, counted on the thread budget: each part counts
// its own range of words, and the parts' tables are joined into part 0's in
// word order. Part 0 grows its lists from `pool`, the others from their own.
PairSteps count_pairs_in_parts(const SymbolArena& arena, const TrainConfig& config,
                               SparePool& pool) {
  ForkJoin crew(static_cast<size_t>(std::min<uint64_t>(config.threads - 1, MAX_COUNT_HELPERS)),
                "pair count");
  const uint64_t wanted = arena.total_symbols() / MIN_SYMBOLS_PER_COUNT_PART;
  const size_t parts = wanted < 2 ? 1 : crew.parts_for(static_cast<size_t>(
                                            std::min<uint64_t>(wanted, config.threads)));
  std::vector<std::unique_ptr<SparePool>> pools(parts);
  std::vector<PairSteps> tables;
  tables.reserve(parts);
  for (size_t part = 0; part < parts; ++part) {
    tables.emplace_back(PairSteps::Load::ThreeQuarters);
    if (part > 0) pools[part] = std::make_unique<SparePool>();
  }
  const uint64_t words = arena.word_count();
  crew.run(parts, [&](size_t part) {
    count_words_pairs(arena, config, static_cast<uint32_t>(words * part / parts),
                      static_cast<uint32_t>(words * (part + 1) / parts), tables[part],
                      part == 0 ? pool : *pools[part]);
  });
  for (size_t part = 1; part < parts; ++part) {
    join_counts(tables[0], pool, tables[part]);
    tables[part] = PairSteps();
    pools[part].reset();  // the buffers its lists outgrew
  }
  // The other parts' lists were allocated on their threads and freed on
  // this one: their memory went back to those threads' malloc arenas, where
  // the merge loop would never reuse it.
  if (parts > 1) return_free_memory();
  return std::move(tables[0]);
}

// The pair statistics the merge loop starts from: each pair's count in
// PairCounts, and a candidate with its word list in the queue (the order of
// the pushes does not matter: the queue orders by count and ids, which no
// two pairs share). A pair whose count passes 2^64 - 1 refuses the training
// (Overflow), before the merge loop starts.
Status count_initial_pairs(const SymbolArena& arena, const Vocabulary& vocab,
                           const TrainConfig& config, PhaseTimer& timer, PairState& state) {
  PairSteps table = count_pairs_in_parts(arena, config, state.pool);
  if (counts_may_overflow(arena)) {
    Status refused = find_overflowing_pair(arena, vocab);
    if (!refused.ok()) return refused;
  }
  // Doubling left up to half of each long list unused; these lists are only
  // read from now on.
  table.for_each([](PairStep& step) { step.positions.shrink_large(); });
  state.counts.reserve(table.size());
  table.for_each([&](const PairStep& step) { state.counts[step.pair] = step.count_change; });
  timer.lap("initial pair count");
  if (config.diagnostics.present) write_stderr(stats_line(arena, state.counts, table));

  table.drain([&](PairStep& step) {
    if (step.count_change == 0) {
      state.pool.recycle(std::move(step.positions));
    } else {
      state.queue.push({step.count_change, step.pair, std::move(step.positions)});
    }
  });
  table = PairSteps();  // its slots go before the merge loop's tables come
  return Status();
}

// A merge whose pair occurs in many words is applied by several threads,
// each to its own range of the pair's word list: below this many words per
// range, handing the ranges out and joining their changes costs more than
// it saves. The helpers wait awake between merges (fork_join.h); woken
// from sleep each time, they only paid from a few thousand words.
constexpr uint32_t MIN_WORDS_PER_PART = 512;
// Helper threads of the merge loop, beyond the calling thread. The changes of
// every range are joined on the calling thread, a serial step that grows with
// the number of ranges, so more would gain little.
constexpr size_t MAX_MERGE_HELPERS = 7;

// The words of one range of a merge rewritten, and the pair changes they
// produced, in the order a single pass over the range produces them.
class RewritePart {
 public:
  // Grows its lists from `pool`, shared with the code that uses them later.
  // `counts` is only read, to fetch the slots of the pairs a merge changes
  // while the merge still has words to rewrite.
  RewritePart(SparePool& pool, const PairCounts& counts) : pool_(pool), counts_(counts) {}
  // Grows its lists from a pool of its own, for a part on a helper thread.
  explicit RewritePart(const PairCounts& counts)
      : own_pool_(std::make_unique<SparePool>()), pool_(*own_pool_), counts_(counts) {}
  RewritePart(const RewritePart&) = delete;
  RewritePart& operator=(const RewritePart&) = delete;

  // Rewrites words [begin, end) of the pair's list. Touches only those
  // words, this part and its pool.
  void rewrite(SymbolArena& arena, const uint32_t* begin, const uint32_t* end, Pair pair,
               SymbolId new_id, size_t symbol_count, std::optional<uint64_t> limit) {
    changes_.begin(pair.left, pair.right, new_id, symbol_count);
    const size_t word_count = static_cast<size_t>(end - begin);
    // The loop below fetches symbols through headers it fetched earlier;
    // the first words' headers have no earlier iteration to fetch them.
    for (size_t i = 0; i < std::min<size_t>(word_count, HEADER_PREFETCH_DISTANCE); ++i) {
      arena.prefetch_word_header(begin[i]);
    }
    for (size_t i = 0; i < std::min<size_t>(word_count, SYMBOL_PREFETCH_DISTANCE); ++i) {
      arena.prefetch_word_symbols(begin[i]);
    }
    for (size_t i = 0; i < word_count; ++i) {
      if (i + HEADER_PREFETCH_DISTANCE < word_count) {
        arena.prefetch_word_header(begin[i + HEADER_PREFETCH_DISTANCE]);
      }
      if (i + SYMBOL_PREFETCH_DISTANCE < word_count) {
        arena.prefetch_word_symbols(begin[i + SYMBOL_PREFETCH_DISTANCE]);
      }
      drain_word_ = begin[i];
      drain_count_ = arena.count(drain_word_);
      deltas_.clear();
      // A long word hands its deltas over in batches (see merge_word); they
      // are applied in the order produced either way, so the result is the
      // same as if they had come at once.
      if (arena.merge_word(drain_word_, pair.left, pair.right, new_id, limit, deltas_, &drain_)) {
        ++rewritten_;
      }
      apply_deltas(deltas_, drain_word_, drain_count_);
    }
  }

  // Moves the changes of `later`, a part that rewrote the words after this
  // one's, behind this part's: counts add up, position lists join, pairs new
  // here come after the pairs already here. The result is what one pass over
  // both ranges would have produced.
  void absorb(RewritePart& later) {
    for (size_t i = 0; i < later.changes_.size(); ++i) {
      PairStep& theirs = later.changes_.entry(i);
      PairStep& ours = changes_[theirs.pair];
      ours.count_change = wrapping_add(ours.count_change, theirs.count_change);
      ours.positions.append(theirs.positions, pool_);
      later.pool_.recycle(std::move(theirs.positions));
    }
    later.changes_.clear();
  }

  MergeChanges& changes() { return changes_; }
  // Words rewritten so far that held the merged pair.
  uint64_t rewritten() const { return rewritten_; }

 private:
  // The word and its count come as arguments, not members: the stores into
  // the changes below could otherwise alias them and force a reload per
  // delta.
  void apply_deltas(const std::vector<PairDelta>& batch, uint32_t word, uint64_t count) {
    for (const PairDelta& delta : batch) {
      const size_t known = changes_.size();
      PairStep& step = changes_[delta.pair];
      // A pair new to this merge will be looked up in PairCounts when the
      // merge ends; fetching its slot now hides that miss behind the rewrite.
      if (changes_.size() != known) counts_.prefetch(delta.pair);
      if (delta.delta > 0) {
        step.count_change = wrapping_add(step.count_change, count);
        step.positions.push_unique(word, pool_);
      } else {
        step.count_change = wrapping_sub(step.count_change, count);
      }
    }
  }

  std::unique_ptr<SparePool> own_pool_;  // null when the pool is shared
  SparePool& pool_;                      // where this part's position lists grow
  const PairCounts& counts_;
  MergeChanges changes_;
  std::vector<PairDelta> deltas_;
  // The word being rewritten, for deltas handed over before it is done.
  uint32_t drain_word_ = 0;
  uint64_t drain_count_ = 0;
  uint64_t rewritten_ = 0;
  const DeltaDrain drain_ = [this](std::vector<PairDelta>& batch) {
    apply_deltas(batch, drain_word_, drain_count_);
    batch.clear();
  };
};

// The merge loop: pops the most frequent pair, enters the merged token,
// rewrites the words that hold the pair and feeds the changed pairs back.
class MergeLoop {
 public:
  // `merges` are those the training starts with: a base's, or none.
  MergeLoop(const TrainConfig& config, Vocabulary& vocab, SymbolArena& arena, PairState& pairs,
            std::vector<Merge> merges)
      : config_(config),
        vocab_(vocab),
        arena_(arena),
        pairs_(pairs),
        merges_(std::move(merges)),
        base_merges_(merges_.size()),
        reserved_(static_cast<size_t>(std::min<uint64_t>(
            config.vocab_size, vocab.size() + uint64_t{pairs.counts.size()}))),
        crew_(static_cast<size_t>(std::min<uint64_t>(config.threads - 1, MAX_MERGE_HELPERS)),
              "merge") {
    // Room for vocab_size tokens, but never more than one merge per distinct
    // pair beyond the initial vocabulary: a huge vocab_size is simply never
    // reached, and must not be allocated. Pairs formed later grow the list
    // by doubling.
    vocab_.reserve(reserved_);
    // Part 0 runs on this thread and grows its lists from the loop's pool;
    // the others have pools of their own.
    parts_.push_back(std::make_unique<RewritePart>(pairs_.pool, pairs_.counts));
  }

  void run() {
    const uint64_t start_ns = monotonic_ns();
    const std::clock_t start_cpu = std::clock();
    RunControl* const control = config_.control;
    if (control != nullptr) {
      const uint64_t size = vocab_.size();
      control->set_merges_target(config_.vocab_size > size ? config_.vocab_size - size : 0);
    }
    while (vocab_.size() < config_.vocab_size && !pairs_.queue.empty()) {
      if (control != nullptr) {
        stop_if_cancelled(control);
        control->set_merges_done(merges_.size() - base_merges_);
      }
      if (revalidated()) continue;
      MergeCandidate top = pairs_.queue.pop();
      // The next top is most often the next merge (unless this one pushes
      // a pair above it or its count went stale): fetch its count and its
      // word list while this merge runs, and the first of its words before
      // this merge's changes are pushed, so that a short merge does not
      // start with a chain of misses.
      const MergeCandidate* next = pairs_.queue.empty() ? nullptr : &pairs_.queue.top();
      if (next != nullptr) {
        pairs_.counts.prefetch(next->pair);
        prefetch_read(next->positions.begin());
      }
      if (top.count == 0 || top.count < config_.min_frequency) break;
      const SymbolId new_id = enter_merged_token(top.pair);
      merges_.push_back({top.pair.left, top.pair.right, new_id});
      rewrite_words(top, new_id);
      pairs_.pool.recycle(std::move(top.positions));
      if (next != nullptr) {
        const uint32_t ahead = std::min(next->positions.size(), HEADER_PREFETCH_DISTANCE);
        for (uint32_t i = 0; i < ahead; ++i) arena_.prefetch_word_header(next->positions[i]);
      }
      push_changed_pairs();
    }
    if (control != nullptr) control->set_merges_done(merges_.size() - base_merges_);
    for (const auto& part : parts_) figures_.words_rewritten += part->rewritten();
    figures_.elapsed_ns = elapsed_ns_since(start_ns);
    const std::clock_t end_cpu = std::clock();
    if (start_cpu != std::clock_t(-1) && end_cpu != std::clock_t(-1)) {
      figures_.cpu_ns = static_cast<uint64_t>(static_cast<double>(end_cpu - start_cpu) * 1e9 /
                                              CLOCKS_PER_SEC);
    }
  }

  std::vector<Merge> take_merges() { return std::move(merges_); }
  MergeLoopFigures figures() const { return figures_; }

 private:
  // Lazy re-validation: counts fall without the queue hearing of it. A stale
  // top candidate takes its current count and its place in the queue;
  // returns whether it was stale.
  bool revalidated() {
    const MergeCandidate& top = pairs_.queue.top();
    // Stale tops come in runs, each check a miss in PairCounts that waits on
    // the one before: fetch the counts of the next tops alongside.
    pairs_.queue.visit_runners_up([this](Pair pair) { pairs_.counts.prefetch(pair); });
    const uint64_t current = pairs_.counts.get(top.pair);
    if (current == top.count) return false;
    pairs_.queue.recount_top(current);
    return true;
  }

  // The merged string, with a continuing-subword prefix dropped from the
  // right side once; an existing token keeps its id.
  SymbolId enter_merged_token(Pair pair) {
    const std::optional<std::string>& prefix = config_.continuing_subword_prefix;
    std::string merged = vocab_.token(pair.left);
    std::string_view tail = vocab_.token(pair.right);
    if (prefix && tail.starts_with(*prefix)) tail.remove_prefix(prefix->size());
    merged += tail;
    return vocab_.find_or_add(std::move(merged));
  }

  // Rewrites the words on the pair's list, split into consecutive ranges
  // when it is long enough, and leaves the changes of all of them in part 0,
  // in the order one pass over the whole list gives.
  void rewrite_words(const MergeCandidate& top, SymbolId new_id) {
    const uint32_t* words = top.positions.begin();
    const uint32_t word_count = top.positions.size();
    figures_.words_visited += word_count;
    const size_t symbol_count = vocab_.size();
    const std::optional<uint64_t> limit = config_.max_token_length;
    const bool splittable = word_count >= 2 * MIN_WORDS_PER_PART;
    const size_t parts = splittable ? crew_.parts_for(word_count / MIN_WORDS_PER_PART) : 1;
    while (parts_.size() < parts) parts_.push_back(std::make_unique<RewritePart>(pairs_.counts));
    const uint64_t start_ns = splittable ? monotonic_ns() : 0;
    crew_.run(parts, [&](size_t part) {
      const uint32_t* begin = words + uint64_t{word_count} * part / parts;
      const uint32_t* end = words + uint64_t{word_count} * (part + 1) / parts;
      parts_[part]->rewrite(arena_, begin, end, top.pair, new_id, symbol_count, limit);
    });
    if (!splittable) return;
    const uint64_t rewritten_ns = monotonic_ns();
    for (size_t part = 1; part < parts; ++part) parts_[0]->absorb(*parts_[part]);
    SplitFigures& split = figures_.split;
    const uint32_t most = word_count / MIN_WORDS_PER_PART;
    const size_t kind = most >= 8 ? 2 : most >= 4 ? 1 : 0;
    split.wall_ns[kind] += rewritten_ns - start_ns;
    split.thread_ns[kind] += (rewritten_ns - start_ns) * parts;
    split.join_ns += elapsed_ns_since(rewritten_ns);
  }

  // Changes are gathered per pair so that PairCounts, the large table, is
  // touched once per pair rather than once per delta. Pairs that only lost
  // occurrences have no positions and enter no candidate. Insertion order
  // keeps the pushes, and so the queue, independent of table layout.
  void push_changed_pairs() {
    MergeChanges& changes = parts_[0]->changes();
    const size_t changed = changes.size();
    for (size_t i = 0; i < changed; ++i) {
      if (i + COUNT_PREFETCH_DISTANCE < changed) {
        pairs_.counts.prefetch(changes.entry(i + COUNT_PREFETCH_DISTANCE).pair);
      }
      PairStep& step = changes.entry(i);
      uint64_t& count = pairs_.counts[step.pair];
      count = wrapping_add(count, step.count_change);
      if (step.positions.empty()) continue;
      if (count == 0) {
        pairs_.pool.recycle(std::move(step.positions));
      } else {
        // The list is only read from now on; a long one gives back what
        // doubling left unused.
        step.positions.shrink_large();
        pairs_.queue.push({count, step.pair, std::move(step.positions)});
      }
    }
    changes.clear();
  }

  const TrainConfig& config_;
  Vocabulary& vocab_;
  SymbolArena& arena_;
  PairState& pairs_;
  std::vector<Merge> merges_;
  const size_t base_merges_;  // merges_ the loop started with, not its own
  const size_t reserved_;  // the most tokens the loop can end with
  MergeLoopFigures figures_;
  // The ranges of one merge; part 0 is the calling thread's.
  std::vector<std::unique_ptr<RewritePart>> parts_;
  // Declared last: its helpers are joined before the parts they write go.
  ForkJoin crew_;
};

}  // namespace

// The training itself. `owned`, when given, is the table behind
// `word_table`, released once the words are tokenized.
static TrainResult train_words(const WordTable& word_table, WordTable* owned,
                               const TrainConfig& config) {
  PhaseTimer timer(config.diagnostics);
  if (config.control != nullptr) config.control->set_stage(RunStage::Merging);
  InitialState initial = build_initial_state(word_table, config, timer);
  report_rss(config.diagnostics, "tokenize (word strings still held)");
  if (owned != nullptr) {
    owned->release();
    report_rss(config.diagnostics, "dropping word strings");
  }

  PairState pairs;
  Status refused = count_initial_pairs(initial.arena, initial.vocab, config, timer, pairs);
  if (!refused.ok()) return TrainResult{{}, {}, {}, std::move(refused)};
  const uint64_t initial_tokens = initial.vocab.size();
  const uint64_t initial_merges = initial.merges.size();
  MergeLoop loop(config, initial.vocab, initial.arena, pairs, std::move(initial.merges));
  loop.run();
  timer.lap("merge loop");
  if (config.diagnostics.enabled) write_stderr(split_line(loop.figures().split));
  return TrainResult{std::move(initial.vocab).take_tokens(), loop.take_merges(), loop.figures(), {},
                     initial_tokens, initial_merges};
}

std::string split_line(const SplitFigures& split) {
  static constexpr const char* KINDS[SplitFigures::CLASSES] = {"2-3", "4-7", "8"};
  std::string line = "merge loop split (by the most ranges a merge may take):";
  for (size_t kind = 0; kind < SplitFigures::CLASSES; ++kind) {
    line += std::string(" ") + KINDS[kind] + " " + format_duration(split.wall_ns[kind]) + " wall " +
            format_duration(split.thread_ns[kind]) + " threads,";
  }
  return line + " joining " + format_duration(split.join_ns) + "\n";
}

TrainResult train_from_words(WordTable word_table, const TrainConfig& config) {
  return train_words(word_table, &word_table, config);
}

TrainResult train_from_borrowed_words(const WordTable& word_table, const TrainConfig& config) {
  return train_words(word_table, nullptr, config);
}

std::vector<std::pair<std::string, std::string>> merge_string_pairs(const TrainResult& result) {
  const size_t token_count = result.tokens.size();
  for (const Merge& merge : result.merges) {
    for (uint32_t id : {merge.left, merge.right, merge.new_id}) {
      if (id >= token_count || id == NO_SYMBOL) {
        throw InternalError("merge names token id " + std::to_string(id) +
                            " outside a vocabulary of " + std::to_string(token_count) + " tokens");
      }
    }
  }
  // A pair merged more than once is listed at its last position: remember
  // each pair's last index (plus one, so that 0 means absent), then emit in
  // merge order the entries that are their pair's last.
  PairCounts last_index;
  last_index.reserve(result.merges.size());
  for (size_t k = 0; k < result.merges.size(); ++k) {
    const Merge& merge = result.merges[k];
    last_index[Pair{merge.left, merge.right}] = k + 1;
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(last_index.size());
  for (size_t k = 0; k < result.merges.size(); ++k) {
    const Merge& merge = result.merges[k];
    if (last_index.get(Pair{merge.left, merge.right}) != k + 1) continue;
    pairs.emplace_back(result.tokens[merge.left], result.tokens[merge.right]);
  }
  return pairs;
}

}  // namespace selkbar
