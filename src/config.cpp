#include "config.h"

#include "base/decimal.h"

namespace selkbar {

Diagnostics diagnostics_from_env(const char* stats_value, const char* path_value) {
  Diagnostics diagnostics;
  diagnostics.present = stats_value != nullptr;
  diagnostics.enabled = stats_value != nullptr && stats_value[0] != '\0' &&
                        !(stats_value[0] == '0' && stats_value[1] == '\0');
  // Without PATH, "ps" is looked up where posix_spawnp would look.
  diagnostics.search_path = path_value != nullptr ? path_value : "/bin:/usr/bin";
  return diagnostics;
}

uint64_t min_range_from_env(const char* value) {
  if (value == nullptr) return DEFAULT_MIN_RANGE;
  const std::optional<uint64_t> parsed = parse_u64_decimal(value);
  return parsed && *parsed != 0 ? *parsed : DEFAULT_MIN_RANGE;
}

}  // namespace selkbar
