// train_entries.cpp: the training entry points, from files, from counts
// and from iterators: train_bpe, train_tokenizer and their forms, and the
// command line's private entries.
#include <algorithm>
#include <new>

#include "base/atomic_file.h"
#include "binding/binding.h"
#include "binding/docstrings.h"
#include "binding/ladder.h"
#include "counts/counts_file.h"
#include "training/alphabet.h"
#include "training/tiktoken_ranks.h"
#include "training/tokenizer_json.h"
#include "training/trainer.h"

namespace selkbar::binding {

PyObject* vocab_dict(const std::vector<std::string>& tokens) {
  PyRef vocab(PyDict_New());
  if (!vocab) return nullptr;
  for (size_t i = 0; i < tokens.size(); ++i) {
    PyRef key(PyUnicode_FromStringAndSize(tokens[i].data(), static_cast<Py_ssize_t>(tokens[i].size())));
    PyRef value(PyLong_FromSize_t(i));
    if (!key || !value || PyDict_SetItem(vocab.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return vocab.release();
}

PyObject* merge_list(const std::vector<std::pair<std::string, std::string>>& pairs) {
  PyRef merges(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!merges) return nullptr;
  for (size_t k = 0; k < pairs.size(); ++k) {
    const auto& [left, right] = pairs[k];
    PyObject* tuple = Py_BuildValue("(s#s#)", left.data(), static_cast<Py_ssize_t>(left.size()),
                                    right.data(), static_cast<Py_ssize_t>(right.size()));
    if (tuple == nullptr) return nullptr;
    PyList_SET_ITEM(merges.get(), static_cast<Py_ssize_t>(k), tuple);  // steals tuple
  }
  return merges.release();
}

namespace {

const Signature TRAIN_BPE_SIGNATURE = {
    "train_bpe",
    {FILES, VOCAB_SIZE, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     INITIAL_ALPHABET, BASE, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX,
     PATTERN, PROGRESS},
    2,
    Returns::VOCAB_AND_MERGES,
};

const Signature TRAIN_TOKENIZER_SIGNATURE = {
    "train_tokenizer",
    {FILES, VOCAB_SIZE, OUTPUT, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     INITIAL_ALPHABET, BASE, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX,
     PATTERN, TIKTOKEN_OUTPUT, PROGRESS},
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
     INITIAL_ALPHABET, BASE, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX,
     PATTERN, TIKTOKEN_OUTPUT, STATS, SAVE_COUNTS, PROGRESS},
    3,
    Returns::SUMMARY,
};

const Signature TRAIN_BPE_FROM_COUNTS_SIGNATURE = {
    "train_bpe_from_counts",
    {COUNTS, VOCAB_SIZE, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     INITIAL_ALPHABET, BASE, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, PROGRESS},
    2,
    Returns::VOCAB_AND_MERGES,
};

const Signature TRAIN_TOKENIZER_FROM_COUNTS_SIGNATURE = {
    "train_tokenizer_from_counts",
    {COUNTS, VOCAB_SIZE, OUTPUT, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     INITIAL_ALPHABET, BASE, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, TIKTOKEN_OUTPUT, PROGRESS},
    3,
    Returns::NOTHING,
};

// The command line's entry for --counts, as TRAIN_TOKENIZER_SUMMARY_SIGNATURE.
const Signature TRAIN_TOKENIZER_FROM_COUNTS_SUMMARY_SIGNATURE = {
    "train_tokenizer_from_counts",
    {COUNTS, VOCAB_SIZE, OUTPUT, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     INITIAL_ALPHABET, BASE, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX, TIKTOKEN_OUTPUT, STATS,
     PROGRESS},
    3,
    Returns::SUMMARY,
};

const Signature TRAIN_BPE_FROM_ITERATOR_SIGNATURE = {
    "train_bpe_from_iterator",
    {ITERATOR, VOCAB_SIZE, LENGTH, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH, LIMIT_ALPHABET,
     INITIAL_ALPHABET, BASE, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX, END_OF_WORD_SUFFIX,
     PATTERN, PROGRESS},
    2,
    Returns::VOCAB_AND_MERGES,
};

const Signature TRAIN_TOKENIZER_FROM_ITERATOR_SIGNATURE = {
    "train_tokenizer_from_iterator",
    {ITERATOR, VOCAB_SIZE, OUTPUT, LENGTH, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH,
     LIMIT_ALPHABET, INITIAL_ALPHABET, BASE, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX,
     END_OF_WORD_SUFFIX, PATTERN, TIKTOKEN_OUTPUT, PROGRESS},
    3,
    Returns::NOTHING,
};

// The command line's entry for inputs it reads itself (compressed text, JSON
// Lines, Parquet), as TRAIN_TOKENIZER_SUMMARY_SIGNATURE, taking file blocks.
const Signature TRAIN_TOKENIZER_FROM_ITEMS_SUMMARY_SIGNATURE = {
    "_train_tokenizer_from_items_summary",
    {ITERATOR, VOCAB_SIZE, OUTPUT, LENGTH, SPECIAL_TOKENS, MIN_FREQUENCY, MAX_TOKEN_LENGTH,
     LIMIT_ALPHABET, INITIAL_ALPHABET, BASE, PRETOKENIZER, THREADS, CONTINUING_SUBWORD_PREFIX,
     END_OF_WORD_SUFFIX, PATTERN, TIKTOKEN_OUTPUT, STATS, SAVE_COUNTS, PROGRESS},
    3,
    Returns::SUMMARY,
    SIZE_MAX,
    true,
};


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
  std::optional<std::string> tiktoken_output;  // the ranks file, written with `output`
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

// Writes tokenizer.json to `output` and the ranks file to `tiktoken_output`,
// both or neither; with no `output` (the command line's "-o -") the text
// stays in `outcome` for the caller and the ranks file is written alone.
void write_outputs(const TrainConfig& config, const std::optional<std::string>& output,
                   const std::optional<std::string>& tiktoken_output, Outcome* outcome) {
  std::string ranks;
  if (tiktoken_output) ranks = selkbar::build_tiktoken_ranks(outcome->result, config);
  if (!output && !tiktoken_output) return;
  // From here an interrupt waits for the files instead of stopping the run.
  selkbar::commit_or_stop(config.control);
  if (output && tiktoken_output) {
    const selkbar::FileContents files[] = {{*output, outcome->json}, {*tiktoken_output, ranks}};
    outcome->status = selkbar::write_files_atomically(files);
  } else if (output) {
    outcome->status = selkbar::write_file_atomically(*output, outcome->json);
  } else {
    outcome->status = selkbar::write_file_atomically(*tiktoken_output, ranks);
  }
  if (output) std::string().swap(outcome->json);
}

// Runs both phases, the JSON rendering and the writes of `output` and the
// ranks file without the interpreter lock, as CPython's own file objects
// write without it.
void run_training(const TrainConfig& config, Returns returns, const TrainInput& input,
                  const std::optional<std::string>& output, Ladder& ladder, Outcome* outcome) {
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
    if (!outcome->result.refused.ok()) {
      outcome->status = outcome->result.refused;
      return;
    }
    if (ladder.active()) {
      outcome->status = finish_ladder(config, outcome->result, returns != Returns::VOCAB_AND_MERGES,
                                      output, input.tiktoken_output, &ladder);
      if (returns == Returns::SUMMARY) {
        outcome->merge_pair_count = selkbar::merge_string_pairs(outcome->result).size();
      }
      return;
    }
    if (returns == Returns::VOCAB_AND_MERGES) return;
    outcome->json = selkbar::build_tokenizer_json(outcome->result, config);
    if (returns == Returns::SUMMARY) {
      outcome->merge_pair_count = selkbar::merge_string_pairs(outcome->result).size();
    }
    write_outputs(config, output, input.tiktoken_output, outcome);
  } catch (...) {
    outcome->failure = std::current_exception();
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

// (vocab, merges) of a training, whose tokens it releases. Returns a new
// reference.
PyObject* vocab_and_merges(selkbar::TrainResult& result) {
  PyRef vocab(vocab_dict(result.tokens));
  if (!vocab) return nullptr;
  std::vector<std::pair<std::string, std::string>> pairs;
  try {
    pairs = selkbar::merge_string_pairs(result);
  } catch (...) {
    raise_failure(std::current_exception());
    return nullptr;
  }
  std::vector<std::string>().swap(result.tokens);
  PyRef merges(merge_list(pairs));
  if (!merges) return nullptr;
  return PyTuple_Pack(2, vocab.get(), merges.get());
}

// {size: (vocab, merges)} of a ladder, in the order the sizes were given.
// Returns a new reference.
PyObject* ladder_results(Ladder& ladder) {
  PyRef results(PyDict_New());
  if (!results) return nullptr;
  for (size_t i = 0; i < ladder.sizes.size(); ++i) {
    PyRef key(PyLong_FromUnsignedLongLong(ladder.sizes[i]));
    PyRef value(key ? vocab_and_merges(ladder.results[i]) : nullptr);
    if (!value || PyDict_SetItem(results.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return results.release();
}

// The initial alphabet and the tiktoken output, checked against the
// pretokenizer (the counts' own, for counts) before any work. Returns false
// with ValueError set.
bool check_shipping_options(const TrainConfig& config,
                            const std::optional<std::string>& tiktoken_output) {
  std::optional<std::string> problem = selkbar::check_initial_alphabet(config);
  if (!problem && tiktoken_output) problem = selkbar::check_tiktoken_output(config);
  if (!problem) return true;
  raise_message(PyExc_ValueError, *problem);
  return false;
}

// Refuses, with ValueError before any work, a file to write that is one of
// the input files (links and other spellings seen through) or another file
// to write: the corpus must never be overwritten by its own tokenizer.
// With a ladder, every size's names count.
bool check_outputs_are_not_inputs(const TrainConfig& config, const std::optional<std::string>& output,
                                  const TrainInput& input, const Ladder& ladder) {
  std::vector<std::pair<const char*, std::string>> writes;
  const auto add = [&](const char* name, const std::optional<std::string>& path, bool sized) {
    if (!path) return;
    if (!sized || !ladder.active()) {
      writes.emplace_back(name, *path);
      return;
    }
    for (uint64_t size : ladder.sizes) writes.emplace_back(name, expand_size(*path, size));
  };
  add("output", output, true);
  add("save_counts", input.save_counts, false);
  add("tiktoken_output", input.tiktoken_output, true);
  for (size_t i = 0; i < writes.size(); ++i) {
    const auto& [name, path] = writes[i];
    for (const std::string& file : config.files) {
      if (!selkbar::names_same_file(path, file)) continue;
      raise_message(PyExc_ValueError, std::string(name) + " " + path +
                                          " is the input file " + file + ": it would be overwritten");
      return false;
    }
    for (size_t j = 0; j < i; ++j) {
      const auto& [other_name, other] = writes[j];
      if (!selkbar::names_same_file(path, other)) continue;
      raise_message(PyExc_ValueError, std::string(name) + " " + path + " is the same file as " +
                                          other_name + " " + other);
      return false;
    }
  }
  return true;
}

PyObject* train(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[PARAM_COUNT];
  if (!bind_arguments(sig, args, nargs, kwnames, bound)) return nullptr;
  Outcome outcome;
  std::optional<std::string> output;
  TrainInput input;
  Ladder ladder;
  PyRef largest_size;
  try {
    if (!bind_ladder(bound, &ladder, &largest_size)) return nullptr;
    // Counts come first, where files would; the pretokenizer is theirs.
    if (!convert_arg(bound, COUNTS, [&](PyObject* o) { return convert_counts(o, &input.counts); })) {
      return nullptr;
    }
    TrainConfig config;
    if (!build_config(bound, sig, &config, &output) ||
        !convert_arg(bound, SAVE_COUNTS, optional_of(&input.save_counts, convert_path))) {
      return nullptr;
    }
    if (input.counts && !take_pretokenizer(input.counts->pretokenizer(), &config)) return nullptr;
    const uint64_t smallest_size =
        ladder.active() ? *std::min_element(ladder.sizes.begin(), ladder.sizes.end())
                        : config.vocab_size;
    if (bound[BASE] != nullptr && !convert_base(bound[BASE], smallest_size, &config)) return nullptr;
    if (!convert_arg(bound, TIKTOKEN_OUTPUT, optional_of(&input.tiktoken_output, convert_path)) ||
        !check_ladder_names(ladder, sig.returns != Returns::VOCAB_AND_MERGES, output,
                            input.tiktoken_output) ||
        !check_outputs_are_not_inputs(config, output, input, ladder) ||
        !check_shipping_options(config, input.tiktoken_output)) {
      return nullptr;
    }
    const bool ran = run_call(bound, sig, config, [&](selkbar::FedCounting* fed) {
      input.fed = fed;
      run_training(config, sig.returns, input, output, ladder, &outcome);
    });
    if (!ran) return nullptr;
    outcome.status = with_reader_hint(outcome.status, config.files);
  } catch (const std::bad_alloc&) {  // copying the arguments
    return PyErr_NoMemory();
  }
  if (raise_outcome(outcome.status, outcome.failure)) return nullptr;
  if (sig.returns == Returns::NOTHING) Py_RETURN_NONE;
  if (sig.returns == Returns::SUMMARY) return build_summary(outcome, !output.has_value());
  if (ladder.active()) return ladder_results(ladder);
  return vocab_and_merges(outcome.result);
}

// The entry point of one training signature. Returns a new reference.
template <const Signature& sig>
PyObject* train_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return train(sig, args, nargs, kwnames);
}

}  // namespace

PyMethodDef train_bpe_def = {
    "train_bpe", as_cfunction(train_entry<TRAIN_BPE_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_bpe(files, vocab_size, *, " SELKBAR_OPTIONS_SIGNATURE SELKBAR_FILE_OPTIONS_SIGNATURE
    SELKBAR_WORD_OPTIONS_SIGNATURE "pattern=None, progress=False)\n--\n\n"
    "Train on `files`, returning `(vocab, merges)`.\n\n"
    "`vocab` maps token string to id; `merges` is the ordered list of\n"
    "`(left, right)` pairs, exactly as HuggingFace serializes them.\n\n"
    SELKBAR_FILES_DOC SELKBAR_VOCAB_DOC SELKBAR_OPTIONS_DOC SELKBAR_PRETOKENIZER_DOC
    SELKBAR_WORD_OPTIONS_DOC SELKBAR_PATTERN_DOC SELKBAR_PROGRESS_DOC,
};

PyMethodDef train_tokenizer_def = {
    "train_tokenizer",
    as_cfunction(train_entry<TRAIN_TOKENIZER_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_tokenizer(files, vocab_size, output, *, " SELKBAR_OPTIONS_SIGNATURE
    SELKBAR_FILE_OPTIONS_SIGNATURE SELKBAR_WORD_OPTIONS_SIGNATURE
    "pattern=None, " SELKBAR_TIKTOKEN_SIGNATURE "progress=False)\n--\n\n"
    "Train and write a HuggingFace `tokenizer.json` to `output`.\n\n"
    "The result is loadable with `tokenizers.Tokenizer.from_file(output)`; nothing\n"
    "is written when training fails.\n\n"
    SELKBAR_FILES_DOC SELKBAR_VOCAB_DOC SELKBAR_OUTPUT_DOC SELKBAR_OPTIONS_DOC
    SELKBAR_PRETOKENIZER_DOC SELKBAR_WORD_OPTIONS_DOC SELKBAR_PATTERN_DOC SELKBAR_TIKTOKEN_DOC
    SELKBAR_PROGRESS_DOC,
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

PyMethodDef train_bpe_from_counts_def = {
    "train_bpe_from_counts", as_cfunction(train_entry<TRAIN_BPE_FROM_COUNTS_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_bpe_from_counts(counts, vocab_size, *, " SELKBAR_OPTIONS_SIGNATURE
    SELKBAR_WORD_OPTIONS_SIGNATURE "progress=False)\n--\n\n"
    "Train on `counts` (a `WordCounts`), returning `(vocab, merges)` as `train_bpe` does.\n\n"
    SELKBAR_COUNTS_DOC SELKBAR_VOCAB_DOC SELKBAR_OPTIONS_DOC SELKBAR_WORD_OPTIONS_DOC
    SELKBAR_PROGRESS_DOC,
};

PyMethodDef train_tokenizer_from_counts_def = {
    "train_tokenizer_from_counts", as_cfunction(train_entry<TRAIN_TOKENIZER_FROM_COUNTS_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_tokenizer_from_counts(counts, vocab_size, output, *, " SELKBAR_OPTIONS_SIGNATURE
    SELKBAR_WORD_OPTIONS_SIGNATURE SELKBAR_TIKTOKEN_SIGNATURE "progress=False)\n--\n\n"
    "Train on `counts` and write a HuggingFace `tokenizer.json` to `output`, as\n"
    "`train_tokenizer` does.\n\n"
    SELKBAR_COUNTS_DOC SELKBAR_VOCAB_DOC SELKBAR_OUTPUT_DOC SELKBAR_OPTIONS_DOC
    SELKBAR_WORD_OPTIONS_DOC SELKBAR_TIKTOKEN_DOC SELKBAR_PROGRESS_DOC,
};

// Private: the command line's entry for --counts.
PyMethodDef train_tokenizer_from_counts_summary_def = {
    "_train_tokenizer_from_counts_summary", as_cfunction(train_entry<TRAIN_TOKENIZER_FROM_COUNTS_SUMMARY_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "_train_tokenizer_from_counts_summary(counts, vocab_size, output, *, ..., stats=None)\n--\n\n"
    "train_tokenizer_from_counts for the command line, as _train_tokenizer_summary.",
};

PyMethodDef train_bpe_from_iterator_def = {
    "train_bpe_from_iterator", as_cfunction(train_entry<TRAIN_BPE_FROM_ITERATOR_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_bpe_from_iterator(iterator, vocab_size, *, length=None, " SELKBAR_OPTIONS_SIGNATURE
    SELKBAR_FILE_OPTIONS_SIGNATURE SELKBAR_WORD_OPTIONS_SIGNATURE
    "pattern=None, progress=False)\n--\n\n"
    "Train on the texts `iterator` gives, returning `(vocab, merges)`.\n\n"
    SELKBAR_ITERATOR_DOC SELKBAR_VOCAB_DOC SELKBAR_OPTIONS_DOC SELKBAR_PRETOKENIZER_DOC
    SELKBAR_WORD_OPTIONS_DOC SELKBAR_PATTERN_DOC SELKBAR_PROGRESS_DOC,
};

PyMethodDef train_tokenizer_from_iterator_def = {
    "train_tokenizer_from_iterator", as_cfunction(train_entry<TRAIN_TOKENIZER_FROM_ITERATOR_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "train_tokenizer_from_iterator(iterator, vocab_size, output, *, length=None, "
    SELKBAR_OPTIONS_SIGNATURE SELKBAR_FILE_OPTIONS_SIGNATURE SELKBAR_WORD_OPTIONS_SIGNATURE
    "pattern=None, " SELKBAR_TIKTOKEN_SIGNATURE "progress=False)\n--\n\n"
    "Train on the texts `iterator` gives and write a HuggingFace `tokenizer.json` to\n"
    "`output`, as train_bpe_from_iterator and train_tokenizer do.\n\n"
    SELKBAR_ITERATOR_DOC SELKBAR_VOCAB_DOC SELKBAR_OUTPUT_DOC SELKBAR_OPTIONS_DOC
    SELKBAR_PRETOKENIZER_DOC SELKBAR_WORD_OPTIONS_DOC SELKBAR_PATTERN_DOC SELKBAR_TIKTOKEN_DOC
    SELKBAR_PROGRESS_DOC,
};

PyMethodDef train_tokenizer_from_items_summary_def = {
    "_train_tokenizer_from_items_summary", as_cfunction(train_entry<TRAIN_TOKENIZER_FROM_ITEMS_SUMMARY_SIGNATURE>),
    METH_FASTCALL | METH_KEYWORDS,
    "_train_tokenizer_from_items_summary(items, vocab_size, output, *, ...)\n--\n\n"
    "_train_tokenizer_summary over the items of _count_words_from_items.",
};


}  // namespace selkbar::binding
