#!/usr/bin/env python3
"""Benchmark of training from Python data against training on the file, and
against the tokenizers library trained both ways, in one run.

For each corpus and pretokenizer, each way runs in a fresh process, the ways
taking turns so that none gets a warmer machine. The corpus is in memory
before the clock starts (a list of 1,000-text batches, or an Arrow column),
as it would be in a user's program:

  file      selkbar.train_bpe([FILE], V)
  batches   selkbar.train_bpe_from_iterator(iter(batches of 1,000 str), V)
  arrow     selkbar.train_bpe_from_iterator(pyarrow ChunkedArray, V)
  lib-file  the library's Tokenizer.train([FILE])             (--library)
  lib-iter  the library's Tokenizer.train_from_iterator(batches) (--library)

The texts are the file's lines, each with its line feed, so all five train
on the same words and the three selkbar ways must agree (checked; a
difference makes the exit status 1). It prints the median wall time of each
way and the ratios the targets are stated in:
  batches / file   target at most 1.5
  arrow / file     target at most 1.2
  lib-iter / batches and lib-iter / arrow, against lib-file / file: the
  iterator ways must be at least as far ahead of the library's iterator
  training as train_bpe is ahead of its file training.

Usage:
    .venv/bin/python bench/iterator_bench.py --size 100M --library
    nice .venv/bin/python bench/iterator_bench.py --size 1G --runs 3 --library
"""

import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import gen_corpus  # noqa: E402
from bench_common import corpora, library_tokenizer, result_digest  # noqa: E402

WAYS = ["file", "batches", "arrow"]
LIBRARY_WAYS = ["lib-file", "lib-iter"]


def read_lines(path):
    with open(path, encoding="utf-8", newline="") as f:
        return re.findall(r"[^\n]*\n|[^\n]+$", f.read())


def worker(args):
    """One timed training in this process; prints a JSON line."""
    path, mode, way = args.files[0], args.mode, args.worker
    source = None
    if way in ("batches", "arrow", "lib-iter"):
        lines = read_lines(path)
        batches = [lines[i:i + 1000] for i in range(0, len(lines), 1000)]
        del lines
        if way == "arrow":
            import pyarrow as pa
            source = pa.chunked_array(batches, pa.large_string())
            del batches
        else:
            source = batches
    start = time.perf_counter()
    if way.startswith("lib"):
        from tokenizers import trainers
        tokenizer = library_tokenizer(mode)
        trainer = trainers.BpeTrainer(vocab_size=args.vocab, show_progress=False,
                                      initial_alphabet=[])
        if way == "lib-file":
            tokenizer.train([path], trainer)
        else:
            tokenizer.train_from_iterator(iter(source), trainer)
        elapsed = time.perf_counter() - start
        result = ""
    else:
        import selkbar
        if way == "file":
            vocab, merges = selkbar.train_bpe([path], args.vocab, pretokenizer=mode,
                                              threads=args.threads)
        elif way == "batches":
            vocab, merges = selkbar.train_bpe_from_iterator(iter(source), args.vocab,
                                                            pretokenizer=mode, threads=args.threads)
        else:
            vocab, merges = selkbar.train_bpe_from_iterator(source, args.vocab, pretokenizer=mode,
                                                            threads=args.threads)
        elapsed = time.perf_counter() - start
        result = result_digest(vocab, merges)
    print(json.dumps({"seconds": elapsed, "digest": result}))


def run_worker(way, path, args, mode):
    command = [sys.executable, __file__, "--worker", way, "--mode", mode, "--vocab",
               str(args.vocab), "--threads", str(args.threads), path]
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def report(path, size, mode, runs):
    med = {way: statistics.median(r["seconds"] for r in results) for way, results in runs.items()}
    digests = {r["digest"] for way in WAYS for r in runs[way]}
    print(f"\n{os.path.basename(path)} ({size / 1e6:.0f} MB), {mode}:")
    for way, seconds in med.items():
        print(f"  {way:9s} median {seconds:8.2f} s   ({size / 1e6 / seconds:7.1f} MB/s)")
    print(f"  batches / file  {med['batches'] / med['file']:.2f}  (target <= 1.5)")
    print(f"  arrow / file    {med['arrow'] / med['file']:.2f}  (target <= 1.2)")
    if "lib-file" in med:
        lead_file = med["lib-file"] / med["file"]
        print(f"  library file / selkbar file          {lead_file:6.1f}x")
        for way in ("batches", "arrow"):
            lead = med["lib-iter"] / med[way]
            verdict = "ok" if lead >= lead_file else "BELOW"
            print(f"  library iterator / selkbar {way:8s}  {lead:6.1f}x  ({verdict}: "
                  f"at least {lead_file:.1f}x wanted)")
    same = len(digests) == 1
    print(f"  same vocabulary and merges across file, batches and arrow: {'yes' if same else 'NO'}")
    return same


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", default="100M", help="corpus sizes, comma-separated (default 100M)")
    ap.add_argument("--mix", default="multi", choices=sorted(gen_corpus.MIXES))
    ap.add_argument("--modes", default="whitespace,bytelevel")
    ap.add_argument("--vocab", type=int, default=32000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--runs", type=int, default=3, help="runs of each way (default 3)")
    ap.add_argument("--library", action="store_true",
                    help="also train the tokenizers library both ways (slow)")
    ap.add_argument("--seed-dir", default=gen_corpus.DEFAULT_SEED_DIR,
                    help="the texts gen_corpus grows its corpora from (default %(default)s)")
    ap.add_argument("--corpus", action="append", default=[],
                    help="benchmark this text file instead of a generated corpus (repeatable)")
    ap.add_argument("--worker", choices=WAYS + LIBRARY_WAYS, help=argparse.SUPPRESS)
    ap.add_argument("--mode", help=argparse.SUPPRESS)
    ap.add_argument("files", nargs="*", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        worker(args)
        return 0

    import selkbar
    print(f"iterator_bench: selkbar {selkbar.__version__}, vocab {args.vocab}, threads "
          f"{args.threads}, {os.cpu_count()} processors, {args.runs} runs per way")
    ways = WAYS + (LIBRARY_WAYS if args.library else [])
    all_same = True
    for path, size in corpora(args):
        for mode in args.modes.split(","):
            runs = {way: [] for way in ways}
            for _ in range(args.runs):
                for way in ways:
                    runs[way].append(run_worker(way, path, args, mode))
            all_same &= report(path, size, mode, runs)
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())
