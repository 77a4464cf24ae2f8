#include "counting/batch.h"

#include <algorithm>

#include "base/error.h"

namespace selkbar {

void PretokenBatch::grow_failed() { throw InternalError("single batch exceeds 4 GiB of pretokens"); }

void PretokenBatch::reserve(size_t pretokens, size_t bytes) {
  bytes_.reserve(bytes);
  offsets_.reserve(pretokens + 1);
  hashes_.reserve(pretokens);
}

void PretokenBatch::clear() {
  bytes_.clear();
  offsets_.resize(1);
  hashes_.clear();
  counts_.clear();
}

}  // namespace selkbar
