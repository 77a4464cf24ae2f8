"""What the benchmark scripts share: how two trainings are compared, which
corpora a run measures, and the library set up as selkbar's counterpart."""

import hashlib
import json
import os

import gen_corpus


def result_digest(vocab, merges):
    """A short fingerprint of a training's vocabulary (in id order) and merges,
    so that runs in separate processes can be compared."""
    text = json.dumps([sorted(vocab.items(), key=lambda kv: kv[1]), [list(m) for m in merges]],
                      ensure_ascii=False)
    return hashlib.sha256(text.encode()).hexdigest()[:16]


def corpora(args):
    """[(path, bytes)]: the --corpus files if given, else a generated corpus of
    each comma-separated --size (cached by gen_corpus)."""
    if args.corpus:
        return [(path, os.path.getsize(path)) for path in args.corpus]
    found = []
    for size in args.size.split(","):
        path, stats = gen_corpus.ensure(size, args.mix, seed_dir=args.seed_dir)
        found.append((path, stats["bytes"]))
    return found


# GPT-4's split pattern (tiktoken's cl100k_base): selkbar's "gpt4"
# pretokenizer, and the pattern of the regex-driven trainers compared with it.
GPT4_PATTERN = (r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]++[\r\n]*|"""
                r"""\s*[\r\n]|\s+(?!\S)|\s+""")


# o200k_base's split pattern, as tiktoken publishes it: selkbar's "o200k".
O200K_PATTERN = (r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+"""
                 r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)?|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+"""
                 r"""[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?|\p{N}{1,3}|"""
                 r""" ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+""")


def pattern_pre_tokenizer(pattern):
    """The library's counterpart of selkbar splitting by `pattern` and then
    spelling bytes with the byte-level alphabet: each match is its own
    pretoken (behavior "isolated"), and ByteLevel only maps bytes, it does not
    split again."""
    from tokenizers import Regex, pre_tokenizers
    return pre_tokenizers.Sequence([
        pre_tokenizers.Split(Regex(pattern), behavior="isolated", invert=False),
        pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)])


def library_tokenizer(mode):
    """An empty tokenizers BPE tokenizer with the pre-tokenizer that matches
    selkbar's `mode` ("whitespace", "bytelevel", "gpt4" or "o200k")."""
    from tokenizers import Tokenizer, models, pre_tokenizers
    tokenizer = Tokenizer(models.BPE())
    if mode == "whitespace":
        tokenizer.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
    elif mode == "bytelevel":
        tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)
    elif mode == "gpt4":
        tokenizer.pre_tokenizer = pattern_pre_tokenizer(GPT4_PATTERN)
    elif mode == "o200k":
        tokenizer.pre_tokenizer = pattern_pre_tokenizer(O200K_PATTERN)
    else:
        raise ValueError(f"unknown mode {mode!r}")
    return tokenizer
