#!/usr/bin/env python3
"""Benchmark of counting on Spark: selkbar_spark.count_words on a local[2]
Spark against selkbar.count_words_from_iterator(threads=2) on the same texts
and the same two cores.

The corpus (bench/gen_corpus.py, or --corpus FILE) is cut into documents of
--lines lines and written once as a Parquet file of one string column, in
row groups of --group-rows documents; both ways read it:

  iterator  pyarrow.parquet.read_table(path)["text"] counted by
            selkbar.count_words_from_iterator(column, threads=2)
  spark     selkbar_spark.count_words(spark.read.parquet(path)), timed by
            phase: the counting and combining job with the collection of the
            combined table on the driver, and WordCounts.from_arrow there

The runs of the two ways alternate, --runs times; it prints the medians, the
ratio spark / iterator, the Spark session's start-up apart, and the sizes
that matter for planning: corpus bytes, distinct words, the partial rows the
shuffle moves, and the combined counts as Arrow. Both ways must give equal
counts; a difference makes the exit status 1. Usage:
    nice .venv/bin/python bench/spark_bench.py --size 100M --runs 3
    .venv/bin/python bench/spark_bench.py --size 20M --mode bytelevel --runs 1
"""

import argparse
import os
import statistics
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)


def write_documents(corpus, lines_per_document, group_rows, path):
    import pyarrow as pa
    import pyarrow.parquet as pq
    with open(corpus, encoding="utf-8") as source:
        lines = source.read().split("\n")
    documents = ["\n".join(lines[i:i + lines_per_document])
                 for i in range(0, len(lines), lines_per_document)]
    pq.write_table(pa.table({"text": pa.array(documents, pa.large_string())}), path,
                   row_group_size=group_rows)
    return len(documents)


def timed(call):
    start = time.perf_counter()
    result = call()
    return result, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--corpus", help="a text file (default: gen_corpus --size/--mix)")
    parser.add_argument("--size", default="100M")
    parser.add_argument("--mix", default="multi")
    parser.add_argument("--mode", default="whitespace", help="pretokenizer")
    parser.add_argument("--lines", type=int, default=20, help="lines per document")
    parser.add_argument("--group-rows", type=int, default=20000, help="documents per row group")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    import pyarrow.parquet as pq
    import selkbar
    import selkbar_spark
    from pyspark.sql import SparkSession

    if args.corpus:
        corpus = args.corpus
    else:
        import gen_corpus
        corpus, _ = gen_corpus.ensure(args.size, args.mix)
    corpus_bytes = os.path.getsize(corpus)
    scratch = tempfile.mkdtemp(prefix="spark-bench-")
    path = os.path.join(scratch, "texts.parquet")
    documents = write_documents(corpus, args.lines, args.group_rows, path)

    os.environ["PYSPARK_PYTHON"] = sys.executable
    _, start_s = timed(lambda: SparkSession.builder.master("local[2]")
                       .config("spark.ui.enabled", "false")
                       .config("spark.driver.memory", "4g").getOrCreate())
    spark = SparkSession.builder.getOrCreate()
    spark.sparkContext.setLogLevel("ERROR")
    frame = spark.read.parquet(path)
    print(f"corpus {corpus_bytes / 1e6:.1f} MB, {documents} documents in "
          f"{frame.rdd.getNumPartitions()} Spark partitions; Spark started in {start_s:.1f} s")

    iterator_s, job_s, driver_s = [], [], []
    expected = counts = None
    for _ in range(args.runs):
        def by_iterator():
            column = pq.read_table(path)["text"]
            return selkbar.count_words_from_iterator(column, pretokenizer=args.mode, threads=2)
        expected, seconds = timed(by_iterator)
        iterator_s.append(seconds)
        table = selkbar_spark.count_words_to_table(frame, pretokenizer=args.mode)
        arrow, seconds = timed(lambda: selkbar_spark._collect_arrow(table))
        job_s.append(seconds)
        arrow = arrow.replace_schema_metadata(selkbar_spark._metadata(args.mode, None))
        counts, seconds = timed(lambda: selkbar.WordCounts.from_arrow(arrow))
        driver_s.append(seconds)
    partial_rows = frame.select("text").mapInArrow(
        selkbar_spark._PartitionCounter(args.mode, None, 1), selkbar_spark.COUNT_SCHEMA).count()
    spark.stop()

    iterator = statistics.median(iterator_s)
    spark_total = statistics.median(job_s) + statistics.median(driver_s)
    print(f"iterator (threads=2)      {iterator:7.2f} s  {corpus_bytes / iterator / 1e6:6.1f} MB/s")
    print(f"spark local[2]            {spark_total:7.2f} s  "
          f"{corpus_bytes / spark_total / 1e6:6.1f} MB/s  ratio {spark_total / iterator:.2f}")
    print(f"  count, combine, collect {statistics.median(job_s):7.2f} s")
    print(f"  from_arrow on driver    {statistics.median(driver_s):7.2f} s")
    print(f"distinct words {len(counts)}; partial rows shuffled {partial_rows} "
          f"({partial_rows / len(counts):.2f} per word); combined table "
          f"{arrow.nbytes / 1e6:.1f} MB as Arrow ({arrow.nbytes / corpus_bytes * 1e3:.1f} "
          f"MB per GB of corpus)")
    if counts != expected:
        print("ERROR: the Spark counts differ from the iterator's")
        sys.exit(1)


if __name__ == "__main__":
    main()
