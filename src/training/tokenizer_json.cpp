#include "training/tokenizer_json.h"


#include <algorithm>
#include <vector>

#include "base/error.h"
#include "pretokenize/tiktoken_split.h"
#include "pretokenize/pattern_split.h"

namespace selkbar {

namespace {

// Appends `fragment`, growing the buffer to twice its capacity (or to the
// needed size, if larger) when it does not fit.
void append(std::string& out, std::string_view fragment) {
  const size_t needed = out.size() + fragment.size();
  if (needed > out.capacity()) out.reserve(std::max(needed, out.capacity() * 2));
  out.append(fragment);
}

void append_decimal(std::string& out, uint64_t value) {
  char digits[20];
  size_t n = 0;
  do {
    digits[sizeof digits - 1 - n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  append(out, std::string_view(digits + sizeof digits - n, n));
}

// The Split pattern of the pattern kinds of pretokenizer.
std::string_view split_pattern_source(const TrainConfig& config) {
  switch (config.pretokenizer) {
    case PretokenizerKind::Gpt4:
      return GPT4_PATTERN;
    case PretokenizerKind::O200k:
      return O200K_PATTERN;
    case PretokenizerKind::Pattern:
      if (config.pattern != nullptr) return config.pattern->source();
      break;
    default:
      break;
  }
  throw InternalError("no split pattern for this pretokenizer");
}

}  // namespace

void write_json_string(std::string_view text, std::string& out) {
  append(out, "\"");
  size_t run_start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    append(out, text.substr(run_start, i - run_start));
    run_start = i + 1;
    switch (byte) {
      case '"': append(out, "\\\""); break;
      case '\\': append(out, "\\\\"); break;
      case '\b': append(out, "\\b"); break;
      case '\t': append(out, "\\t"); break;
      case '\n': append(out, "\\n"); break;
      case '\f': append(out, "\\f"); break;
      case '\r': append(out, "\\r"); break;
      default: {
        static constexpr char HEX[] = "0123456789abcdef";
        const char escaped[6] = {'\\', 'u', '0', '0', HEX[byte >> 4], HEX[byte & 0xF]};
        append(out, std::string_view(escaped, 6));
      }
    }
  }
  append(out, text.substr(run_start));
  append(out, "\"");
}

namespace {

// "added_tokens": one entry per distinct special token found in the
// vocabulary, in the caller's order.
void append_added_tokens(const std::vector<std::string>& tokens, const TrainConfig& config,
                         std::string& out) {
  append(out, "  \"added_tokens\": [");
  std::vector<std::string_view> handled;
  bool first = true;
  for (const std::string& special : config.special_tokens) {
    if (std::find(handled.begin(), handled.end(), special) != handled.end()) continue;
    handled.push_back(special);
    // Special tokens hold the first ids, so this scan ends early.
    size_t id = 0;
    while (id < tokens.size() && tokens[id] != special) ++id;
    if (id == tokens.size()) continue;
    if (!first) append(out, ",");
    append(out, "\n    {\"id\": ");
    append_decimal(out, id);
    append(out, ", \"content\": ");
    write_json_string(special, out);
    append(out,
           ", \"single_word\": false, \"lstrip\": false, \"rstrip\": false, "
           "\"normalized\": false, \"special\": true}");
    first = false;
  }
  append(out, first ? "],\n" : "\n  ],\n");
}

// The prefix and the suffix that decoding must take off the tokens: those
// given and not empty (an empty one marks nothing).
struct Decorations {
  std::optional<std::string_view> prefix, suffix;

  explicit Decorations(const TrainConfig& config) {
    if (config.continuing_subword_prefix && !config.continuing_subword_prefix->empty()) {
      prefix = *config.continuing_subword_prefix;
    }
    if (config.end_of_word_suffix && !config.end_of_word_suffix->empty()) {
      suffix = *config.end_of_word_suffix;
    }
  }
};

// `text` as a regular expression of the library (Oniguruma) that matches
// exactly it, anchored at the start (\A) or the end (\z) of the token.
std::string anchored_pattern(std::string_view text, bool at_start) {
  std::string pattern = at_start ? "\\A" : "";
  for (const char c : text) {
    if (std::string_view("\\.^$|?*+()[]{}").find(c) != std::string_view::npos) pattern += '\\';
    pattern += c;
  }
  if (!at_start) pattern += "\\z";
  return pattern;
}

void append_strip_decoder(std::string_view text, bool at_start, std::string& out) {
  append(out, "{\"type\": \"Replace\", \"pattern\": {\"Regex\": ");
  write_json_string(anchored_pattern(text, at_start), out);
  append(out, "}, \"content\": \"\"}");
}

void append_wordpiece_decoder(std::string_view prefix, std::string& out) {
  append(out, "{\"type\": \"WordPiece\", \"prefix\": ");
  write_json_string(prefix, out);
  append(out, ", \"cleanup\": false}");
}

constexpr std::string_view BYTE_LEVEL_PROCESSOR =
    "{\"type\": \"ByteLevel\", \"add_prefix_space\": true, \"trim_offsets\": true, "
    "\"use_regex\": true}";

// "decoder" of the whitespace family: one that gives back the words of the
// text joined by single spaces, where the tokens mark the word boundaries.
// A suffix marks the end of each word (BPEDecoder turns it into a space); a
// prefix marks each token that continues a word (WordPiece joins those and
// puts a space before the others). Without either, nothing tells where a
// word ends, and the decoder stays null.
void append_whitespace_decoder(const Decorations& marks, std::string& out) {
  append(out, "  \"decoder\": ");
  if (marks.prefix && marks.suffix) {
    append(out, "{\"type\": \"Sequence\", \"decoders\": [");
    append_strip_decoder(*marks.suffix, false, out);
    append(out, ", ");
    append_wordpiece_decoder(*marks.prefix, out);
    append(out, "]}");
  } else if (marks.prefix) {
    append_wordpiece_decoder(*marks.prefix, out);
  } else if (marks.suffix) {
    append(out, "{\"type\": \"BPEDecoder\", \"suffix\": ");
    write_json_string(*marks.suffix, out);
    append(out, "}");
  } else {
    append(out, "null");
  }
  append(out, ",\n");
}

// "decoder" of the byte-level family: the tokens hold every byte of the
// text, spaces included, so taking the prefix off the start and the suffix
// off the end of each token before the ByteLevel decoder gives the text back.
void append_byte_level_decoder(const Decorations& marks, std::string& out) {
  append(out, "  \"decoder\": ");
  if (!marks.prefix && !marks.suffix) {
    append(out, BYTE_LEVEL_PROCESSOR);
    append(out, ",\n");
    return;
  }
  append(out, "{\"type\": \"Sequence\", \"decoders\": [");
  if (marks.prefix) {
    append_strip_decoder(*marks.prefix, true, out);
    append(out, ", ");
  }
  if (marks.suffix) {
    append_strip_decoder(*marks.suffix, false, out);
    append(out, ", ");
  }
  append(out, BYTE_LEVEL_PROCESSOR);
  append(out, "]},\n");
}

// "pre_tokenizer", "post_processor" and "decoder", by pretokenizer.
void append_pretokenizer_blocks(const TrainConfig& config, std::string& out) {
  const Decorations marks(config);
  if (config.pretokenizer == PretokenizerKind::Whitespace) {
    append(out,
           "  \"pre_tokenizer\": {\"type\": \"WhitespaceSplit\"},\n"
           "  \"post_processor\": null,\n");
    append_whitespace_decoder(marks, out);
    return;
  }
  if (config.pretokenizer == PretokenizerKind::ByteLevel) {
    append(out,
           "  \"pre_tokenizer\": {\"type\": \"ByteLevel\", \"add_prefix_space\": false, "
           "\"trim_offsets\": true, \"use_regex\": true},\n");
  } else {
    // The library's own form of a pattern split spelled in the byte-level
    // alphabet: a Split that isolates matches, then a ByteLevel without its
    // built-in (GPT-2) regex.
    append(out,
           "  \"pre_tokenizer\": {\"type\": \"Sequence\", \"pretokenizers\": [{\"type\": "
           "\"Split\", \"pattern\": {\"Regex\": ");
    write_json_string(split_pattern_source(config), out);
    append(out,
           "}, \"behavior\": \"Isolated\", \"invert\": false}, {\"type\": \"ByteLevel\", "
           "\"add_prefix_space\": false, \"trim_offsets\": true, \"use_regex\": false}]},\n");
  }
  append(out, "  \"post_processor\": ");
  append(out, BYTE_LEVEL_PROCESSOR);
  append(out, ",\n");
  append_byte_level_decoder(marks, out);
}

void append_optional_string(std::string_view key, const std::optional<std::string>& value,
                            std::string& out) {
  append(out, "    \"");
  append(out, key);
  append(out, "\": ");
  if (value) {
    write_json_string(*value, out);
  } else {
    append(out, "null");
  }
  append(out, ",\n");
}

// "model": the BPE model with its vocabulary and merges.
void append_model(const TrainResult& result, const TrainConfig& config, std::string& out) {
  const std::vector<std::string>& tokens = result.tokens;
  append(out, "  \"model\": {\n    \"type\": \"BPE\",\n");
  append(out, "    \"dropout\": null,\n    \"unk_token\": null,\n");
  append_optional_string("continuing_subword_prefix", config.continuing_subword_prefix, out);
  append_optional_string("end_of_word_suffix", config.end_of_word_suffix, out);
  append(out, "    \"fuse_unk\": false,\n    \"byte_fallback\": false,\n    \"ignore_merges\": false,\n");

  append(out, "    \"vocab\": {");
  for (size_t i = 0; i < tokens.size(); ++i) {
    if (i > 0) append(out, ",");
    append(out, "\n      ");
    write_json_string(tokens[i], out);
    append(out, ": ");
    append_decimal(out, i);
  }
  append(out, "\n    },\n");

  append(out, "    \"merges\": [");
  const std::vector<std::pair<std::string, std::string>> pairs = merge_string_pairs(result);
  for (size_t k = 0; k < pairs.size(); ++k) {
    if (k > 0) append(out, ",");
    append(out, "\n      [");
    write_json_string(pairs[k].first, out);
    append(out, ", ");
    write_json_string(pairs[k].second, out);
    append(out, "]");
  }
  append(out, "\n    ]\n  }\n");
}

}  // namespace

std::string build_tokenizer_json(const TrainResult& result, const TrainConfig& config) {
  std::string out;
  static constexpr std::string_view HEAD =
      "{\n  \"version\": \"1.0\",\n  \"truncation\": null,\n  \"padding\": null,\n";
  out.reserve(std::max(result.tokens.size() * 24, HEAD.size()));
  append(out, HEAD);
  append_added_tokens(result.tokens, config, out);
  append(out, "  \"normalizer\": null,\n");
  append_pretokenizer_blocks(config, out);
  append_model(result, config, out);
  append(out, "}\n");
  return out;
}

}  // namespace selkbar
