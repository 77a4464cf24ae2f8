#!/usr/bin/env python3
"""Benchmark of word counts as a value: what counting once and training from
the counts costs against training on the files, and how fast counts files
are written and read.

For each corpus and pretokenizer, every run is a fresh process, and the runs
of the two ways of training alternate, so that neither gets a warmer machine:

  files   train_bpe(files, V)
  counts  count_words(files), then train_bpe_from_counts(counts, V), then a
          second train_bpe_from_counts(counts, V) (phase 2 alone), then
          counts.save(PATH) (atomic, flushed to disk), WordCounts.load(PATH)
          and pickle.dumps(counts) (the same encoding, in memory only), each
          --repeats times

It prints the medians and these ratios and figures:
  count+train / train_bpe      target at most 1.05
  second training / train_bpe  the part of a training that phase 2 is
  save, load, encode MB/s      counts-file megabytes per second of wall time
                               and of the process's CPU time, medians of the
                               calls after the first; target >= 500. The
                               first call of each is shown apart: it also
                               pays for touching fresh memory
  counts file per GB           counts-file bytes per 10^9 corpus bytes
Both ways must give the same vocabulary and merges; a difference is reported
and makes the exit status 1.

Corpora come from bench/gen_corpus.py (cached in bench/data), or --corpus
names a text file. Usage:
    .venv/bin/python bench/counts_bench.py --size 100M --mix multi --runs 5
    nice .venv/bin/python bench/counts_bench.py --size 1G --runs 3
    .venv/bin/python bench/counts_bench.py --corpus big.txt --modes bytelevel
"""

import argparse
import json
import os
import pickle
import resource
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import gen_corpus  # noqa: E402
from bench_common import corpora, result_digest  # noqa: E402


def cpu_seconds():
    """CPU time of the whole process, every thread included."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def timed(call, figures, name):
    """Calls `call`, recording its wall time as name_s and the process's CPU
    time (all threads) as name_cpu_s."""
    cpu = cpu_seconds()
    start = time.perf_counter()
    result = call()
    figures[name + "_s"] = time.perf_counter() - start
    figures[name + "_cpu_s"] = cpu_seconds() - cpu
    return result


def repeated(call, times, figures, name):
    """Times `times` calls: the first one's wall time as name_first_s, and the
    median wall and CPU seconds of the others as name_s and name_cpu_s. The
    first call in a process pays for memory the process touches for the first
    time (on a virtual machine, much more than the work itself); on a shared
    machine the CPU time is the steadier figure for work on one thread."""
    walls, cpus = [], []
    for _ in range(times):
        cpu = cpu_seconds()
        wall = time.perf_counter()
        call()
        walls.append(time.perf_counter() - wall)
        cpus.append(cpu_seconds() - cpu)
    figures[name + "_first_s"] = walls[0]
    rest = slice(1, None) if times > 1 else slice(None)
    figures[name + "_s"] = statistics.median(walls[rest])
    figures[name + "_cpu_s"] = statistics.median(cpus[rest])


def worker(args):
    """One run in this process; prints one JSON line."""
    import selkbar
    files, vocab, mode, threads = args.files, args.vocab, args.mode, args.threads
    figures = {}
    if args.worker == "files":
        result = timed(lambda: selkbar.train_bpe(files, vocab, pretokenizer=mode, threads=threads),
                       figures, "train_bpe")
    else:
        counts = timed(lambda: selkbar.count_words(files, pretokenizer=mode, threads=threads),
                       figures, "count")
        result = timed(lambda: selkbar.train_bpe_from_counts(counts, vocab), figures, "from_counts")
        again = timed(lambda: selkbar.train_bpe_from_counts(counts, vocab), figures,
                      "second_training")
        assert again == result, "a second training from the same counts differs"
        path = os.path.join(args.scratch, f"counts-bench-{os.getpid()}.counts")
        try:
            for name, call in (("save", lambda: counts.save(path)),
                               ("load", lambda: selkbar.WordCounts.load(path)),
                               ("encode", lambda: pickle.dumps(counts, pickle.HIGHEST_PROTOCOL))):
                repeated(call, args.repeats, figures, name)
            figures["file_bytes"] = os.path.getsize(path)
            assert selkbar.WordCounts.load(path) == counts, "the loaded counts differ"
        finally:
            if os.path.exists(path):
                os.unlink(path)
        figures["words"] = len(counts)
    figures["digest"] = result_digest(*result)
    figures["peak_rss_kb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps(figures))


def run_worker(kind, corpus, args, mode):
    command = [sys.executable, os.path.abspath(__file__), "--worker", kind, "--mode", mode,
               "--vocab", str(args.vocab), "--threads", str(args.threads),
               "--repeats", str(args.repeats),
               "--scratch", args.scratch, corpus]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"counts_bench: worker failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def median(runs, key):
    return statistics.median(run[key] for run in runs)


def report_case(corpus, corpus_bytes, mode, files_runs, counts_runs):
    train = median(files_runs, "train_bpe_s")
    count = median(counts_runs, "count_s")
    from_counts = median(counts_runs, "from_counts_s")
    both = statistics.median(r["count_s"] + r["from_counts_s"] for r in counts_runs)
    second = median(counts_runs, "second_training_s")
    train_cpu = median(files_runs, "train_bpe_cpu_s")
    both_cpu = statistics.median(r["count_cpu_s"] + r["from_counts_cpu_s"] for r in counts_runs)
    second_cpu = median(counts_runs, "second_training_cpu_s")
    file_mb = counts_runs[0]["file_bytes"] / 1e6
    same = {r["digest"] for r in files_runs} == {r["digest"] for r in counts_runs} and \
        len({r["digest"] for r in files_runs}) == 1
    print(f"\n{os.path.basename(corpus)} ({corpus_bytes / 1e6:.0f} MB), {mode}, "
          f"{counts_runs[0]['words']:,} distinct words, {len(files_runs)} runs each (medians)")
    print(f"  train_bpe                       {train:8.2f} s   CPU {train_cpu:7.2f} s   "
          f"peak RSS {median(files_runs, 'peak_rss_kb') / 1024:6.0f} MiB")
    print(f"  count_words                     {count:8.2f} s")
    print(f"  train_bpe_from_counts           {from_counts:8.2f} s")
    print(f"  count + train from counts       {both:8.2f} s   CPU {both_cpu:7.2f} s   "
          f"peak RSS {median(counts_runs, 'peak_rss_kb') / 1024:6.0f} MiB")
    print(f"    ratio to train_bpe            wall {both / train:5.3f}, CPU {both_cpu / train_cpu:5.3f}"
          f" (target <= 1.05)")
    print(f"  second training from counts     {second:8.2f} s   CPU {second_cpu:7.2f} s   "
          f"ratio {second / train:5.3f} of train_bpe (no phase 1)")
    walls = ", ".join(f"{r['train_bpe_s']:.2f}" for r in files_runs)
    boths = ", ".join(f"{r['count_s'] + r['from_counts_s']:.2f}" for r in counts_runs)
    print(f"    each run: train_bpe {walls}; count + train {boths}")
    for name, key in (("save (atomic, fsync)", "save"), ("load", "load"),
                      ("encode (pickle.dumps)", "encode")):
        wall = median(counts_runs, key + "_s")
        cpu = median(counts_runs, key + "_cpu_s")
        first = median(counts_runs, key + "_first_s")
        print(f"  {name:<31} {wall:8.3f} s   {file_mb / wall:8.0f} MB/s wall, "
              f"{file_mb / max(cpu, 1e-9):6.0f} MB/s of CPU time (target >= 500); "
              f"first call {file_mb / first:5.0f} MB/s")
    print(f"  counts file                     {file_mb:8.1f} MB   "
          f"{file_mb * 1e9 / corpus_bytes:8.1f} MB per GB of corpus")
    print(f"  same vocabulary and merges: {'yes' if same else 'NO'}")
    return same


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", default="100M", help="corpus sizes, comma-separated (default 100M)")
    ap.add_argument("--mix", default="multi", choices=sorted(gen_corpus.MIXES))
    ap.add_argument("--modes", default="whitespace,bytelevel")
    ap.add_argument("--vocab", type=int, default=32000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--runs", type=int, default=3, help="runs of each way (default 3)")
    ap.add_argument("--repeats", type=int, default=5,
                    help="save, load and encode calls per run; the first is reported apart "
                         "(default 5)")
    ap.add_argument("--seed-dir", default=gen_corpus.DEFAULT_SEED_DIR,
                    help="the texts gen_corpus grows its corpora from (default %(default)s)")
    ap.add_argument("--corpus", action="append", default=[],
                    help="benchmark this text file instead of a generated corpus (repeatable)")
    ap.add_argument("--scratch", default=gen_corpus.DATA_DIR,
                    help="directory for the counts files written (default %(default)s)")
    ap.add_argument("--worker", choices=["files", "counts"], help=argparse.SUPPRESS)
    ap.add_argument("--mode", help=argparse.SUPPRESS)
    ap.add_argument("files", nargs="*", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        worker(args)
        return 0

    os.makedirs(args.scratch, exist_ok=True)
    import selkbar
    print(f"counts_bench: selkbar {selkbar.__version__}, vocab {args.vocab}, threads "
          f"{args.threads}, {os.cpu_count()} processors")
    all_same = True
    for corpus, corpus_bytes in corpora(args):
        for mode in args.modes.split(","):
            files_runs, counts_runs = [], []
            for _ in range(args.runs):
                files_runs.append(run_worker("files", corpus, args, mode))
                counts_runs.append(run_worker("counts", corpus, args, mode))
            all_same &= report_case(corpus, corpus_bytes, mode, files_runs, counts_runs)
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())
