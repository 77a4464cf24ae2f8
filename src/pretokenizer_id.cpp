#include "pretokenizer_id.h"

namespace selkbar {

std::string_view pretokenizer_name(PretokenizerKind kind) {
  switch (kind) {
    case PretokenizerKind::Whitespace: return "whitespace";
    case PretokenizerKind::ByteLevel: return "bytelevel";
  }
  return "unknown";
}

std::optional<PretokenizerKind> pretokenizer_from_name(std::string_view name) {
  for (PretokenizerKind kind : {PretokenizerKind::Whitespace, PretokenizerKind::ByteLevel}) {
    if (name == pretokenizer_name(kind)) return kind;
  }
  return std::nullopt;
}

bool uses_byte_level_alphabet(PretokenizerKind kind) {
  return kind == PretokenizerKind::ByteLevel;
}

std::string describe_pretokenizer(const PretokenizerId& id) {
  std::string out = "\"";
  out += pretokenizer_name(id.kind);
  out += "\"";
  if (id.pattern) out += " with pattern \"" + *id.pattern + "\"";
  return out;
}

}  // namespace selkbar
