"""Superword tokenizers: tokens that may span several words, such as
" by the way".

Training runs in two stages. Stage 1 learns ordinary subword tokens with a
pretokenizer that splits text into words (gpt4 by default) up to
``transition`` tokens. Stage 2 continues from those tokens and merges with a
pretokenizer that no longer splits at spaces (``superword_pattern``), to
``vocab_size`` tokens: every stage-2 pretoken is first spelled by the stage-1
merges, then the merge loop goes on, and its merges may join words.

Both stages are the engine's ordinary training (stage 2 is ``base=`` with
another pretokenizer), so progress, Ctrl-C and the thread budget behave as
in every training, and the result is the one a training continued from the
stage-1 vocabulary gives.

``SUPERWORD_PATTERN`` keeps three boundaries of the stage-1 rules and drops
the rest: digits go in groups of up to three (as the gpt4 and o200k rules and
the superword paper split them, so that numbers do not become tokens of
their own), and line breaks are pretokens of their own (a token never spans
two lines). Everything else in a line, spaces and punctuation included, is
one pretoken.
"""

import selkbar

__all__ = [
    "SUPERWORD_PATTERN",
    "train_superword_tokenizer",
    "train_superword_tokenizer_from_iterator",
    "train_superword_tokenizer_from_counts",
]

SUPERWORD_PATTERN = r"\p{N}{1,3}|[^\r\n\p{N}]+|[\r\n]+"

# The options both stages take as they are.
_SHARED = ("special_tokens", "min_frequency", "max_token_length", "limit_alphabet",
           "initial_alphabet", "progress")


def check_stages(vocab_size, transition, options):
    """The checks every superword entry point makes before any work:
    ``transition`` between 0 and ``vocab_size`` and only options both stages
    take. Returns those options."""
    _check(vocab_size, transition)
    return _stage_options(options)


def _check(vocab_size, transition):
    for name, value in (("vocab_size", vocab_size), ("transition", transition)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"argument '{name}': expected an int, not {type(value).__name__!r}")
    if not 0 < transition < vocab_size:
        raise ValueError(f"transition {transition} must be above 0 and below vocab_size "
                         f"{vocab_size}")


def _stage_options(options):
    unknown = set(options) - set(_SHARED) - {"threads", "tiktoken_output"}
    if unknown:
        raise TypeError(f"train_superword_tokenizer() got an unexpected keyword argument "
                        f"{sorted(unknown)[0]!r}")
    return {name: options[name] for name in _SHARED if name in options}


def train_superword_tokenizer(files, vocab_size, output, *, transition, pretokenizer="gpt4",
                              superword_pattern=SUPERWORD_PATTERN, threads=None,
                              tiktoken_output=None, **options):
    """Train a superword tokenizer on ``files`` and write its tokenizer.json
    to ``output``.

    Stage 1 trains to ``transition`` tokens with ``pretokenizer``; stage 2
    continues to ``vocab_size`` with the byte-level pretokenizer and
    ``superword_pattern``, which the written tokenizer carries. The other
    keyword options (special_tokens, min_frequency, max_token_length,
    limit_alphabet, initial_alphabet, progress) apply to both stages.
    """
    shared = check_stages(vocab_size, transition, options)
    vocab, merges = selkbar.train_bpe(files, transition, pretokenizer=pretokenizer,
                                      threads=threads, **shared)
    selkbar.train_tokenizer(files, vocab_size, output,
                            base=(vocab, merges), pretokenizer="bytelevel",
                            pattern=superword_pattern, threads=threads,
                            tiktoken_output=tiktoken_output, **shared)


def train_superword_tokenizer_from_iterator(texts, vocab_size, output, *, transition,
                                            pretokenizer="gpt4",
                                            superword_pattern=SUPERWORD_PATTERN, threads=None,
                                            tiktoken_output=None, **options):
    """As train_superword_tokenizer, on texts. Both stages read them, so
    ``texts`` must be iterable twice (a list, a dataset; not a generator)."""
    shared = check_stages(vocab_size, transition, options)
    if iter(texts) is texts:
        raise TypeError("superword training reads the texts twice, once per stage: pass a "
                        "list or another iterable that can be iterated again, not an iterator")
    vocab, merges = selkbar.train_bpe_from_iterator(texts, transition, pretokenizer=pretokenizer,
                                                    threads=threads, **shared)
    selkbar.train_tokenizer_from_iterator(texts, vocab_size, output,
                                          base=(vocab, merges), pretokenizer="bytelevel",
                                          pattern=superword_pattern, threads=threads,
                                          tiktoken_output=tiktoken_output, **shared)


def train_superword_tokenizer_from_counts(counts, superword_counts, vocab_size, output, *,
                                          transition, tiktoken_output=None, **options):
    """As train_superword_tokenizer, on counts made before: ``counts`` with
    the stage-1 pretokenizer and ``superword_counts`` with the superword
    pattern (``count_words(files, pretokenizer="bytelevel",
    pattern=SUPERWORD_PATTERN)``), as selkbar_dask makes them on a cluster."""
    shared = check_stages(vocab_size, transition, options)
    vocab, merges = selkbar.train_bpe_from_counts(counts, transition, **shared)
    selkbar.train_tokenizer_from_counts(superword_counts, vocab_size,
                                        output, base=(vocab, merges),
                                        tiktoken_output=tiktoken_output, **shared)
