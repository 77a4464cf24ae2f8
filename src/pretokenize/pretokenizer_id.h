// pretokenizer_id.h: which pretokenizer cut a set of words, by name.
//
// Counted words are only meaningful to the pretokenizer that produced them:
// whitespace words and byte-level words are spelled differently and may not
// be mixed. A PretokenizerId names the pretokenizer (its option string) and,
// for pretokenizers built from a splitting pattern, the pattern text; two
// sets of counts combine only if their ids are equal. The counts file stores
// the name and the pattern as strings, not as enum values, so that a
// pretokenizer added later needs no new file format.
//
//   PretokenizerId id{PretokenizerKind::ByteLevel, std::nullopt};
//   pretokenizer_name(id.kind);                  // "bytelevel"
//   pretokenizer_from_name("whitespace");        // PretokenizerKind::Whitespace
//   pretokenizer_from_name("ByteLevel");         // nullopt: names are case-sensitive
#ifndef SELKBAR_PRETOKENIZER_ID_H_
#define SELKBAR_PRETOKENIZER_ID_H_

#include <optional>
#include <string>
#include <string_view>

#include "config.h"

namespace selkbar {

struct PretokenizerId {
  PretokenizerKind kind = PretokenizerKind::Whitespace;
  std::optional<std::string> pattern;  // only for pattern-based pretokenizers

  bool operator==(const PretokenizerId&) const = default;
};

// Every pretokenizer a caller may name, in the order the module's
// _PRETOKENIZERS, the command line's --pretokenizer choices and the messages
// list them. (PretokenizerKind::Pattern has no name of its own: a custom
// pattern replaces the rule of "bytelevel".)
inline constexpr PretokenizerKind NAMED_PRETOKENIZERS[] = {
    PretokenizerKind::Whitespace, PretokenizerKind::ByteLevel, PretokenizerKind::Gpt4,
    PretokenizerKind::O200k};

// The named pretokenizers as a message lists them:
// "whitespace", "bytelevel", "gpt4" or "o200k".
std::string list_pretokenizer_names();

// The option string of `kind`: "whitespace", "bytelevel", "gpt4" or "o200k"
// ("bytelevel" for a custom pattern, which the id carries beside it).
std::string_view pretokenizer_name(PretokenizerKind kind);

// The kind whose option string is exactly `name`, if any.
std::optional<PretokenizerKind> pretokenizer_from_name(std::string_view name);

// Whether words of this kind are spelled in the byte-level alphabet.
bool uses_byte_level_alphabet(PretokenizerKind kind);

// The id of the pretokenizer a configuration counts with.
PretokenizerId pretokenizer_id_of(const TrainConfig& config);

// For messages: the name in double quotes, followed by the pattern if there
// is one: "whitespace", or "custom" with pattern "\p{L}+".
std::string describe_pretokenizer(const PretokenizerId& id);

}  // namespace selkbar

#endif  // SELKBAR_PRETOKENIZER_ID_H_
