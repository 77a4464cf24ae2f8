#!/usr/bin/env python3
"""Benchmark of word counts as Arrow tables: WordCounts.to_arrow() and
WordCounts.from_arrow() in megabytes of word bytes per second, on one thread
(both run on the calling thread).

The counts are those of a corpus (--corpus FILE, or --size/--mix through
bench/gen_corpus.py), or with --words N a synthetic table of N distinct words
of 1 to 15 characters, a third of them outside ASCII. Each figure is the
median of --repeats calls after a first one, whose time (fresh memory) is
shown apart; --parquet also times to_parquet and from_parquet. Target: at
least 200 MB/s each way. Usage:

    .venv/bin/python bench/arrow_bench.py --words 5000000
    .venv/bin/python bench/arrow_bench.py --size 100M --mix multi --mode bytelevel --parquet
"""

import argparse
import os
import random
import statistics
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)

LETTERS = "abcdefghijklmnopqrstuvwxyzéèüßçñøåдежзийклмнопрстуфхцчшщαβγδεζηθ日本語中文한국어"


def synthetic_counts(words, mode):
    import pyarrow as pa
    import selkbar
    rng = random.Random(35)
    seen = set()
    while len(seen) < words:
        length = rng.randint(1, 15)
        ascii_only = rng.random() < 0.67
        alphabet = LETTERS[:26] if ascii_only else LETTERS
        seen.add("".join(rng.choice(alphabet) for _ in range(length)))
    texts = sorted(seen)
    if mode != "whitespace":
        # Spelled as byte-level words are: each UTF-8 byte through the map.
        alphabet = selkbar.BYTE_LEVEL_ALPHABET
        texts = ["".join(alphabet[b] for b in text.encode()) for text in texts]
    counts = [rng.randint(1, 10**6) for _ in texts]
    return selkbar.WordCounts.from_arrow(pa.table({"word": texts, "count": counts}),
                                         pretokenizer=mode)


def corpus_counts(args):
    import selkbar
    if args.corpus:
        path = args.corpus
    else:
        import gen_corpus
        path, _ = gen_corpus.ensure(args.size, args.mix)
    return selkbar.count_words([path], pretokenizer=args.mode)


def timed(call, repeats):
    """(first wall seconds, median wall, median CPU of the calls after the first)."""
    walls, cpus, result = [], [], None
    for _ in range(repeats + 1):
        cpu = time.process_time()
        wall = time.perf_counter()
        result = call()
        walls.append(time.perf_counter() - wall)
        cpus.append(time.process_time() - cpu)
        del result
    return walls[0], statistics.median(walls[1:]), statistics.median(cpus[1:])


def report(name, word_bytes, figures):
    first, wall, cpu = figures
    print(f"{name:13s} {word_bytes / wall / 1e6:8.0f} MB/s wall  {word_bytes / cpu / 1e6:8.0f} "
          f"MB/s CPU  (median {wall * 1e3:.1f} ms; first call {first * 1e3:.1f} ms)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--words", type=int, help="synthetic distinct words")
    parser.add_argument("--corpus", help="a text file to count")
    parser.add_argument("--size", default="100M", help="gen_corpus size (default 100M)")
    parser.add_argument("--mix", default="multi", help="gen_corpus mix (default multi)")
    parser.add_argument("--mode", default="bytelevel", help="pretokenizer (default bytelevel)")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--parquet", action="store_true", help="also time the Parquet files")
    args = parser.parse_args()

    import selkbar
    counts = synthetic_counts(args.words, args.mode) if args.words else corpus_counts(args)
    table = counts.to_arrow()
    word_bytes = table["word"].nbytes - 8 * (len(table) + table["word"].num_chunks)
    print(f"{len(counts)} words, {word_bytes / 1e6:.1f} MB of word bytes, pretokenizer "
          f"{counts.pretokenizer}, {table["word"].num_chunks} batches")
    assert selkbar.WordCounts.from_arrow(table) == counts, "from_arrow(to_arrow()) differs"
    report("to_arrow", word_bytes, timed(counts.to_arrow, args.repeats))
    report("from_arrow", word_bytes,
           timed(lambda: selkbar.WordCounts.from_arrow(table), args.repeats))
    if args.parquet:
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "counts.parquet")
            report("to_parquet", word_bytes, timed(lambda: counts.to_parquet(path), args.repeats))
            print(f"{'':13s} file {os.path.getsize(path) / 1e6:.1f} MB")
            report("from_parquet", word_bytes,
                   timed(lambda: selkbar.WordCounts.from_parquet(path), args.repeats))


if __name__ == "__main__":
    main()
