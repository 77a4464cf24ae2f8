"""selkbar.evaluate: what BPE vocabularies do on held-out text.

    rows = selkbar.evaluate(["tok-16000.json", "tok-32000.json"], ["held-out.txt"])
    rows[0]["bytes_per_token"]   # 4.21

The held-out text is read and split as training reads it: files by the file
rules (line by line in the byte-level family), texts whole. It is counted
once per pretokenizer the tokenizers use, with the counting engine, and each
tokenizer then encodes every distinct word once, natively, on the thread
budget and without the interpreter lock (selkbar._evaluate_counts). That
gives the figures encoding the text pretoken by pretoken gives, as the
tokenizers library's BPE model encodes each pretoken on its own.

A tokenizer is a tokenizer.json path (as selkbar writes them: a BPE model
without normalizer, with the WhitespaceSplit, ByteLevel or Split + ByteLevel
pre-tokenizer) or a tuple (vocab, merges, pretokenizer[, options]) as
train_bpe returns it plus the pretokenizer name it was trained with; options
is a dict that may hold continuing_subword_prefix, end_of_word_suffix and
pattern. Special tokens are not looked for in the held-out text: a special
token written in it is encoded as text.

Each row holds:
    tokenizer           the path, or "#i" for the i-th tuple
    vocab_size          tokens in the vocabulary
    bytes_per_token     text bytes per token
    tokens_per_word     tokens per pretoken
    unused_share        share of the vocabulary no word of the text uses
    unknown_share       share of the text bytes outside the alphabet (dropped)
    longest_token_bytes, median_token_bytes   over the token occurrences
and the totals behind them: words, distinct_words, text_bytes, tokens,
unknown_bytes, unused_tokens, token_length_histogram (index: bytes) and
token_uses (index: token id, the occurrences of each token).
"""

import json
import os
import tempfile
import zlib

import selkbar
from selkbar_base import merge_pair

__all__ = ["evaluate", "load_tokenizer", "evaluate_counts", "HeldOutSplit", "format_table"]


class Model:
    """One tokenizer as the native evaluation takes it, and the pretokenizer
    its held-out words are counted with."""

    def __init__(self, name, tokens, merges, pretokenizer, pattern=None, prefix=None,
                 suffix=None, ignore_merges=False):
        self.name = name
        self.tokens = tokens
        self.merges = merges
        self.pretokenizer = pretokenizer
        self.pattern = pattern
        self.prefix = prefix
        self.suffix = suffix
        self.ignore_merges = ignore_merges

    @property
    def byte_level(self):
        return self.pretokenizer != "whitespace"

    def native(self):
        return (str(self.name), self.tokens, self.merges, self.byte_level, self.prefix,
                self.suffix, self.ignore_merges)


_NAMED_PATTERNS = None


def _named_patterns():
    """The Split regex each named byte-level pretokenizer writes, read from
    a tokenizer.json trained on nothing."""
    global _NAMED_PATTERNS
    if _NAMED_PATTERNS is None:
        found = {}
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "tokenizer.json")
            for name in ("gpt4", "o200k"):
                empty = selkbar.WordCounts.from_items([], pretokenizer=name)
                selkbar.train_tokenizer_from_counts(empty, 1, path)
                with open(path, encoding="utf-8") as f:
                    steps = json.load(f)["pre_tokenizer"]["pretokenizers"]
                found[steps[0]["pattern"]["Regex"]] = name
        _NAMED_PATTERNS = found
    return _NAMED_PATTERNS


def _pretokenizer_of(step, path):
    """(pretokenizer, pattern) for a tokenizer.json pre_tokenizer."""
    kind = step.get("type") if isinstance(step, dict) else None
    if kind == "WhitespaceSplit":
        return "whitespace", None
    if kind == "ByteLevel" and step.get("use_regex", True) and not step.get("add_prefix_space"):
        return "bytelevel", None
    if kind == "Sequence" and len(step.get("pretokenizers", ())) == 2:
        split, byte_level = step["pretokenizers"]
        regex = split.get("pattern", {}).get("Regex") if split.get("type") == "Split" else None
        if (regex is not None and split.get("behavior") == "Isolated" and not split.get("invert")
                and byte_level.get("type") == "ByteLevel" and not byte_level.get("use_regex")
                and not byte_level.get("add_prefix_space")):
            named = _named_patterns().get(regex)
            return (named, None) if named else ("bytelevel", regex)
    raise ValueError(f"{path}: pre_tokenizer {json.dumps(step)[:200]} is not one selkbar "
                     "splits by (WhitespaceSplit, ByteLevel, or Split then ByteLevel)")


def load_tokenizer(path):
    """The Model of a tokenizer.json. Raises ValueError naming the file for
    what it cannot evaluate as the library would encode it."""
    path = os.fspath(path)
    with open(path, encoding="utf-8") as f:
        try:
            document = json.load(f)
        except ValueError as error:
            raise ValueError(f"{path}: not a JSON document: {error}") from None
    model = document.get("model") if isinstance(document, dict) else None
    if not isinstance(model, dict):
        raise ValueError(f"{path}: not a tokenizer.json (no model)")
    if model.get("type", "BPE") != "BPE" or not isinstance(model.get("vocab"), dict):
        raise ValueError(f"{path}: the model is not BPE")
    merges = model.get("merges", [])
    if not isinstance(merges, list):
        raise ValueError(f"{path}: the model's merges are not a list")
    if document.get("normalizer") is not None:
        raise ValueError(f"{path}: has a normalizer, which evaluation does not apply")
    for key in ("dropout", "unk_token"):
        if model.get(key) is not None:
            raise ValueError(f"{path}: the model sets {key}, which evaluation does not apply")
    if model.get("byte_fallback"):
        raise ValueError(f"{path}: the model sets byte_fallback, which evaluation does not apply")
    pretokenizer, pattern = _pretokenizer_of(document.get("pre_tokenizer"), path)
    merges = [merge_pair(entry, index, path) for index, entry in enumerate(merges)]
    return Model(path, _tokens_by_id(model["vocab"], path), merges, pretokenizer, pattern,
                 model.get("continuing_subword_prefix"), model.get("end_of_word_suffix"),
                 bool(model.get("ignore_merges")))


def _tokens_by_id(vocab, what):
    tokens = [None] * len(vocab)
    for token, token_id in vocab.items():
        if not isinstance(token_id, int) or not 0 <= token_id < len(tokens) \
                or tokens[token_id] is not None:
            raise ValueError(f"{what}: the vocabulary's ids are not 0 .. {len(tokens) - 1}, "
                             f"each once (token {token!r} has id {token_id!r})")
        tokens[token_id] = token
    return tokens


def _model_of(tokenizer, index):
    if isinstance(tokenizer, (str, os.PathLike)):
        return load_tokenizer(tokenizer)
    if not isinstance(tokenizer, tuple) or len(tokenizer) not in (3, 4):
        raise TypeError(f"tokenizer {index}: expected a tokenizer.json path or a tuple "
                        f"(vocab, merges, pretokenizer[, options]), got {type(tokenizer).__name__}")
    vocab, merges, pretokenizer = tokenizer[:3]
    options = dict(tokenizer[3]) if len(tokenizer) == 4 else {}
    unknown = set(options) - {"continuing_subword_prefix", "end_of_word_suffix", "pattern"}
    if unknown:
        raise TypeError(f"tokenizer {index}: unknown options {sorted(unknown)}")
    if pretokenizer not in selkbar._PRETOKENIZERS:
        raise ValueError(f"tokenizer {index}: unknown pretokenizer {pretokenizer!r} "
                         f"(want one of {', '.join(selkbar._PRETOKENIZERS)})")
    return Model(f"#{index}", _tokens_by_id(vocab, f"tokenizer {index}"),
                 [tuple(pair) for pair in merges], pretokenizer, options.get("pattern"),
                 options.get("continuing_subword_prefix"), options.get("end_of_word_suffix"))


def _is_files(items):
    """Paths, not texts: a list or tuple of os.PathLike items, or of str
    items that all name existing files. Anything else (a generator) is texts,
    and is not consumed here."""
    if not isinstance(items, (list, tuple)):
        return False
    if items and all(isinstance(item, os.PathLike) for item in items):
        return True
    return bool(items) and all(isinstance(item, str) and len(item) < 4096
                               and "\n" not in item and os.path.isfile(item) for item in items)


def _file_sample(files, sample_bytes):
    """File blocks (data, path, offset) of the first whole lines of the files,
    in order, until sample_bytes are taken."""
    left = sample_bytes
    for path in files:
        if left <= 0:
            return
        with open(path, "rb") as f:
            data = f.read(left)
            if len(data) == left:
                data += f.readline()  # to the end of the line
        if data:
            yield (data, path, 0)
        left -= len(data)


def _text_sample(texts, sample_bytes):
    """The first texts, whole, until sample_bytes (UTF-8) are taken."""
    taken = 0
    for text in texts:
        if taken >= sample_bytes:
            return
        taken += len(text.encode("utf-8", "surrogatepass"))
        yield text


def count_held_out(texts_or_files, pretokenizer, pattern=None, *, sample_bytes=None,
                   threads=None, progress=False):
    """The held-out text counted as training counts it (a WordCounts)."""
    options = dict(pretokenizer=pretokenizer, pattern=pattern, threads=threads,
                   progress=progress)
    items = texts_or_files
    if _is_files(items):
        files = [os.fspath(path) for path in items]
        if sample_bytes is None:
            return selkbar.count_words(files, **options)
        return selkbar._count_words_from_items(_file_sample(files, sample_bytes), **options)
    if sample_bytes is not None:
        items = _text_sample(items, sample_bytes)
    return selkbar.count_words_from_iterator(items, **options)


def _models(tokenizers):
    if isinstance(tokenizers, (str, os.PathLike, tuple)):
        tokenizers = [tokenizers]
    return [_model_of(tokenizer, i) for i, tokenizer in enumerate(tokenizers)]


def _rows(models, counts, threads, progress):
    figures = selkbar._evaluate_counts(counts, [model.native() for model in models],
                                       threads=threads, progress=progress)
    return [dict(tokenizer=model.name, **row) for model, row in zip(models, figures)]


def evaluate_counts(tokenizers, counts, *, threads=None, progress=False):
    """evaluate() on held-out text already counted (a WordCounts), with the
    pretokenizer every tokenizer must have been trained with."""
    models = _models(tokenizers)
    for model in models:
        if model.byte_level != (counts.pretokenizer != "whitespace"):
            raise ValueError(f"tokenizer {model.name}: its pretokenizer {model.pretokenizer!r} "
                             f"is not the counts' {counts.pretokenizer!r}")
    return _rows(models, counts, threads, progress)


def evaluate(tokenizers, texts_or_files, *, sample_bytes=None, threads=None, progress=False):
    """One row of figures per tokenizer, on the same held-out text (see the
    module's documentation). texts_or_files: paths of UTF-8 text files
    (os.PathLike, or str naming existing files) or an iterable of texts.
    sample_bytes: read only about this many bytes of it (whole lines of the
    files, whole texts). threads: the thread budget (None: every processor).
    progress: draw the counting and encoding on standard error."""
    models = _models(tokenizers)
    if sample_bytes is not None and (isinstance(sample_bytes, bool)
                                     or not isinstance(sample_bytes, int) or sample_bytes < 1):
        raise ValueError(f"sample_bytes must be a positive int, got {sample_bytes!r}")
    if isinstance(texts_or_files, (str, os.PathLike)):
        raise TypeError("texts_or_files: pass a list of paths or an iterable of texts, "
                        "e.g. [path]")
    groups = {}
    for index, model in enumerate(models):
        groups.setdefault((model.pretokenizer, model.pattern), []).append(index)
    if len(groups) > 1 and not isinstance(texts_or_files, (list, tuple)):
        texts_or_files = list(texts_or_files)  # read once per pretokenizer
    rows = [None] * len(models)
    for (pretokenizer, pattern), indexes in groups.items():
        counts = count_held_out(texts_or_files, pretokenizer, pattern,
                                sample_bytes=sample_bytes, threads=threads, progress=progress)
        for i, row in zip(indexes, _rows([models[i] for i in indexes], counts, threads,
                                         progress)):
            rows[i] = row
    return rows


# ---------------------------------------------------------------------------
# The command line's held-out text and table


class HeldOutSplit:
    """Holds out a deterministic fraction of the input lines from training.

    A line is held out when the CRC-32 of its bytes falls below fraction *
    2**32: the same lines whatever the order, the thread count or the block
    sizes, and a line repeated in the corpus is held out everywhere, so no
    held-out line is also trained on. Takes the items of a TextReader made
    with file_blocks=True (file blocks, and lists of texts for JSON Lines)
    and yields the items to train on, keeping the held-out ones in `held`."""

    def __init__(self, fraction):
        if not 0 < fraction < 1:
            raise ValueError(f"the held-out fraction must be between 0 and 1, got {fraction}")
        self.bound = int(fraction * (1 << 32))
        self.held = []

    def _held_out(self, data):
        return zlib.crc32(data) < self.bound

    def split(self, items):
        for item in items:
            if isinstance(item, tuple) and len(item) == 3:
                yield from self._split_block(*item)
            elif isinstance(item, list):
                kept, held = [], []
                for text in item:
                    (held if self._held_out(text.encode("utf-8", "surrogatepass"))
                     else kept).append(text)
                if held:
                    self.held.append(held)
                if kept:
                    yield kept
            else:
                raise ValueError("a held-out fraction takes text and JSON Lines inputs, "
                                 "not Parquet")

    def _split_block(self, data, source, offset):
        lines = bytes(data).split(b"\n")
        tail = lines.pop()  # after the last newline: empty, or a line without one
        bound, crc32 = self.bound, zlib.crc32
        kept, held = [], []
        for line in lines:
            (held if crc32(line.rstrip(b"\r")) < bound else kept).append(line)
        kept_bytes = b"".join(line + b"\n" for line in kept)
        held_bytes = b"".join(line + b"\n" for line in held)
        if tail:
            if crc32(tail.rstrip(b"\r")) < bound:
                held_bytes += tail
            else:
                kept_bytes += tail
        if held_bytes:
            self.held.append((held_bytes, source, offset))
        if kept_bytes:
            yield (kept_bytes, source, offset)


_COLUMNS = [("held-out", None), ("vocab", "vocab_size"), ("bytes/token", "bytes_per_token"),
            ("tokens/word", "tokens_per_word"), ("unused", "unused_share"),
            ("unknown", "unknown_share"), ("longest", "longest_token_bytes"),
            ("median", "median_token_bytes")]


def _cell(key, value):
    if key in ("unused_share", "unknown_share"):
        return f"{100 * value:.2f}%"
    if isinstance(value, float):
        return f"{value:.3f}"
    return str(value)


def format_table(evaluations):
    """The figures as a plain text table, one line per held-out set and
    tokenizer: evaluations maps a held-out set's name to its rows."""
    lines = [[title for title, _ in _COLUMNS]]
    for name, rows in evaluations.items():
        for row in rows:
            lines.append([name] + [_cell(key, row[key]) for _, key in _COLUMNS[1:]])
    widths = [max(len(line[i]) for line in lines) for i in range(len(_COLUMNS))]
    return "\n".join(
        "  ".join(cell.ljust(w) if i == 0 else cell.rjust(w)
                  for i, (cell, w) in enumerate(zip(line, widths))).rstrip()
        for line in lines)
