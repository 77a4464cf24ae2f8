// corpora.h: the text files that the tests comparing the engine with a
// reference on real text run on.
//
// By default they run on the fixtures under tests/data, which are small and
// part of the repository. An extended run adds the *.txt files of the folder
// named by the environment variable SELKBAR_CORPORA, read when a test runs:
//
//   SELKBAR_CORPORA=../shared/corpora bash scripts/test.sh
//
// Test names must not depend on that variable: ctest takes the list of tests
// from the binary once, when it is built, and runs each test later in a
// process of its own. So an extended test has a fixed name, loops over the
// folder's files itself, and skips, giving the reason, when there are none.
// Listing never throws, even when a folder cannot be read.
#ifndef SELKBAR_TESTS_CORPORA_H_
#define SELKBAR_TESTS_CORPORA_H_

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace selkbar::testing {

// The *.txt files directly in `dir`, sorted; empty when it cannot be listed.
inline std::vector<std::string> text_files(const std::string& dir) {
  std::vector<std::string> files;
  std::error_code error;
  std::filesystem::directory_iterator it(dir, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (it->path().extension() == ".txt") files.push_back(it->path().string());
  }
  if (error) return {};
  std::sort(files.begin(), files.end());
  return files;
}

inline std::string fixtures_dir() { return SELKBAR_FIXTURES_DIR; }

inline std::vector<std::string> fixture_files() { return text_files(fixtures_dir()); }

struct ExtendedCorpora {
  std::vector<std::string> files;  // empty when there is no extended run
  std::string skip_reason;         // why files is empty
};

inline ExtendedCorpora extended_corpora() {
  const char* dir = std::getenv("SELKBAR_CORPORA");
  if (dir == nullptr || *dir == '\0') {
    return {{}, "SELKBAR_CORPORA is not set; set it to a folder of *.txt corpora for the extended run"};
  }
  std::vector<std::string> files = text_files(dir);
  if (files.empty()) return {{}, std::string("SELKBAR_CORPORA=") + dir + ": no *.txt files there"};
  return {std::move(files), ""};
}

inline std::string file_name(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

}  // namespace selkbar::testing

#endif  // SELKBAR_TESTS_CORPORA_H_
