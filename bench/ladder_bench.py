#!/usr/bin/env python3
"""What a ladder of vocabulary sizes costs over training to the largest alone.

    .venv/bin/python bench/ladder_bench.py bench/data/multi-1G.txt \\
        --sizes 8000,16000,32000,64000 --pretokenizer gpt4

Runs train_tokenizer(files, largest) and train_tokenizer(files, sizes, template)
alternately, --repeat times each, and prints the best wall and CPU time of
each and the ladder's extra share. Both write to a scratch directory; the
ladder's files are checked to equal, for the largest size, the file of the
single training.
"""
import argparse
import os
import resource
import sys
import tempfile
import time

import selkbar


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="+")
    parser.add_argument("--sizes", default="8000,16000,32000,64000")
    parser.add_argument("--pretokenizer", default="gpt4")
    parser.add_argument("--threads", type=int, default=None)
    parser.add_argument("--repeat", type=int, default=2)
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    largest = max(sizes)
    best = {}
    with tempfile.TemporaryDirectory() as scratch:
        single = os.path.join(scratch, "single.json")
        template = os.path.join(scratch, "ladder-{vocab_size}.json")
        runs = {"single": lambda: selkbar.train_tokenizer(
                    args.files, largest, single, pretokenizer=args.pretokenizer,
                    threads=args.threads),
                "ladder": lambda: selkbar.train_tokenizer(
                    args.files, sizes, template, pretokenizer=args.pretokenizer,
                    threads=args.threads)}
        for _ in range(args.repeat):
            for name, run in runs.items():
                wall, cpu = time.perf_counter(), cpu_seconds()
                run()
                figures = (time.perf_counter() - wall, cpu_seconds() - cpu)
                print(f"{name}: wall {figures[0]:.2f}s cpu {figures[1]:.2f}s", flush=True)
                if name not in best or figures[0] < best[name][0]:
                    best[name] = figures
        with open(single, "rb") as a, open(template.replace("{vocab_size}", str(largest)),
                                           "rb") as b:
            same = a.read() == b.read()
    corpus = sum(os.path.getsize(f) for f in args.files) / 1e6
    print(f"corpus {corpus:.0f} MB, sizes {sizes}, threads {args.threads or 'all'}")
    for name in ("single", "ladder"):
        print(f"  {name:6}: best wall {best[name][0]:.2f}s, cpu {best[name][1]:.2f}s")
    extra = best["ladder"][0] / best["single"][0] - 1
    extra_cpu = best["ladder"][1] / best["single"][1] - 1
    print(f"  ladder extra: wall {100 * extra:+.1f}%, cpu {100 * extra_cpu:+.1f}%; "
          f"largest size identical to the single training: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
