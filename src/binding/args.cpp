// args.cpp: binding a call's arguments and converting them into a
// TrainConfig, with the interpreter lock held.
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "binding/binding.h"
#include "pretokenize/pattern_split.h"
#include "pretokenize/pretokenizer_id.h"

namespace selkbar::binding {

bool convert_merge_pairs(PyObject* object, const char* what,
                         std::vector<std::pair<std::string, std::string>>* merges) {
  PyRef items(PySequence_Fast(object, "the merges must be a list of (left, right) pairs"));
  if (!items) {
    prefix_type_error(what);
    return false;
  }
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  merges->reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
    std::pair<std::string, std::string> pair;
    const bool is_pair = (PyTuple_Check(item) || PyList_Check(item)) && PySequence_Size(item) == 2;
    if (is_pair) {
      PyRef left(PySequence_GetItem(item, 0));
      PyRef right(PySequence_GetItem(item, 1));
      if (left && right && PyUnicode_Check(left.get()) && PyUnicode_Check(right.get())) {
        // A str that is not UTF-8 raises UnicodeEncodeError, as everywhere.
        if (!convert_str(left.get(), &pair.first) || !convert_str(right.get(), &pair.second)) {
          return false;
        }
        merges->push_back(std::move(pair));
        continue;
      }
      PyErr_Clear();
    }
    PyErr_Format(PyExc_TypeError, "%s: merge %zd is %R, not a (left, right) pair of str", what, i,
                 item);
    return false;
  }
  return true;
}

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

namespace {

bool refuse_str(PyObject* object) {
  if (!PyUnicode_Check(object)) return false;
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  return true;
}

// The items of an iterable, each converted by `convert_item`.
template <typename ConvertItem>
bool convert_items(PyObject* object, std::vector<std::string>* out, ConvertItem convert_item) {
  PyRef iterator(PyObject_GetIter(object));
  if (!iterator) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    raise_cast_error(object, "Iterable");
    return false;
  }
  while (PyRef item{PyIter_Next(iterator.get())}) {
    std::string text;
    if (!convert_item(item.get(), &text)) return false;
    out->push_back(std::move(text));
  }
  return !PyErr_Occurred();
}

// A sequence (not a str) of items, each converted by `convert_item`.
template <typename ConvertItem>
bool convert_list(PyObject* object, std::vector<std::string>* out, ConvertItem convert_item) {
  if (refuse_str(object)) return false;
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
  return convert_items(object, out, convert_item);
}

}  // namespace

bool convert_str_list(PyObject* object, std::vector<std::string>* out) {
  return convert_list(object, out, convert_str);
}

bool convert_str_iterable(PyObject* object, std::vector<std::string>* out) {
  return !refuse_str(object) && convert_items(object, out, convert_str);
}

bool convert_path_list(PyObject* object, std::vector<std::string>* out) {
  return convert_list(object, out, convert_path);
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

namespace {

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

uint64_t processor_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<uint64_t>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint64_t>(online) : 1;
}


}  // namespace

// Sets config->pretokenizer (and the compiled pattern) from the pretokenizer
// name and the pattern= argument. Returns false with ValueError set: an
// unknown name, a pattern with another pretokenizer than "bytelevel", or a
// pattern that does not compile, all before any file is read.
bool resolve_pretokenizer(const std::string& name, PyObject* name_object,
                          const std::optional<std::string>& pattern, TrainConfig* config) {
  const std::optional<PretokenizerKind> kind = pretokenizer_from_name(name);
  if (!kind) {
    const std::string quoted = debug_quoted(name_object);
    raise_message(PyExc_ValueError, "unknown pretokenizer " + quoted + " (want " +
                                         list_pretokenizer_names() + ")");
    return false;
  }
  // A pattern replaces the rule of "bytelevel"; with the pretokenizer left
  // at its default, a pattern means that family, as --pattern does.
  const bool custom = (*kind == PretokenizerKind::ByteLevel || name_object == nullptr) && pattern;
  config->pretokenizer = custom ? PretokenizerKind::Pattern : *kind;
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

namespace {

// Reads the environment into `config`, with the interpreter lock held,
// because other Python threads change it only while they hold the lock; the
// engine runs without it and is handed these values instead. `stats` (None,
// True or False; borrowed, may be null) overrides SELKBAR_STATS. Returns
// false with an exception set.
bool read_diagnostics(PyObject* stats, TrainConfig* config) {
  config->min_range = selkbar::min_range_from_env(std::getenv("SELKBAR_MIN_RANGE"));
  config->diagnostics =
      selkbar::diagnostics_from_env(std::getenv("SELKBAR_STATS"), std::getenv("PATH"));
  if (stats != nullptr && stats != Py_None) {
    const int on = PyObject_IsTrue(stats);
    if (on < 0) return false;
    config->diagnostics.enabled = on != 0;
    config->diagnostics.present = on != 0;
  }
  return true;
}

// threads=None or 0 means every processor the process may run on. Returns
// false with ValueError set above MAX_THREADS.
bool set_threads(std::optional<uint64_t> threads, TrainConfig* config) {
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

}  // namespace

// Converts the bound arguments, in the fixed order, into `config` (and
// `output` for train_tokenizer). Returns false with an exception set.
bool build_config(PyObject* const bound[PARAM_COUNT], const Signature& sig, TrainConfig* config,
                  std::optional<std::string>* output) {
  const bool wants_output = sig.returns != Returns::VOCAB_AND_MERGES;
  auto output_converter = [&](PyObject* o) {
    if (o == Py_None && sig.returns == Returns::SUMMARY) return true;  // text returned instead
    std::string path;
    if (!convert_path(o, &path)) return false;
    *output = std::move(path);
    return true;
  };
  auto u64 = [](uint64_t* out) { return [out](PyObject* o) { return convert_u64(o, out); }; };
  if (!convert_arg(bound, FILES, [&](PyObject* o) { return convert_path_list(o, &config->files); }) ||
      !convert_arg(bound, VOCAB_SIZE, u64(&config->vocab_size)) ||
      (wants_output && !convert_arg(bound, OUTPUT, output_converter)) ||
      !convert_arg(bound, SPECIAL_TOKENS,
                   [&](PyObject* o) { return convert_str_list(o, &config->special_tokens); }) ||
      !convert_arg(bound, MIN_FREQUENCY, u64(&config->min_frequency)) ||
      !convert_arg(bound, MAX_TOKEN_LENGTH, optional_of(&config->max_token_length, convert_u64)) ||
      !convert_arg(bound, LIMIT_ALPHABET, optional_of(&config->limit_alphabet, convert_u64)) ||
      !convert_arg(bound, INITIAL_ALPHABET, [&](PyObject* o) {
        return convert_str_iterable(o, &config->initial_alphabet);
      })) {
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

  return read_diagnostics(bound[STATS], config) && set_threads(threads, config);
}

}  // namespace selkbar::binding
