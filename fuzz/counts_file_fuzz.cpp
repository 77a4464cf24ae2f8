// Fuzz target for the counts file loader.
//
// The first input byte picks how the rest is used:
//   even  the rest is a file image, decoded as it is: most mutations only
//         reach the checksums, which must refuse them;
//   odd   both checksums are first recomputed over the rest, so that
//         mutations get past them and reach the structural checks behind.
// Whatever the bytes, decoding must return counts or a message, never crash,
// hang or allocate more than the image could describe. Accepted counts must
// keep the structural invariants (non-empty words, counts at least 1, an
// exact total), and since the format is canonical (minimal varints, no
// padding), encoding them again must give back exactly the image.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "counts/counts_file.h"
#include "fuzz_check.h"
#include "base/xxh64.h"

namespace {

void reseal(std::string& image) {
  if (image.size() < selkbar::COUNTS_HEADER_BYTES + selkbar::COUNTS_CHECKSUM_BYTES) return;
  const uint64_t header_sum = selkbar::xxh64(std::string_view(image.data(), 56));
  std::memcpy(image.data() + 56, &header_sum, 8);
  const uint64_t sum = selkbar::xxh64(std::string_view(image.data(), image.size() - 8));
  std::memcpy(image.data() + image.size() - 8, &sum, 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string image(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) reseal(image);

  std::optional<selkbar::WordCounts> loaded;
  const selkbar::Status status = selkbar::decode_counts(image, "decoding", "input", &loaded);
  if (!loaded) {
    FUZZ_CHECK(status.code() == selkbar::StatusCode::InvalidInput);
    FUZZ_CHECK(status.message().rfind("decoding input: ", 0) == 0);
    return 0;
  }
  FUZZ_CHECK(status.ok());
  const selkbar::WordCounts& counts = *loaded;
  const selkbar::WordTable& words = counts.words();
  selkbar::CountTotal total = 0;
  for (uint32_t id = 0; id < words.len(); ++id) {
    FUZZ_CHECK(words.count(id) >= 1);
    FUZZ_CHECK(!words.get(id).empty());
    total += words.count(id);
  }
  FUZZ_CHECK(total == counts.total());
  FUZZ_CHECK(selkbar::encode_counts(counts) == image);
  return 0;
}
