// Phase 1 counts the same (word, count) pairs as a plain single-threaded
// count, whatever the thread budget and range size, on real corpora.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "pipeline.h"
#include "reference_count.h"
#include "test_files.h"

namespace selkbar {
namespace {

using testing::WordCounts;

std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(SELKBAR_CORPORA_DIR)) {
    if (entry.path().extension() == ".txt") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

struct CountingCase {
  std::string name;  // a corpus file name, "all" or "twice"
  PretokenizerKind kind;
};

void PrintTo(const CountingCase& c, std::ostream* out) {
  *out << c.name << (c.kind == PretokenizerKind::Whitespace ? " (whitespace)" : " (bytelevel)");
}

std::vector<std::string> case_files(const std::string& name) {
  const std::vector<std::string> all = corpus_files();
  if (name == "all") return all;
  if (name == "twice") {
    const std::string path = std::string(SELKBAR_CORPORA_DIR) + "/l10n-ko.txt";
    return {path, path};
  }
  return {std::string(SELKBAR_CORPORA_DIR) + "/" + name};
}

class PipelineCounting : public ::testing::TestWithParam<CountingCase> {};

TEST_P(PipelineCounting, MatchesSingleThreadedCountForEveryThreadBudgetAndRange) {
  const CountingCase& param = GetParam();
  const std::vector<std::string> files = case_files(param.name);
  ASSERT_FALSE(files.empty());
  WordCounts want;
  for (const std::string& path : files) {
    testing::count_reference(testing::read_file(path), param.kind, want);
  }
  ASSERT_FALSE(want.empty());
  const testing::ExpectedWords expected(want);

  for (uint64_t min_range : {DEFAULT_MIN_RANGE, uint64_t{1}, uint64_t{7}, uint64_t{4096}}) {
    for (uint64_t threads : {1, 2, 3, 4, 7, 16, 64}) {
      TrainConfig config;
      config.files = files;
      config.threads = threads;
      config.pretokenizer = param.kind;
      config.min_range = min_range;
      CountResult result = count_words(config);
      ASSERT_FALSE(result.error) << *result.error;
      ASSERT_TRUE(expected.matches(result.words))
          << "threads " << threads << " min_range " << min_range;
    }
  }
}

std::vector<CountingCase> counting_cases() {
  std::vector<CountingCase> cases;
  std::vector<std::string> names;
  for (const std::string& path : corpus_files()) {
    names.push_back(std::filesystem::path(path).filename().string());
  }
  names.push_back("all");
  names.push_back("twice");
  for (PretokenizerKind kind : {PretokenizerKind::Whitespace, PretokenizerKind::ByteLevel}) {
    for (const std::string& name : names) cases.push_back({name, kind});
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

INSTANTIATE_TEST_SUITE_P(Corpora, PipelineCounting, ::testing::ValuesIn(counting_cases()),
                         case_name);

}  // namespace
}  // namespace selkbar
