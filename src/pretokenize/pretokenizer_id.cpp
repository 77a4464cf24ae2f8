#include "pretokenize/pretokenizer_id.h"

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
  for (PretokenizerKind kind : {PretokenizerKind::Whitespace, PretokenizerKind::ByteLevel,
                                PretokenizerKind::Gpt4, PretokenizerKind::O200k}) {
    if (name == pretokenizer_name(kind)) return kind;
  }
  return std::nullopt;
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
