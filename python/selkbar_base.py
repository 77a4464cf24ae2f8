"""The vocabulary and merges of a tokenizer.json, for training that continues
from it (the ``base=`` argument of every training function).

The extension calls :func:`read_base` with the path a caller passed; the
checks that need the whole model (distinct ids, merges formable from the
vocabulary) are the extension's, so that a ``(vocab, merges)`` pair passed
directly is checked the same way.
"""

import json
import os

__all__ = ["read_base", "merge_pair"]


def merge_pair(entry, index, what):
    """The (left, right) of merge number ``index`` of a tokenizer.json's
    model; raises ValueError starting with ``what`` (which names the file)
    when the entry is neither spelling of a pair."""
    # Two spellings of a merge exist: "a b" (one space between the parts,
    # which therefore contain no space; the library refuses any other count)
    # and ["a", "b"].
    if isinstance(entry, str):
        parts = entry.split(" ")
        if len(parts) == 2:
            return parts[0], parts[1]
    elif isinstance(entry, list) and len(entry) == 2 and all(isinstance(p, str) for p in entry):
        return entry[0], entry[1]
    raise ValueError(f"{what}: merge {index} is {entry!r}, not a pair of tokens")


def read_base(path):
    """Returns (vocab, merges, continuing_subword_prefix, end_of_word_suffix)
    of the BPE model in the tokenizer.json at ``path``.

    vocab maps every token to its id: the model's vocabulary and the added
    tokens (special tokens) it does not hold. Raises ValueError naming the
    file when it is no tokenizer.json or its model is not BPE, and OSError
    when it cannot be read.
    """
    path = os.fspath(path)
    with open(path, "rb") as file:
        data = file.read()
    try:
        document = json.loads(data)
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ValueError(f"base {path}: not a tokenizer.json ({error})") from None
    model = document.get("model") if isinstance(document, dict) else None
    if not isinstance(model, dict):
        raise ValueError(f"base {path}: not a tokenizer.json (no model)")
    kind = model.get("type", "BPE" if "merges" in model else None)
    if kind != "BPE":
        raise ValueError(f"base {path}: the model is {kind}, not BPE; only a BPE model can be continued")
    vocab = model.get("vocab")
    merges = model.get("merges")
    if not isinstance(vocab, dict) or not isinstance(merges, list):
        raise ValueError(f"base {path}: the BPE model has no vocab or merges")
    vocab = dict(vocab)
    for added in document.get("added_tokens") or []:
        if isinstance(added, dict) and isinstance(added.get("content"), str):
            vocab.setdefault(added["content"], added.get("id"))
    pairs = [merge_pair(entry, index, f"base {path}") for index, entry in enumerate(merges)]
    return vocab, pairs, model.get("continuing_subword_prefix"), model.get("end_of_word_suffix")
