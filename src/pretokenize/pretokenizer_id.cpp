#include "pretokenize/pretokenizer_id.h"

#include <iterator>

#include "pretokenize/pattern_split.h"

namespace selkbar {

std::string_view pretokenizer_name(PretokenizerKind kind) {
  switch (kind) {
    case PretokenizerKind::Whitespace: return "whitespace";
    case PretokenizerKind::ByteLevel: return "bytelevel";
    case PretokenizerKind::Gpt4: return "gpt4";
    case PretokenizerKind::O200k: return "o200k";
    // A custom pattern replaces the rule of "bytelevel"; the id carries it.
    case PretokenizerKind::Pattern: return "bytelevel";
  }
  return "unknown";
}

std::optional<PretokenizerKind> pretokenizer_from_name(std::string_view name) {
  for (PretokenizerKind kind : NAMED_PRETOKENIZERS) {
    if (name == pretokenizer_name(kind)) return kind;
  }
  return std::nullopt;
}

std::string list_pretokenizer_names() {
  constexpr size_t COUNT = std::size(NAMED_PRETOKENIZERS);
  std::string out;
  for (size_t i = 0; i < COUNT; ++i) {
    if (i > 0) out += i + 1 == COUNT ? " or " : ", ";
    out += '"';
    out += pretokenizer_name(NAMED_PRETOKENIZERS[i]);
    out += '"';
  }
  return out;
}

bool uses_byte_level_alphabet(PretokenizerKind kind) { return is_byte_level(kind); }

PretokenizerId pretokenizer_id_of(const TrainConfig& config) {
  PretokenizerId id{config.pretokenizer, std::nullopt};
  if (config.pattern != nullptr) id.pattern = config.pattern->source();
  return id;
}

std::string describe_pretokenizer(const PretokenizerId& id) {
  std::string out = "\"";
  out += pretokenizer_name(id.kind);
  out += "\"";
  if (id.pattern) out += " with pattern \"" + *id.pattern + "\"";
  return out;
}

}  // namespace selkbar
