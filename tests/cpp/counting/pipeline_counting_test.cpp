// Phase 1 counts the same (word, count) pairs as a plain single-threaded
// count, whatever the thread budget and range size, on real text: each
// fixture file, all of them together, and a file listed twice; in an extended
// run the same on the larger corpora.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "corpora.h"
#include "counting/pipeline.h"
#include "reference_count.h"
#include "test_files.h"

namespace selkbar {
namespace {

using testing::WordCounts;

struct CountingCase {
  bool extended;     // on the extended corpora rather than the fixtures
  std::string name;  // a fixture file name; "all", "twice" or (extended) "each"
  PretokenizerKind kind;
};

void PrintTo(const CountingCase& c, std::ostream* out) {
  *out << (c.extended ? "extended " : "") << c.name
       << (c.kind == PretokenizerKind::Whitespace ? " (whitespace)" : " (bytelevel)");
}

// The file lists one case counts, each checked on its own.
std::vector<std::vector<std::string>> case_inputs(const CountingCase& c,
                                                   const std::vector<std::string>& all) {
  if (c.name == "all") return {all};
  if (c.name == "each") {
    std::vector<std::vector<std::string>> each;
    for (const std::string& path : all) each.push_back({path});
    return each;
  }
  if (c.name == "twice") {
    // The fixture without a final newline: its last word must not run into
    // the first word of the second copy. Among the larger corpora, a small one.
    const std::string wanted = c.extended ? "l10n-ko.txt" : "long-lines.txt";
    const auto it = std::find_if(all.begin(), all.end(),
                                 [&](const std::string& p) { return testing::file_name(p) == wanted; });
    const std::string path = it != all.end() ? *it : all.front();
    return {{path, path}};
  }
  return {{testing::fixtures_dir() + "/" + c.name}};
}

void expect_same_counts(const std::vector<std::string>& files, PretokenizerKind kind) {
  SCOPED_TRACE(testing::file_name(files.front()) + (files.size() > 1 ? " and more" : ""));
  WordCounts want;
  for (const std::string& path : files) {
    testing::count_reference(testing::read_file(path), kind, want);
  }
  ASSERT_FALSE(want.empty());
  const testing::ExpectedWords expected(want);

  for (uint64_t min_range : {DEFAULT_MIN_RANGE, uint64_t{1}, uint64_t{7}, uint64_t{4096}}) {
    for (uint64_t threads : {1, 2, 3, 4, 7, 16, 64}) {
      TrainConfig config;
      config.files = files;
      config.threads = threads;
      config.pretokenizer = kind;
      config.min_range = min_range;
      CountResult result = count_words(config);
      ASSERT_TRUE(result.status.ok()) << result.status.message();
      ASSERT_TRUE(expected.matches(result.words))
          << "threads " << threads << " min_range " << min_range;
    }
  }
}

class PipelineCounting : public ::testing::TestWithParam<CountingCase> {};

TEST_P(PipelineCounting, MatchesSingleThreadedCountForEveryThreadBudgetAndRange) {
  const CountingCase& param = GetParam();
  std::vector<std::string> all;
  if (param.extended) {
    testing::ExtendedCorpora extended = testing::extended_corpora();
    if (extended.files.empty()) GTEST_SKIP() << extended.skip_reason;
    all = std::move(extended.files);
  } else {
    all = testing::fixture_files();
    ASSERT_FALSE(all.empty()) << "no fixtures in " << testing::fixtures_dir();
  }
  for (const std::vector<std::string>& files : case_inputs(param, all)) {
    expect_same_counts(files, param.kind);
    if (HasFatalFailure()) return;
  }
}

std::vector<CountingCase> counting_cases(bool extended) {
  std::vector<std::string> names;
  if (extended) {
    names.push_back("each");
  } else {
    for (const std::string& path : testing::fixture_files()) names.push_back(testing::file_name(path));
  }
  names.push_back("all");
  names.push_back("twice");
  std::vector<CountingCase> cases;
  for (PretokenizerKind kind : {PretokenizerKind::Whitespace, PretokenizerKind::ByteLevel}) {
    for (const std::string& name : names) cases.push_back({extended, name, kind});
  }
  return cases;
}

std::string case_name(const ::testing::TestParamInfo<CountingCase>& info) {
  std::string name = info.param.name;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return (info.param.kind == PretokenizerKind::Whitespace ? "whitespace_" : "bytelevel_") + name;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, PipelineCounting, ::testing::ValuesIn(counting_cases(false)),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Extended, PipelineCounting, ::testing::ValuesIn(counting_cases(true)),
                         case_name);

}  // namespace
}  // namespace selkbar
