#include "base/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "base/os_text.h"

namespace selkbar {
namespace {

std::string describe(int error) {
  return error == -1 ? std::string("failed to write whole buffer") : os_error_text(error);
}

// Writes all of `text` to `fd`, retrying partial and interrupted writes.
// Returns 0 or an errno value; -1 stands for a write that made no progress.
int write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return -1;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

// Writes, sets the mode and flushes to disk. Returns 0 or an errno value
// (-1 for a write that made no progress).
int fill(int fd, std::string_view text, mode_t mode) {
  int error = write_all(fd, text);
  if (error == 0 && ::fchmod(fd, mode) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  return error;
}

// The mode a newly created file gets: 0666 less the process umask, read from
// /proc where possible, since umask() cannot be read without changing it.
mode_t new_file_mode() {
  mode_t mask = 022;
  if (FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
      unsigned value;
      if (std::sscanf(line, "Umask: %o", &value) == 1) {
        mask = static_cast<mode_t>(value);
        break;
      }
    }
    std::fclose(status);
  }
  return 0666 & ~mask;
}

// Holds back the signals that end a process on request while it lives.
class TerminationSignalsHeld {
 public:
  TerminationSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
  }
  ~TerminationSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
  TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// "writing {path}: {reason}" for the errno value `error` (-1: a write that
// made no progress, which has no errno).
Status write_failure(const std::string& path, int error) {
  return Status::OsError(error == -1 ? 0 : error, "writing " + path + ": " + describe(error));
}

Status write_in_place(const std::string& path, std::string_view text) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return write_failure(path, errno);
  const int error = write_all(fd, text);
  ::close(fd);
  if (error != 0) return write_failure(path, error);
  return Status();
}

std::string temporary_name(const std::string& directory, const std::string& base) {
  static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyz"
                                    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  std::string name = directory + "." + base + ".tmp-";
  for (int i = 0; i < 6; ++i) name += LETTERS[random() % (sizeof LETTERS - 1)];
  return name;
}

// Links `existing` (a path, or /proc/self/fd/N of an unnamed file) under a
// fresh temporary name beside `base`. Returns 0 with the name in `temp`, or
// an errno value.
int link_to_temporary(const std::string& existing, int flags, const std::string& directory,
                      const std::string& base, std::string* temp) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = temporary_name(directory, base);
    if (::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, name.c_str(), flags) == 0) {
      *temp = std::move(name);
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

// One file of a write: where its bytes go, and the complete copy waiting
// under a temporary name beside the target until it is moved into place.
// The destructor removes whatever temporary names are left: those of a
// write that failed, and the backup of a write that succeeded.
struct PendingFile {
  const std::string* path = nullptr;  // as given, for messages
  std::string_view bytes;
  std::string target;  // the path, or a symbolic link's target
  std::string directory;  // of the target, with its trailing slash; "" for the current one
  std::string base;
  bool in_place = false;  // an existing target that is not a regular file
  bool existed = false;
  mode_t mode = 0;
  std::string temp;    // the new content, until renamed over the target
  std::string backup;  // the old content, a second link to it, kept for an undo
  bool placed = false;
  int fd = -1;  // the unnamed file, while it has no name

  PendingFile() = default;
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;
  ~PendingFile() {
    if (fd >= 0) ::close(fd);
    if (!temp.empty()) ::unlink(temp.c_str());
    if (!backup.empty()) ::unlink(backup.c_str());
  }

  Status failure(int error) const { return write_failure(*path, error); }
};

// Fills in where `file` goes. Returns an error message for a path the
// operating system cannot be given.
Status resolve(const std::string& path, std::string_view bytes, PendingFile& file) {
  file.path = &path;
  file.bytes = bytes;
  if (holds_nul(path)) return Status::OsError(0, "writing " + path + ": " + NUL_IN_PATH);
  // Writes go through a symbolic link to its target, as a plain open would.
  file.target = path;
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {  // dangling: create the link's target
      file.in_place = true;
      return Status();
    }
    file.target = resolved;
    std::free(resolved);
  }
  file.existed = ::stat(file.target.c_str(), &info) == 0;
  file.in_place = file.existed && !S_ISREG(info.st_mode);
  file.mode = file.existed ? (info.st_mode & 07777) : new_file_mode();
  const size_t slash = file.target.rfind('/');
  file.directory = slash == std::string::npos ? "" : file.target.substr(0, slash + 1);
  file.base = slash == std::string::npos ? file.target : file.target.substr(slash + 1);
  return Status();
}

// Writes the whole content into an unnamed file beside the target, flushed
// to disk, and keeps it open in file.fd: no partial file ever has a name.
// Returns 0, an errno value, or ENOTSUP where unnamed files cannot be made
// here (no O_TMPFILE), for the caller to fall back.
int write_unnamed(PendingFile& file) {
#ifdef O_TMPFILE
  const std::string where = file.directory.empty() ? "." : file.directory;
  file.fd = ::open(where.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, file.mode);
  if (file.fd < 0) return ENOTSUP;  // unsupported here; a real error shows in the fallback
  return fill(file.fd, file.bytes, file.mode);
#else
  (void)file;
  return ENOTSUP;
#endif
}

// Gives the complete unnamed file a temporary name. Returns 0, an errno
// value, or ENOTSUP where it cannot be linked (no /proc).
int name_unnamed(PendingFile& file) {
  const std::string self = "/proc/self/fd/" + std::to_string(file.fd);
  const int error =
      link_to_temporary(self, AT_SYMLINK_FOLLOW, file.directory, file.base, &file.temp);
  ::close(file.fd);
  file.fd = -1;
  return error == ENOENT ? ENOTSUP : error;
}

// The fallback: writes under a named temporary file from the start.
int stage_named(PendingFile& file) {
  std::string temp = file.directory + "." + file.base + ".tmp-XXXXXX";
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return errno;
  file.temp = temp;  // removed by the destructor unless renamed
  int error = fill(fd, file.bytes, file.mode);
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  return error;
}

// Moves the complete copy over the target. With `undoable`, an existing
// target is first linked under a backup name so that undo() can put it back.
int place(PendingFile& file, bool undoable) {
  if (undoable && file.existed) {
    const int error = link_to_temporary(file.target, 0, file.directory, file.base, &file.backup);
    if (error != 0) return error;
  }
  if (::rename(file.temp.c_str(), file.target.c_str()) != 0) return errno;
  file.temp.clear();
  file.placed = true;
  return 0;
}

// Puts back what the target was before place(): the old file, or no file.
void undo(PendingFile& file) {
  if (!file.placed) return;
  if (!file.backup.empty()) {
    // Renamed, the backup name is gone; not renamed, it is the one copy of
    // the old content left, and stays.
    ::rename(file.backup.c_str(), file.target.c_str());
    file.backup.clear();
  } else {
    ::unlink(file.target.c_str());
  }
  file.placed = false;
}

// The same file named twice would be written twice, the second copy
// silently replacing the first.
bool same_target(const PendingFile& a, const PendingFile& b) {
  struct stat a_info, b_info;
  if (a.existed && b.existed) {
    return ::stat(a.target.c_str(), &a_info) == 0 && ::stat(b.target.c_str(), &b_info) == 0 &&
           a_info.st_dev == b_info.st_dev && a_info.st_ino == b_info.st_ino;
  }
  if (a.existed || b.existed || a.base != b.base) return false;
  const std::string a_dir = a.directory.empty() ? "." : a.directory;
  const std::string b_dir = b.directory.empty() ? "." : b.directory;
  return ::stat(a_dir.c_str(), &a_info) == 0 && ::stat(b_dir.c_str(), &b_info) == 0 &&
         a_info.st_dev == b_info.st_dev && a_info.st_ino == b_info.st_ino;
}

// Every regular target written in full under a temporary name; the first
// failure ends it. Termination signals are held from the first name on:
// a Ctrl-C that ends the process would leave the names behind, so it
// arrives once they are gone.
Status stage_all(std::vector<PendingFile>& files, std::optional<TerminationSignalsHeld>& held) {
  std::vector<bool> unnamed(files.size(), false);
  for (size_t i = 0; i < files.size(); ++i) {
    if (files[i].in_place) continue;
    const int error = write_unnamed(files[i]);
    if (error != 0 && error != ENOTSUP) return files[i].failure(error);
    unnamed[i] = error == 0;
  }
  held.emplace();
  for (size_t i = 0; i < files.size(); ++i) {
    PendingFile& file = files[i];
    if (file.in_place) continue;
    int error = unnamed[i] ? name_unnamed(file) : ENOTSUP;
    if (error == ENOTSUP) error = stage_named(file);
    if (error != 0) return file.failure(error);
  }
  return Status();
}

// Moves the staged files into place, then writes the in-place ones; on a
// failure undoes every move made. Only the in-place writes, last, cannot be
// undone, and after the first of them nothing else can fail but another.
Status place_all(std::vector<PendingFile>& files) {
  size_t last_undoable = files.size();  // the last file after which something may still fail
  for (size_t i = 0; i < files.size(); ++i) {
    if (!files[i].in_place) last_undoable = i;
  }
  const bool any_in_place = std::any_of(files.begin(), files.end(),
                                        [](const PendingFile& file) { return file.in_place; });
  for (size_t i = 0; i < files.size(); ++i) {
    PendingFile& file = files[i];
    if (file.in_place) continue;
    if (const int error = place(file, any_in_place || i != last_undoable)) {
      for (PendingFile& earlier : files) undo(earlier);
      return file.failure(error);
    }
  }
  for (PendingFile& file : files) {
    if (!file.in_place) continue;
    Status status = write_in_place(*file.path, file.bytes);
    if (!status.ok()) {
      for (PendingFile& earlier : files) undo(earlier);
      return status;
    }
  }
  return Status();
}

}  // namespace

Status write_files_atomically(std::span<const FileContents> contents) {
  // Declared first, so that the signals are let through only after the
  // files' destructors have removed every temporary name.
  std::optional<TerminationSignalsHeld> held;
  std::vector<PendingFile> files(contents.size());
  for (size_t i = 0; i < contents.size(); ++i) {
    Status status = resolve(contents[i].path, contents[i].bytes, files[i]);
    if (!status.ok()) return status;
    for (size_t j = 0; j < i; ++j) {
      if (same_target(files[j], files[i])) {
        return Status::OsError(0, "writing " + contents[i].path + ": the same file as " +
                                      contents[j].path);
      }
    }
  }
  Status staged = stage_all(files, held);
  if (!staged.ok()) return staged;
  return place_all(files);
}

bool names_same_file(const std::string& a, const std::string& b) {
  PendingFile a_file, b_file;
  if (!resolve(a, "", a_file).ok() || !resolve(b, "", b_file).ok()) return false;
  return same_target(a_file, b_file);
}

Status write_file_atomically(const std::string& path, std::string_view bytes) {
  const FileContents contents[] = {{path, bytes}};
  return write_files_atomically(contents);
}

}  // namespace selkbar
