"""tiktoken encodings from byte-level tokenizer.json files.

tiktoken_encoding(path) reads a tokenizer.json of the byte-level family
(pretokenizer "bytelevel", "gpt4", "o200k" or a custom pattern) and returns
the same tokenizer as a tiktoken.Encoding:

  pat_str          the split pattern: GPT-2's for the ByteLevel pre-tokenizer
                   with its own regex, the Split pattern of a Sequence of a
                   Split and a ByteLevel without one
  mergeable_ranks  every vocabulary token but the added (special) ones, as
                   the bytes its byte-level characters stand for, rank = id
  special_tokens   the added tokens, content -> id

Within each piece its pattern cuts, tiktoken merges the adjacent pair whose
joined bytes have the lowest rank, where the tokenizers library applies the
file's merges by their order; on vocabularies trained by BPE the two give the
same ids. tiktoken fails on a byte it has no rank for, so a vocabulary that
lacks any of the 256 bytes is refused: train it with
initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET.

tiktoken is optional (pip install "selkbar[tiktoken]") and imported only
here, when an encoding is made.
"""

import json
import os

__all__ = ["tiktoken_encoding"]

# The split rule of the ByteLevel pre-tokenizer when it applies its own regex.
GPT2_PATTERN = (r"'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+"
                r"|\s+(?!\S)|\s+")

MISSING_TIKTOKEN = ('tiktoken_encoding needs the tiktoken package, which is not installed: '
                    'pip install "selkbar[tiktoken]"')


def _char_to_byte():
    """The byte-level alphabet, character -> byte: printable bytes stand for
    themselves, the other 68 in increasing order for U+0100 upwards."""
    printable = [b for b in range(256) if 0x21 <= b <= 0x7E or 0xA1 <= b <= 0xAC or b >= 0xAE]
    others = [b for b in range(256) if b not in printable]
    table = {chr(b): b for b in printable}
    table.update({chr(0x100 + i): b for i, b in enumerate(others)})
    return table


def _split_pattern(pre_tokenizer, path):
    """The pattern tiktoken splits with, from the pre_tokenizer block."""
    kind = (pre_tokenizer or {}).get("type")
    if kind == "ByteLevel" and pre_tokenizer.get("use_regex", True):
        return GPT2_PATTERN
    if kind == "Sequence":
        steps = pre_tokenizer.get("pretokenizers", [])
        if (len(steps) == 2 and steps[0].get("type") == "Split"
                and "Regex" in steps[0].get("pattern", {})
                and steps[0].get("behavior") == "Isolated" and not steps[0].get("invert")
                and steps[1].get("type") == "ByteLevel" and not steps[1].get("use_regex", True)):
            return steps[0]["pattern"]["Regex"]
    raise ValueError(f"{path}: pre-tokenizer {json.dumps(pre_tokenizer)} has no tiktoken form; "
                     f'tiktoken_encoding reads byte-level tokenizers (pretokenizer "bytelevel", '
                     f'"gpt4", "o200k" or a pattern)')


def _mergeable_ranks(model, special_ids, path):
    """Token bytes -> id for every ordinary token; all 256 bytes required."""
    for key in ("continuing_subword_prefix", "end_of_word_suffix"):
        if model.get(key):
            raise ValueError(f"{path}: tiktoken has no {key} ({model[key]!r}); its tokens are "
                             f"plain bytes")
    to_byte = _char_to_byte()
    ranks = {}
    for token, rank in model["vocab"].items():
        if rank in special_ids:
            continue
        try:
            ranks[bytes(to_byte[c] for c in token)] = rank
        except KeyError as error:
            raise ValueError(f"{path}: token {token!r} (id {rank}) holds {error.args[0]!r}, "
                             f"which is not in the byte-level alphabet") from None
    missing = [b for b in range(256) if bytes([b]) not in ranks]
    if missing:
        raise ValueError(f"{path}: the vocabulary lacks {len(missing)} of the 256 bytes (the "
                         f"first 0x{missing[0]:02X}), and tiktoken fails on text holding one: "
                         f"train with initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET")
    return ranks


def tiktoken_encoding(tokenizer_json_path, name=None):
    """The tiktoken.Encoding of a byte-level tokenizer.json: its split
    pattern, its ordinary tokens as mergeable ranks (rank = id) and its added
    tokens as special tokens. name defaults to the file's name without its
    extension. Raises ImportError when tiktoken is not installed, ValueError
    for a tokenizer with no tiktoken form, OSError when the file cannot be read."""
    try:
        import tiktoken
    except ImportError as error:
        raise ImportError(MISSING_TIKTOKEN) from error
    path = os.fspath(tokenizer_json_path)
    with open(path, encoding="utf-8") as file:
        document = json.load(file)
    model = document.get("model") or {}
    if model.get("type") != "BPE":
        raise ValueError(f"{path}: model {model.get('type')!r} is not BPE")
    special_tokens = {entry["content"]: entry["id"] for entry in document.get("added_tokens", [])}
    pattern = _split_pattern(document.get("pre_tokenizer"), path)
    ranks = _mergeable_ranks(model, set(special_tokens.values()), path)
    if name is None:
        name = os.path.splitext(os.path.basename(path))[0]
    return tiktoken.Encoding(name, pat_str=pattern, mergeable_ranks=ranks,
                             special_tokens=special_tokens)
