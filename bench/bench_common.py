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


def library_tokenizer(mode):
    """An empty tokenizers BPE tokenizer with the pre-tokenizer that matches
    selkbar's `mode` ("whitespace" or "bytelevel")."""
    from tokenizers import Tokenizer, models, pre_tokenizers
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = (pre_tokenizers.WhitespaceSplit() if mode == "whitespace" else
                               pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True))
    return tokenizer
