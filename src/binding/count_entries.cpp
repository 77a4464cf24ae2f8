// count_entries.cpp: the counting entry points, count_words and its
// iterator forms, which return a WordCounts.
#include <new>

#include "binding/binding.h"
#include "binding/docstrings.h"

namespace selkbar::binding {
namespace {

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

// What the lock-free section produced: a phase-1 failure, or a failure
// thrown by the engine.
struct Outcome {
  Status status;
  std::exception_ptr failure;
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
    outcome.status = with_reader_hint(outcome.status, config.files);
  } catch (const std::bad_alloc&) {  // copying the arguments
    return PyErr_NoMemory();
  }
  if (!outcome.status.ok()) {
    raise_status(outcome.status);
    return nullptr;
  }
  if (outcome.failure) {
    raise_failure(outcome.failure);
    return nullptr;
  }
  return wrap_counts(std::move(counts));
}

// The entry point of one counting signature. Returns a new reference.
template <const Signature& sig>
PyObject* counting_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return counting(sig, args, nargs, kwnames);
}

}  // namespace

PyMethodDef count_words_def = {
    "count_words", as_cfunction(counting_entry<COUNT_WORDS_SIGNATURE>), METH_FASTCALL | METH_KEYWORDS,
    "count_words(files, *, " SELKBAR_FILE_OPTIONS_SIGNATURE "pattern=None, progress=False)"
    "\n--\n\nCount the words of `files` (the first half of training) and return them as a\n"
    "`WordCounts`, to train on once or many times, save or combine.\n\n"
    SELKBAR_FILES_DOC SELKBAR_PRETOKENIZER_DOC SELKBAR_PATTERN_DOC SELKBAR_PROGRESS_DOC,
};

PyMethodDef count_words_from_iterator_def = {
    "count_words_from_iterator", as_cfunction(counting_entry<COUNT_WORDS_FROM_ITERATOR_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "count_words_from_iterator(iterator, *, " SELKBAR_FILE_OPTIONS_SIGNATURE
    "pattern=None, length=None, progress=False)\n--\n\nCount the words of the texts "
    "`iterator` gives, as train_bpe_from_iterator would,\nand return them as a `WordCounts`.\n\n"
    SELKBAR_ITERATOR_DOC SELKBAR_PRETOKENIZER_DOC SELKBAR_PATTERN_DOC SELKBAR_PROGRESS_DOC,
};

// Private: for the command line's readers and for counting byte ranges.
PyMethodDef count_words_from_items_def = {
    "_count_words_from_items", as_cfunction(counting_entry<COUNT_WORDS_FROM_ITEMS_SIGNATURE>), METH_FASTCALL | METH_KEYWORDS,
    "_count_words_from_items(items, *, ...)\n--\n\ncount_words_from_iterator whose items may "
    "also be file blocks,\n(data, source, offset) tuples of file text counted by the file rules.",
};

}  // namespace selkbar::binding
