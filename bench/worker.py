#!/usr/bin/env python3
"""One timed training run in a fresh process, for bench/run.py.

    worker.py {selkbar|tokenizers} --mode {whitespace|bytelevel} --vocab N
              --threads T --dump OUT.json FILE...

Trains once, then prints one JSON line on stdout:
    {"wall_s": ..., "cpu_s": ..., "user_s": ..., "sys_s": ...,
     "peak_rss_kb": ..., "rss_before_kb": ..., "vocab_size": ..., "merges": ...}
wall_s and cpu_s cover the training call only (not interpreter start-up,
imports or the dump); peak_rss_kb is the process's peak resident set
(ru_maxrss), which includes the interpreter and the imported library, whose
share is rss_before_kb. The vocabulary and merges are written to OUT.json as
{"vocab": {token: id}, "merges": [[left, right], ...]}.

The thread budget of the tokenizers library is taken from RAYON_NUM_THREADS,
which the caller sets; selkbar gets it as threads=T.
"""

import argparse
import json
import resource
import sys
import time


def train_selkbar(files, vocab_size, mode, threads):
    import selkbar
    if not hasattr(selkbar, "train_bpe"):
        raise SystemExit("worker: this selkbar build has no train_bpe")

    def run():
        vocab, merges = selkbar.train_bpe(files, vocab_size, pretokenizer=mode, threads=threads)
        return vocab, merges

    return run


def train_tokenizers(files, vocab_size, mode, threads):
    from tokenizers import Tokenizer, models, pre_tokenizers, trainers

    tokenizer = Tokenizer(models.BPE())
    if mode == "whitespace":
        tokenizer.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
    else:
        tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, min_frequency=0, show_progress=False,
                                  special_tokens=[], initial_alphabet=[])

    def run():
        tokenizer.train(files, trainer)
        return tokenizer, None

    return run


def merges_of(tokenizer):
    merges = json.loads(tokenizer.to_str())["model"]["merges"]
    # Older releases wrote each merge as one "left right" string.
    return [m.split(" ", 1) if isinstance(m, str) else m for m in merges]


def cpu_seconds(usage):
    return usage.ru_utime + usage.ru_stime


def main(argv=None):
    ap = argparse.ArgumentParser()
    ap.add_argument("impl", choices=["selkbar", "tokenizers"])
    ap.add_argument("files", nargs="+")
    ap.add_argument("--mode", choices=["whitespace", "bytelevel"], required=True)
    ap.add_argument("--vocab", type=int, required=True)
    ap.add_argument("--threads", type=int, required=True)
    ap.add_argument("--dump", required=True)
    args = ap.parse_args(argv)

    make = train_selkbar if args.impl == "selkbar" else train_tokenizers
    run = make(args.files, args.vocab, args.mode, args.threads)

    before = resource.getrusage(resource.RUSAGE_SELF)
    t0 = time.perf_counter()
    a, b = run()
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_SELF)

    if args.impl == "selkbar":
        vocab, merges = a, [list(m) for m in b]
    else:
        vocab, merges = a.get_vocab(), merges_of(a)
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
