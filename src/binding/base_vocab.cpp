// base_vocab.cpp: a trained vocabulary and merges handed in from Python —
// the base= argument of the training entry points, and truncate_bpe.
#include <memory>
#include <new>

#include "binding/binding.h"
#include "binding/docstrings.h"
#include "encoding/bpe_model.h"
#include "encoding/truncate.h"

namespace selkbar::binding {
namespace {

// A {token: id} dict ordered by id into *tokens. Returns false with an
// exception set: TypeError for a wrong type, ValueError (after `what`) when
// the ids are not exactly 0 .. n-1.
bool convert_vocab(PyObject* object, const char* what, std::vector<std::string>* tokens) {
  if (!PyDict_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s: the vocabulary must be a dict of token -> id, not '%s'",
                 what, Py_TYPE(object)->tp_name);
    return false;
  }
  std::vector<std::pair<std::string, uint64_t>> vocab;
  vocab.reserve(static_cast<size_t>(PyDict_Size(object)));
  Py_ssize_t position = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(object, &position, &key, &value)) {
    std::string token;
    uint64_t id;
    if (!convert_str(key, &token) || !convert_u64(value, &id)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s: vocabulary entry %R: %R is not a str token with an int id",
                   what, key, value);
      return false;
    }
    vocab.emplace_back(std::move(token), id);
  }
  const Status status = BpeModel::tokens_from_vocab(vocab, tokens);
  if (status.ok()) return true;
  raise_message(PyExc_ValueError, std::string(what) + ": " + status.message());
  return false;
}

// Takes a decoration option from the base's file unless the call set its
// own; a different one is a ValueError, since the merges are spelled with
// the file's.
bool take_option(PyObject* from_file, const char* name, std::optional<std::string>* option) {
  if (from_file == Py_None) return true;
  std::string value;
  if (!convert_str(from_file, &value)) {
    prefix_type_error("base");
    return false;
  }
  if (!option->has_value()) {
    *option = std::move(value);
    return true;
  }
  if (**option == value) return true;
  raise_message(PyExc_ValueError, std::string("base: its model has ") + name + " '" + value +
                                      "', the call '" + **option + "'");
  return false;
}

// The (vocab, merges, prefix, suffix) of the tokenizer.json at `path`, read
// by selkbar_base. Returns a new reference.
PyObject* read_base_file(const std::string& path) {
  PyRef module(PyImport_ImportModule("selkbar_base"));
  if (!module) return nullptr;
  return PyObject_CallMethod(module.get(), "read_base", "s#", path.data(),
                             static_cast<Py_ssize_t>(path.size()));
}

// The model a base and the configuration's decorations make, checked.
bool check_base_model(const BaseVocabulary& base, const TrainConfig& config) {
  BpeModel model;
  const BpeOptions options{config.continuing_subword_prefix, config.end_of_word_suffix};
  const Status status = BpeModel::build(base.tokens, base.merges, options, &model);
  if (status.ok()) return true;
  raise_message(PyExc_ValueError, "base: " + status.message());
  return false;
}

}  // namespace

bool convert_base(PyObject* object, uint64_t smallest_size, TrainConfig* config) {
  if (object == Py_None) return true;
  PyRef from_file;
  PyObject* vocab = nullptr;
  PyObject* merges = nullptr;
  if ((PyTuple_Check(object) || PyList_Check(object)) && PySequence_Size(object) == 2) {
    vocab = PySequence_Fast_GET_ITEM(object, 0);  // a tuple or list: Fast is itself
    merges = PySequence_Fast_GET_ITEM(object, 1);
  } else {
    std::string path;
    if (!convert_path(object, &path)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "argument 'base': expected a tokenizer.json path or a (vocab, merges) pair, "
                   "not '%s'",
                   Py_TYPE(object)->tp_name);
      return false;
    }
    from_file = PyRef(read_base_file(path));
    if (!from_file) return false;
    vocab = PyTuple_GET_ITEM(from_file.get(), 0);
    merges = PyTuple_GET_ITEM(from_file.get(), 1);
    if (!take_option(PyTuple_GET_ITEM(from_file.get(), 2), "continuing_subword_prefix",
                     &config->continuing_subword_prefix) ||
        !take_option(PyTuple_GET_ITEM(from_file.get(), 3), "end_of_word_suffix",
                     &config->end_of_word_suffix)) {
      return false;
    }
  }
  auto base = std::make_shared<BaseVocabulary>();
  if (!convert_vocab(vocab, "base", &base->tokens) ||
      !convert_merge_pairs(merges, "base", &base->merges) || !check_base_model(*base, *config)) {
    return false;
  }
  if (smallest_size <= base->tokens.size()) {
    raise_message(PyExc_ValueError, "vocab_size " + std::to_string(smallest_size) +
                                        " is not above the base's " +
                                        std::to_string(base->tokens.size()) + " tokens");
    return false;
  }
  config->base = std::move(base);
  return true;
}

// truncate_bpe(vocab, merges, vocab_size, *, continuing_subword_prefix=None,
// end_of_word_suffix=None) -> (vocab, merges)
PyObject* truncate_bpe_entry(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"vocab", "merges", "vocab_size", "continuing_subword_prefix",
                                   "end_of_word_suffix", nullptr};
  PyObject* vocab_object;
  PyObject* merges_object;
  PyObject* size_object;
  PyObject* prefix_object = Py_None;
  PyObject* suffix_object = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$OO:truncate_bpe", const_cast<char**>(keywords),
                                   &vocab_object, &merges_object, &size_object, &prefix_object,
                                   &suffix_object)) {
    return nullptr;
  }
  uint64_t vocab_size;
  BpeOptions options;
  const auto converted = [](bool ok, const char* name) {
    if (!ok) prefix_type_error(name);
    return ok;
  };
  if (!converted(convert_u64(size_object, &vocab_size), "vocab_size") ||
      !converted(optional_of(&options.continuing_subword_prefix, convert_str)(prefix_object),
                 "continuing_subword_prefix") ||
      !converted(optional_of(&options.end_of_word_suffix, convert_str)(suffix_object),
                 "end_of_word_suffix")) {
    return nullptr;
  }
  try {
    std::vector<std::string> tokens;
    std::vector<MergeStrings> merges;
    if (!convert_vocab(vocab_object, "vocab", &tokens) ||
        !convert_merge_pairs(merges_object, "merges", &merges)) {
      return nullptr;
    }
    BpeModel model;
    Status status = BpeModel::build(std::move(tokens), merges, std::move(options), &model);
    BpeVocabulary cut;
    if (status.ok()) status = truncate_bpe(model, vocab_size, &cut);
    if (!status.ok()) {
      raise_message(PyExc_ValueError, status.message());
      return nullptr;
    }
    PyRef vocab(vocab_dict(cut.tokens));
    PyRef list(vocab ? merge_list(cut.merges) : nullptr);
    if (!list) return nullptr;
    return PyTuple_Pack(2, vocab.get(), list.get());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef truncate_bpe_def = {
    "truncate_bpe", as_cfunction(truncate_bpe_entry), METH_VARARGS | METH_KEYWORDS,
    "truncate_bpe(vocab, merges, vocab_size, *, continuing_subword_prefix=None, "
    "end_of_word_suffix=None)\n--\n\n"
    "The vocabulary a training to vocab_size would have given, cut from a longer\n"
    "one: its first vocab_size tokens (special tokens and alphabet always kept)\n"
    "and the merges that make them, a prefix of `merges`. Returns (vocab, merges)\n"
    "as train_bpe does.\n\n"
    "  vocab               token -> id, as train_bpe returns it\n"
    "  merges              the (left, right) pairs, in rank order\n"
    "  vocab_size          tokens to keep; at or above len(vocab) keeps all\n"
    SELKBAR_WORD_OPTIONS_DOC "\n"
    "Raises ValueError when the merges do not build on the vocabulary (naming\n"
    "the first bad merge) or vocab_size is below the tokens no merge makes."};

}  // namespace selkbar::binding
