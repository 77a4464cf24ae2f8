#!/usr/bin/env python3
"""Benchmark of continued training (base=) and of superword training.

Every run is a fresh process (its peak RSS is its own), and the runs of the
cases compared alternate, so that neither gets a warmer machine:

  extend     scratch  train_bpe(corpus, V)
             extend   train_bpe(corpus, V, base=B), B the tokenizer.json of
                      a training to V - V * --extend-fraction, written once
                      beforehand and not timed; target: no slower than scratch
                      (and the same result, which is checked)
  superword  plain    train_bpe(corpus, SV, pretokenizer=gpt4), for memory
             stage 1  train_bpe(corpus, T, pretokenizer=gpt4)
             stage 2  train_bpe(corpus, SV, base=stage 1, pretokenizer=bytelevel,
                      pattern=SUPERWORD_PATTERN)
                      targets: stage 1 + stage 2 at most 120 s on 1 GB, and
                      the larger stage peak at most 4x plain's

It prints the medians (wall seconds, peak RSS) and the ratios. Usage:
    .venv/bin/python bench/continue_bench.py --corpus en-1G.txt --threads 2
    .venv/bin/python bench/continue_bench.py --size 100M --mix en --runs 3
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import gen_corpus  # noqa: E402
from bench_common import result_digest  # noqa: E402


def worker(args):
    """One run in this process; prints one JSON line."""
    import selkbar
    options = dict(threads=args.threads)
    if args.base:
        with open(args.base, encoding="utf-8") as file:
            vocab, merges = json.load(file)
        options["base"] = (vocab, [tuple(m) for m in merges])
    if args.pattern:
        options["pattern"] = selkbar.SUPERWORD_PATTERN
    start = time.perf_counter()
    vocab, merges = selkbar.train_bpe([args.corpus], args.vocab, pretokenizer=args.mode, **options)
    wall = time.perf_counter() - start
    if args.save:
        with open(args.save, "w", encoding="utf-8") as file:
            json.dump([vocab, merges], file)
    print(json.dumps({"wall_s": wall, "digest": result_digest(vocab, merges),
                      "tokens": len(vocab),
                      "peak_rss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}))


def run(corpus, vocab, mode, threads, base=None, pattern=False, save=None):
    command = [sys.executable, os.path.abspath(__file__), "--worker", "--mode", mode,
               "--vocab", str(vocab), "--threads", str(threads), "--corpus", corpus]
    if base:
        command += ["--base", base]
    if pattern:
        command += ["--pattern"]
    if save:
        command += ["--save", save]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"continue_bench: worker failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def median(runs, key):
    return statistics.median(r[key] for r in runs)


def show(name, runs):
    print(f"  {name:<9} wall {median(runs, 'wall_s'):8.2f} s   peak "
          f"{median(runs, 'peak_rss_kb') / 2**20:6.2f} GiB   tokens {runs[0]['tokens']}")


def bench_extend(args, scratch_dir):
    base_size = args.vocab - int(args.vocab * args.extend_fraction)
    base = os.path.join(scratch_dir, "base.json")
    run(args.corpus, base_size, args.mode, args.threads, save=base)
    scratch, extend = [], []
    for _ in range(args.runs):
        scratch.append(run(args.corpus, args.vocab, args.mode, args.threads))
        extend.append(run(args.corpus, args.vocab, args.mode, args.threads, base=base))
    print(f"extend {args.mode} {base_size} -> {args.vocab}, threads {args.threads}, "
          f"{args.runs} runs")
    show("scratch", scratch)
    show("extend", extend)
    same = scratch[0]["digest"] == extend[0]["digest"]
    print(f"  extend / scratch wall {median(extend, 'wall_s') / median(scratch, 'wall_s'):.3f}"
          f" (target <= 1), same result: {same}")
    return same


def bench_superword(args, scratch_dir):
    stage1_file = os.path.join(scratch_dir, "stage1.json")
    plain, stage1, stage2 = [], [], []
    for _ in range(args.runs):
        plain.append(run(args.corpus, args.superword_vocab, "gpt4", args.threads))
        stage1.append(run(args.corpus, args.transition, "gpt4", args.threads, save=stage1_file))
        stage2.append(run(args.corpus, args.superword_vocab, "bytelevel", args.threads,
                          base=stage1_file, pattern=True))
    print(f"superword gpt4 -> {args.transition} -> superwords to {args.superword_vocab}, "
          f"threads {args.threads}, {args.runs} runs")
    show("plain", plain)
    show("stage 1", stage1)
    show("stage 2", stage2)
    total = statistics.median(a["wall_s"] + b["wall_s"] for a, b in zip(stage1, stage2))
    peak = max(median(stage1, "peak_rss_kb"), median(stage2, "peak_rss_kb"))
    print(f"  superword total wall {total:.2f} s (target <= 120 on 1 GB), "
          f"peak / plain peak {peak / median(plain, 'peak_rss_kb'):.2f} (target <= 4)")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--base", help=argparse.SUPPRESS)
    ap.add_argument("--save", help=argparse.SUPPRESS)
    ap.add_argument("--pattern", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--corpus", help="a text file (default: generated, see --size and --mix)")
    ap.add_argument("--size", default="100M", help="generated corpus size (default 100M)")
    ap.add_argument("--mix", default="en", help="generated corpus mix (default en)")
    ap.add_argument("--mode", default="whitespace", help="pretokenizer of the extend case")
    ap.add_argument("--vocab", type=int, default=32000)
    ap.add_argument("--extend-fraction", type=float, default=0.1)
    ap.add_argument("--superword-vocab", type=int, default=64000)
    ap.add_argument("--transition", type=int, default=56000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--cases", default="extend,superword")
    args = ap.parse_args(argv)
    if args.worker:
        return worker(args)
    if args.corpus is None:
        args.corpus, _ = gen_corpus.ensure(args.size, args.mix)
    with tempfile.TemporaryDirectory() as scratch_dir:
        ok = True
        if "extend" in args.cases:
            ok = bench_extend(args, scratch_dir)
        if "superword" in args.cases:
            bench_superword(args, scratch_dir)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
