// Atomic writes of one file and of several together: every target replaced
// or none, no temporary name left behind, modes kept.
#include "base/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "test_files.h"

namespace selkbar {
namespace {

using testing::read_file;
using testing::TempDir;

std::set<std::string> names_in(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

Status write_pair(const std::string& a, std::string_view a_bytes, const std::string& b,
                  std::string_view b_bytes) {
  const FileContents files[] = {{a, a_bytes}, {b, b_bytes}};
  return write_files_atomically(files);
}

TEST(AtomicFiles, BothWrittenAndNothingElseLeft) {
  TempDir dir;
  const std::string old_a = dir.write("a.json", "old a");
  ::chmod(old_a.c_str(), 0640);
  const std::string b = dir.path() + "/b.tiktoken";
  EXPECT_TRUE(write_pair(old_a, "new a", b, "new b").ok());
  EXPECT_EQ(read_file(old_a), "new a");
  EXPECT_EQ(read_file(b), "new b");
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a.json", "b.tiktoken"}));
  struct stat info;
  ASSERT_EQ(::stat(old_a.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(AtomicFiles, FailureWritingTheSecondLeavesTheFirstUntouched) {
  TempDir dir;
  const std::string a = dir.write("a.json", "old a");
  const std::string fresh = dir.path() + "/fresh.json";
  const std::string missing = dir.path() + "/no/such/dir/b.tiktoken";
  const Status error = write_pair(a, "new a", missing, "new b");
  EXPECT_EQ(error.code(), StatusCode::OsError);
  EXPECT_EQ(error.os_error(), ENOENT);
  EXPECT_EQ(error.message().rfind("writing " + missing + ": ", 0), 0u) << error.message();
  EXPECT_EQ(read_file(a), "old a");
  EXPECT_FALSE(write_pair(fresh, "new", missing, "new b").ok());
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a.json"}));
}

TEST(AtomicFiles, FailurePlacingTheLastPutsTheFirstBack) {
  TempDir dir;
  const std::string a = dir.write("a.json", "old a");
  const std::string fresh = dir.path() + "/fresh.json";
  // A directory as the second target passes staging (it is written in
  // place, last) and fails only once the first file has been moved.
  const std::string directory = dir.path() + "/sub";
  std::filesystem::create_directory(directory);
  EXPECT_FALSE(write_pair(a, "new a", directory, "new b").ok());
  EXPECT_EQ(read_file(a), "old a");
  EXPECT_FALSE(write_pair(fresh, "new", directory, "new b").ok());
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a.json", "sub"}));
  EXPECT_TRUE(names_in(directory).empty());
}

TEST(AtomicFiles, TheSameFileTwiceIsRefused) {
  TempDir dir;
  const std::string a = dir.write("a.json", "old a");
  const std::string same = dir.path() + "/../" +
                           std::filesystem::path(dir.path()).filename().string() + "/a.json";
  const Status error = write_pair(a, "1", same, "2");
  EXPECT_EQ(error.message(), "writing " + same + ": the same file as " + a);
  EXPECT_EQ(read_file(a), "old a");
  EXPECT_TRUE(names_same_file(a, same));
  const std::string fresh = dir.path() + "/fresh";
  EXPECT_TRUE(names_same_file(fresh, dir.path() + "/./fresh"));
  EXPECT_FALSE(names_same_file(fresh, a));
  EXPECT_FALSE(write_pair(fresh, "1", dir.path() + "/./fresh", "2").ok());
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a.json"}));
}

TEST(AtomicFiles, OneFileReplacesAndCreates) {
  TempDir dir;
  const std::string a = dir.write("a", "old");
  EXPECT_TRUE(write_file_atomically(a, "new").ok());
  EXPECT_EQ(read_file(a), "new");
  EXPECT_TRUE(write_file_atomically(dir.path() + "/b", "").ok());
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(write_file_atomically(std::string("x\0y", 3), "z").message(),
            std::string("writing x\0y: path contains a NUL byte", 37));
}

}  // namespace
}  // namespace selkbar
