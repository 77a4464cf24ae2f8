#!/usr/bin/env python3
"""One timed training run in a fresh process, for bench/run.py.

    worker.py {selkbar|tokenizers|sentencepiece|rustbpe|bpeasy}
              --mode {whitespace|bytelevel|gpt4|o200k} --vocab N --threads T --dump OUT.json FILE...

Trains once, then prints one JSON line on stdout:
    {"wall_s": ..., "cpu_s": ..., "user_s": ..., "sys_s": ...,
     "peak_rss_kb": ..., "rss_before_kb": ..., "vocab_size": ..., "merges": ...}
wall_s and cpu_s cover the training call only (not interpreter start-up,
imports or the dump); peak_rss_kb is the process's peak resident set
(ru_maxrss), which includes the interpreter and the imported library, whose
share is rss_before_kb. The vocabulary and merges are written to OUT.json as
{"vocab": {token: id}, "merges": [[left, right], ...]}.

The thread budget of the tokenizers library, rustbpe and bpeasy (all three
use rayon's pool) is taken from RAYON_NUM_THREADS, which the caller sets;
selkbar gets it as threads=T and SentencePiece as num_threads=T.

SentencePiece, rustbpe and bpeasy are other trainers a user might pick: each
has its own pre-tokenization (PRETOKENIZATION below says which), so their
vocabularies differ from selkbar's by design and only their time and memory
are comparable. Their vocabularies are still dumped, with bytes tokens as
hex, so that the caller can tell whether a trainer is deterministic.
"""

import argparse
import json
import os
import resource
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_common import GPT4_PATTERN, library_tokenizer  # noqa: E402

MODES = ("whitespace", "bytelevel", "gpt4", "o200k")
PEERS = ("sentencepiece", "rustbpe", "bpeasy")
# The module each trainer is imported as.
MODULES = {"selkbar": "selkbar", "tokenizers": "tokenizers", "sentencepiece": "sentencepiece",
           "rustbpe": "rustbpe", "bpeasy": "bpeasy"}

# In the byte-level modes both regex-driven peers take GPT-4's split pattern,
# the one rustbpe is built around.
# Whitespace mode: runs of non-whitespace, dropping the whitespace, as
# selkbar's and the library's whitespace split do.
WHITESPACE_PATTERN = r"\S+"
# bpeasy needs a cap on token length; selkbar has none, so the cap is set
# far above any token a 64000 vocabulary learns from natural text.
BPEASY_MAX_TOKEN_BYTES = 256

PRETOKENIZATION = {
    ("selkbar", "whitespace"): "split on Unicode whitespace",
    ("selkbar", "bytelevel"): "GPT-2's split pattern, bytes mapped to characters",
    ("tokenizers", "whitespace"): "WhitespaceSplit (same as selkbar)",
    ("tokenizers", "bytelevel"): "ByteLevel with GPT-2's pattern (same as selkbar)",
    ("selkbar", "gpt4"): "GPT-4's split pattern (cl100k), bytes mapped to characters",
    ("tokenizers", "gpt4"): "Sequence of Split with GPT-4's pattern (isolated) and ByteLevel without "
                            "its own regex (same as selkbar)",
    ("selkbar", "o200k"): "o200k's split pattern, bytes mapped to characters",
    ("tokenizers", "o200k"): "Sequence of Split with o200k's pattern (isolated) and ByteLevel without "
                             "its own regex (same as selkbar)",
    ("sentencepiece", "whitespace"):
        "its own: whitespace turned into \u2581, which starts each word, no split by script or digits, "
        "no normalization (identity), its default character coverage 0.9995",
    ("sentencepiece", "bytelevel"):
        "its own: whitespace turned into \u2581, which starts each word, split by Unicode script and "
        "digits (its defaults), no normalization (identity), its default character coverage 0.9995, byte fallback",
    ("rustbpe", "whitespace"): "regex \\S+ over lines from an iterator, byte-level",
    ("rustbpe", "bytelevel"): "GPT-4's pattern over lines from an iterator, byte-level",
    ("bpeasy", "whitespace"): "regex \\S+ over lines from an iterator, byte-level, tokens up to "
                              f"{BPEASY_MAX_TOKEN_BYTES} bytes",
    ("bpeasy", "bytelevel"): "GPT-4's pattern over lines from an iterator, byte-level, tokens up to "
                             f"{BPEASY_MAX_TOKEN_BYTES} bytes",
}
# The peers have one byte-level set-up: in gpt4 and o200k mode they run
# exactly as in bytelevel mode.
PRETOKENIZATION.update({(peer, mode): PRETOKENIZATION[(peer, "bytelevel")] + " (as in bytelevel mode)"
                        for peer in PEERS for mode in ("gpt4", "o200k")})


def train_selkbar(files, vocab_size, mode, threads, dump):
    import selkbar
    if not hasattr(selkbar, "train_bpe"):
        raise SystemExit("worker: this selkbar build has no train_bpe")

    def run():
        vocab, merges = selkbar.train_bpe(files, vocab_size, pretokenizer=mode, threads=threads)
        return vocab, merges

    return run, lambda vocab, merges: (vocab, [list(m) for m in merges])


def train_tokenizers(files, vocab_size, mode, threads, dump):
    from tokenizers import trainers

    tokenizer = library_tokenizer(mode)
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, min_frequency=0, show_progress=False,
                                  special_tokens=[], initial_alphabet=[])

    def run():
        tokenizer.train(files, trainer)
        return tokenizer, None

    return run, lambda t, _: (t.get_vocab(), merges_of(t))


def lines_of(files):
    for path in files:
        with open(path, encoding="utf-8") as f:
            yield from f


def peer_pattern(mode):
    return WHITESPACE_PATTERN if mode == "whitespace" else GPT4_PATTERN


def hex_vocab(ranks):
    """A peer's {bytes token: id} (or its list of pairs) as {hex: id}."""
    items = ranks.items() if isinstance(ranks, dict) else ranks
    return {bytes(token).hex(): int(rank) for token, rank in items}


def train_sentencepiece(files, vocab_size, mode, threads, dump):
    import sentencepiece as spm

    # Character coverage stays at its default (0.9995): 1.0, which would keep
    # every character as selkbar does, fails outright whenever the corpus has
    # more distinct characters than the vocabulary has room for.
    prefix = dump + ".sp"
    options = dict(input=",".join(files), model_prefix=prefix, model_type="bpe", vocab_size=vocab_size,
                   num_threads=threads, normalization_rule_name="identity",
                   bos_id=-1, eos_id=-1, max_sentence_length=1 << 20, minloglevel=1)
    if mode == "whitespace":
        options.update(split_by_unicode_script=False, split_by_number=False)
    else:
        options.update(byte_fallback=True)

    def run():
        spm.SentencePieceTrainer.train(**options)
        return None, None

    def finish(_, __):
        processor = spm.SentencePieceProcessor(model_file=prefix + ".model")
        vocab = {processor.id_to_piece(i): i for i in range(processor.get_piece_size())}
        for suffix in (".model", ".vocab"):
            if os.path.exists(prefix + suffix):
                os.remove(prefix + suffix)
        return vocab, []

    return run, finish


def train_rustbpe(files, vocab_size, mode, threads, dump):
    import rustbpe

    tokenizer = rustbpe.Tokenizer()

    def run():
        tokenizer.train_from_iterator(lines_of(files), vocab_size, pattern=peer_pattern(mode))
        return tokenizer, None

    return run, lambda t, _: (hex_vocab(t.get_mergeable_ranks()), [])


def train_bpeasy(files, vocab_size, mode, threads, dump):
    import bpeasy

    def run():
        return bpeasy.train_bpe(lines_of(files), peer_pattern(mode), BPEASY_MAX_TOKEN_BYTES, vocab_size), None

    return run, lambda ranks, _: (hex_vocab(ranks), [])


def merges_of(tokenizer):
    merges = json.loads(tokenizer.to_str())["model"]["merges"]
    # Older releases wrote each merge as one "left right" string.
    return [m.split(" ", 1) if isinstance(m, str) else m for m in merges]


def cpu_seconds(usage):
    return usage.ru_utime + usage.ru_stime


TRAINERS = {"selkbar": train_selkbar, "tokenizers": train_tokenizers,
            "sentencepiece": train_sentencepiece, "rustbpe": train_rustbpe, "bpeasy": train_bpeasy}


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("impl", choices=list(TRAINERS))
    ap.add_argument("files", nargs="+")
    ap.add_argument("--mode", choices=list(MODES), required=True)
    ap.add_argument("--vocab", type=int, required=True)
    ap.add_argument("--threads", type=int, required=True)
    ap.add_argument("--dump", required=True)
    args = ap.parse_args(argv)

    run, finish = TRAINERS[args.impl](args.files, args.vocab, args.mode, args.threads, args.dump)

    before = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    a, b = run()
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_SELF)

    vocab, merges = finish(a, b)
    # In id order, so that equal results give equal files (the library's
    # get_vocab() comes in hash-map order).
    vocab = dict(sorted(vocab.items(), key=lambda kv: kv[1]))
    with open(args.dump, "w", encoding="utf-8") as f:
        json.dump({"vocab": vocab, "merges": merges}, f, ensure_ascii=False)

    print(json.dumps({
        "wall_s": wall,
        "cpu_s": cpu_seconds(after) - cpu_seconds(before),
        "user_s": after.ru_utime - before.ru_utime,
        "sys_s": after.ru_stime - before.ru_stime,
        "peak_rss_kb": after.ru_maxrss,
        "rss_before_kb": before.ru_maxrss,
        "vocab_size": len(vocab),
        "merges": len(merges),
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())
