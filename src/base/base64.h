// base64.h: the standard base64 encoding of RFC 4648 (alphabet A-Z a-z 0-9
// + /, padded with '=' to a multiple of four characters, no line breaks),
// the form tiktoken's ranks files spell token bytes in.
//
//   std::string line;
//   append_base64("hi", line);  // line == "aGk="
#ifndef SELKBAR_BASE64_H_
#define SELKBAR_BASE64_H_

#include <string>
#include <string_view>

namespace selkbar {

// Appends the encoding of `bytes` (any bytes) to `out`.
void append_base64(std::string_view bytes, std::string& out);

}  // namespace selkbar

#endif  // SELKBAR_BASE64_H_
