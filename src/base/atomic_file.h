// atomic_file.h: writes a whole file so that readers see the old content or
// the new one, never a part, and no crash leaves a stray file behind.
//
//   Status status = write_file_atomically("out.json", text);
//   if (!status.ok()) report(status.message());  // "writing out.json: No such file or directory"
//
// A regular file (or a path that does not exist yet) is replaced atomically:
//   - on Linux the text goes into an unnamed file in the target's directory
//     (O_TMPFILE), is flushed to disk, and only then gets a name: a
//     temporary one, renamed over the target. A crash or kill before that
//     leaves nothing; the named moment lasts two system calls.
//   - where the file system refuses unnamed files, the text goes to a named
//     temporary file ".{name}.tmp-XXXXXX" beside the target, renamed over it
//     when complete and removed on failure.
// While a temporary name exists, SIGINT, SIGTERM, SIGHUP and SIGQUIT are
// held back on the calling thread, so a Ctrl-C that ends the process (as the
// command line's does) arrives only once the name is gone.
// A replaced file keeps its permission bits; a new one gets 0666 less the
// umask. A symbolic link is written through, to its target. Any other
// existing target (a character device, a FIFO) is opened and written in
// place. On failure the target is left untouched.
//
// write_files_atomically does the same for several files at once, so that
// either all of them are replaced or none is: every one is first written in
// full beside its target, and only then are they moved into place, in the
// order given. If moving one fails, those already moved are put back: an
// old file from a second link to it kept meanwhile (so that needs a file
// system with hard links), a new one removed. Targets written in place (not
// regular files) come last, and a failure among them still puts the moved
// ones back, but cannot undo an earlier in-place write. The same file named
// twice is refused ("writing {second}: the same file as {first}").
//
// Failures are OsError statuses "writing {path}: {reason}", the path as
// given, with the errno; a path holding a NUL byte fails with the reason
// "path contains a NUL byte" and errno 0, a write that makes no progress
// with "failed to write whole buffer", two names of one file with errno 0.
//
// Thread safety: none needed; each call works on its own descriptors. It
// calls no Python API and may run without the interpreter lock.
#ifndef SELKBAR_ATOMIC_FILE_H_
#define SELKBAR_ATOMIC_FILE_H_

#include <span>
#include <string>
#include <string_view>

#include "base/status.h"

namespace selkbar {

Status write_file_atomically(const std::string& path, std::string_view bytes);

struct FileContents {
  const std::string& path;
  std::string_view bytes;
};

Status write_files_atomically(std::span<const FileContents> files);

// Whether writing `a` and `b` would write the same file (links followed),
// for callers that refuse that before any work; write_files_atomically
// checks it again.
bool names_same_file(const std::string& a, const std::string& b);

}  // namespace selkbar

#endif  // SELKBAR_ATOMIC_FILE_H_
