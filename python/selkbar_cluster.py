"""The training half of the cluster integrations (selkbar_dask,
selkbar_spark): the cluster counts, this machine trains from the combined
counts. Every option is checked here before the cluster starts, by training
on no words with the engine's own messages, so that a typo fails at once
rather than after an hour of counting; nothing is written by the checks.
"""

import os
import tempfile

import selkbar

__all__ = ["training_options", "train_bpe_after", "train_tokenizer_after"]

# The keyword options of selkbar.train_bpe that the cluster functions take
# under the same names and pass on as they are.
TRAINING_OPTIONS = ("special_tokens", "min_frequency", "max_token_length", "limit_alphabet",
                    "continuing_subword_prefix", "end_of_word_suffix", "initial_alphabet",
                    "base", "progress")


def training_options(arguments):
    """The training options among a cluster function's `arguments` (its
    locals())."""
    return {name: arguments[name] for name in TRAINING_OPTIONS}


def _options(options):
    options = dict(options)
    if isinstance(options.get("special_tokens"), tuple):
        options["special_tokens"] = list(options["special_tokens"])
    return options


def _vocab_sizes(vocab_size):
    """vocab_size as the engine takes it, an iterable of sizes made a list:
    it is read twice, by the checks and by the training."""
    if isinstance(vocab_size, (int, str, bytes)) or not hasattr(vocab_size, "__iter__"):
        return vocab_size
    return list(vocab_size)


def _check_size_names(vocab_size, output, tiktoken_output):
    """With a list of sizes every name written must hold {vocab_size}; the
    engine checks the same, but only once the counting is done."""
    if not isinstance(vocab_size, list):
        return
    for what, name in (("output", output), ("tiktoken_output", tiktoken_output)):
        if name is not None and "{vocab_size}" not in os.fspath(name):
            raise ValueError(f"{what} {os.fspath(name)} has no {{vocab_size}}: with a list of "
                             "vocabulary sizes each size is written to its own file "
                             "(e.g. \"tokenizer-{vocab_size}.json\")")


def _check_tiktoken_output(vocab_size, options, empty, output, tiktoken_output):
    """Whether the training can give tiktoken a vocabulary, asked of the
    engine with no words and throwaway paths, and whether the two outputs are
    two files."""
    if os.path.abspath(os.fspath(output)) == os.path.abspath(os.fspath(tiktoken_output)):
        raise ValueError(f"tiktoken_output {tiktoken_output} is the same file as output")
    with tempfile.TemporaryDirectory() as scratch:
        selkbar.train_tokenizer_from_counts(
            empty, vocab_size, os.path.join(scratch, "tokenizer-{vocab_size}.json"),
            **dict(options, progress=False,
                   tiktoken_output=os.path.join(scratch, "tokenizer-{vocab_size}.tiktoken")))


def train_bpe_after(count, empty, vocab_size, options):
    """Checks `options` (train_bpe's keyword options) against `empty`, counts
    with no words of the pretokenizer, then calls count() for the counts and
    trains on them; returns what selkbar.train_bpe returns."""
    vocab_size = _vocab_sizes(vocab_size)
    options = _options(options)
    selkbar.train_bpe_from_counts(empty, vocab_size, **dict(options, progress=False))
    return selkbar.train_bpe_from_counts(count(), vocab_size, **options)


def train_tokenizer_after(count, empty, vocab_size, output, tiktoken_output, options):
    """As train_bpe_after, writing `output` (and `tiktoken_output`) as
    selkbar.train_tokenizer does; nothing is written when counting fails."""
    vocab_size = _vocab_sizes(vocab_size)
    options = _options(options)
    selkbar.train_bpe_from_counts(empty, vocab_size, **dict(options, progress=False))
    _check_size_names(vocab_size, output, tiktoken_output)
    if tiktoken_output is not None:
        _check_tiktoken_output(vocab_size, options, empty, output, tiktoken_output)
        options["tiktoken_output"] = os.fspath(tiktoken_output)
    selkbar.train_tokenizer_from_counts(count(), vocab_size, output, **options)
