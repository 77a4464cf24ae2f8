// evaluate_entries.cpp: _evaluate_counts, the native half of
// selkbar.evaluate (selkbar_eval.py): what each of several BPE models does
// on the counted words of held-out text.
//
//   _evaluate_counts(counts, models, threads=None, progress=False) -> [dict, ...]
//
// A model is a tuple (name, tokens, merges, byte_level,
// continuing_subword_prefix, end_of_word_suffix, ignore_merges): name for
// messages ("tokenizer {name}: ..."), tokens the list of token strings by
// id, merges a list of (left, right) str pairs by rank. The models are
// copied into engine types with the lock held, then built and run over the
// counts without it, on the thread budget, one after another; Ctrl-C and
// the progress display work as in training (run_call), the display counting
// the models done.
#include <new>

#include "binding/binding.h"
#include "encoding/bpe_model.h"
#include "encoding/evaluate.h"

namespace selkbar::binding {
namespace {

const Signature EVALUATE_COUNTS_SIGNATURE = {
    "_evaluate_counts", {COUNTS, THREADS, PROGRESS}, 1, Returns::OTHER};

// One model as given, before it is checked and built.
struct GivenModel {
  std::string name;
  std::vector<std::string> tokens;
  std::vector<selkbar::MergeStrings> merges;
  selkbar::BpeOptions options;
};

// Borrows object.
bool convert_model(PyObject* object, GivenModel* out) {
  PyObject *name, *tokens, *merges, *prefix, *suffix;
  int byte_level, ignore_merges;
  if (!PyTuple_Check(object) ||
      !PyArg_ParseTuple(object, "UOOpOOp", &name, &tokens, &merges, &byte_level, &prefix,
                        &suffix, &ignore_merges)) {
    if (!PyErr_Occurred()) raise_cast_error(object, "tuple");
    return false;
  }
  out->options.byte_level = byte_level != 0;
  out->options.ignore_merges = ignore_merges != 0;
  return convert_str(name, &out->name) && convert_str_list(tokens, &out->tokens) &&
         convert_merge_pairs(merges, "merges", &out->merges) &&
         optional_of(&out->options.continuing_subword_prefix, convert_str)(prefix) &&
         optional_of(&out->options.end_of_word_suffix, convert_str)(suffix);
}

bool convert_models(PyObject* object, std::vector<GivenModel>* out) {
  PyRef items(PySequence_Fast(object, "models must be a list of model tuples"));
  if (!items) return false;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
  out->resize(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!convert_model(PySequence_Fast_GET_ITEM(items.get(), i), &(*out)[static_cast<size_t>(i)])) {
      return false;
    }
  }
  return true;
}

// What the lock-free section produced.
struct Outcome {
  Status status;  // the first model that does not build, named
  std::exception_ptr failure;
  std::vector<selkbar::EvalFigures> figures;
};

void run_evaluation(const WordCounts& counts, std::vector<GivenModel>& models_given,
                    const TrainConfig& config, Outcome* outcome) {
  try {
    RunControl* control = config.control;
    control->set_stage(selkbar::RunStage::Encoding);
    control->set_merges_target(models_given.size());
    for (size_t i = 0; i < models_given.size(); ++i) {
      GivenModel& given = models_given[i];
      selkbar::BpeModel model;
      Status built =
          selkbar::BpeModel::build(std::move(given.tokens), given.merges, given.options, &model);
      if (!built.ok()) {
        outcome->status = Status::InvalidInput("tokenizer " + given.name + ": " + built.message());
        return;
      }
      std::vector<selkbar::MergeStrings>().swap(given.merges);
      outcome->figures.push_back(
          selkbar::evaluate_words(model, counts.words(), config.threads, control));
      control->set_merges_done(i + 1);
    }
  } catch (...) {
    outcome->failure = std::current_exception();
  }
}

// A 128-bit total as a Python int. Returns a new reference.
PyObject* total_object(selkbar::CountTotal total) {
  const uint64_t high = static_cast<uint64_t>(total >> 64);
  const uint64_t low = static_cast<uint64_t>(total);
  if (high == 0) return PyLong_FromUnsignedLongLong(low);
  PyRef high_object(PyLong_FromUnsignedLongLong(high));
  PyRef shift(PyLong_FromLong(64));
  PyRef low_object(PyLong_FromUnsignedLongLong(low));
  if (!high_object || !shift || !low_object) return nullptr;
  PyRef shifted(PyNumber_Lshift(high_object.get(), shift.get()));
  return shifted ? PyNumber_Or(shifted.get(), low_object.get()) : nullptr;
}

// A list of 128-bit totals. Returns a new reference.
PyObject* totals_list(const std::vector<selkbar::CountTotal>& totals) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(totals.size())));
  if (!list) return nullptr;
  for (size_t n = 0; n < totals.size(); ++n) {
    PyObject* item = total_object(totals[n]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(n), item);  // steals item
  }
  return list.release();
}

// One row of figures. Returns a new reference.
PyObject* figures_row(const selkbar::EvalFigures& figures) {
  PyRef histogram(totals_list(figures.token_length_histogram));
  PyRef uses(histogram ? totals_list(figures.token_uses) : nullptr);
  if (!uses) return nullptr;
  return Py_BuildValue(
      "{s:K,s:d,s:d,s:d,s:d,s:K,s:K,s:N,s:K,s:N,s:N,s:N,s:K,s:O,s:O}",
      "vocab_size", static_cast<unsigned long long>(figures.vocab_size),
      "bytes_per_token", figures.bytes_per_token(),
      "tokens_per_word", figures.tokens_per_word(),
      "unused_share", figures.unused_share(),
      "unknown_share", figures.unknown_share(),
      "longest_token_bytes", static_cast<unsigned long long>(figures.longest_token_bytes),
      "median_token_bytes", static_cast<unsigned long long>(figures.median_token_bytes),
      "words", total_object(figures.words),
      "distinct_words", static_cast<unsigned long long>(figures.distinct_words),
      "text_bytes", total_object(figures.text_bytes),
      "tokens", total_object(figures.tokens),
      "unknown_bytes", total_object(figures.unknown_bytes),
      "unused_tokens", static_cast<unsigned long long>(figures.unused_tokens),
      "token_length_histogram", histogram.get(),
      "token_uses", uses.get());
}

// Returns a new reference.
PyObject* evaluate_counts(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"counts", "models", "threads", "progress", nullptr};
  PyObject* bound[PARAM_COUNT] = {};
  PyObject* models;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:_evaluate_counts",
                                   const_cast<char**>(keywords), &bound[COUNTS], &models,
                                   &bound[THREADS], &bound[PROGRESS])) {
    return nullptr;
  }
  Outcome outcome;
  try {
    CountsPtr counts;
    std::vector<GivenModel> models_given;
    TrainConfig config;
    std::optional<std::string> no_output;
    if (!convert_arg(bound, COUNTS, [&](PyObject* o) { return convert_counts(o, &counts); }) ||
        !convert_models(models, &models_given) ||
        !build_config(bound, EVALUATE_COUNTS_SIGNATURE, &config, &no_output)) {
      return nullptr;
    }
    const bool ran = run_call(bound, EVALUATE_COUNTS_SIGNATURE, config, [&](FedCounting*) {
      run_evaluation(*counts, models_given, config, &outcome);
    });
    if (!ran) return nullptr;
  } catch (const std::bad_alloc&) {  // copying the arguments
    return PyErr_NoMemory();
  }
  if (raise_outcome(outcome.status, outcome.failure)) return nullptr;
  PyRef rows(PyList_New(static_cast<Py_ssize_t>(outcome.figures.size())));
  if (!rows) return nullptr;
  for (size_t i = 0; i < outcome.figures.size(); ++i) {
    PyObject* row = figures_row(outcome.figures[i]);
    if (row == nullptr) return nullptr;
    PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);  // steals row
  }
  return rows.release();
}

}  // namespace

PyMethodDef evaluate_counts_def = {
    "_evaluate_counts", as_cfunction(evaluate_counts), METH_VARARGS | METH_KEYWORDS,
    "_evaluate_counts(counts, models, *, threads=None, progress=False)\n--\n\n"
    "The figures of each model on `counts`: the native half of selkbar.evaluate.",
};

}  // namespace selkbar::binding
