// tokenizer_json.h: renders a trained model as a HuggingFace tokenizer.json.
//
// The document is a fixed template, not the output of a general serialiser:
// indentation, key order and line breaks are part of the format, and only
// the added tokens, the pre-tokenizer blocks, the two optional model strings,
// the vocabulary and the merges vary. The decoder undoes what the options
// did: the byte-level spelling, and the continuing_subword_prefix and
// end_of_word_suffix marks (docs/shipping.md has the table); without marks
// it is null in whitespace mode and ByteLevel otherwise. build_tokenizer_json runs without the
// interpreter lock; the text is written with write_file_atomically
// (atomic_file.h).
#ifndef SELKBAR_TOKENIZER_JSON_H_
#define SELKBAR_TOKENIZER_JSON_H_

#include <optional>
#include <string>
#include <string_view>

#include "config.h"
#include "training/trainer.h"

namespace selkbar {

// Appends `text` (valid UTF-8) as a JSON string literal, quotes included:
// '"' and '\' are backslashed, \b \t \n \f \r use their short forms, other
// bytes below 0x20 become \u00XX (lowercase hex); all other bytes, U+007F and
// non-ASCII included, are copied unchanged.
void write_json_string(std::string_view text, std::string& out);

// The whole tokenizer.json text for `result` trained with `config`.
std::string build_tokenizer_json(const TrainResult& result, const TrainConfig& config);

}  // namespace selkbar

#endif  // SELKBAR_TOKENIZER_JSON_H_
