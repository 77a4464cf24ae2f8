// binding.h: declarations shared by the files of the Python binding.
//
// The binding is the only part of selkbar that includes Python.h. A call
// binds and converts its arguments with the interpreter lock held (args.cpp),
// copies them into engine types, runs the engine without the lock
// (call_runner.cpp, feeder.cpp), retakes it and converts the results back
// (train_entries.cpp, count_entries.cpp, word_counts*.cpp). Expected engine
// failures arrive as a selkbar::Status and become Python exceptions in one
// function, raise_status (errors.cpp; the table is in docs/errors.md).
// module.cpp holds the module definition and PyInit_selkbar.
//
// Python modules the binding imports back, always lazily (so that
// `import selkbar` imports nothing but the extension):
//   selkbar_progress  the progress display, imported by ProgressDisplay only
//                     when a call passes progress=True: it needs tqdm, an
//                     optional dependency, and is Python code shared with
//                     the command line.
//   selkbar_readers   read_texts, fetched by the module's __getattr__ on
//                     first use: the corpus readers are Python code that
//                     import compression and Arrow modules.
//   unicodedata       for quoting a bad pretokenizer name in its message.
//
// Ownership: every function says whether it borrows, steals or returns a new
// reference. No Python object is touched while the lock is released.
#ifndef SELKBAR_BINDING_BINDING_H_
#define SELKBAR_BINDING_BINDING_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/status.h"
#include "binding/pycompat.h"
#include "config.h"
#include "counting/pipeline.h"
#include "counts/word_counts.h"
#include "threads/run_control.h"

namespace selkbar::binding {

// An owning PyObject* that drops its reference on every path.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* object) : object_(object) {}  // Steals object.
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(object_, other.release());
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }
  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  PyObject* object_ = nullptr;
};

extern PyObject* panic_exception;  // selkbar.PanicException, created at import

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---------------------------------------------------------------------------
// Argument binding (args.cpp)

enum Param : int {
  FILES,
  VOCAB_SIZE,
  OUTPUT,
  SPECIAL_TOKENS,
  MIN_FREQUENCY,
  MAX_TOKEN_LENGTH,
  LIMIT_ALPHABET,
  PRETOKENIZER,
  THREADS,
  CONTINUING_SUBWORD_PREFIX,
  END_OF_WORD_SUFFIX,
  PATTERN,
  STATS,  // the command line's --stats; not part of the public functions
  COUNTS,
  SAVE_COUNTS,  // the command line's --save-counts; not part of the public functions
  ITERABLE,
  PATH,
  N,
  ITERATOR,
  LENGTH,    // texts the iterator will give, for the progress display only
  PROGRESS,
  INITIAL_ALPHABET,
  TIKTOKEN_OUTPUT,  // train_tokenizer's forms only
  BASE,
  PARAM_COUNT,
};


inline constexpr const char* PARAM_NAMES[PARAM_COUNT] = {
    "files",          "vocab_size",       "output",
    "special_tokens", "min_frequency",    "max_token_length",
    "limit_alphabet", "pretokenizer",     "threads",
    "continuing_subword_prefix", "end_of_word_suffix", "pattern",
    "stats",          "counts",           "save_counts",
    "iterable",       "path",             "n",
    "iterator",       "length",           "progress",
    "initial_alphabet", "tiktoken_output", "base",
};

// What a training call hands back.
enum class Returns {
  VOCAB_AND_MERGES,  // train_bpe: (vocab, merges)
  NOTHING,           // train_tokenizer: None, the file written
  SUMMARY,           // the command line's entry: (tokens, merges, text or None)
  WORD_COUNTS,       // count_words: a WordCounts
  OTHER,             // the methods of WordCounts, which do not train
};

struct Signature {
  const char* name;            // "train_bpe"
  std::vector<Param> params;   // in order; the first `positional` may be positional
  size_t positional;
  Returns returns;
  size_t required = SIZE_MAX;  // how many of the positional ones are required; all by default
  // The iterator may also give file blocks, (data, source, offset) tuples
  // counted by the file rules: for the command line's readers.
  bool file_blocks = false;
};

// Fills `bound` (borrowed references, nullptr where not passed) from a
// fast-call-with-keywords argument vector. Returns false with TypeError set.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject* bound[PARAM_COUNT]);

// Converters: each returns false with an exception set.
// Raises TypeError "'{type}' object cannot be cast as '{target}'".
void raise_cast_error(PyObject* object, const char* target);
bool convert_str(PyObject* object, std::string* out);
bool convert_str_list(PyObject* object, std::vector<std::string>* out);
// Any iterable of str, but not a str itself (whose characters it would take
// by accident), as the library's Vec<String> extraction refuses it.
bool convert_str_iterable(PyObject* object, std::vector<std::string>* out);
// A BPE merge list: a sequence of (left, right) pairs of str, tuples or
// lists. TypeError naming `what` and the first bad entry.
bool convert_merge_pairs(PyObject* object, const char* what,
                         std::vector<std::pair<std::string, std::string>>* merges);
bool convert_u64(PyObject* object, uint64_t* out);
// A path: a str, or an os.PathLike whose path is a str.
bool convert_path(PyObject* object, std::string* out);

// Re-raises a conversion TypeError as "argument '{name}': {message}", whose
// __cause__ is the original error's cause. Other errors pass unchanged.
void prefix_type_error(const char* name);

template <typename Convert>
bool convert_arg(PyObject* const bound[PARAM_COUNT], Param param, Convert&& convert) {
  if (bound[param] == nullptr) return true;
  if (convert(bound[param])) return true;
  prefix_type_error(PARAM_NAMES[param]);
  return false;
}

// Optional arguments: None means absent.
template <typename T, typename Convert>
auto optional_of(std::optional<T>* out, Convert&& convert) {
  return [out, convert](PyObject* object) {
    if (object == Py_None) {
      out->reset();
      return true;
    }
    T value;
    if (!convert(object, &value)) return false;
    *out = std::move(value);
    return true;
  };
}

// The pretokenizer value as it appears in the error message: a quoted string

// Sets config->pretokenizer (and the compiled pattern) from the pretokenizer
// name and the pattern= argument. Returns false with ValueError set: an
// unknown name, a pattern with another pretokenizer than "bytelevel", or a
// pattern that does not compile, all before any file is read.
bool resolve_pretokenizer(const std::string& name, PyObject* name_object,
                          const std::optional<std::string>& pattern, TrainConfig* config);

// Trains with the pretokenizer the counts were made with: its kind, and for
// a custom pattern the compiled pattern (tokenizer.json names it). Returns
// false with ValueError set if the pattern no longer compiles.
bool take_pretokenizer(const PretokenizerId& id, TrainConfig* config);

// Sets config->base from base=: a tokenizer.json path (read by selkbar_base)
// or a (vocab, merges) pair, checked as a BPE model under the configuration's
// decorations (a file's own decorations are taken when the call sets none).
// Call after the rest of the configuration is built. Returns false with an
// exception set: TypeError for a wrong type, ValueError naming the first bad
// merge, a non-BPE model or a vocab_size (`smallest_size`, the smallest of
// a ladder) not above the base's size.
bool convert_base(PyObject* object, uint64_t smallest_size, TrainConfig* config);

// Converts the bound arguments, in the fixed order, into `config` (and
// `output` for train_tokenizer). Returns false with an exception set.
bool build_config(PyObject* const bound[PARAM_COUNT], const Signature& sig, TrainConfig* config,
                  std::optional<std::string>* output);

// ---------------------------------------------------------------------------
// Errors (errors.cpp): the one mapping from engine failures to exceptions

// Raises `type` with the whole of `message`. Messages name paths exactly as
// given, and a path may hold a NUL byte, where a C string would cut the
// message short (and name another file).
void raise_message(PyObject* type, const std::string& message);

// Sets the Python exception for an expected failure (docs/errors.md).
// REQUIRES: !status.ok().
// `status` with a hint appended when its message names one of `files` that
// is a directory or, by its name, a stored corpus (compressed text, JSON
// Lines, Parquet), which the file entry points read as plain text: the hint
// names read_texts and the *_from_iterator functions. The message's own
// words come first, unchanged, since callers may match them.
selkbar::Status with_reader_hint(const selkbar::Status& status,
                                 const std::vector<std::string>& files);

// Raises the failure of a finished call: its Status if set, else the
// exception its engine work threw. Returns false when the call succeeded.
bool raise_outcome(const selkbar::Status& status, const std::exception_ptr& failure);

void raise_status(const Status& status);

// Sets the Python exception for an exception thrown by the engine.
void raise_failure(std::exception_ptr failure);

// Runs `work` without the interpreter lock and re-raises what it threw, or
// the failure status it returned, as a Python exception. Returns false with
// the exception set. `work` must not touch any Python object.
template <typename Work>
bool run_unlocked(Work&& work) {
  Status status;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    if constexpr (std::is_same_v<std::invoke_result_t<Work>, Status>) {
      status = work();
    } else {
      work();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) {
    raise_failure(failure);
    return false;
  }
  if (!status.ok()) {
    raise_status(status);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Running a call: the iterator feed, Ctrl-C and the progress display
// (call_runner.cpp, feeder.cpp, progress.cpp)
//
// Every training and counting call runs its engine work on a thread of its
// own while the calling thread waits without the interpreter lock, waking
// every WAIT_STEP to run the interpreter's signal handlers (which only run
// on the main thread, and only when something asks) and to redraw the
// progress display. A handler that raises (KeyboardInterrupt for Ctrl-C)
// cancels the run through its RunControl; the engine stops within a few
// milliseconds, every thread is joined, and the handler's exception
// propagates with nothing written. Once the run has begun writing its
// files, the handlers wait until the call has returned, so an interrupt
// never reports a run whose files were written as stopped. A run that is
// not interrupted does the same work as it would on the calling thread.

inline constexpr std::chrono::milliseconds WAIT_STEP{100};

// The progress display of one call: a selkbar_progress.Progress object,
// imported only when asked for, fed with the run's figures.
class ProgressDisplay {
 public:
  // Opens the display when `enabled`. Returns false with an exception set.
  bool open(bool enabled, std::optional<uint64_t> length, bool fed);

  void set_texts_seen(uint64_t texts) { texts_seen_ = texts; }

  // Draws the run's current figures, at most once per WAIT_STEP. The
  // display runs Python code, where a signal handler may raise: returns
  // false with that exception set, which the caller treats as an interrupt.
  bool draw(const RunControl& control);

  // Draws the last figures and ends the display. An exception already set
  // is kept; one raised by the display then is reported as unraisable.
  // Returns false with an exception set if the display failed.
  bool close(const RunControl& control);

  // Training from counts has no counting stage.
  void skip_counting() { counting_ = false; }

 private:
  bool draw_counting(const RunControl& control, std::chrono::steady_clock::time_point until);
  bool update(const char* stage, uint64_t done, uint64_t total,
              std::chrono::steady_clock::duration elapsed);

  PyRef display_;
  bool fed_ = false;
  bool counting_ = true;
  bool counting_closed_ = false;
  uint64_t texts_seen_ = 0;
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point last_draw_{};
};

// Takes the items of `iterable` on the calling thread, with the lock held,
// packs their texts into chunks and hands them to `counting` (waiting
// without the lock while its queue is full). Items are str, lists or tuples
// of str, Arrow string arrays, and with `file_blocks` (data, source, offset)
// tuples whose sources are kept in `sources`. Returns false with an
// exception set (the iterator's own, a bad item's, or a signal handler's),
// the run then cancelled. Borrows iterable.
bool feed_texts(PyObject* iterable, FedCounting& counting, RunControl& control,
                ProgressDisplay& display, bool file_blocks, std::deque<std::string>& sources);

// Runs a call's engine work: feeds the iterator first when the call has
// one, then `work(fed)` (fed: the counting of the fed texts, or null) on a
// thread of its own as described above. `work` catches its own exceptions.
// Returns false with an exception set.
bool run_call(PyObject* const bound[PARAM_COUNT], const Signature& sig, TrainConfig& config,
              const std::function<void(FedCounting*)>& work);

// ---------------------------------------------------------------------------
// The WordCounts type (word_counts.cpp, word_counts_items.cpp)
//
// A WordCounts object reaches its counts through a shared_ptr. A lock-free
// section (training, saving, pickling, combining, sorting) takes its own
// reference with the lock held and only reads the counts. An object is
// changed in place only while no such reference exists; otherwise it is
// first given a private copy (`a += b` while `a` is being saved copies `a`),
// so nothing a lock-free section reads ever changes under it. Lookups build
// the counts' hash index with the lock held; lock-free sections never touch
// the index.

using selkbar::WordCounts;
using CountsPtr = std::shared_ptr<WordCounts>;

struct WordCountsObject {
  PyObject_HEAD
  CountsPtr counts;  // never null
};

extern PyTypeObject word_counts_type;

inline bool is_word_counts(PyObject* object) { return Py_TYPE(object) == &word_counts_type; }

// Borrows object. REQUIRES: is_word_counts(object).
inline const CountsPtr& counts_of(PyObject* object) {
  return reinterpret_cast<WordCountsObject*>(object)->counts;
}

// Converts a WordCounts argument, sharing its counts.
bool convert_counts(PyObject* object, CountsPtr* out);

// Returns a new reference.
PyObject* wrap_counts(CountsPtr counts);

// Fills the type objects once; returns -1 with an exception set.
int ready_word_counts_types();

// WordCounts.from_items and WordCounts.merge. Return new references.
PyObject* word_counts_from_items(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
PyObject* word_counts_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

// The Arrow and Parquet members of WordCounts (word_counts_arrow.cpp):
// __arrow_c_stream__, to_arrow, from_arrow, to_parquet, from_parquet. Return
// new references.
PyObject* word_counts_arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* word_counts_to_arrow(PyObject* self, PyObject*);
PyObject* word_counts_from_arrow(PyObject*, PyObject* args, PyObject* kwargs);
PyObject* word_counts_to_parquet(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* word_counts_from_parquet(PyObject*, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// The module's functions (train_entries.cpp, count_entries.cpp)

// {token: id} of a vocabulary given by id, and the list of (left, right)
// tuples of a merge list, as train_bpe returns them. New references.
PyObject* vocab_dict(const std::vector<std::string>& tokens);
PyObject* merge_list(const std::vector<std::pair<std::string, std::string>>& pairs);

extern PyMethodDef train_bpe_def;
extern PyMethodDef train_tokenizer_def;
extern PyMethodDef train_tokenizer_summary_def;
extern PyMethodDef train_bpe_from_counts_def;
extern PyMethodDef train_tokenizer_from_counts_def;
extern PyMethodDef train_tokenizer_from_counts_summary_def;
extern PyMethodDef train_bpe_from_iterator_def;
extern PyMethodDef train_tokenizer_from_iterator_def;
extern PyMethodDef train_tokenizer_from_items_summary_def;
extern PyMethodDef count_words_def;
extern PyMethodDef truncate_bpe_def;  // base_vocab.cpp
extern PyMethodDef count_words_from_iterator_def;
extern PyMethodDef count_words_from_items_def;
extern PyMethodDef evaluate_counts_def;  // evaluate_entries.cpp

}  // namespace selkbar::binding

#endif  // SELKBAR_BINDING_BINDING_H_
