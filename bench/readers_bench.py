#!/usr/bin/env python3
"""Benchmark of the corpus readers: how fast selkbar trains from a corpus
stored compressed, as JSON Lines or as Parquet, against the same corpus as a
plain text file, and against the tokenizers library fed the same records
through train_from_iterator.

From one generated corpus (bench/gen_corpus.py, cached in bench/data) it
derives, once, beside the corpus:
  CORPUS.zst                the text, zstd level 3
  CORPUS.records.jsonl.zst  the text cut into records of whole lines of about
                            2 kB ({"id": N, "text": ...}), zstd level 3
  CORPUS.records.parquet    the same records (snappy, pyarrow's default)

Each case runs in a fresh process, the cases alternating run after run:
  txt        selkbar-train CORPUS                     (the library reads the file)
  txt.zst    selkbar-train CORPUS.zst
  jsonl.zst  selkbar-train CORPUS.records.jsonl.zst
  parquet    selkbar-train CORPUS.records.parquet
  api:jsonl.zst, api:parquet
             selkbar.train_bpe_from_iterator(selkbar_readers.read_texts(FILE))
  tokenizers BpeTrainer through train_from_iterator over read_texts of the
             .jsonl.zst (the library's threads set by RAYON_NUM_THREADS)
all with the same vocabulary size, pretokenizer and thread count. It prints
the median wall time of each case, its speed relative to the plain file
(plain time / case time; targets: txt.zst >= 0.7, jsonl.zst >= 0.5,
parquet >= 0.8) and the library's time over each selkbar case. The text
cases must give one result and the record cases another (a record's lines
are pretokenized as one text); a difference is reported and makes the exit
status 1.

Usage:
    .venv/bin/python bench/readers_bench.py                  # 100M, 3 runs
    nice .venv/bin/python bench/readers_bench.py --size 1G --runs 3
    .venv/bin/python bench/readers_bench.py --size 200M --skip-library
"""

import argparse
import json
import os
import resource
import statistics
import subprocess
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import gen_corpus  # noqa: E402
from bench_common import library_tokenizer, result_digest  # noqa: E402

RECORD_BYTES = 2000
DERIVED_VERSION = 1  # bump when the derived files change
TARGETS = {"txt.zst": 0.7, "jsonl.zst": 0.5, "parquet": 0.8}
CLI_CASES = ("txt", "txt.zst", "jsonl.zst", "parquet")
API_CASES = ("api:jsonl.zst", "api:parquet")


# ---------------------------------------------------------------------------
# Derived files


def records(corpus):
    """The corpus cut into texts of whole lines, about RECORD_BYTES each."""
    lines, size = [], 0
    with open(corpus, encoding="utf-8", newline="") as text:
        for line in text:
            lines.append(line)
            size += len(line)
            if size >= RECORD_BYTES:
                yield "".join(lines).rstrip("\n")
                lines, size = [], 0
    if lines:
        yield "".join(lines).rstrip("\n")


def derive(corpus):
    """Returns {case: path}, writing the derived files unless they are there
    for this corpus already."""
    import pyarrow as pa
    import pyarrow.parquet as pq
    import zstandard

    paths = {"txt": corpus, "txt.zst": corpus + ".zst",
             "jsonl.zst": corpus + ".records.jsonl.zst", "parquet": corpus + ".records.parquet"}
    stamp_path = corpus + ".derived.json"
    info = os.stat(corpus)
    stamp = {"version": DERIVED_VERSION, "size": info.st_size, "mtime": info.st_mtime}
    try:
        with open(stamp_path, encoding="utf-8") as handle:
            if json.load(handle) == stamp and all(map(os.path.exists, paths.values())):
                return paths
    except (OSError, ValueError):
        pass
    start = time.monotonic()
    compressor = zstandard.ZstdCompressor(level=3)
    with open(corpus, "rb") as source, open(paths["txt.zst"], "wb") as target:
        compressor.copy_stream(source, target)
    schema = pa.schema([("id", pa.int64()), ("text", pa.string())])
    with open(paths["jsonl.zst"], "wb") as raw, \
            compressor.stream_writer(raw) as jsonl, \
            pq.ParquetWriter(paths["parquet"], schema) as parquet:
        batch = []
        for number, text in enumerate(records(corpus)):
            jsonl.write((json.dumps({"id": number, "text": text}, ensure_ascii=False)
                         + "\n").encode("utf-8"))
            batch.append(text)
            if len(batch) == 50000:
                write_rows(pa, parquet, schema, number + 1 - len(batch), batch)
                batch = []
        if batch:
            write_rows(pa, parquet, schema, number + 1 - len(batch), batch)
    with open(stamp_path, "w", encoding="utf-8") as handle:
        json.dump(stamp, handle)
    print(f"readers_bench: derived files written in {time.monotonic() - start:.1f}s",
          file=sys.stderr)
    return paths


def write_rows(pa, writer, schema, first_id, texts):
    ids = pa.array(range(first_id, first_id + len(texts)), pa.int64())
    writer.write_table(pa.table([ids, pa.array(texts, pa.string())], schema=schema))


# ---------------------------------------------------------------------------
# Runs


def worker(args):
    """One API case in this process; prints one JSON line."""
    import selkbar_readers
    texts = selkbar_readers.read_texts(args.file)
    start = time.perf_counter()
    if args.worker == "tokenizers":
        vocab, merges = train_tokenizers(texts, args.vocab, args.mode)
    else:
        import selkbar
        vocab, merges = selkbar.train_bpe_from_iterator(texts, args.vocab, pretokenizer=args.mode,
                                                        threads=args.threads)
    wall = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(json.dumps({"wall_s": wall, "digest": result_digest(vocab, merges),
                      "peak_rss_kb": usage.ru_maxrss}))


def train_tokenizers(texts, vocab_size, mode):
    from tokenizers import trainers

    tokenizer = library_tokenizer(mode)
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, min_frequency=0, show_progress=False,
                                  special_tokens=[], initial_alphabet=[])
    tokenizer.train_from_iterator(texts, trainer)
    model = json.loads(tokenizer.to_str())["model"]
    merges = [m.split(" ", 1) if isinstance(m, str) else m for m in model["merges"]]
    return model["vocab"], merges


def run_cli(path, args, scratch):
    output = os.path.join(scratch, f"readers-bench-{os.getpid()}.json")
    command = [os.path.join(os.path.dirname(sys.executable), "selkbar-train"), path, "-o", output,
               "--vocab-size", str(args.vocab), "--threads", str(args.threads),
               "--pretokenizer", args.mode, "--no-progress"]
    start = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    wall = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"readers_bench: {' '.join(command)} failed:\n{done.stderr}")
    try:
        with open(output, encoding="utf-8") as handle:
            model = json.load(handle)["model"]
    finally:
        os.unlink(output)
    return {"wall_s": wall, "digest": result_digest(model["vocab"], model["merges"])}


def run_worker(kind, path, args):
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads))
    command = [sys.executable, os.path.abspath(__file__), "--worker", kind, "--file", path,
               "--vocab", str(args.vocab), "--threads", str(args.threads), "--mode", args.mode]
    done = subprocess.run(command, capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise SystemExit(f"readers_bench: {kind} worker failed:\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def run_case(case, paths, args):
    if case in CLI_CASES:
        return run_cli(paths[case], args, args.scratch)
    if case == "tokenizers":
        return run_worker("tokenizers", paths["jsonl.zst"], args)
    return run_worker("selkbar", paths[case.split(":", 1)[1]], args)


def report(cases, runs, corpus_bytes):
    plain = statistics.median(r["wall_s"] for r in runs["txt"])
    library = statistics.median(r["wall_s"] for r in runs["tokenizers"]) \
        if "tokenizers" in runs else None
    print(f"\n{'case':<16} {'median s':>9} {'MB/s':>7} {'vs txt':>7} {'target':>7} "
          f"{'library/this':>13}  runs")
    for case in cases:
        walls = [r["wall_s"] for r in runs[case]]
        wall = statistics.median(walls)
        target = TARGETS.get(case.split(":")[-1]) if case != "tokenizers" else None
        ratio = plain / wall
        mark = "" if target is None else (" ok" if ratio >= target else " MISSED")
        vs_library = f"{library / wall:13.2f}" if library and case != "tokenizers" else " " * 13
        print(f"{case:<16} {wall:9.2f} {corpus_bytes / 1e6 / wall:7.1f} {ratio:7.2f} "
              f"{'' if target is None else f'>= {target}':>7}{mark:<7}{vs_library}  "
              + ", ".join(f"{w:.2f}" for w in walls))
    text_digests = {r["digest"] for case in ("txt", "txt.zst") for r in runs[case]}
    record_digests = {r["digest"] for case in cases if case not in ("txt", "txt.zst")
                      for r in runs[case]}
    same = len(text_digests) == 1 and len(record_digests) == 1
    print(f"\ntext cases give one result: {'yes' if len(text_digests) == 1 else 'NO'}; "
          f"record cases (selkbar and the library) give one result: "
          f"{'yes' if len(record_digests) == 1 else 'NO'}")
    return same


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", default="100M", help="corpus size (default 100M)")
    ap.add_argument("--mix", default="multi", choices=sorted(gen_corpus.MIXES))
    ap.add_argument("--mode", default="whitespace", choices=["whitespace", "bytelevel"])
    ap.add_argument("--vocab", type=int, default=8000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--runs", type=int, default=3, help="runs of each case (default 3)")
    ap.add_argument("--skip-library", action="store_true", help="no tokenizers runs")
    ap.add_argument("--library-runs", type=int, default=1,
                    help="runs of the (slow) library case (default 1)")
    ap.add_argument("--seed-dir", default=gen_corpus.DEFAULT_SEED_DIR,
                    help="the texts gen_corpus grows its corpora from (default %(default)s)")
    ap.add_argument("--corpus", help="benchmark this text file instead of a generated corpus")
    ap.add_argument("--scratch", default=gen_corpus.DATA_DIR,
                    help="directory for the tokenizers written (default %(default)s)")
    ap.add_argument("--worker", choices=["selkbar", "tokenizers"], help=argparse.SUPPRESS)
    ap.add_argument("--file", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.worker:
        worker(args)
        return 0

    os.makedirs(args.scratch, exist_ok=True)
    import selkbar
    if args.corpus:
        corpus = args.corpus
    else:
        corpus, _ = gen_corpus.ensure(args.size, args.mix, seed_dir=args.seed_dir)
    paths = derive(corpus)
    corpus_bytes = os.path.getsize(corpus)
    sizes = ", ".join(f"{case} {os.path.getsize(path) / 1e6:.1f} MB" for case, path in paths.items())
    print(f"readers_bench: selkbar {selkbar.__version__}, {args.mode}, vocab {args.vocab}, "
          f"threads {args.threads}, {os.cpu_count()} processors; {sizes}")
    cases = list(CLI_CASES + API_CASES)
    runs = {case: [] for case in cases}
    for number in range(args.runs):
        for case in cases:
            runs[case].append(run_case(case, paths, args))
        if not args.skip_library and number < args.library_runs:
            runs.setdefault("tokenizers", []).append(run_case("tokenizers", paths, args))
    if "tokenizers" in runs:
        cases.append("tokenizers")
    return 0 if report(cases, runs, corpus_bytes) else 1


if __name__ == "__main__":
    sys.exit(main())
