#include "base/os_text.h"

#include <string.h>

namespace selkbar {

std::string os_error_text(int error) {
  // strerror may share one buffer between threads; the GNU strerror_r
  // returns either the static text or one written into ours.
  char buffer[256];
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace selkbar
