#include "base/base64.h"

#include <cstdint>

namespace selkbar {

void append_base64(std::string_view bytes, std::string& out) {
  static constexpr char DIGITS[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out.reserve(out.size() + (bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  // Every whole group of three bytes gives four digits of six bits each.
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = uint32_t{static_cast<uint8_t>(bytes[i])} << 16 |
                           uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8 |
                           static_cast<uint8_t>(bytes[i + 2]);
    out += DIGITS[group >> 18];
    out += DIGITS[(group >> 12) & 63];
    out += DIGITS[(group >> 6) & 63];
    out += DIGITS[group & 63];
  }
  // One or two bytes left: their digits, then '=' for each missing byte.
  const size_t rest = bytes.size() - i;
  if (rest == 0) return;
  uint32_t group = uint32_t{static_cast<uint8_t>(bytes[i])} << 16;
  if (rest == 2) group |= uint32_t{static_cast<uint8_t>(bytes[i + 1])} << 8;
  out += DIGITS[group >> 18];
  out += DIGITS[(group >> 12) & 63];
  out += rest == 2 ? DIGITS[(group >> 6) & 63] : '=';
  out += '=';
}

}  // namespace selkbar
