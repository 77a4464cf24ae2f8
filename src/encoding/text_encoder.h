// text_encoder.h: encodes whole texts as the library's tokenizer does with
// the tokenizer.json selkbar writes: added tokens first, then the
// pre-tokenizer, then the BPE model on each pretoken.
//
//   TextEncoder encoder(model, PretokenizerKind::Gpt4, nullptr, {{"<s>", 0}});
//   std::vector<uint32_t> ids;
//   Status status = encoder.encode("<s>Hello world", &ids);
//
// Steps, for each text:
//   1. added tokens (the special tokens) are found in the raw text, leftmost
//      first and the longest of those starting at one place, and give their
//      own ids; the text between them goes on;
//   2. each piece is split as the tokenizer.json's pre-tokenizer splits a
//      text it is given: whole, not line by line (bytelevel.h,
//      tiktoken_split.h, pattern_split.h: the *_text splitters), or at white
//      space, which is dropped, for the whitespace family;
//   3. in the byte-level family each pretoken is re-spelled in the
//      byte-level alphabet; every pretoken is encoded by BpeEncoder.
// Characters outside the vocabulary are dropped (the library's BPE model
// without unk_token does the same); unknown_bytes() adds up their bytes.
//
// Evaluation does not use this: it counts the text first and encodes each
// distinct word once (evaluate.h). This is the pretoken-by-pretoken path,
// for comparing ids with the library and for encoding a few texts.
//
// Not thread-safe (it holds the encoders' scratch); the model and the
// pattern must outlive it.
#ifndef SELKBAR_TEXT_ENCODER_H_
#define SELKBAR_TEXT_ENCODER_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config.h"
#include "encoding/bpe_encoder.h"
#include "encoding/bpe_model.h"
#include "base/status.h"
#include "pretokenize/pattern_split.h"

namespace selkbar {

struct AddedToken {
  std::string content;  // non-empty
  uint32_t id;
};

class TextEncoder {
 public:
  // `pattern` is the compiled pattern of PretokenizerKind::Pattern, null for
  // the other kinds. Added tokens with empty content are ignored.
  TextEncoder(const BpeModel& model, PretokenizerKind kind, const SplitPattern* pattern,
              std::vector<AddedToken> added_tokens);
  TextEncoder(const TextEncoder&) = delete;
  TextEncoder& operator=(const TextEncoder&) = delete;

  // Appends the ids of `text` to *ids. Fails only when the split pattern
  // fails to match (PCRE2's limits); *ids then holds the ids before it.
  // REQUIRES: text is valid UTF-8.
  Status encode(std::string_view text, std::vector<uint32_t>* ids);

  uint64_t unknown_bytes() const { return unknown_bytes_; }

 private:
  // Encodes a piece with no added token in it.
  Status encode_piece(std::string_view piece, std::vector<uint32_t>& ids);
  void encode_pretoken(std::string_view pretoken, std::vector<uint32_t>& ids);

  PretokenizerKind kind_;
  BpeEncoder encoder_;
  std::vector<AddedToken> added_tokens_;
  std::unique_ptr<PatternSplitter> splitter_;  // for PretokenizerKind::Pattern
  std::array<std::string, 256> byte_spelling_;  // byte -> its byte-level character, UTF-8
  std::string respelled_;
  uint64_t unknown_bytes_ = 0;
};

}  // namespace selkbar

#endif  // SELKBAR_TEXT_ENCODER_H_
