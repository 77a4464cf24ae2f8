#!/usr/bin/env python3
"""Throughput of selkbar.evaluate: counting the held-out text, then encoding
its distinct words with each tokenizer, in MB of held-out text per second
and per thread.

    .venv/bin/python bench/eval_bench.py --train bench/data/multi-100M.txt \\
        --held-out bench/data/multi-1G.txt

(bench/gen_corpus.py makes those; with the extended corpora of
SELKBAR_CORPORA, "$SELKBAR_CORPORA"/en-brown.txt and the like serve too.)

Trains one tokenizer per --vocab-size on --train (one training, the sizes cut
off it), then for each thread count times the two halves of evaluate
separately: the counting (the same engine as training's phase 1) and the
encoding (_evaluate_counts), each the best of --repeat runs. CPU time is
printed beside wall time: the machine may be shared.
"""
import argparse
import os
import resource
import sys
import tempfile
import time

import selkbar
import selkbar_eval


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(step, repeat):
    best = None
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), cpu_seconds()
        result = step()
        figures = (time.perf_counter() - wall, cpu_seconds() - cpu)
        best = figures if best is None or figures[0] < best[0] else best
    return result, best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--train", nargs="+", required=True)
    parser.add_argument("--held-out", nargs="+", required=True)
    parser.add_argument("--vocab-size", default="8000,32000,64000")
    parser.add_argument("--pretokenizer", default="gpt4")
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    sizes = [int(s) for s in args.vocab_size.split(",")]
    held_bytes = sum(os.path.getsize(p) for p in args.held_out)
    megabytes = held_bytes / 1e6
    with tempfile.TemporaryDirectory() as scratch:
        template = os.path.join(scratch, "tok-{vocab_size}.json")
        start = time.perf_counter()
        selkbar.train_tokenizer(args.train, sizes, template, pretokenizer=args.pretokenizer,
                                initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET)
        print(f"trained {sizes} in {time.perf_counter() - start:.1f}s; held-out "
              f"{megabytes:.1f} MB in {len(args.held_out)} files")
        models = [selkbar_eval.load_tokenizer(template.replace("{vocab_size}", str(size)))
                  for size in sizes]
        for threads in (int(t) for t in args.threads.split(",")):
            counts, (wall, cpu) = timed(lambda: selkbar_eval.count_held_out(
                args.held_out, args.pretokenizer, threads=threads), args.repeat)
            print(f"threads {threads}: counting {megabytes / wall:7.1f} MB/s "
                  f"({megabytes / wall / threads:6.1f} MB/s per thread; cpu {cpu:.2f}s "
                  f"wall {wall:.2f}s); {len(counts)} distinct words")
            paths = [model.name for model in models]
            _, (wall, cpu) = timed(lambda: selkbar.evaluate(paths, args.held_out,
                                                            threads=threads), args.repeat)
            print(f"  evaluate() of all {len(sizes)} sizes: {megabytes / wall:7.1f} MB/s "
                  f"({megabytes / wall / threads:6.1f} MB/s per thread; cpu {cpu:.2f}s "
                  f"wall {wall:.2f}s)")
            for size, model in zip(sizes, models):
                rows, (wall, cpu) = timed(lambda: selkbar._evaluate_counts(
                    counts, [model.native()], threads=threads), args.repeat)
                print(f"  vocab {size:>6}: encoding {megabytes / wall:8.1f} MB/s "
                      f"({megabytes / wall / threads:7.1f} MB/s per thread; cpu {cpu:.2f}s "
                      f"wall {wall:.3f}s); {rows[0]['bytes_per_token']:.3f} bytes/token")
    return 0


if __name__ == "__main__":
    sys.exit(main())
