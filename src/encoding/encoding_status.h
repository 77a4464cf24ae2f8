// encoding_status.h: the outcome of building or cutting a BPE model.
//
//   EncodingStatus status = BpeModel::build(tokens, merges, options, &model);
//   if (!status.ok()) report(status.message());
//   // "merges[3] (\"a\", \"c\"): \"c\" is not in the vocabulary"
//
// A model given by the caller (a tokenizer.json, a (vocab, merges) pair) can
// be wrong in expected ways; those failures come back as a value whose
// message names the first bad entry, and end as ValueError at the Python
// boundary. Broken invariants still throw InternalError (base/error.h).
//
// The shape (ok(), code(), message(), InvalidInput) is that of the engine's
// Status, so that the encoder can move to it by replacing this type; until
// then InvalidInput is its only failure code.
#ifndef SELKBAR_ENCODING_STATUS_H_
#define SELKBAR_ENCODING_STATUS_H_

#include <string>
#include <utility>

namespace selkbar {

enum class EncodingStatusCode { Ok, InvalidInput };

class [[nodiscard]] EncodingStatus {
 public:
  // Success.
  EncodingStatus() = default;

  static EncodingStatus InvalidInput(std::string message) {
    return EncodingStatus(EncodingStatusCode::InvalidInput, std::move(message));
  }

  bool ok() const { return code_ == EncodingStatusCode::Ok; }
  EncodingStatusCode code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  EncodingStatus(EncodingStatusCode code, std::string message)
      : code_(code), message_(std::move(message)) {}

  EncodingStatusCode code_ = EncodingStatusCode::Ok;
  std::string message_;
};

}  // namespace selkbar

#endif  // SELKBAR_ENCODING_STATUS_H_
