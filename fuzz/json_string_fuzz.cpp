// Fuzz target for write_json_string.
//
// For valid UTF-8 input the output must be exactly one JSON string literal
// (RFC 8259: no raw control characters, only the defined escapes) that
// decodes back to the input. A strict decoder written here from the grammar
// checks it. Invalid UTF-8 is outside the function's contract and skipped.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "naive_trainer.h"
#include "fuzz_check.h"
#include "training/tokenizer_json.h"
#include "unicode/utf8.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one JSON string literal that must span all of `json`; nullopt if
// it is not one.
std::optional<std::string> parse_json_string(std::string_view json) {
  if (json.size() < 2 || json.front() != '"' || json.back() != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i + 1 < json.size();) {
    const auto c = static_cast<unsigned char>(json[i]);
    if (c < 0x20) return std::nullopt;
    if (c == '"') return std::nullopt;  // an unescaped quote ends the literal early
    if (c != '\\') {
      out += json[i++];
      continue;
    }
    if (i + 2 >= json.size()) return std::nullopt;
    const char e = json[i + 1];
    i += 2;
    switch (e) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '/': out += '/'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        if (i + 4 >= json.size()) return std::nullopt;
        uint32_t cp = 0;
        for (int k = 0; k < 4; ++k) {
          const int v = hex_value(json[i + k]);
          if (v < 0) return std::nullopt;
          cp = cp * 16 + static_cast<uint32_t>(v);
        }
        i += 4;
        if (cp >= 0xD800 && cp <= 0xDFFF) return std::nullopt;  // never needed here
        out += selkbar::testing::encode_utf8(cp);
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  selkbar::Utf8Error error;
  if (!selkbar::validate_utf8(text, &error)) return 0;

  // Appends, so a prefix already in the buffer must stay untouched.
  std::string out = "prefix:";
  selkbar::write_json_string(text, out);
  FUZZ_CHECK(out.starts_with("prefix:"));
  const std::string_view literal = std::string_view(out).substr(7);
  FUZZ_CHECK(selkbar::validate_utf8(literal, &error));
  const std::optional<std::string> decoded = parse_json_string(literal);
  FUZZ_CHECK(decoded.has_value());
  FUZZ_CHECK(*decoded == text);
  // Escapes only where needed: everything else is copied, so the literal is
  // at most six times the input plus the quotes, and at least input + 2.
  FUZZ_CHECK(literal.size() >= text.size() + 2 && literal.size() <= 6 * text.size() + 2);
  return 0;
}
