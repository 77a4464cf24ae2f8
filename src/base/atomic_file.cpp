#include "base/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>

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
  static constexpr char LETTERS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device random;
  std::string name = directory + "." + base + ".tmp-";
  for (int i = 0; i < 6; ++i) name += LETTERS[random() % (sizeof LETTERS - 1)];
  return name;
}

// Gives the complete unnamed file `fd` the name `target`. Returns 0, or the
// errno of the failure; ENOTSUP when it cannot be linked at all here (no
// /proc), so that the caller falls back to a named temporary file.
int link_into_place(int fd, const std::string& directory, const std::string& base,
                    const std::string& target) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  const TerminationSignalsHeld held;
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != EEXIST) return errno == ENOENT ? ENOTSUP : errno;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = temporary_name(directory, base);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    if (::rename(temp.c_str(), target.c_str()) == 0) return 0;
    const int error = errno;
    ::unlink(temp.c_str());
    return error;
  }
  return EEXIST;
}

// Returns nothing when the file system offers no unnamed files, so that the
// caller falls back to a named temporary file; otherwise the outcome.
std::optional<Status> write_unnamed(const std::string& path, const std::string& directory,
                                    const std::string& base, const std::string& target,
                                    std::string_view text, mode_t mode) {
#ifdef O_TMPFILE
  const std::string where = directory.empty() ? "." : directory;
  const int fd = ::open(where.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0) return std::nullopt;  // unsupported here; a real error shows in the fallback
  int error = fill(fd, text, mode);
  if (error == 0) error = link_into_place(fd, directory, base, target);
  ::close(fd);
  if (error == ENOTSUP) return std::nullopt;
  if (error != 0) return write_failure(path, error);
  return Status();
#else
  return std::nullopt;
#endif
}

Status write_named(const std::string& path, const std::string& directory,
                   const std::string& base, const std::string& target, std::string_view text,
                   mode_t mode) {
  std::string temp = directory + "." + base + ".tmp-XXXXXX";
  const TerminationSignalsHeld held;
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return write_failure(path, errno);
  int error = fill(fd, text, mode);
  if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    return write_failure(path, error);
  }
  return Status();
}

}  // namespace

Status write_file_atomically(const std::string& path, std::string_view bytes) {
  if (holds_nul(path)) return Status::OsError(0, "writing " + path + ": " + NUL_IN_PATH);
  // Writes go through a symbolic link to its target, as a plain open would.
  std::string target = path;
  struct stat info;
  if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return write_in_place(path, bytes);  // dangling: create the target
    target = resolved;
    std::free(resolved);
  }
  const bool exists = ::stat(target.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) return write_in_place(path, bytes);
  const mode_t mode = exists ? (info.st_mode & 07777) : new_file_mode();

  const size_t slash = target.rfind('/');
  const std::string directory = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (std::optional<Status> done = write_unnamed(path, directory, base, target, bytes, mode)) {
    return std::move(*done);
  }
  return write_named(path, directory, base, target, bytes, mode);
}

}  // namespace selkbar
