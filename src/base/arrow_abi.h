// arrow_abi.h: the Arrow C data and C stream interfaces.
//
// These are the structs Apache Arrow publishes as a stable ABI, shared by
// every Arrow implementation (pyarrow, polars, DuckDB, Spark's Python
// workers): a producer fills them and sets `release`; whoever holds one
// calls `release` exactly once when done, and a struct whose `release` is
// null has been released (or moved from). Buffers of an array stay valid
// until its release. The guards let another header carrying the same
// published definitions coexist with this one.
#ifndef SELKBAR_BASE_ARROW_ABI_H_
#define SELKBAR_BASE_ARROW_ABI_H_

#include <cstdint>

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4
extern "C" {
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};
}
#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
extern "C" {
struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};
}
#endif  // ARROW_C_STREAM_INTERFACE

#endif  // SELKBAR_BASE_ARROW_ABI_H_
