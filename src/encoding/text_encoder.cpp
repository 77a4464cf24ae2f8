#include "encoding/text_encoder.h"

#include <algorithm>

#include "base/error.h"
#include "pretokenize/bytelevel.h"
#include "pretokenize/split.h"
#include "pretokenize/tiktoken_split.h"
#include "unicode/utf8.h"

namespace selkbar {

TextEncoder::TextEncoder(const BpeModel& model, PretokenizerKind kind, const SplitPattern* pattern,
                         std::vector<AddedToken> added_tokens)
    : kind_(kind), encoder_(model) {
  for (AddedToken& token : added_tokens) {
    if (!token.content.empty()) added_tokens_.push_back(std::move(token));
  }
  if (kind == PretokenizerKind::Pattern) {
    if (pattern == nullptr) throw InternalError("TextEncoder: the pattern kind needs its pattern");
    splitter_ = std::make_unique<PatternSplitter>(*pattern);
  }
  const std::array<uint32_t, 256> byte_to_char = build_byte_to_char();
  for (size_t byte = 0; byte < 256; ++byte) append_utf8(byte_spelling_[byte], byte_to_char[byte]);
}

Status TextEncoder::encode(std::string_view text, std::vector<uint32_t>* ids) {
  size_t start = 0;
  while (start < text.size()) {
    // The next added token: the leftmost, and the longest of those there.
    size_t found_at = text.size();
    const AddedToken* found = nullptr;
    for (const AddedToken& token : added_tokens_) {
      const size_t at = text.find(token.content, start);
      if (at == std::string_view::npos) continue;
      if (at < found_at || (at == found_at && token.content.size() > found->content.size())) {
        found_at = at;
        found = &token;
      }
    }
    Status status = encode_piece(text.substr(start, found_at - start), *ids);
    if (!status.ok()) return status;
    if (found == nullptr) break;
    ids->push_back(found->id);
    start = found_at + found->content.size();
  }
  return Status();
}

Status TextEncoder::encode_piece(std::string_view piece, std::vector<uint32_t>& ids) {
  if (piece.empty()) return Status();
  auto sink = [&](std::string_view pretoken) { encode_pretoken(pretoken, ids); };
  switch (kind_) {
    case PretokenizerKind::Whitespace:
      split_whitespace(piece, sink);
      break;
    case PretokenizerKind::ByteLevel:
      split_bytelevel_text(piece, sink);
      break;
    case PretokenizerKind::Gpt4:
      split_gpt4_text(piece, sink);
      break;
    case PretokenizerKind::O200k:
      split_o200k_text(piece, sink);
      break;
    case PretokenizerKind::Pattern: {
      std::string error;
      if (!split_pattern_text(piece, *splitter_, sink, &error)) {
        return Status::InvalidInput(error);
      }
      break;
    }
  }
  return Status();
}

void TextEncoder::encode_pretoken(std::string_view pretoken, std::vector<uint32_t>& ids) {
  std::string_view word = pretoken;
  if (is_byte_level(kind_)) {
    respelled_.clear();
    for (const char byte : pretoken) respelled_ += byte_spelling_[static_cast<uint8_t>(byte)];
    word = respelled_;
  }
  const EncodedWord encoded = encoder_.encode(word);
  ids.insert(ids.end(), encoded.ids.begin(), encoded.ids.end());
  unknown_bytes_ += encoded.unknown_bytes;
}

}  // namespace selkbar
