#!/usr/bin/env python3
"""Benchmark of counting on a Dask cluster: selkbar_dask.train_bpe on a
LocalCluster of two worker processes with one thread each, against
selkbar.train_bpe(threads=2) on the same corpus and the same two cores.

For each pretokenizer, the runs of the two ways alternate; each run of the
cluster way is timed by phase:

  count     plan the ranges and count them on the workers (every range done)
  combine   sum the partial counts by the tree of merges on the workers and
            fetch the total to the caller
  train     selkbar.train_bpe_from_counts on the caller

It prints the medians, the overhead (cluster total against train_bpe), the
count phase against selkbar.count_words(threads=2), and the sizes of the
counts that travel (pickled, as Dask sends them) at each level of the tree,
against the corpus size. Both ways must give the same vocabulary and merges;
a difference is reported and makes the exit status 1. The cluster is started
once (its start-up time is printed apart) and its workers stay idle while
train_bpe runs.

Corpora come from bench/gen_corpus.py (cached in bench/data), or --corpus
names a text file. Usage:
    nice .venv/bin/python bench/dask_bench.py --size 1G --runs 3
    .venv/bin/python bench/dask_bench.py --size 100M --partition 16M --modes bytelevel
"""

import argparse
import os
import pickle
import statistics
import sys
import time
import uuid

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import gen_corpus  # noqa: E402
from bench_common import result_digest  # noqa: E402


def pickled_size(counts):
    return len(pickle.dumps(counts, pickle.HIGHEST_PROTOCOL))


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def single_run(corpus, mode, vocab):
    import selkbar
    result, train_s = timed(lambda: selkbar.train_bpe([corpus], vocab, pretokenizer=mode,
                                                      threads=2))
    _, count_s = timed(lambda: selkbar.count_words([corpus], pretokenizer=mode, threads=2))
    return {"train_bpe_s": train_s, "count_words_s": count_s, "digest": result_digest(*result)}


def cluster_run(client, corpus, mode, vocab, partition_bytes, measure_sizes):
    """One selkbar_dask training, timed by phase. The phases are the steps
    selkbar_dask.train_bpe takes, called one by one so that they can be timed."""
    import selkbar
    import distributed
    import selkbar_dask
    futures = []
    token = uuid.uuid4().hex[:12]
    start = time.perf_counter()
    leaves = selkbar_dask._submit_ranges(client, [corpus], mode, None, partition_bytes, None,
                                         f"bench-{token}", futures)
    distributed.wait(leaves)
    count_s = time.perf_counter() - start
    levels = [leaves]
    start = time.perf_counter()
    counts = selkbar_dask._combine(client, leaves, f"bench-{token}", futures, levels).result()
    combine_s = time.perf_counter() - start
    result, train_s = timed(lambda: selkbar.train_bpe_from_counts(counts, vocab))
    figures = {"count_s": count_s, "combine_s": combine_s, "train_s": train_s,
               "total_s": count_s + combine_s + train_s, "digest": result_digest(*result),
               "ranges": len(leaves), "words": len(counts)}
    if measure_sizes:
        figures["level_sizes"] = [client.gather([client.submit(pickled_size, f, pure=False)
                                                 for f in level]) for level in levels]
    client.cancel(futures)
    return figures


def median(runs, key):
    return statistics.median(run[key] for run in runs)


def report(corpus, corpus_bytes, mode, singles, clusters):
    train = median(singles, "train_bpe_s")
    count_words = median(singles, "count_words_s")
    total = median(clusters, "total_s")
    count = median(clusters, "count_s")
    combine = median(clusters, "combine_s")
    train_from_counts = median(clusters, "train_s")
    print(f"\n{os.path.basename(corpus)} ({corpus_bytes / 1e6:.0f} MB), {mode}, "
          f"{clusters[0]['words']:,} distinct words, {clusters[0]['ranges']} ranges, "
          f"{len(singles)} runs each (medians)")
    print(f"  selkbar.train_bpe(threads=2)        {train:8.2f} s")
    print(f"  selkbar.count_words(threads=2)      {count_words:8.2f} s")
    print(f"  selkbar_dask.train_bpe              {total:8.2f} s   ratio {total / train:5.3f} "
          f"(overhead {100 * (total / train - 1):+.1f}%)")
    print(f"    count on the workers              {count:8.2f} s   ratio to count_words "
          f"{count / count_words:5.3f}; {corpus_bytes / 1e6 / count / 2:.0f} MB/s per worker")
    print(f"    combine (merge tree, fetch)       {combine:8.2f} s")
    print(f"    train from counts on the caller   {train_from_counts:8.2f} s")
    for depth, sizes in enumerate(clusters[0].get("level_sizes", [])):
        mb = [size / 1e6 for size in sizes]
        print(f"  tree level {depth}: {len(mb):4d} counts, {statistics.median(mb):8.1f} MB each "
              f"(median), {sum(mb):8.1f} MB in all = {100 * sum(mb) * 1e6 / corpus_bytes:5.1f}% "
              f"of the corpus")
    same = len({r["digest"] for r in singles + clusters}) == 1
    print(f"  same vocabulary and merges: {'yes' if same else 'NO'}")
    return same


def plan(corpus_bytes, clusters, partition_bytes, plan_bytes, worker_counts):
    """Extrapolates the measured run to a corpus of plan_bytes on W one-thread
    workers. Assumptions, each printed: counting scales with the workers; the
    distinct words grow as the generated corpus's do, V(b) ~ b ** HEAPS_BETA;
    a count's size and the merge loop's time are linear in its distinct words
    (as measured between 100 MB and 1 GB); a merge task sums its inputs at the
    rate measured for the combine step here, transfers included, and runs
    on a worker that would otherwise count."""
    import selkbar_dask
    count_rate = corpus_bytes / median(clusters, "count_s") / 2  # bytes/s per worker
    words = clusters[0]["words"]
    level_sizes = clusters[0]["level_sizes"]
    bytes_per_word = level_sizes[-1][0] / words
    merge_rate = sum(level_sizes[0]) / median(clusters, "combine_s")
    train_per_word = median(clusters, "train_s") / words
    beta = gen_corpus.HEAPS_BETA

    def distinct(nbytes):
        return words * (nbytes / corpus_bytes) ** beta

    print(f"  plan for {plan_bytes / 1e12:g} TB: counting {count_rate / 1e6:.0f} MB/s per worker, "
          f"counts {bytes_per_word:.1f} bytes per distinct word, merge tasks "
          f"{merge_rate / 1e6:.0f} MB/s of input, merge loop {train_per_word * 1e6:.2f} us per "
          f"distinct word; distinct words ~ size^{beta}")
    plan_bytes = int(plan_bytes)
    nodes = -(-plan_bytes // partition_bytes)
    merge_levels = []  # (merge tasks, seconds each) per level of merges
    depth = 0
    while True:
        size = distinct(plan_bytes / nodes) * bytes_per_word
        print(f"    tree level {depth}: {nodes:6d} counts of {distinct(plan_bytes / nodes) / 1e6:7.1f} M "
              f"words, {size / 1e6:9.1f} MB each, {nodes * size / 1e9:7.1f} GB in all")
        if nodes == 1:
            fetch_s = size / merge_rate
            break
        children = min(nodes, selkbar_dask.FAN_IN)
        nodes = -(-nodes // selkbar_dask.FAN_IN)
        merge_levels.append((nodes, children * size / merge_rate))
        depth += 1
    train_s = distinct(plan_bytes) * train_per_word
    count_work = plan_bytes / count_rate

    def total(workers):
        """Counting shared by the workers, then each level of merges in
        waves of `workers` tasks, the fetch, and the merge loop."""
        combine = sum(-(-tasks // workers) * each for tasks, each in merge_levels) + fetch_s
        return count_work / workers, combine, count_work / workers + combine + train_s

    one = total(1)[2]
    print(f"    merge loop on the caller {train_s:7.0f} s; one worker would take {one / 3600:.1f} h")
    for workers in worker_counts:
        count_s, combine_s, all_s = total(workers)
        print(f"    {workers:4d} workers: count {count_s:7.0f} s + combine {combine_s:6.0f} s + "
              f"merge loop = {all_s:7.0f} s ({all_s / 60:5.1f} min), speed-up {one / all_s:5.1f} "
              f"over one worker")
    limit = next((w for w in range(1, 100000) if total(w)[0] <= total(w)[1] + train_s), None)
    print(f"    from {limit} workers on, counting takes less than the combine and the merge loop")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", default="1G", help="corpus size (default 1G)")
    ap.add_argument("--mix", default="multi", choices=sorted(gen_corpus.MIXES))
    ap.add_argument("--corpus", help="benchmark this text file instead of a generated corpus")
    ap.add_argument("--modes", default="whitespace,bytelevel")
    ap.add_argument("--vocab", type=int, default=32000)
    ap.add_argument("--partition", default="256M",
                    help="partition_bytes, decimal or binary units: 256M = 256 MiB (default)")
    ap.add_argument("--runs", type=int, default=3, help="runs of each way (default 3)")
    ap.add_argument("--plan-bytes", type=float, default=1e12,
                    help="extrapolate to a corpus of this many bytes (default 1e12; 0: none)")
    args = ap.parse_args(argv)
    partition_bytes = int(args.partition[:-1]) * 2**20 if args.partition.endswith("M") \
        else int(args.partition)
    if args.corpus:
        corpus = args.corpus
    else:
        corpus, _ = gen_corpus.ensure(args.size, args.mix)
    corpus_bytes = os.path.getsize(corpus)

    import distributed
    import selkbar
    cluster, startup_s = timed(lambda: distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None))
    client = distributed.Client(cluster)
    print(f"dask_bench: selkbar {selkbar.__version__}, distributed {distributed.__version__}, "
          f"vocab {args.vocab}, partition_bytes {partition_bytes:,}, {os.cpu_count()} processors; "
          f"LocalCluster(2 workers x 1 thread) started in {startup_s:.1f} s")
    all_same = True
    try:
        for mode in args.modes.split(","):
            singles, clusters = [], []
            for run in range(args.runs):
                singles.append(single_run(corpus, mode, args.vocab))
                clusters.append(cluster_run(client, corpus, mode, args.vocab, partition_bytes,
                                            measure_sizes=(run == 0)))
            all_same &= report(corpus, corpus_bytes, mode, singles, clusters)
            if args.plan_bytes:
                plan(corpus_bytes, clusters, partition_bytes, args.plan_bytes, (8, 64, 512))
    finally:
        client.close()
        cluster.close()
    return 0 if all_same else 1


if __name__ == "__main__":
    sys.exit(main())
