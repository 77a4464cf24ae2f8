// os_text.h: how the engine words operating-system failures in messages.
//
// Messages name a path exactly as the caller gave it, then the reason. The
// reason is the C library's text for an errno value, or NUL_IN_PATH for a
// path with a NUL byte inside: the operating system would read such a path
// only up to that byte and so name another file, so it is refused before any
// system call sees it.
#ifndef SELKBAR_OS_TEXT_H_
#define SELKBAR_OS_TEXT_H_

#include <string>
#include <string_view>

namespace selkbar {

inline constexpr const char* NUL_IN_PATH = "path contains a NUL byte";

inline bool holds_nul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

// The text for an errno value; safe to call from several threads at once.
std::string os_error_text(int error);

}  // namespace selkbar

#endif  // SELKBAR_OS_TEXT_H_
