// tokenizer_json.h: renders a trained model as a HuggingFace tokenizer.json
// and writes it to disk.
//
// The document is a fixed template, not the output of a general serialiser:
// indentation, key order and line breaks are part of the format, and only
// the added tokens, the pre-tokenizer blocks, the two optional model strings,
// the vocabulary and the merges vary. build_tokenizer_json runs without the
// interpreter lock; write_output_file runs after training has succeeded.
#ifndef SELKBAR_TOKENIZER_JSON_H_
#define SELKBAR_TOKENIZER_JSON_H_

#include <optional>
#include <string>
#include <string_view>

#include "config.h"
#include "trainer.h"

namespace selkbar {

// Appends `text` (valid UTF-8) as a JSON string literal, quotes included:
// '"' and '\' are backslashed, \b \t \n \f \r use their short forms, other
// bytes below 0x20 become \u00XX (lowercase hex); all other bytes, U+007F and
// non-ASCII included, are copied unchanged.
void write_json_string(std::string_view text, std::string& out);

// The whole tokenizer.json text for `result` trained with `config`.
std::string build_tokenizer_json(const TrainResult& result, const TrainConfig& config);

// Writes `text` to the path `output`. A regular file (or a path that does not
// exist yet) is replaced atomically: the text goes to a temporary file in the
// same directory, is flushed to disk and renamed over `output`, keeping the
// permission bits of a replaced file; on failure the temporary file is
// removed and `output` is left untouched. Any other existing target (a
// character device, a FIFO) is opened and written in place. Returns the
// message "writing {output}: {error}" on failure, nothing on success; a path
// holding a NUL byte fails with "path contains a NUL byte", writing nothing.
std::optional<std::string> write_output_file(const std::string& output, std::string_view text);

}  // namespace selkbar

#endif  // SELKBAR_TOKENIZER_JSON_H_
