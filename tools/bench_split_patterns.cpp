// bench_split_patterns: throughput of the byte-level family's splitters on
// real text: GPT-2's rule, the hand-written gpt4 and o200k splitters, and
// PCRE2 running the GPT-4 and Llama 3 patterns.
//
//   bench_split_patterns [corpora_dir] [repeats]
//
// corpora_dir defaults to the test fixtures in tests/data (a folder of
// larger corpora gives steadier figures),
// repeats to 3; each figure is the best of the repeats, in MB/s (10^6 bytes
// per second), over all .txt files of the directory together.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pretokenize/bytelevel.h"
#include "pretokenize/tiktoken_split.h"
#include "pretokenize/pattern_split.h"

namespace {

constexpr const char* LLAMA3 =
    R"((?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]+[\r\n]*|)"
    R"(\s*[\r\n]+|\s+(?!\S)|\s+)";

struct Tally {
  uint64_t pretokens = 0;
  uint64_t check = 0;
  void add(std::string_view piece) {
    ++pretokens;
    check += piece.size() ^ static_cast<uint8_t>(piece.front());
  }
};

template <typename Run>
double best_seconds(Run run, int repeats, Tally* tally) {
  double best = 1e30;
  for (int r = 0; r < repeats; ++r) {
    *tally = Tally();
    const auto start = std::chrono::steady_clock::now();
    run(tally);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = argc > 1 ? argv[1] : SELKBAR_SOURCE_DIR "/tests/data";
  const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  std::vector<std::string> texts;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    if (entry.path().extension() != ".txt") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    texts.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  if (error || texts.empty()) {
    std::fprintf(stderr, "bench_split_patterns: no .txt files in %s\n", dir.c_str());
    return 1;
  }
  uint64_t bytes = 0;
  for (const auto& text : texts) bytes += text.size();

  std::string compile_error;
  const auto gpt4_pattern = selkbar::SplitPattern::compile(selkbar::GPT4_PATTERN, &compile_error);
  const auto llama3_pattern = selkbar::SplitPattern::compile(LLAMA3, &compile_error);
  if (gpt4_pattern == nullptr || llama3_pattern == nullptr) {
    std::fprintf(stderr, "bench_split_patterns: %s\n", compile_error.c_str());
    return 1;
  }
  auto over_texts = [&](auto split) {
    return [&texts, split](Tally* tally) {
      for (const auto& text : texts) split(text, [tally](std::string_view p) { tally->add(p); });
    };
  };
  auto with_pcre2 = [&](const selkbar::SplitPattern& pattern) {
    return [&texts, &pattern](Tally* tally) {
      selkbar::PatternSplitter splitter(pattern);
      std::string match_error;
      for (const auto& text : texts) {
        selkbar::split_pattern(text, splitter, [tally](std::string_view p) { tally->add(p); },
                               &match_error);
      }
    };
  };
  struct Row {
    const char* name;
    double seconds;
    uint64_t pretokens;
  };
  std::vector<Row> rows;
  Tally tally;
  double s = best_seconds(over_texts([](std::string_view t, auto&& k) { selkbar::split_bytelevel(t, k); }),
                          repeats, &tally);
  rows.push_back({"bytelevel (GPT-2)", s, tally.pretokens});
  s = best_seconds(over_texts([](std::string_view t, auto&& k) { selkbar::split_gpt4(t, k); }),
                   repeats, &tally);
  rows.push_back({"gpt4", s, tally.pretokens});
  s = best_seconds(over_texts([](std::string_view t, auto&& k) { selkbar::split_o200k(t, k); }),
                   repeats, &tally);
  rows.push_back({"o200k", s, tally.pretokens});
  s = best_seconds(with_pcre2(*gpt4_pattern), repeats, &tally);
  rows.push_back({"PCRE2 GPT-4 pattern", s, tally.pretokens});
  s = best_seconds(with_pcre2(*llama3_pattern), repeats, &tally);
  rows.push_back({"PCRE2 Llama 3 pattern", s, tally.pretokens});

  std::printf("%.1f MB in %zu files, best of %d\n", bytes / 1e6, texts.size(), repeats);
  std::printf("%-24s %10s %12s %10s\n", "splitter", "MB/s", "pretokens", "vs GPT-2");
  for (const Row& row : rows) {
    std::printf("%-24s %10.0f %12llu %9.2fx\n", row.name, bytes / 1e6 / row.seconds,
                static_cast<unsigned long long>(row.pretokens), row.seconds / rows[0].seconds);
  }
  return 0;
}
