// module.cpp: the Python interface of selkbar.
//
// Everything a Python caller sees: the module object, train_bpe and
// train_tokenizer. A call binds and converts its arguments with the
// interpreter lock held, copies them into a TrainConfig, releases the lock
// for phase 1 (count_words), phase 2 (train_from_words) and the rendering of
// tokenizer.json, then retakes it to build the result objects or write the
// file. No Python object is touched while the lock is released, and worker
// threads never see one.
//
// Failures map to Python exceptions in one place (raise_engine_failure):
// phase-1 messages become ValueError, InternalError becomes PanicException
// (derived directly from BaseException), std::bad_alloc becomes MemoryError.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "base/atomic_file.h"
#include "config.h"
#include "counts/counts_file.h"
#include "base/error.h"
#include "base/huge_pages.h"
#include "pretokenize/pattern_split.h"
#include "counting/pipeline.h"
#include "binding/pycompat.h"
#include "threads/run_control.h"
#include "counting/text_feed.h"
#include "training/tokenizer_json.h"
#include "training/trainer.h"
#include "unicode/utf8.h"
#include "counts/word_counts.h"
#include "pretokenize/word_spelling.h"

// The package version, given by the build from pyproject.toml.
#ifndef SELKBAR_VERSION
#error "SELKBAR_VERSION must be defined by the build (see CMakeLists.txt)"
#endif

namespace {

using selkbar::PretokenizerKind;
using selkbar::TrainConfig;

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

PyObject* panic_exception = nullptr;  // selkbar.PanicException, created at import

// ---------------------------------------------------------------------------
// Argument binding

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
  PARAM_COUNT,
};

constexpr const char* PARAM_NAMES[PARAM_COUNT] = {
    "files",          "vocab_size",       "output",
    "special_tokens", "min_frequency",    "max_token_length",
    "limit_alphabet", "pretokenizer",     "threads",
    "continuing_subword_prefix", "end_of_word_suffix", "pattern",
    "stats",          "counts",           "save_counts",
    "iterable",       "path",             "n",
    "iterator",       "length",           "progress",
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

const Signature TRAIN_BPE_SIGNATURE = {
    "train_bpe",
    {FILES, VOCAB_SIZE, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PATTERN, PROGRESS},
    2,
    Returns::VOCAB_AND_MERGES,
};

const Signature TRAIN_TOKENIZER_SIGNATURE = {
    "train_tokenizer",
    {FILES, VOCAB_SIZE, OUTPUT, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH,
     LIMIT_ALPHABET, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX,
     PATTERN, PROGRESS},
    3,
    Returns::NOTHING,
};

// The command line's entry: train_tokenizer that also reports the number of
// tokens and merges (for its summary line, which must not re-read the
// output: that may be a pipe), that returns the text instead of writing it
// when output is None (for "-o -"), and whose `stats` (None, True or False)
// overrides SELKBAR_STATS so that the command line never edits the
// environment.
const Signature TRAIN_TOKENIZER_SUMMARY_SIGNATURE = {
    "train_tokenizer",
    {FILES, VOCAB_SIZE, OUTPUT, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PATTERN, STATS,
     SAVE_COUNTS, PROGRESS},
    3,
    Returns::SUMMARY,
};

const Signature TRAIN_BPE_FROM_COUNTS_SIGNATURE = {
    "train_bpe_from_counts",
    {COUNTS, VOCAB_SIZE, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PROGRESS},
    2,
    Returns::VOCAB_AND_MERGES,
};

const Signature TRAIN_TOKENIZER_FROM_COUNTS_SIGNATURE = {
    "train_tokenizer_from_counts",
    {COUNTS, VOCAB_SIZE, OUTPUT, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PROGRESS},
    3,
    Returns::NOTHING,
};

// The command line's entry for --counts, as TRAIN_TOKENIZER_SUMMARY_SIGNATURE.
const Signature TRAIN_TOKENIZER_FROM_COUNTS_SUMMARY_SIGNATURE = {
    "train_tokenizer_from_counts",
    {COUNTS, VOCAB_SIZE, OUTPUT, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, STATS, PROGRESS},
    3,
    Returns::SUMMARY,
};

const Signature TRAIN_BPE_FROM_ITERATOR_SIGNATURE = {
    "train_bpe_from_iterator",
    {ITERATOR, VOCAB_SIZE, LENGTH, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PATTERN, PROGRESS},
    2,
    Returns::VOCAB_AND_MERGES,
};

const Signature TRAIN_TOKENIZER_FROM_ITERATOR_SIGNATURE = {
    "train_tokenizer_from_iterator",
    {ITERATOR, VOCAB_SIZE, OUTPUT, LENGTH, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH,
     LIMIT_ALPHABET, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PATTERN,
     PROGRESS},
    3,
    Returns::NOTHING,
};

// The command line's entry for inputs it reads itself (compressed text, JSON
// Lines, Parquet), as TRAIN_TOKENIZER_SUMMARY_SIGNATURE, taking file blocks.
const Signature TRAIN_TOKENIZER_FROM_ITEMS_SUMMARY_SIGNATURE = {
    "_train_tokenizer_from_items_summary",
    {ITERATOR, VOCAB_SIZE, OUTPUT, LENGTH, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH,
     LIMIT_ALPHABET, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PATTERN,
     STATS, SAVE_COUNTS, PROGRESS},
    3,
    Returns::SUMMARY,
    SIZE_MAX,
    true,
};

// Fills `bound` (borrowed references, nullptr where not passed) from a
// fast-call-with-keywords argument vector. Returns false with TypeError set.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject* bound[PARAM_COUNT]) {
  for (int i = 0; i < PARAM_COUNT; ++i) bound[i] = nullptr;
  if (static_cast<size_t>(nargs) > sig.positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given",
                 sig.name, sig.positional, sig.positional == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[sig.params[i]] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
    const char* key = PyUnicode_AsUTF8(keyword);
    if (key == nullptr) return false;
    Param param = PARAM_COUNT;
    for (Param candidate : sig.params) {
      if (std::strcmp(PARAM_NAMES[candidate], key) == 0) param = candidate;
    }
    if (param == PARAM_COUNT) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", sig.name, key);
      return false;
    }
    if (bound[param] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name, key);
      return false;
    }
    bound[param] = args[nargs + i];
  }
  std::vector<std::string> missing;
  for (size_t i = 0; i < std::min(sig.positional, sig.required); ++i) {
    if (bound[sig.params[i]] == nullptr) {
      missing.push_back(std::string("'") + PARAM_NAMES[sig.params[i]] + "'");
    }
  }
  if (!missing.empty()) {
    std::string names;
    for (size_t i = 0; i < missing.size(); ++i) {
      if (i > 0) names += missing.size() > 2 ? ", " : " ";
      if (i > 0 && i + 1 == missing.size()) names += "and ";
      names += missing[i];
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 sig.name, missing.size(), missing.size() > 1 ? "s" : "", names.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Argument conversion. Each converter returns false with an exception set.

// Raises TypeError "'{type}' object cannot be cast as '{target}'".
void raise_cast_error(PyObject* object, const char* target) {
  PyRef type_name(PyType_GetName(Py_TYPE(object)));
  if (!type_name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", type_name.get(), target);
}

bool convert_str(PyObject* object, std::string* out) {
  if (!PyUnicode_Check(object)) {
    raise_cast_error(object, "str");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);  // UnicodeEncodeError on surrogates
  if (data == nullptr) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

bool convert_str_list(PyObject* object, std::vector<std::string>* out) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cast_error(object, "Sequence");
    return false;
  }
  // The length only sizes the list; a failing length query is ignored.
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out->reserve(static_cast<size_t>(hint));
  }
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    std::string text;
    if (!convert_str(item.get(), &text)) return false;
    out->push_back(std::move(text));
  }
  return !PyErr_Occurred();
}

bool convert_u64(PyObject* object, uint64_t* out) {
  PyRef index(PyNumber_Index(object));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

// Re-raises a conversion TypeError as "argument '{name}': {message}", whose
// __cause__ is the original error's cause. Other errors pass unchanged.
void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef original(PyErr_GetRaisedException());
  PyRef message(PyObject_Str(original.get()));
  if (!message) return;
  PyRef wrapped(PyObject_CallFunction(PyExc_TypeError, "N",
                                      PyUnicode_FromFormat("argument '%s': %U", name, message.get())));
  if (!wrapped) return;
  PyException_SetCause(wrapped.get(), PyException_GetCause(original.get()));  // steals the cause
  PyErr_SetRaisedException(wrapped.release());
}

// Runs one converter on an argument that was passed, prefixing TypeErrors.
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
// with ", \, \t, \r, \n and NUL escaped, and every other non-printable
// character or combining mark written as \u{hex}.
std::string debug_quoted(PyObject* text) {
  std::string out = "\"";
  PyRef unicodedata(PyImport_ImportModule("unicodedata"));
  PyErr_Clear();
  const Py_ssize_t length = PyUnicode_GetLength(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 ch = PyUnicode_READ_CHAR(text, i);
    switch (ch) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\n': out += "\\n"; continue;
      case 0: out += "\\0"; continue;
      default: break;
    }
    bool escape = !Py_UNICODE_ISPRINTABLE(ch);
    if (!escape && ch >= 0x300 && unicodedata) {
      PyRef category(PyObject_CallMethod(unicodedata.get(), "category", "C", static_cast<int>(ch)));
      if (category) {
        const char* name = PyUnicode_AsUTF8(category.get());
        escape = name != nullptr && name[0] == 'M' && (name[1] == 'n' || name[1] == 'e');
      }
      PyErr_Clear();
    }
    if (escape) {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(ch));
      out += buffer;
    } else {
      PyRef one(PyUnicode_FromOrdinal(ch));
      const char* utf8 = one ? PyUnicode_AsUTF8(one.get()) : nullptr;
      if (utf8 != nullptr) out += utf8;
      PyErr_Clear();
    }
  }
  return out + "\"";
}

void raise_message(PyObject* type, const std::string& message);

// Sets config->pretokenizer (and the compiled pattern) from the pretokenizer
// name and the pattern= argument. Returns false with ValueError set: an
// unknown name, a pattern with another pretokenizer than "bytelevel", or a
// pattern that does not compile, all before any file is read.
bool resolve_pretokenizer(const std::string& name, PyObject* name_object,
                          const std::optional<std::string>& pattern, TrainConfig* config) {
  if (name == "whitespace") {
    config->pretokenizer = PretokenizerKind::Whitespace;
  } else if (name == "bytelevel") {
    config->pretokenizer = pattern ? PretokenizerKind::Pattern : PretokenizerKind::ByteLevel;
  } else if (name == "gpt4") {
    config->pretokenizer = PretokenizerKind::Gpt4;
  } else if (name == "o200k") {
    config->pretokenizer = PretokenizerKind::O200k;
  } else {
    const std::string quoted = debug_quoted(name_object);
    PyErr_Format(PyExc_ValueError,
                 "unknown pretokenizer %s (want \"whitespace\", \"bytelevel\", \"gpt4\" or \"o200k\")",
                 quoted.c_str());
    return false;
  }
  if (!pattern) return true;
  if (config->pretokenizer != PretokenizerKind::Pattern) {
    // The pretokenizer may be the default, which the caller did not pass.
    const std::string quoted = name_object != nullptr ? debug_quoted(name_object) : '"' + name + '"';
    PyErr_Format(PyExc_ValueError,
                 "pattern replaces the rule of pretokenizer \"bytelevel\" and cannot be used with %s",
                 quoted.c_str());
    return false;
  }
  std::string error;
  config->pattern = selkbar::SplitPattern::compile(*pattern, &error);
  if (config->pattern == nullptr) {
    raise_message(PyExc_ValueError, error);
    return false;
  }
  return true;
}

// Trains with the pretokenizer the counts were made with: its kind, and for
// a custom pattern the compiled pattern (tokenizer.json names it). Returns
// false with ValueError set if the pattern no longer compiles.
bool take_pretokenizer(const selkbar::PretokenizerId& id, TrainConfig* config) {
  config->pretokenizer = id.kind;
  if (!id.pattern) return true;
  std::string error;
  config->pattern = selkbar::SplitPattern::compile(*id.pattern, &error);
  if (config->pattern != nullptr) return true;
  raise_message(PyExc_ValueError, error);
  return false;
}

uint64_t processor_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<uint64_t>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint64_t>(online) : 1;
}

// Converts the bound arguments, in the fixed order, into `config` (and
// `output` for train_tokenizer). Returns false with an exception set.
bool build_config(PyObject* const bound[PARAM_COUNT], const Signature& sig, TrainConfig* config,
                  std::optional<std::string>* output) {
  const bool wants_output = sig.returns != Returns::VOCAB_AND_MERGES;
  auto output_converter = [&](PyObject* o) {
    if (o == Py_None && sig.returns == Returns::SUMMARY) return true;  // text returned instead
    std::string path;
    if (!convert_str(o, &path)) return false;
    *output = std::move(path);
    return true;
  };
  auto u64 = [](uint64_t* out) { return [out](PyObject* o) { return convert_u64(o, out); }; };
  if (!convert_arg(bound, FILES, [&](PyObject* o) { return convert_str_list(o, &config->files); }) ||
      !convert_arg(bound, VOCAB_SIZE, u64(&config->vocab_size)) ||
      (wants_output && !convert_arg(bound, OUTPUT, output_converter)) ||
      !convert_arg(bound, SPECIAL_TOKENS,
                   [&](PyObject* o) { return convert_str_list(o, &config->special_tokens); }) ||
      !convert_arg(bound, MIN_FREQUENCY, u64(&config->min_frequency)) ||
      !convert_arg(bound, MAX_TOKEN_LENGTH, optional_of(&config->max_token_length, convert_u64)) ||
      !convert_arg(bound, LIMIT_ALPHABET, optional_of(&config->limit_alphabet, convert_u64))) {
    return false;
  }
  std::string pretokenizer = "whitespace";
  if (!convert_arg(bound, PRETOKENIZER, [&](PyObject* o) { return convert_str(o, &pretokenizer); })) {
    return false;
  }
  std::optional<uint64_t> threads;
  if (!convert_arg(bound, THREADS, optional_of(&threads, convert_u64)) ||
      !convert_arg(bound, CONTINUING_SUBWORD_PREFIX,
                   optional_of(&config->continuing_subword_prefix, convert_str)) ||
      !convert_arg(bound, END_OF_WORD_SUFFIX, optional_of(&config->end_of_word_suffix, convert_str))) {
    return false;
  }
  std::optional<std::string> pattern;
  if (!convert_arg(bound, PATTERN, optional_of(&pattern, convert_str))) return false;

  if (!resolve_pretokenizer(pretokenizer, bound[PRETOKENIZER], pattern, config)) return false;

  // The environment is read here, with the interpreter lock held, because
  // other Python threads change it only while they hold the lock; the engine
  // runs without it and is handed these values instead.
  config->min_range = selkbar::min_range_from_env(std::getenv("SELKBAR_MIN_RANGE"));
  config->diagnostics =
      selkbar::diagnostics_from_env(std::getenv("SELKBAR_STATS"), std::getenv("PATH"));
  if (bound[STATS] != nullptr && bound[STATS] != Py_None) {
    const int on = PyObject_IsTrue(bound[STATS]);
    if (on < 0) return false;
    config->diagnostics.enabled = on != 0;
    config->diagnostics.present = on != 0;
  }

  if (!threads || *threads == 0) {
    config->threads = processor_count();
  } else if (*threads > selkbar::MAX_THREADS) {
    PyErr_Format(PyExc_ValueError, "threads %llu exceeds the maximum supported (%llu)",
                 static_cast<unsigned long long>(*threads),
                 static_cast<unsigned long long>(selkbar::MAX_THREADS));
    return false;
  } else {
    config->threads = *threads;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Word counts objects (the type's behaviour is in its own section below)
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

// Static types, filled in by ready_word_counts_types; the slots not named
// there stay zero.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject word_counts_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject word_counts_iterator_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

bool is_word_counts(PyObject* object) { return Py_TYPE(object) == &word_counts_type; }

// Borrows object. REQUIRES: is_word_counts(object).
const CountsPtr& counts_of(PyObject* object) {
  return reinterpret_cast<WordCountsObject*>(object)->counts;
}

// Converts a WordCounts argument, sharing its counts.
bool convert_counts(PyObject* object, CountsPtr* out) {
  if (!is_word_counts(object)) {
    raise_cast_error(object, "WordCounts");
    return false;
  }
  *out = counts_of(object);
  return true;
}

// ---------------------------------------------------------------------------
// Training

// What the lock-free section produced: a phase-1 message, a failure thrown
// by the engine, or the trained result (and the JSON text if asked for).
struct Outcome {
  selkbar::Status status;  // a phase-1 failure, or a failure to write the output or the counts
  std::exception_ptr failure;
  selkbar::TrainResult result;
  std::string json;           // the document, when it is returned rather than written
  size_t merge_pair_count = 0;  // distinct merge pairs, for the command line's summary
};

// Where the words to train on come from: phase 1 over config.files (its
// counts also saved to `save_counts` if given), or counts made before, which
// training only reads.
struct TrainInput {
  CountsPtr counts;
  selkbar::FedCounting* fed = nullptr;  // texts fed from an iterator instead of files
  std::optional<std::string> save_counts;
};

// Saves the counted `words` to `path`, keeping them for training. Returns
// false with the message in `outcome`.
bool save_counted_words(const TrainConfig& config, const std::string& path,
                        selkbar::WordTable& words, Outcome* outcome) {
  WordCounts counts(selkbar::pretokenizer_id_of(config), std::move(words));
  outcome->status = selkbar::save_counts(counts, path);
  words = std::move(counts).take_words();
  return outcome->status.ok();
}

// Runs both phases, the JSON rendering and the write of `output` without the
// interpreter lock, as CPython's own file objects write without it.
void run_training(const TrainConfig& config, Returns returns, const TrainInput& input,
                  const std::optional<std::string>& output, Outcome* outcome) {
  try {
    if (input.counts) {
      outcome->result = selkbar::train_from_borrowed_words(input.counts->words(), config);
    } else {
      selkbar::CountResult counted =
          input.fed != nullptr ? input.fed->finish() : selkbar::count_words(config);
      if (!counted.status.ok()) {
        outcome->status = std::move(counted.status);
        return;
      }
      if (input.save_counts &&
          !save_counted_words(config, *input.save_counts, counted.words, outcome)) {
        return;
      }
      outcome->result = selkbar::train_from_words(std::move(counted.words), config);
    }
    if (returns == Returns::VOCAB_AND_MERGES) return;
    outcome->json = selkbar::build_tokenizer_json(outcome->result, config);
    if (returns == Returns::SUMMARY) {
      outcome->merge_pair_count = selkbar::merge_string_pairs(outcome->result).size();
    }
    if (output) {
      // The last point where an interrupt still leaves nothing written.
      selkbar::stop_if_cancelled(config.control);
      outcome->status = selkbar::write_file_atomically(*output, outcome->json);
      std::string().swap(outcome->json);
    }
  } catch (...) {
    outcome->failure = std::current_exception();
  }
}

// Raises `type` with the whole of `message`. Messages name paths exactly as
// given, and a path may hold a NUL byte, where a C string would cut the
// message short (and name another file).
void raise_message(PyObject* type, const std::string& message) {
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
  if (text) PyErr_SetObject(type, text.get());
}

// Raises OSError, or the subclass Python's own open() raises for the errno
// (OSError picks it from the errno: FileNotFoundError, PermissionError,
// IsADirectoryError, ...), with the whole message and the errno attribute
// set. errno 0 raises OSError itself.
void raise_os_error(int error, const std::string& message) {
  PyObject* type = PyExc_OSError;
  PyRef probe;
  if (error != 0) {
    probe = PyRef(PyObject_CallFunction(PyExc_OSError, "is", error, ""));
    if (!probe) return;
    type = reinterpret_cast<PyObject*>(Py_TYPE(probe.get()));
  }
  PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                  "replace"));
  if (!text) return;
  PyRef exception(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!exception) return;
  if (error != 0) {
    // errno alone: with strerror set too, str() would show "[Errno N] ...".
    PyRef number(PyLong_FromLong(error));
    if (!number || PyObject_SetAttrString(exception.get(), "errno", number.get()) < 0) return;
  }
  PyErr_SetObject(type, exception.get());
}

// Sets the Python exception for an expected failure of the engine: the one
// place where a Status code becomes an exception type (docs/errors.md).
void raise_status(const selkbar::Status& status) {
  switch (status.code()) {
    case selkbar::StatusCode::InvalidInput:
      raise_message(PyExc_ValueError, status.message());
      return;
    case selkbar::StatusCode::OsError:
      raise_os_error(status.os_error(), status.message());
      return;
    case selkbar::StatusCode::Overflow:
      raise_message(PyExc_OverflowError, status.message());
      return;
    case selkbar::StatusCode::Ok:
      break;
  }
  PyErr_SetString(PyExc_SystemError, "selkbar raised an error for an operation that succeeded");
}

// Sets the Python exception for a failure of the engine.
void raise_engine_failure(const Outcome& outcome) {
  if (!outcome.status.ok()) {
    raise_status(outcome.status);
    return;
  }
  try {
    std::rethrow_exception(outcome.failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const selkbar::Cancelled&) {
    // Only an interrupt cancels a run, and its exception is already set.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const selkbar::ThreadStartError& e) {
    // Not an internal fault: the system is out of memory or at a limit on
    // threads, and the caller may free memory or raise the limit and retry.
    if (e.thread_limit()) {
      PyRef args(Py_BuildValue("(is)", e.error_code(), e.what()));
      if (args) PyErr_SetObject(PyExc_OSError, args.get());
    } else {
      PyErr_SetString(PyExc_MemoryError, e.what());
    }
  } catch (const std::exception& e) {
    PyErr_SetString(panic_exception, e.what());
  } catch (...) {
    PyErr_SetString(panic_exception, "unknown internal error");
  }
}

// (tokens, merges, text or None) for the command line. Returns a new reference.
PyObject* build_summary(const Outcome& outcome, bool text_returned) {
  PyRef text(text_returned ? PyBytes_FromStringAndSize(outcome.json.data(),
                                                       static_cast<Py_ssize_t>(outcome.json.size()))
                           : (Py_INCREF(Py_None), Py_None));
  if (!text) return nullptr;
  return Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(outcome.result.tokens.size()),
                       static_cast<Py_ssize_t>(outcome.merge_pair_count), text.get());
}

// ---------------------------------------------------------------------------
// Running a call: the iterator feed, Ctrl-C and the progress display
//
// Every training and counting call runs its engine work on a thread of its
// own while the calling thread waits without the interpreter lock, waking
// every WAIT_STEP to run the interpreter's signal handlers (which only run
// on the main thread, and only when something asks) and to redraw the
// progress display. A handler that raises (KeyboardInterrupt for Ctrl-C)
// cancels the run through its RunControl; the engine stops within a few
// milliseconds, every thread is joined, and the handler's exception
// propagates with nothing written. A run that is not interrupted does the
// same work as it would on the calling thread.

void raise_failure(std::exception_ptr failure);

constexpr std::chrono::milliseconds WAIT_STEP{100};

// The progress display of one call: a selkbar_progress.Progress object,
// imported only when asked for, fed with the run's figures.
class ProgressDisplay {
 public:
  // Opens the display when `enabled`. Returns false with an exception set.
  bool open(bool enabled, std::optional<uint64_t> length, bool fed) {
    fed_ = fed;
    started_ = std::chrono::steady_clock::now();
    if (!enabled) return true;
    PyRef module(PyImport_ImportModule("selkbar_progress"));
    if (!module) return false;
    PyRef length_object(length ? PyLong_FromUnsignedLongLong(*length) : Py_NewRef(Py_None));
    if (!length_object) return false;
    display_ = PyRef(PyObject_CallMethod(module.get(), "Progress", "O", length_object.get()));
    return static_cast<bool>(display_);
  }

  void set_texts_seen(uint64_t texts) { texts_seen_ = texts; }

  // Draws the run's current figures, at most once per WAIT_STEP. The
  // display runs Python code, where a signal handler may raise: returns
  // false with that exception set, which the caller treats as an interrupt.
  bool draw(const selkbar::RunControl& control) {
    if (!display_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_draw_ < WAIT_STEP) return true;
    last_draw_ = now;
    if (control.stage() == selkbar::RunStage::Merging) {
      // The counting stage's line ends with its final figures.
      if (counting_ && !counting_closed_) {
        counting_closed_ = true;
        if (!draw_counting(control, control.merging_started())) return false;
      }
      return update("merging", control.merges_done(), control.merges_target(),
                    now - control.merging_started());
    }
    return draw_counting(control, now);
  }

  // Draws the last figures and ends the display. An exception already set
  // is kept; one raised by the display then is reported as unraisable.
  // Returns false with an exception set if the display failed.
  bool close(const selkbar::RunControl& control) {
    if (!display_) return true;
    if (PyErr_Occurred()) {
      PyObject *type, *value, *traceback;
      PyErr_Fetch(&type, &value, &traceback);
      PyRef result(PyObject_CallMethod(display_.get(), "close", nullptr));
      if (!result) PyErr_WriteUnraisable(display_.get());
      PyErr_Restore(type, value, traceback);
      display_ = PyRef();
      return false;
    }
    last_draw_ = {};
    const bool drawn = draw(control);
    PyRef result(drawn ? PyObject_CallMethod(display_.get(), "close", nullptr) : nullptr);
    display_ = PyRef();
    return static_cast<bool>(result);
  }

  // Training from counts has no counting stage.
  void skip_counting() { counting_ = false; }

 private:
  bool draw_counting(const selkbar::RunControl& control,
                     std::chrono::steady_clock::time_point until) {
    if (fed_) return update("texts", texts_seen_, 0, until - started_);  // the display knows `length`
    return update("reading", control.bytes_scanned(), control.bytes_total(), until - started_);
  }

  bool update(const char* stage, uint64_t done, uint64_t total,
              std::chrono::steady_clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    PyRef result(PyObject_CallMethod(display_.get(), "update", "sKKd", stage,
                                     static_cast<unsigned long long>(done),
                                     static_cast<unsigned long long>(total), seconds));
    return static_cast<bool>(result);
  }

  PyRef display_;
  bool fed_ = false;
  bool counting_ = true;
  bool counting_closed_ = false;
  uint64_t texts_seen_ = 0;
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point last_draw_{};
};

// Runs `work` on a thread of its own while this thread waits as described
// above. Returns false, with the handler's or the display's exception set,
// if the run was interrupted; `work` has ended either way.
template <typename Work>
bool run_interruptibly(Work& work, selkbar::RunControl& control, ProgressDisplay& display) {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  auto body = [&] {
    work();
    {
      std::scoped_lock lock(mutex);
      done = true;
    }
    ended.notify_all();
  };
  std::thread thread;
  try {
    thread = std::thread(body);
  } catch (const std::system_error&) {
    // No thread to spare for waiting: run the work here, without the lock,
    // as an uninterruptible call; the engine reports whatever else fails.
    Py_BEGIN_ALLOW_THREADS
    body();
    Py_END_ALLOW_THREADS
    return true;
  }
  bool interrupted = false;
  for (;;) {
    bool finished;
    Py_BEGIN_ALLOW_THREADS
    {
      std::unique_lock lock(mutex);
      finished = ended.wait_for(lock, WAIT_STEP, [&] { return done; });
    }
    Py_END_ALLOW_THREADS
    if (finished) break;
    if (interrupted) continue;  // waiting for the engine to stop
    if (PyErr_CheckSignals() < 0 || !display.draw(control)) {
      interrupted = true;
      control.cancel();
    }
  }
  Py_BEGIN_ALLOW_THREADS
  thread.join();
  Py_END_ALLOW_THREADS
  return !interrupted;
}

// Takes the items of the caller's iterator on the calling thread, with the
// lock held, packs their texts into chunks and hands the chunks to the
// counting threads (waiting without the lock while the queue is full).
// Memory in flight is the channel's bound plus one chunk being filled.
class Feeder {
 public:
  Feeder(selkbar::FedCounting& counting, selkbar::RunControl& control, ProgressDisplay& display,
         bool file_blocks, std::deque<std::string>& sources)
      : counting_(counting),
        control_(control),
        display_(display),
        file_blocks_(file_blocks),
        sources_(sources),
        builder_(counting.chunk_bytes()) {}

  // Feeds everything the iterable gives. Returns false with an exception
  // set (the iterator's own, a bad item's, or a signal handler's), the run
  // then cancelled.
  bool feed(PyObject* iterable) {
    Flow flow = Flow::Go;
    if (PyObject_HasAttrString(iterable, "__arrow_c_stream__")) {
      flow = feed_arrow_stream(iterable);
    } else if (PyObject_HasAttrString(iterable, "__arrow_c_array__")) {
      flow = feed_arrow_array(iterable, "iterator");
    } else {
      PyRef iterator(PyObject_GetIter(iterable));
      if (!iterator) {
        prefix_type_error("iterator");
        return false;
      }
      for (size_t index = 0; flow == Flow::Go; ++index) {
        PyRef item(PyIter_Next(iterator.get()));
        if (!item) {
          if (PyErr_Occurred()) flow = Flow::Fail;
          break;
        }
        flow = feed_item(item.get(), index);
        if (flow == Flow::Go && index % SIGNAL_CHECK_ITEMS == 0) flow = check_signals();
      }
    }
    if (flow == Flow::Go && !builder_.empty()) flow = send(builder_.take());
    display_.set_texts_seen(builder_.texts_seen());
    // A failed feed stops the counting threads instead of letting them count
    // what is queued for a result nobody will see.
    if (flow == Flow::Fail) control_.cancel();
    return flow != Flow::Fail;
  }

 private:
  // Go on, stop feeding (the counting threads stopped: finish() says why),
  // or fail with an exception set.
  enum class Flow { Go, Stop, Fail };
  // Items between two looks for pending signals when no chunk is sent.
  static constexpr size_t SIGNAL_CHECK_ITEMS = 4096;

  Flow feed_item(PyObject* item, size_t index) {
    if (PyUnicode_Check(item)) {
      if (!add_str(item)) return Flow::Fail;
      return builder_.full() ? send(builder_.take()) : Flow::Go;
    }
    if (PyList_Check(item) || PyTuple_Check(item)) {
      if (file_blocks_ && is_file_block(item)) return feed_file_block(item, index);
      return feed_batch(item, index);
    }
    if (PyObject_HasAttrString(item, "__arrow_c_array__")) {
      return feed_arrow_array(item, "item " + std::to_string(index));
    }
    PyRef type_name(PyType_GetName(Py_TYPE(item)));
    if (type_name) {
      PyErr_Format(PyExc_TypeError,
                   "item %zu is of type '%U'; expected str, a list or tuple of str, or an Arrow "
                   "string array",
                   index, type_name.get());
    }
    return Flow::Fail;
  }

  // Copies a str's UTF-8 into the chunk. ASCII text is copied as it is
  // stored; other text is encoded here from its code points, because asking
  // CPython for the UTF-8 would cache a copy inside every str object, which
  // lives on in the caller's lists and could double their memory.
  bool add_str(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) return false;
#endif
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
      builder_.add_text(std::string_view(static_cast<const char*>(PyUnicode_DATA(text)),
                                         static_cast<size_t>(length)));
      return true;
    }
    const auto n = static_cast<size_t>(length);
    const void* data = PyUnicode_DATA(text);
    size_t written;
    switch (PyUnicode_KIND(text)) {
      case PyUnicode_1BYTE_KIND:
        written = selkbar::encode_utf8(static_cast<const Py_UCS1*>(data), n,
                                       builder_.begin_text(2 * n));
        break;
      case PyUnicode_2BYTE_KIND:
        written = selkbar::encode_utf8(static_cast<const Py_UCS2*>(data), n,
                                       builder_.begin_text(3 * n));
        break;
      default:
        written = selkbar::encode_utf8(static_cast<const Py_UCS4*>(data), n,
                                       builder_.begin_text(4 * n));
        break;
    }
    if (written == SIZE_MAX) {
      // A lone surrogate: CPython's own encoder raises the exception the
      // file-mode arguments raise, UnicodeEncodeError.
      Py_ssize_t size;
      if (PyUnicode_AsUTF8AndSize(text, &size) == nullptr) return false;
      PyErr_SetString(PyExc_SystemError, "a surrogate passed the UTF-8 encoder");
      return false;
    }
    builder_.end_text(written);
    return true;
  }

  Flow feed_batch(PyObject* batch, size_t index) {
    // Sending waits without the lock, so another thread may change a list
    // meanwhile: its size and items are read afresh for every element.
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(batch); ++k) {
      PyRef held(Py_NewRef(PySequence_Fast_GET_ITEM(batch, k)));
      PyObject* text = held.get();
      if (!PyUnicode_Check(text)) {
        PyRef type_name(PyType_GetName(Py_TYPE(text)));
        if (type_name) {
          PyErr_Format(PyExc_TypeError, "item %zu, element %zd is of type '%U'; expected str",
                       index, k, type_name.get());
        }
        return Flow::Fail;
      }
      if (!add_str(text)) return Flow::Fail;
      if (builder_.full()) {
        const Flow flow = send(builder_.take());
        if (flow != Flow::Go) return flow;
      }
    }
    return Flow::Go;
  }

  static bool is_file_block(PyObject* item) {
    return PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 3 &&
           PyObject_CheckBuffer(PyTuple_GET_ITEM(item, 0));
  }

  // (data, source, offset): file text, split by the file rules; it goes
  // into a chunk of its own, after the texts before it.
  Flow feed_file_block(PyObject* block, size_t index) {
    std::string source;
    uint64_t offset;
    if (!convert_str(PyTuple_GET_ITEM(block, 1), &source) ||
        !convert_u64(PyTuple_GET_ITEM(block, 2), &offset)) {
      prefix_type_error(("item " + std::to_string(index)).c_str());
      return Flow::Fail;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(PyTuple_GET_ITEM(block, 0), &view, PyBUF_SIMPLE) < 0) return Flow::Fail;
    if (sources_.empty() || sources_.back() != source) sources_.push_back(std::move(source));
    selkbar::TextChunk chunk = selkbar::file_chunk(
        std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)),
        &sources_.back(), offset);
    PyBuffer_Release(&view);
    if (!builder_.empty()) {
      const Flow flow = send(builder_.take());
      if (flow != Flow::Go) return flow;
    }
    return send(std::move(chunk));
  }

  // An object offering __arrow_c_array__: its (schema, array) capsules stay
  // alive, and so the array's buffers, while the strings are read.
  Flow feed_arrow_array(PyObject* item, const std::string& what) {
    PyRef pair(PyObject_CallMethod(item, "__arrow_c_array__", nullptr));
    if (!pair) return Flow::Fail;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      raise_message(PyExc_TypeError, what + ": __arrow_c_array__ did not return two capsules");
      return Flow::Fail;
    }
    auto* schema = static_cast<ArrowSchema*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 0), "arrow_schema"));
    if (schema == nullptr) return Flow::Fail;
    auto* array = static_cast<ArrowArray*>(
        PyCapsule_GetPointer(PyTuple_GET_ITEM(pair.get(), 1), "arrow_array"));
    if (array == nullptr) return Flow::Fail;
    return feed_arrow_strings(*schema, *array, what);
  }

  Flow feed_arrow_strings(const ArrowSchema& schema, const ArrowArray& array,
                          const std::string& what) {
    std::string error;
    std::optional<selkbar::ArrowStrings> strings = selkbar::ArrowStrings::open(schema, array, &error);
    if (!strings) {
      const bool wrong_type = error.rfind("Arrow format", 0) == 0;
      raise_message(wrong_type ? PyExc_TypeError : PyExc_ValueError, what + ": " + error);
      return Flow::Fail;
    }
    while (!strings->done()) {
      strings->append_some(builder_);
      if (builder_.full()) {
        const Flow flow = send(builder_.take());
        if (flow != Flow::Go) return flow;
      }
    }
    return Flow::Go;
  }

  // An object offering __arrow_c_stream__ (a chunked array, a column): its
  // arrays one after the other, each released once read.
  Flow feed_arrow_stream(PyObject* object) {
    PyRef capsule(PyObject_CallMethod(object, "__arrow_c_stream__", nullptr));
    if (!capsule) return Flow::Fail;
    auto* stream =
        static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
    if (stream == nullptr) return Flow::Fail;
    ArrowSchema schema{};
    if (stream->get_schema(stream, &schema) != 0) return stream_error(stream);
    Flow flow = Flow::Go;
    while (flow == Flow::Go) {
      ArrowArray array{};
      if (stream->get_next(stream, &array) != 0) {
        flow = stream_error(stream);
        break;
      }
      if (array.release == nullptr) break;  // the end of the stream
      flow = feed_arrow_strings(schema, array, "iterator");
      array.release(&array);
      if (flow == Flow::Go) flow = check_signals();
    }
    if (schema.release != nullptr) schema.release(&schema);
    return flow;
  }

  static Flow stream_error(ArrowArrayStream* stream) {
    const char* message = stream->get_last_error(stream);
    raise_message(PyExc_ValueError, std::string("reading the Arrow stream: ") +
                                        (message != nullptr ? message : "unknown error"));
    return Flow::Fail;
  }

  // Hands a chunk to the counting threads, waiting without the lock while
  // the queue is full, and running signal handlers and the display between
  // waits.
  Flow send(selkbar::TextChunk chunk) {
    for (;;) {
      selkbar::SendStatus status;
      Py_BEGIN_ALLOW_THREADS
      status = counting_.send_for(chunk, WAIT_STEP);
      Py_END_ALLOW_THREADS
      if (status == selkbar::SendStatus::Closed) return Flow::Stop;
      if (status == selkbar::SendStatus::Sent) {
        // A run that has already failed (bad UTF-8) is not fed any further.
        if (counting_.failed()) return Flow::Stop;
        return check_signals();
      }
      if (check_signals() != Flow::Go) return Flow::Fail;
    }
  }

  Flow check_signals() {
    display_.set_texts_seen(builder_.texts_seen());
    if (PyErr_CheckSignals() < 0 || !display_.draw(control_)) return Flow::Fail;
    return Flow::Go;
  }


  selkbar::FedCounting& counting_;
  selkbar::RunControl& control_;
  ProgressDisplay& display_;
  const bool file_blocks_;
  std::deque<std::string>& sources_;
  selkbar::ChunkBuilder builder_;
};

// The keywords every training and counting call takes.
struct CallOptions {
  bool progress = false;
  std::optional<uint64_t> length;
};

bool convert_call_options(PyObject* const bound[PARAM_COUNT], CallOptions* options) {
  if (bound[PROGRESS] != nullptr) {
    const int on = PyObject_IsTrue(bound[PROGRESS]);
    if (on < 0) return false;
    options->progress = on != 0;
  }
  return convert_arg(bound, LENGTH, optional_of(&options->length, convert_u64));
}

// Runs a call's engine work: feeds the iterator first when the call has
// one, then `work(fed)` (fed: the counting of the fed texts, or null) as
// run_interruptibly does. Returns false with an exception set.
template <typename Work>
bool run_call(PyObject* const bound[PARAM_COUNT], const Signature& sig, TrainConfig& config,
              Work work) {
  CallOptions options;
  if (!convert_call_options(bound, &options)) return false;
  selkbar::RunControl control;
  config.control = &control;
  ProgressDisplay display;
  if (!display.open(options.progress, options.length, bound[ITERATOR] != nullptr)) return false;
  if (bound[COUNTS] != nullptr) {
    control.set_stage(selkbar::RunStage::Merging);
    display.skip_counting();
  }
  bool ok;
  if (bound[ITERATOR] == nullptr) {
    auto run = [&] { work(nullptr); };
    ok = run_interruptibly(run, control, display);
  } else {
    // Declared before the counting threads, which read the sources.
    std::deque<std::string> sources;
    std::optional<selkbar::FedCounting> fed;
    try {
      fed.emplace(config);
    } catch (...) {
      raise_failure(std::current_exception());
      display.close(control);
      return false;
    }
    Feeder feeder(*fed, control, display, sig.file_blocks, sources);
    auto run = [&] { work(&*fed); };
    ok = feeder.feed(bound[ITERATOR]) && run_interruptibly(run, control, display);
    // Joins the counting threads if the feed failed.
    Py_BEGIN_ALLOW_THREADS
    fed.reset();
    Py_END_ALLOW_THREADS
  }
  ok = display.close(control) && ok;
  return ok;
}

// (vocab, merges) of a training. Returns a new reference.
PyObject* vocab_and_merges(Outcome& outcome) {
  const std::vector<std::string>& tokens = outcome.result.tokens;
  PyRef vocab(PyDict_New());
  if (!vocab) return nullptr;
  for (size_t i = 0; i < tokens.size(); ++i) {
    PyRef key(PyUnicode_FromStringAndSize(tokens[i].data(), static_cast<Py_ssize_t>(tokens[i].size())));
    PyRef value(PyLong_FromSize_t(i));
    if (!key || !value || PyDict_SetItem(vocab.get(), key.get(), value.get()) < 0) return nullptr;
  }
  std::vector<std::pair<std::string, std::string>> pairs;
  try {
    pairs = selkbar::merge_string_pairs(outcome.result);
  } catch (...) {
    outcome.failure = std::current_exception();
    raise_engine_failure(outcome);
    return nullptr;
  }
  std::vector<std::string>().swap(outcome.result.tokens);
  PyRef merges(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!merges) return nullptr;
  for (size_t k = 0; k < pairs.size(); ++k) {
    const auto& [left, right] = pairs[k];
    PyObject* tuple = Py_BuildValue("(s#s#)", left.data(), static_cast<Py_ssize_t>(left.size()),
                                    right.data(), static_cast<Py_ssize_t>(right.size()));
    if (tuple == nullptr) return nullptr;
    PyList_SET_ITEM(merges.get(), static_cast<Py_ssize_t>(k), tuple);  // steals tuple
  }
  return PyTuple_Pack(2, vocab.get(), merges.get());
}

PyObject* train(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(sig, args, nargs, kwnames, bound)) return nullptr;
  Outcome outcome;
  std::optional<std::string> output;
  TrainInput input;
  try {
    // Counts come first, where files would; the pretokenizer is theirs.
    if (!convert_arg(bound, COUNTS, [&](PyObject* o) { return convert_counts(o, &input.counts); })) {
      return nullptr;
    }
    TrainConfig config;
    if (!build_config(bound, sig, &config, &output) ||
        !convert_arg(bound, SAVE_COUNTS, optional_of(&input.save_counts, convert_str))) {
      return nullptr;
    }
    if (input.counts && !take_pretokenizer(input.counts->pretokenizer(), &config)) return nullptr;
    const bool ran = run_call(bound, sig, config, [&](selkbar::FedCounting* fed) {
      input.fed = fed;
      run_training(config, sig.returns, input, output, &outcome);
    });
    if (!ran) return nullptr;
  } catch (const std::bad_alloc&) {  // copying the arguments
    return PyErr_NoMemory();
  }
  if (outcome.failure || !outcome.status.ok()) {
    raise_engine_failure(outcome);
    return nullptr;
  }
  if (sig.returns == Returns::NOTHING) Py_RETURN_NONE;
  if (sig.returns == Returns::SUMMARY) return build_summary(outcome, !output.has_value());

  return vocab_and_merges(outcome);
}

// The entry point of one training signature. Returns a new reference.
template <const Signature& sig>
PyObject* train_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return train(sig, args, nargs, kwnames);
}

// ---------------------------------------------------------------------------
// Word counts: the WordCounts type and count_words
// Iterates the words (or the (word, count) pairs) of the counts as they
// were when the iterator was made.
struct WordCountsIteratorObject {
  PyObject_HEAD
  CountsPtr counts;
  uint32_t next_id;
  bool pairs;
};

// Returns a new reference.
PyObject* wrap_counts(CountsPtr counts) {
  PyObject* self = word_counts_type.tp_alloc(&word_counts_type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<WordCountsObject*>(self)->counts) CountsPtr(std::move(counts));
  return self;
}

void word_counts_dealloc(PyObject* self) {
  reinterpret_cast<WordCountsObject*>(self)->counts.~CountsPtr();
  Py_TYPE(self)->tp_free(self);
}

// Sets the Python exception for an exception thrown by the engine.
void raise_failure(std::exception_ptr failure) {
  Outcome outcome;
  outcome.failure = std::move(failure);
  raise_engine_failure(outcome);
}


// Returns a new reference.
PyObject* long_from_total(selkbar::CountTotal total) {
  const auto high = static_cast<uint64_t>(total >> 64);
  const auto low = static_cast<uint64_t>(total);
  if (high == 0) return PyLong_FromUnsignedLongLong(low);
  PyRef high_part(PyLong_FromUnsignedLongLong(high));
  PyRef low_part(PyLong_FromUnsignedLongLong(low));
  PyRef shift(PyLong_FromLong(64));
  if (!high_part || !low_part || !shift) return nullptr;
  PyRef shifted(PyNumber_Lshift(high_part.get(), shift.get()));
  return shifted ? PyNumber_Or(shifted.get(), low_part.get()) : nullptr;
}

// Returns a new reference: a str for word `id`, which producers keep valid UTF-8.
PyObject* word_object(const WordCounts& counts, uint32_t id) {
  const std::string_view word = counts.words().get(id);
  return PyUnicode_DecodeUTF8(word.data(), static_cast<Py_ssize_t>(word.size()), "strict");
}


// The counts of `self`, first copied if a lock-free section shares them.
WordCounts& private_counts(PyObject* self) {
  CountsPtr& counts = reinterpret_cast<WordCountsObject*>(self)->counts;
  if (counts.use_count() > 1) counts = std::make_shared<WordCounts>(counts->clone());
  return *counts;
}

// The UTF-8 bytes of a lookup key; false (with no exception set) for a key
// that cannot be a word: not a str, or not encodable.
bool word_key(PyObject* key, std::string_view* word) {
  if (!PyUnicode_Check(key)) return false;
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(key, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return false;
  }
  *word = std::string_view(data, static_cast<size_t>(size));
  return true;
}

// A path: a str, or an os.PathLike whose path is a str.
bool convert_path(PyObject* object, std::string* out) {
  if (PyUnicode_Check(object)) return convert_str(object, out);
  PyRef path(PyOS_FSPath(object));
  if (!path || !PyUnicode_Check(path.get())) {
    if (path || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      raise_cast_error(object, "str");
    }
    return false;
  }
  return convert_str(path.get(), out);
}

// ---- Lookups and conversions

Py_ssize_t word_counts_length(PyObject* self) {
  return static_cast<Py_ssize_t>(counts_of(self)->size());
}

// Returns a new reference.
PyObject* word_counts_subscript(PyObject* self, PyObject* key) {
  std::string_view word;
  std::optional<uint32_t> id;
  try {
    if (word_key(key, &word)) id = counts_of(self)->find(word);
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
  if (!id) {
    PyRef args(PyTuple_Pack(1, key));  // KeyError(key), even for a tuple key
    if (args) PyErr_SetObject(PyExc_KeyError, args.get());
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(counts_of(self)->words().count(*id));
}

int word_counts_contains(PyObject* self, PyObject* key) {
  std::string_view word;
  try {
    return word_key(key, &word) && counts_of(self)->find(word) ? 1 : 0;
  } catch (...) {
    raise_failure(std::current_exception());
    return -1;
  }
}

PyObject* word_counts_richcompare(PyObject* self, PyObject* other, int op) {
  if (!is_word_counts(other) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  bool equal;
  try {
    equal = self == other || counts_of(self)->same_counts(*counts_of(other));
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
  return PyBool_FromLong(equal == (op == Py_EQ));
}

PyObject* word_counts_repr(PyObject* self) {
  const WordCounts& counts = *counts_of(self);
  PyRef total(long_from_total(counts.total()));
  if (!total) return nullptr;
  const std::string name(selkbar::pretokenizer_name(counts.pretokenizer().kind));
  return PyUnicode_FromFormat("<selkbar.WordCounts: %zu words, total %S, pretokenizer '%s'>",
                              counts.size(), total.get(), name.c_str());
}

PyObject* word_counts_get_pretokenizer(PyObject* self, void*) {
  const std::string_view name = selkbar::pretokenizer_name(counts_of(self)->pretokenizer().kind);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* word_counts_get_total(PyObject* self, void*) {
  return long_from_total(counts_of(self)->total());
}

// Returns a new reference.
PyObject* make_iterator(PyObject* self, bool pairs) {
  auto* it = reinterpret_cast<WordCountsIteratorObject*>(
      word_counts_iterator_type.tp_alloc(&word_counts_iterator_type, 0));
  if (it == nullptr) return nullptr;
  new (&it->counts) CountsPtr(counts_of(self));
  it->next_id = 0;
  it->pairs = pairs;
  return reinterpret_cast<PyObject*>(it);
}

PyObject* word_counts_iter(PyObject* self) { return make_iterator(self, false); }

PyObject* word_counts_items(PyObject* self, PyObject*) { return make_iterator(self, true); }

void iterator_dealloc(PyObject* self) {
  reinterpret_cast<WordCountsIteratorObject*>(self)->counts.~CountsPtr();
  Py_TYPE(self)->tp_free(self);
}

// Returns a new reference, or nullptr without an exception at the end.
PyObject* iterator_next(PyObject* self) {
  auto* it = reinterpret_cast<WordCountsIteratorObject*>(self);
  const WordCounts& counts = *it->counts;
  if (it->next_id >= counts.size()) return nullptr;
  const uint32_t id = it->next_id++;
  PyRef word(word_object(counts, id));
  if (!word || !it->pairs) return word.release();
  PyRef count(PyLong_FromUnsignedLongLong(counts.words().count(id)));
  return count ? PyTuple_Pack(2, word.get(), count.get()) : nullptr;
}

// ---- Combining

// a + b. Returns a new reference.
PyObject* word_counts_add(PyObject* a, PyObject* b) {
  if (!is_word_counts(a) || !is_word_counts(b)) Py_RETURN_NOTIMPLEMENTED;
  const CountsPtr left = counts_of(a);
  const CountsPtr right = counts_of(b);
  if (const selkbar::Status status = selkbar::combinable(*left, *right); !status.ok()) {
    raise_status(status);
    return nullptr;
  }
  // The larger side is copied and the smaller one added into the copy.
  const WordCounts& larger = left->size() >= right->size() ? *left : *right;
  const WordCounts& smaller = &larger == left.get() ? *right : *left;
  CountsPtr sum;
  selkbar::Status status;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    sum = std::make_shared<WordCounts>(larger.clone());
    status = sum->add_all(smaller);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) {
    raise_failure(failure);
    return nullptr;
  }
  if (!status.ok()) {
    raise_status(status);
    return nullptr;
  }
  return wrap_counts(std::move(sum));
}

// a += b, in place and with the lock held: another thread of the program may
// be using `a` right now. Returns a new reference.
PyObject* word_counts_inplace_add(PyObject* a, PyObject* b) {
  if (!is_word_counts(a) || !is_word_counts(b)) Py_RETURN_NOTIMPLEMENTED;
  const CountsPtr right = counts_of(b);  // taken first: b may be a
  if (const selkbar::Status status = selkbar::combinable(*counts_of(a), *right); !status.ok()) {
    raise_status(status);
    return nullptr;
  }
  selkbar::Status status;
  try {
    status = private_counts(a).add_all(*right);
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
  if (!status.ok()) {
    raise_status(status);
    return nullptr;
  }
  return Py_NewRef(a);
}

const Signature MERGE_SIGNATURE = {"WordCounts.merge", {ITERABLE}, 1, Returns::OTHER};

// WordCounts.merge(iterable). Returns a new reference.
PyObject* word_counts_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(MERGE_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  PyRef iterator(PyObject_GetIter(bound[ITERABLE]));
  if (!iterator) {
    prefix_type_error(PARAM_NAMES[ITERABLE]);
    return nullptr;
  }
  std::vector<CountsPtr> parts;
  size_t largest = 0;
  try {
    while (PyRef item{PyIter_Next(iterator.get())}) {
      if (!is_word_counts(item.get())) {
        PyRef type_name(PyType_GetName(Py_TYPE(item.get())));
        if (type_name) {
          PyErr_Format(PyExc_TypeError, "item %zu: expected a WordCounts, got '%U'", parts.size(),
                       type_name.get());
        }
        return nullptr;
      }
      const CountsPtr& counts = counts_of(item.get());
      if (!parts.empty()) {
        if (const selkbar::Status status = selkbar::combinable(*parts[0], *counts); !status.ok()) {
          raise_status(status);
          return nullptr;
        }
      }
      if (!parts.empty() && counts->size() > parts[largest]->size()) largest = parts.size();
      parts.push_back(counts);
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (PyErr_Occurred()) return nullptr;
  if (parts.empty()) {
    PyErr_SetString(PyExc_ValueError, "WordCounts.merge() needs at least one WordCounts");
    return nullptr;
  }
  // Everything is added into a copy of the largest part.
  CountsPtr sum;
  selkbar::Status status;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    sum = std::make_shared<WordCounts>(parts[largest]->clone());
    for (size_t i = 0; i < parts.size() && status.ok(); ++i) {
      if (i != largest) status = sum->add_all(*parts[i]);
    }
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) {
    raise_failure(failure);
    return nullptr;
  }
  if (!status.ok()) {
    raise_status(status);
    return nullptr;
  }
  return wrap_counts(std::move(sum));
}

// ---- Counts made elsewhere

const Signature FROM_ITEMS_SIGNATURE = {"WordCounts.from_items", {ITERABLE, PRETOKENIZER}, 1,
                                         Returns::OTHER};

// Raises `type` with "item {position}: {message}".
void raise_item_error(PyObject* type, size_t position, const std::string& message) {
  raise_message(type, "item " + std::to_string(position) + ": " + message);
}

// The repr() of `object` as UTF-8, for messages.
std::string repr_of(PyObject* object) {
  PyRef repr(PyObject_Repr(object));
  const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

std::string type_name_of(PyObject* object) {
  PyRef name(PyType_GetName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

// Splits an item into its word and count (new references). A pair is a
// tuple, a list or another sequence of two, but not a str or bytes of two
// characters. Raises TypeError, naming `position`, for anything else.
bool unpack_item(size_t position, PyObject* item, PyRef* word, PyRef* count) {
  bool pair = false;
  std::string shape = "'" + type_name_of(item) + "'";
  if (PyTuple_Check(item) || PyList_Check(item) ||
      (PySequence_Check(item) && !PyUnicode_Check(item) && !PyBytes_Check(item) &&
       !PyByteArray_Check(item))) {
    const Py_ssize_t size = PySequence_Size(item);
    if (size < 0) return false;
    pair = size == 2;
    shape += " of length " + std::to_string(size);
  }
  if (!pair) {
    raise_item_error(PyExc_TypeError, position, "expected a (word, count) pair, got a " + shape);
    return false;
  }
  *word = PyRef(PySequence_GetItem(item, 0));
  if (!*word) return false;
  *count = PyRef(PySequence_GetItem(item, 1));
  return static_cast<bool>(*count);
}

// The item's word as UTF-8, spelled as the counts' pretokenizer spells its
// words. Raises, naming `position`, otherwise.
bool item_word(const WordCounts& counts, size_t position, PyObject* word_object,
               std::string_view* word) {
  if (!PyUnicode_Check(word_object)) {
    raise_item_error(PyExc_TypeError, position,
                     "the word must be a str, not '" + type_name_of(word_object) + "'");
    return false;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(word_object, &size);
  if (data == nullptr) {
    PyErr_Clear();
    raise_item_error(PyExc_ValueError, position,
                     "word " + repr_of(word_object) + " cannot be encoded as UTF-8");
    return false;
  }
  *word = std::string_view(data, static_cast<size_t>(size));
  if (const auto problem = selkbar::check_word_spelling(counts.pretokenizer().kind, *word)) {
    raise_item_error(PyExc_ValueError, position,
                     "word " + repr_of(word_object) + " " +
                         selkbar::describe_spelling_problem(*problem));
    return false;
  }
  return true;
}

// The item's count, an integer in 1..2^64-1. Raises, naming `position`,
// otherwise.
bool item_count(size_t position, PyObject* word_object, PyObject* count_object, uint64_t* count) {
  PyRef count_index(PyNumber_Index(count_object));
  if (!count_index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    raise_item_error(PyExc_TypeError, position,
                     "the count must be an integer, not '" + type_name_of(count_object) + "'");
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(count_index.get());
  if ((value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || value == 0) {
    PyErr_Clear();
    raise_item_error(PyExc_ValueError, position,
                     "count " + repr_of(count_index.get()) + " of word " + repr_of(word_object) +
                         " is out of range (1 to 18446744073709551615)");
    return false;
  }
  *count = value;
  return true;
}

// Adds one (word, count) item to `counts`. Raises, naming `position`, for an
// item that is not a pair of a well-spelled word and a count in 1..2^64-1.
bool add_item(WordCounts& counts, size_t position, PyObject* item) {
  PyRef word_object;
  PyRef count_object;
  std::string_view word;
  uint64_t count;
  if (!unpack_item(position, item, &word_object, &count_object) ||
      !item_word(counts, position, word_object.get(), &word) ||
      !item_count(position, word_object.get(), count_object.get(), &count)) {
    return false;
  }
  if (!counts.add(word, count)) {
    raise_item_error(PyExc_OverflowError, position,
                     "the count of word " + repr_of(word_object.get()) +
                         " would pass 2**64 - 1 (18446744073709551615)");
    return false;
  }
  return true;
}

// WordCounts.from_items(iterable, *, pretokenizer). Returns a new reference.
PyObject* word_counts_from_items(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(FROM_ITEMS_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  if (bound[PRETOKENIZER] == nullptr) {
    PyErr_Format(PyExc_TypeError,
                 "%s() missing 1 required keyword-only argument: 'pretokenizer'",
                 FROM_ITEMS_SIGNATURE.name);
    return nullptr;
  }
  try {
    std::string name;
    selkbar::PretokenizerId id;
    TrainConfig named;
    if (!convert_arg(bound, PRETOKENIZER, [&](PyObject* o) { return convert_str(o, &name); }) ||
        !resolve_pretokenizer(name, bound[PRETOKENIZER], std::nullopt, &named)) {
      return nullptr;
    }
    id.kind = named.pretokenizer;
    // A mapping gives its items, as dict() takes a mapping by its keys().
    PyObject* const given = bound[ITERABLE];
    const bool mapping = PyDict_Check(given) || PyObject_HasAttrString(given, "keys");
    PyRef items(mapping ? PyObject_CallMethod(given, "items", nullptr) : nullptr);
    if (mapping && !items) return nullptr;
    PyRef iterator(PyObject_GetIter(mapping ? items.get() : given));
    if (!iterator) {
      prefix_type_error(PARAM_NAMES[ITERABLE]);
      return nullptr;
    }
    auto counts = std::make_shared<WordCounts>(std::move(id));
    size_t position = 0;
    while (PyRef item{PyIter_Next(iterator.get())}) {
      if (!add_item(*counts, position++, item.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return wrap_counts(std::move(counts));
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
}

// ---- Ordering

const Signature MOST_COMMON_SIGNATURE = {"most_common", {N}, 1, Returns::OTHER, 0};

// counts.most_common(n=None), like collections.Counter's. Returns a new reference.
PyObject* word_counts_most_common(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(MOST_COMMON_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  const CountsPtr counts = counts_of(self);
  size_t n = counts->size();
  const bool converted = convert_arg(bound, N, [&](PyObject* o) {
    if (o == Py_None) return true;
    PyRef index(PyNumber_Index(o));
    if (!index) return false;
    int overflow;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) return false;
    // Like Counter.most_common, a negative n asks for nothing.
    if (overflow < 0 || (overflow == 0 && value <= 0)) n = 0;
    if (overflow == 0 && value > 0) n = std::min<size_t>(n, static_cast<size_t>(value));
    return true;
  });
  if (!converted) return nullptr;
  std::vector<uint32_t> ids;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    ids = counts->most_common(n);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) {
    raise_failure(failure);
    return nullptr;
  }
  PyRef list(PyList_New(static_cast<Py_ssize_t>(ids.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < ids.size(); ++i) {
    PyRef word(word_object(*counts, ids[i]));
    PyRef count(PyLong_FromUnsignedLongLong(counts->words().count(ids[i])));
    if (!word || !count) return nullptr;
    PyObject* pair = PyTuple_Pack(2, word.get(), count.get());
    if (pair == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);  // steals pair
  }
  return list.release();
}

// ---- Files and pickling

const Signature SAVE_SIGNATURE = {"save", {PATH}, 1, Returns::OTHER};
const Signature LOAD_SIGNATURE = {"WordCounts.load", {PATH}, 1, Returns::OTHER};

// counts.save(path). Returns a new reference.
PyObject* word_counts_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(SAVE_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  std::string path;
  if (!convert_arg(bound, PATH, [&](PyObject* o) { return convert_path(o, &path); })) {
    return nullptr;
  }
  const CountsPtr counts = counts_of(self);
  selkbar::Status status;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    status = selkbar::save_counts(*counts, path);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) {
    raise_failure(failure);
    return nullptr;
  }
  if (!status.ok()) {
    raise_status(status);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// Returns a new reference: the loaded counts, or nullptr with the error set.
PyObject* loaded_counts(const selkbar::Status& status, std::optional<WordCounts> loaded,
                        std::exception_ptr failure) {
  if (failure) {
    raise_failure(failure);
    return nullptr;
  }
  if (!status.ok()) {
    raise_status(status);
    return nullptr;
  }
  try {
    return wrap_counts(std::make_shared<WordCounts>(std::move(*loaded)));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// WordCounts.load(path). Returns a new reference.
PyObject* word_counts_load(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(LOAD_SIGNATURE, args, nargs, kwnames, bound)) return nullptr;
  std::string path;
  if (!convert_arg(bound, PATH, [&](PyObject* o) { return convert_path(o, &path); })) {
    return nullptr;
  }
  selkbar::Status status;
  std::optional<WordCounts> loaded;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    status = selkbar::load_counts(path, &loaded);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  return loaded_counts(status, std::move(loaded), failure);
}

// WordCounts._from_bytes(data): the unpickling half of __reduce__. Borrows
// data. Returns a new reference.
PyObject* word_counts_from_bytes(PyObject*, PyObject* data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) return nullptr;
  selkbar::Status status;
  std::optional<WordCounts> loaded;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    status = selkbar::decode_counts(
        std::string_view(static_cast<const char*>(view.buf), static_cast<size_t>(view.len)),
        "unpickling", "WordCounts", &loaded);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  PyBuffer_Release(&view);
  return loaded_counts(status, std::move(loaded), failure);
}

// Pickles as WordCounts._from_bytes(<the counts file image>), encoded
// straight into the bytes object. Returns a new reference.
PyObject* word_counts_reduce(PyObject* self, PyObject*) {
  const CountsPtr counts = counts_of(self);
  selkbar::CountsImageSize size{};
  Py_BEGIN_ALLOW_THREADS
  size = selkbar::measure_counts_image(*counts);
  Py_END_ALLOW_THREADS
  PyRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size.total)));
  if (!bytes) return nullptr;
  // The new bytes object is not shared yet, so it may be filled without the
  // lock; it is written for the first time, so huge pages save most faults.
  char* const out = PyBytes_AS_STRING(bytes.get());
  Py_BEGIN_ALLOW_THREADS
  selkbar::advise_huge_pages(out, static_cast<size_t>(size.total));
  selkbar::encode_counts_into(*counts, size, out);
  Py_END_ALLOW_THREADS
  PyRef from_bytes(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&word_counts_type),
                                          "_from_bytes"));
  if (!from_bytes) return nullptr;
  return Py_BuildValue("(O(O))", from_bytes.get(), bytes.get());
}

// ---- Entry points

const Signature COUNT_WORDS_SIGNATURE = {
    "count_words", {FILES, PRETOKENIZER, THREADS, PATTERN, PROGRESS}, 1, Returns::WORD_COUNTS};

const Signature COUNT_WORDS_FROM_ITERATOR_SIGNATURE = {
    "count_words_from_iterator",
    {ITERATOR, PRETOKENIZER, THREADS, PATTERN, LENGTH, PROGRESS},
    1,
    Returns::WORD_COUNTS,
};

// count_words_from_iterator that also takes file blocks: for the command
// line's readers and for counting byte ranges of files read elsewhere.
const Signature COUNT_WORDS_FROM_ITEMS_SIGNATURE = {
    "_count_words_from_items",
    {ITERATOR, PRETOKENIZER, THREADS, PATTERN, LENGTH, PROGRESS},
    1,
    Returns::WORD_COUNTS,
    SIZE_MAX,
    true,
};

// Phase 1 alone, without the interpreter lock: of config.files, or of the
// texts `fed` counted.
void run_counting(const TrainConfig& config, selkbar::FedCounting* fed, CountsPtr* counts,
                  Outcome* outcome) {
  try {
    selkbar::CountResult counted = fed != nullptr ? fed->finish() : selkbar::count_words(config);
    if (!counted.status.ok()) {
      outcome->status = std::move(counted.status);
      return;
    }
    *counts = std::make_shared<WordCounts>(selkbar::pretokenizer_id_of(config),
                                           std::move(counted.words));
  } catch (...) {
    outcome->failure = std::current_exception();
  }
}

// count_words(files, ...) and its iterator forms. Returns a new reference.
PyObject* counting(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(sig, args, nargs, kwnames, bound)) return nullptr;
  Outcome outcome;
  CountsPtr counts;
  try {
    TrainConfig config;
    std::optional<std::string> no_output;
    if (!build_config(bound, sig, &config, &no_output)) return nullptr;
    const bool ran = run_call(bound, sig, config, [&](selkbar::FedCounting* fed) {
      run_counting(config, fed, &counts, &outcome);
    });
    if (!ran) return nullptr;
  } catch (const std::bad_alloc&) {  // copying the arguments
    return PyErr_NoMemory();
  }
  if (outcome.failure || !outcome.status.ok()) {
    raise_engine_failure(outcome);
    return nullptr;
  }
  return wrap_counts(std::move(counts));
}

// The entry point of one counting signature. Returns a new reference.
template <const Signature& sig>
PyObject* counting_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return counting(sig, args, nargs, kwnames);
}

// ---- Type objects

template <typename Function>
PyCFunction as_cfunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef word_counts_methods[] = {
    {"items", as_cfunction(word_counts_items), METH_NOARGS,
     "items($self, /)\n--\n\nIterate the (word, count) pairs, words spelled as training sees "
     "them."},
    {"most_common", as_cfunction(word_counts_most_common), METH_FASTCALL | METH_KEYWORDS,
     "most_common($self, n=None)\n--\n\nThe n most common (word, count) pairs (all with "
     "None), by count descending, then by the words' UTF-8 bytes ascending."},
    {"save", as_cfunction(word_counts_save), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\nWrite the counts to the file `path` (replaced atomically)."},
    {"load", as_cfunction(word_counts_load), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "load($type, path)\n--\n\nRead counts written by save()."},
    {"from_items", as_cfunction(word_counts_from_items), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_items($type, iterable, *, pretokenizer)\n--\n\nCounts from (word, count) pairs or a "
     "mapping, words spelled as the pretokenizer's words are; repeated words add up."},
    {"merge", as_cfunction(word_counts_merge), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "merge($type, iterable)\n--\n\nThe sum of one or more WordCounts of one pretokenizer."},
    {"_from_bytes", as_cfunction(word_counts_from_bytes), METH_O | METH_CLASS,
     "Counts from the bytes __reduce__ makes (for pickle)."},
    {"__reduce__", as_cfunction(word_counts_reduce), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef word_counts_getset[] = {
    {"pretokenizer", word_counts_get_pretokenizer, nullptr,
     "The pretokenizer that cut the words: 'whitespace' or 'bytelevel'.", nullptr},
    {"total", word_counts_get_total, nullptr, "The sum of all counts.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods word_counts_mapping = {word_counts_length, word_counts_subscript, nullptr};
PySequenceMethods word_counts_sequence = {};
PyNumberMethods word_counts_number = {};

// Fills the two type objects once; returns -1 with an exception set.
int ready_word_counts_types() {
  PyTypeObject& type = word_counts_type;
  if (type.tp_name == nullptr) {
    word_counts_sequence.sq_contains = word_counts_contains;
    word_counts_number.nb_add = word_counts_add;
    word_counts_number.nb_inplace_add = word_counts_inplace_add;
    type.tp_name = "selkbar.WordCounts";
    type.tp_basicsize = sizeof(WordCountsObject);
    type.tp_dealloc = word_counts_dealloc;
    type.tp_repr = word_counts_repr;
    type.tp_as_number = &word_counts_number;
    type.tp_as_sequence = &word_counts_sequence;
    type.tp_as_mapping = &word_counts_mapping;
    type.tp_hash = PyObject_HashNotImplemented;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc =
        "The distinct words of a corpus with their counts, as one pretokenizer cut them.\n\n"
        "Made by count_words(), WordCounts.from_items(), WordCounts.load() or by adding\n"
        "counts together; trained on by train_bpe_from_counts() and\n"
        "train_tokenizer_from_counts(), which leave it unchanged.";
    type.tp_richcompare = word_counts_richcompare;
    type.tp_iter = word_counts_iter;
    type.tp_methods = word_counts_methods;
    type.tp_getset = word_counts_getset;

    PyTypeObject& iterator = word_counts_iterator_type;
    iterator.tp_name = "selkbar.WordCountsIterator";
    iterator.tp_basicsize = sizeof(WordCountsIteratorObject);
    iterator.tp_dealloc = iterator_dealloc;
    iterator.tp_flags = Py_TPFLAGS_DEFAULT;
    iterator.tp_iter = PyObject_SelfIter;
    iterator.tp_iternext = iterator_next;
  }
  if (PyType_Ready(&word_counts_type) < 0 || PyType_Ready(&word_counts_iterator_type) < 0) {
    return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Module

PyMethodDef train_bpe_def = {
    "train_bpe", as_cfunction(train_entry<TRAIN_BPE_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_bpe(files, vocab_size, *, special_tokens=..., min_frequency=0, max_token_length=None, "
    "limit_alphabet=None, pretokenizer=..., threads=None, continuing_subword_prefix=None, "
    "end_of_word_suffix=None, pattern=None, progress=False)\n--\n\nTrain on `files`, returning `(vocab, merges)`.\n\n"
    "`vocab` maps token string to id; `merges` is the ordered list of\n"
    "`(left, right)` pairs, exactly as HuggingFace serializes them.",
};

PyMethodDef train_tokenizer_def = {
    "train_tokenizer",
    as_cfunction(train_entry<TRAIN_TOKENIZER_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_tokenizer(files, vocab_size, output, *, special_tokens=..., min_frequency=0, "
    "max_token_length=None, limit_alphabet=None, pretokenizer=..., threads=None, "
    "continuing_subword_prefix=None, end_of_word_suffix=None, pattern=None, progress=False)\n--\n\nTrain and write a "
    "HuggingFace `tokenizer.json` to `output`.\n\nThe result is loadable with "
    "`tokenizers.Tokenizer.from_file(output)`.",
};

// Private: the command line's entry (see TRAIN_TOKENIZER_SUMMARY_SIGNATURE).
PyMethodDef train_tokenizer_summary_def = {
    "_train_tokenizer_summary",
    as_cfunction(train_entry<TRAIN_TOKENIZER_SUMMARY_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "_train_tokenizer_summary(files, vocab_size, output, *, ..., stats=None)\n--\n\n"
    "train_tokenizer for the command line: returns (tokens, merges, text), where text\n"
    "is the tokenizer.json bytes when output is None and None otherwise.",
};

PyMethodDef count_words_def = {
    "count_words", as_cfunction(counting_entry<COUNT_WORDS_SIGNATURE>), METH_FASTCALL | METH_KEYWORDS,
    "count_words(files, *, pretokenizer='whitespace', threads=None, pattern=None, progress=False)"
    "\n--\n\nCount the words of `files` "
    "(the first half of training) and return them as a\n`WordCounts`, to train on once or "
    "many times, save or combine.",
};

PyMethodDef train_bpe_from_counts_def = {
    "train_bpe_from_counts", as_cfunction(train_entry<TRAIN_BPE_FROM_COUNTS_SIGNATURE>), METH_FASTCALL | METH_KEYWORDS,
    "train_bpe_from_counts(counts, vocab_size, *, special_tokens=..., min_frequency=0, "
    "max_token_length=None, limit_alphabet=None, continuing_subword_prefix=None, "
    "end_of_word_suffix=None, progress=False)\n--\n\nTrain on `counts` (a `WordCounts`), returning "
    "`(vocab, merges)` as `train_bpe` does.\n\nThe pretokenizer is the one of the counts, "
    "which are left unchanged.",
};

PyMethodDef train_tokenizer_from_counts_def = {
    "train_tokenizer_from_counts", as_cfunction(train_entry<TRAIN_TOKENIZER_FROM_COUNTS_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_tokenizer_from_counts(counts, vocab_size, output, *, special_tokens=..., "
    "min_frequency=0, max_token_length=None, limit_alphabet=None, "
    "continuing_subword_prefix=None, end_of_word_suffix=None, progress=False)\n--\n\nTrain on `counts` and "
    "write a HuggingFace `tokenizer.json` to `output`,\nas `train_tokenizer` does.",
};

// Private: the command line's entry for --counts.
PyMethodDef train_tokenizer_from_counts_summary_def = {
    "_train_tokenizer_from_counts_summary", as_cfunction(train_entry<TRAIN_TOKENIZER_FROM_COUNTS_SUMMARY_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "_train_tokenizer_from_counts_summary(counts, vocab_size, output, *, ..., stats=None)\n--\n\n"
    "train_tokenizer_from_counts for the command line, as _train_tokenizer_summary.",
};

PyMethodDef train_bpe_from_iterator_def = {
    "train_bpe_from_iterator", as_cfunction(train_entry<TRAIN_BPE_FROM_ITERATOR_SIGNATURE>), METH_FASTCALL | METH_KEYWORDS,
    "train_bpe_from_iterator(iterator, vocab_size, *, length=None, special_tokens=..., "
    "min_frequency=0, max_token_length=None, limit_alphabet=None, pretokenizer='whitespace', "
    "threads=None, continuing_subword_prefix=None, end_of_word_suffix=None, pattern=None, "
    "progress=False)\n--\n\nTrain on the texts `iterator` gives, returning `(vocab, merges)`.\n\n"
    "Items may be str, lists or tuples of str, or Arrow string arrays; the\n"
    "iterator may itself be an Arrow array or stream. Each text is pretokenized\n"
    "whole. `length`, the number of texts expected, only feeds the progress display.",
};

PyMethodDef train_tokenizer_from_iterator_def = {
    "train_tokenizer_from_iterator", as_cfunction(train_entry<TRAIN_TOKENIZER_FROM_ITERATOR_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_tokenizer_from_iterator(iterator, vocab_size, output, *, length=None, ...)\n--\n\n"
    "Train on the texts `iterator` gives and write a HuggingFace `tokenizer.json`\n"
    "to `output`, as train_bpe_from_iterator and train_tokenizer do.",
};

PyMethodDef count_words_from_iterator_def = {
    "count_words_from_iterator", as_cfunction(counting_entry<COUNT_WORDS_FROM_ITERATOR_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "count_words_from_iterator(iterator, *, pretokenizer='whitespace', threads=None, "
    "pattern=None, length=None, progress=False)\n--\n\nCount the words of the texts "
    "`iterator` gives, as train_bpe_from_iterator would,\nand return them as a `WordCounts`.",
};

// Private: for the command line's readers and for counting byte ranges.
PyMethodDef count_words_from_items_def = {
    "_count_words_from_items", as_cfunction(counting_entry<COUNT_WORDS_FROM_ITEMS_SIGNATURE>), METH_FASTCALL | METH_KEYWORDS,
    "_count_words_from_items(items, *, ...)\n--\n\ncount_words_from_iterator whose items may "
    "also be file blocks,\n(data, source, offset) tuples of file text counted by the file rules.",
};

PyMethodDef train_tokenizer_from_items_summary_def = {
    "_train_tokenizer_from_items_summary", as_cfunction(train_entry<TRAIN_TOKENIZER_FROM_ITEMS_SUMMARY_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "_train_tokenizer_from_items_summary(items, vocab_size, output, *, ...)\n--\n\n"
    "_train_tokenizer_summary over the items of _count_words_from_items.",
};

// The readers of stored corpora are Python code (selkbar_readers, installed
// beside this module), imported on first use so that importing selkbar stays
// fast. Returns a new reference.
PyObject* read_texts(PyObject*, PyObject* args, PyObject* kwargs) {
  PyRef readers(PyImport_ImportModule("selkbar_readers"));
  if (!readers) return nullptr;
  PyRef function(PyObject_GetAttrString(readers.get(), "read_texts"));
  if (!function) return nullptr;
  return PyObject_Call(function.get(), args, kwargs);
}

PyMethodDef read_texts_def = {
    "read_texts", as_cfunction(read_texts), METH_VARARGS | METH_KEYWORDS,
    "read_texts($module, /, paths, text_field='text', *, skip_bad_records=False)\n--\n\n"
    "An iterator over the texts of corpus files (plain or compressed text, JSON Lines,\n"
    "Parquet), for train_bpe_from_iterator.",
};

PyModuleDef selkbar_module = {
    PyModuleDef_HEAD_INIT, "selkbar", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* module_object = nullptr;  // the one module object of the process
PyInterpreterState* module_interpreter = nullptr;

// Adds `value` as attribute `name` and appends `name` to __all__ (created on
// the first call). Steals value.
int add_member(PyObject* module, const char* name, PyObject* value) {
  PyRef owned(value);
  if (!owned) return -1;
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      return -1;
    }
  }
  PyRef all_ref(all);
  PyRef name_object(PyUnicode_FromString(name));
  if (!name_object || PyList_Append(all, name_object.get()) < 0) return -1;
  return PyModule_AddObjectRef(module, name, owned.get());
}

// The module's members, in the order __all__ lists them; the private ones
// (named with a leading underscore) stay out of __all__. Functions are bound
// to the module: __self__ is the module object and __module__ is its name.
// Returns -1 with an exception set.
int add_members(PyObject* module) {
  PyRef name(PyModule_GetNameObject(module));
  if (!name) return -1;
  auto function = [&](PyMethodDef* def) { return PyCFunction_NewEx(def, module, name.get()); };
  if (add_member(module, "__version__", PyUnicode_FromString(SELKBAR_VERSION)) < 0) return -1;
  const std::pair<const char*, PyMethodDef*> public_functions[] = {
      {"train_bpe", &train_bpe_def},
      {"train_tokenizer", &train_tokenizer_def},
      {"count_words", &count_words_def},
      {"WordCounts", nullptr},
      {"train_bpe_from_counts", &train_bpe_from_counts_def},
      {"train_tokenizer_from_counts", &train_tokenizer_from_counts_def},
      {"train_bpe_from_iterator", &train_bpe_from_iterator_def},
      {"train_tokenizer_from_iterator", &train_tokenizer_from_iterator_def},
      {"count_words_from_iterator", &count_words_from_iterator_def},
      {"read_texts", &read_texts_def},
  };
  for (const auto& [member, def] : public_functions) {
    PyObject* value = def != nullptr ? function(def)
                                     : Py_NewRef(reinterpret_cast<PyObject*>(&word_counts_type));
    if (add_member(module, member, value) < 0) return -1;
  }
  for (PyMethodDef* def :
       {&train_tokenizer_summary_def, &train_tokenizer_from_counts_summary_def,
        &count_words_from_items_def, &train_tokenizer_from_items_summary_def}) {
    PyRef private_function(function(def));
    if (!private_function || PyModule_AddObjectRef(module, def->ml_name, private_function.get()) < 0) {
      return -1;
    }
  }
  // The command line checks --threads against the same bound.
  return PyModule_AddIntConstant(module, "_MAX_THREADS", static_cast<long>(selkbar::MAX_THREADS));
}

}  // namespace

PyMODINIT_FUNC PyInit_selkbar(void) {
  // Native state (the cached module object, the exception type) belongs to
  // one interpreter, so a second interpreter is refused.
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (module_interpreter == nullptr) {
    module_interpreter = interpreter;
  } else if (module_interpreter != interpreter) {
    PyErr_SetString(PyExc_ImportError, "selkbar does not support sub-interpreters");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);

  if (panic_exception == nullptr) {
    panic_exception = PyErr_NewExceptionWithDoc(
        "selkbar.PanicException",
        "An internal error of selkbar: a broken invariant or a capacity limit.",
        PyExc_BaseException, nullptr);
    if (panic_exception == nullptr) return nullptr;
  }
  if (ready_word_counts_types() < 0) return nullptr;
  PyRef module(PyModule_Create(&selkbar_module));
  if (!module) return nullptr;
  if (add_members(module.get()) < 0) return nullptr;
  module_object = Py_NewRef(module.get());
  return module.release();
}
