// ladder.h: vocab_size given as a list of sizes, trained once.
//
//   train_bpe(files, [8000, 16000])            -> {8000: (vocab, merges), 16000: ...}
//   train_tokenizer(files, [8000, 16000], "tok-{vocab_size}.json")
//                                              -> tok-8000.json, tok-16000.json
//
// The call trains once to the largest size and cuts each smaller one off
// that training (training/ladder.h), which gives exactly what training to
// it alone gives. Every "{vocab_size}" in `output` (and in tiktoken_output)
// is replaced by the size in decimal; nothing else in the name is read, so
// other braces stay as they are. The files of all sizes are written
// together, all of them or none.
//
// Refused with ValueError before any work: an empty list, a size listed
// twice, and with a list an output (or tiktoken_output) without
// "{vocab_size}", since the sizes would overwrite one another. A single
// int keeps its plain form: one result, one file, the name as given.
#ifndef SELKBAR_BINDING_LADDER_H_
#define SELKBAR_BINDING_LADDER_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "binding/binding.h"
#include "training/trainer.h"

namespace selkbar::binding {

inline constexpr const char* SIZE_FIELD = "{vocab_size}";

struct Ladder {
  std::vector<uint64_t> sizes;  // as given; empty when vocab_size is one int
  std::vector<TrainResult> results;  // per size, after the run

  bool active() const { return !sizes.empty(); }
  uint64_t largest() const;
};

// Converts vocab_size: an int (ladder->sizes left empty) or an iterable of
// ints (not a str). Returns false with an exception set: TypeError as for
// one int, ValueError for an empty list or a repeated size.
bool convert_ladder(PyObject* object, Ladder* ladder);

// Takes bound[VOCAB_SIZE] as a ladder; with a list, replaces it by the
// largest size (held in *largest), so that the rest of the call converts
// one size as usual. Returns false with an exception set.
bool bind_ladder(PyObject* bound[PARAM_COUNT], Ladder* ladder, PyRef* largest);

// `name` with every "{vocab_size}" replaced by `size`.
std::string expand_size(const std::string& name, uint64_t size);

// With a ladder, refuses (ValueError) an output or tiktoken_output that
// lacks "{vocab_size}", or no output where one is written. Returns false
// with the exception set.
bool check_ladder_names(const Ladder& ladder, bool writes_output,
                        const std::optional<std::string>& output,
                        const std::optional<std::string>& tiktoken_output);

// Cuts every size off `full`, the training to the largest, into
// ladder->results; with `write`, renders each size's tokenizer.json (and
// ranks file when tiktoken_output is set) and writes them all, or none.
// Runs without the interpreter lock; throws what the engine throws.
Status finish_ladder(const TrainConfig& config, const TrainResult& full, bool write,
                     const std::optional<std::string>& output,
                     const std::optional<std::string>& tiktoken_output, Ladder* ladder);

}  // namespace selkbar::binding

#endif  // SELKBAR_BINDING_LADDER_H_
