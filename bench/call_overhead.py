#!/usr/bin/env python3
"""Per-call overhead and end-to-end time of selkbar in the running interpreter.

Measures what a build of the module (one wheel per CPython version, or one
stable-ABI wheel for several) adds around the engine:

  * overhead: the wall time of one train_bpe call on a file of a few hundred
    bytes with vocab_size 50, where argument binding, thread start-up,
    reading and building the result objects are all there is. Many calls,
    after a warm-up; the median and the 10th/90th percentiles are printed.
  * --corpus FILE: the wall and CPU time of whole trainings on FILE
    (train_bpe, so the vocabulary and merges are built as Python objects
    too); the medians of --runs are printed. On a busy machine the CPU time
    is the steadier of the two.

Run it with each interpreter to compare, e.g.
    build/venvs/3.10/bin/python bench/call_overhead.py --corpus bench/data/multi-100M.txt
"""
import argparse
import os
import statistics
import sys
import sysconfig
import tempfile
import time

import selkbar

TINY_TEXT = (
    "The quick brown fox jumps over the lazy dog. A tokenizer learns merges from\n"
    "pairs of symbols that occur often: th, he, in, er, an. Lower, lowest, newer,\n"
    "wider; low and new. Zwölf Boxkämpfer jagen Viktor quer über den großen Sylter\n"
    "Deich. 東京の天気は晴れです。\n"
)


def percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, max(0, round(fraction * (len(sorted_values) - 1))))
    return sorted_values[index]


def measure_overhead(calls, warmup, threads):
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "tiny.txt")
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(TINY_TEXT)
        files = [path]
        for _ in range(warmup):
            selkbar.train_bpe(files, 50, threads=threads)
        times = []
        for _ in range(calls):
            start = time.perf_counter_ns()
            selkbar.train_bpe(files, 50, threads=threads)
            times.append(time.perf_counter_ns() - start)
    times.sort()
    return len(TINY_TEXT.encode()), times


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=3000, help="timed tiny calls (default 3000; 0 skips them)")
    parser.add_argument("--warmup", type=int, default=200, help="untimed calls first (default 200)")
    parser.add_argument("--threads", type=int, default=None,
                        help="thread budget of every call (default: all processors)")
    parser.add_argument("--corpus", help="also time whole trainings on this file")
    parser.add_argument("--vocab", type=int, default=32000, help="vocab_size for --corpus")
    parser.add_argument("--runs", type=int, default=3, help="trainings on --corpus (default 3)")
    args = parser.parse_args()

    build = os.path.basename(selkbar.__file__)
    print(f"python {sys.version.split()[0]} ({sysconfig.get_config_var('SOABI')}), module {build}")
    if args.calls > 0:
        size, times = measure_overhead(args.calls, args.warmup, args.threads)
        micro = [t / 1000 for t in times]
        print(f"overhead: {args.calls} calls of train_bpe on {size} bytes, vocab 50: "
              f"median {statistics.median(micro):.1f} us, p10 {percentile(micro, 0.1):.1f} us, "
              f"p90 {percentile(micro, 0.9):.1f} us")
    if args.corpus:
        size = os.path.getsize(args.corpus)
        walls, cpus = [], []
        for _ in range(args.runs):
            start, start_cpu = time.perf_counter(), time.process_time()
            vocab, merges = selkbar.train_bpe([args.corpus], args.vocab, threads=args.threads)
            walls.append(time.perf_counter() - start)
            cpus.append(time.process_time() - start_cpu)  # all threads of the process
        print(f"corpus: {args.runs} trainings on {args.corpus} ({size / 1e6:.0f} MB), vocab "
              f"{args.vocab} ({len(vocab)} tokens, {len(merges)} merges): median "
              f"{statistics.median(walls):.2f} s wall, {statistics.median(cpus):.2f} s CPU "
              f"(wall per run: {', '.join(f'{w:.2f}' for w in walls)})")


if __name__ == "__main__":
    main()
