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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "atomic_file.h"
#include "config.h"
#include "error.h"
#include "pattern_split.h"
#include "pipeline.h"
#include "tokenizer_json.h"
#include "trainer.h"

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
  PARAM_COUNT,
};

constexpr const char* PARAM_NAMES[PARAM_COUNT] = {
    "files",          "vocab_size",       "output",
    "special_tokens", "min_frequency",    "max_token_length",
    "limit_alphabet", "pretokenizer",     "threads",
    "continuing_subword_prefix", "end_of_word_suffix", "pattern", "stats",
};

// What a training call hands back.
enum class Returns {
  VOCAB_AND_MERGES,  // train_bpe: (vocab, merges)
  NOTHING,           // train_tokenizer: None, the file written
  SUMMARY,           // the command line's entry: (tokens, merges, text or None)
};

struct Signature {
  const char* name;            // "train_bpe"
  std::vector<Param> params;   // in order; the first `positional` may be positional
  size_t positional;
  Returns returns;
};

const Signature TRAIN_BPE_SIGNATURE = {
    "train_bpe",
    {FILES, VOCAB_SIZE, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PATTERN},
    2,
    Returns::VOCAB_AND_MERGES,
};

const Signature TRAIN_TOKENIZER_SIGNATURE = {
    "train_tokenizer",
    {FILES, VOCAB_SIZE, OUTPUT, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH,
     LIMIT_ALPHABET, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX,
     PATTERN},
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
     PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PATTERN, STATS},
    3,
    Returns::SUMMARY,
};

// Fills `bound` (borrowed references, nullptr where not passed) from a
// fast-call-with-keywords argument vector. Returns false with TypeError set.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject* bound[PARAM_COUNT]) {
  for (int i = 0; i < PARAM_COUNT; ++i) bound[i] = nullptr;
  if (static_cast<size_t>(nargs) > sig.positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
                 sig.name, sig.positional, nargs);
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
  for (size_t i = 0; i < sig.positional; ++i) {
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
    const std::string quoted = debug_quoted(name_object);
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
    PyErr_Format(PyExc_ValueError, "threads %llu exceeds the maximum supported (4096)",
                 static_cast<unsigned long long>(*threads));
    return false;
  } else {
    config->threads = *threads;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Training

// What the lock-free section produced: a phase-1 message, a failure thrown
// by the engine, or the trained result (and the JSON text if asked for).
struct Outcome {
  std::optional<std::string> phase1_error;
  std::optional<std::string> output_error;  // "writing {output}: {error}"
  std::exception_ptr failure;
  selkbar::TrainResult result;
  std::string json;           // the document, when it is returned rather than written
  size_t merge_pair_count = 0;  // distinct merge pairs, for the command line's summary
};

// Runs both phases, the JSON rendering and the write of `output` without the
// interpreter lock, as CPython's own file objects write without it. Takes
// `config` by value so that it is released before the lock is retaken.
void run_training(TrainConfig config, Returns returns, const std::optional<std::string>& output,
                  Outcome* outcome) {
  try {
    selkbar::CountResult counted = selkbar::count_words(config);
    if (counted.error) {
      outcome->phase1_error = std::move(counted.error);
      return;
    }
    outcome->result = selkbar::train_from_words(std::move(counted.words), config);
    if (returns == Returns::VOCAB_AND_MERGES) return;
    outcome->json = selkbar::build_tokenizer_json(outcome->result, config);
    if (returns == Returns::SUMMARY) {
      outcome->merge_pair_count = selkbar::merge_string_pairs(outcome->result).size();
    }
    if (output) {
      outcome->output_error = selkbar::write_file_atomically(*output, outcome->json);
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

// Sets the Python exception for a failure of the engine.
void raise_engine_failure(const Outcome& outcome) {
  if (outcome.phase1_error) {
    raise_message(PyExc_ValueError, *outcome.phase1_error);
    return;
  }
  try {
    std::rethrow_exception(outcome.failure);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
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

PyObject* train(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(sig, args, nargs, kwnames, bound)) return nullptr;
  Outcome outcome;
  std::optional<std::string> output;
  try {
    TrainConfig config;
    if (!build_config(bound, sig, &config, &output)) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    run_training(std::move(config), sig.returns, output, &outcome);
    Py_END_ALLOW_THREADS
  } catch (const std::bad_alloc&) {  // copying the arguments
    return PyErr_NoMemory();
  }
  if (outcome.phase1_error || outcome.failure) {
    raise_engine_failure(outcome);
    return nullptr;
  }
  if (outcome.output_error) {
    raise_message(PyExc_OSError, *outcome.output_error);
    return nullptr;
  }
  if (sig.returns == Returns::NOTHING) Py_RETURN_NONE;
  if (sig.returns == Returns::SUMMARY) return build_summary(outcome, !output.has_value());

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

// Returns a new reference.
PyObject* train_bpe(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return train(TRAIN_BPE_SIGNATURE, args, nargs, kwnames);
}

// Returns a new reference.
PyObject* train_tokenizer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return train(TRAIN_TOKENIZER_SIGNATURE, args, nargs, kwnames);
}

// Returns a new reference.
PyObject* train_tokenizer_summary(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return train(TRAIN_TOKENIZER_SUMMARY_SIGNATURE, args, nargs, kwnames);
}

// ---------------------------------------------------------------------------
// Module

PyMethodDef train_bpe_def = {
    "train_bpe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train_bpe)),
    METH_FASTCALL | METH_KEYWORDS,
    "train_bpe(files, vocab_size, *, special_tokens=..., min_frequency=0, max_token_length=None, "
    "limit_alphabet=None, pretokenizer=..., threads=None, continuing_subword_prefix=None, "
    "end_of_word_suffix=None, pattern=None)\n--\n\nTrain on `files`, returning `(vocab, merges)`.\n\n"
    "`vocab` maps token string to id; `merges` is the ordered list of\n"
    "`(left, right)` pairs, exactly as HuggingFace serializes them.",
};

PyMethodDef train_tokenizer_def = {
    "train_tokenizer",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train_tokenizer)),
    METH_FASTCALL | METH_KEYWORDS,
    "train_tokenizer(files, vocab_size, output, *, special_tokens=..., min_frequency=0, "
    "max_token_length=None, limit_alphabet=None, pretokenizer=..., threads=None, "
    "continuing_subword_prefix=None, end_of_word_suffix=None, pattern=None)\n--\n\nTrain and write a "
    "HuggingFace `tokenizer.json` to `output`.\n\nThe result is loadable with "
    "`tokenizers.Tokenizer.from_file(output)`.",
};

// Private: the command line's entry (see TRAIN_TOKENIZER_SUMMARY_SIGNATURE).
PyMethodDef train_tokenizer_summary_def = {
    "_train_tokenizer_summary",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(train_tokenizer_summary)),
    METH_FASTCALL | METH_KEYWORDS,
    "_train_tokenizer_summary(files, vocab_size, output, *, ..., stats=None)\n--\n\n"
    "train_tokenizer for the command line: returns (tokens, merges, text), where text\n"
    "is the tokenizer.json bytes when output is None and None otherwise.",
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
  PyRef module(PyModule_Create(&selkbar_module));
  if (!module) return nullptr;
  // The functions are bound to the module: __self__ is the module object and
  // __module__ is its name.
  PyRef name(PyModule_GetNameObject(module.get()));
  if (!name ||
      add_member(module.get(), "__version__", PyUnicode_FromString("0.1.0")) < 0 ||
      add_member(module.get(), "train_bpe",
                 PyCFunction_NewEx(&train_bpe_def, module.get(), name.get())) < 0 ||
      add_member(module.get(), "train_tokenizer",
                 PyCFunction_NewEx(&train_tokenizer_def, module.get(), name.get())) < 0) {
    return nullptr;
  }
  // Private members stay out of __all__.
  PyRef summary(PyCFunction_NewEx(&train_tokenizer_summary_def, module.get(), name.get()));
  if (!summary ||
      PyModule_AddObjectRef(module.get(), "_train_tokenizer_summary", summary.get()) < 0) {
    return nullptr;
  }
  module_object = Py_NewRef(module.get());
  return module.release();
}
