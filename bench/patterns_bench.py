#!/usr/bin/env python3
"""Benchmark of the split patterns: selkbar's gpt4 and o200k pretokenizers and
a custom pattern (PCRE2) against GPT-2's byte-level rule, end to end, and
against the tokenizers library (the same Sequence pre-tokenizer) and rustbpe
(the GPT-4 pattern, trained from an iterator) on the same text.

    .venv/bin/python bench/patterns_bench.py [--size 100M] [--mix multi]
        [--vocab 16000] [--threads 2] [--runs 3] [--library-runs N] [--skip-library]
        [--corpora DIR]

The corpus is made by bench/gen_corpus.py into bench/data (kept between
runs). Each training runs in a fresh process, so its peak resident set
(ru_maxrss, interpreter and imports included) is its own. Figures are medians
over the runs. Targets: gpt4 and o200k within 1.3x of GPT-2's rule, a custom
pattern within 3x. rustbpe is optional (pip install rustbpe==0.1.0); it is
reported as missing when it is not installed. The library's thread pool gets
RAYON_NUM_THREADS=--threads; rustbpe uses rayon too and gets the same.
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
from bench_common import GPT4_PATTERN, pattern_pre_tokenizer  # noqa: E402

GPT2 = r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
GPT4 = GPT4_PATTERN
O200K = (r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+"""
         r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)?|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+"""
         r"""[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?|\p{N}{1,3}|"""
         r""" ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+""")
LLAMA3 = (r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}|"""
          r""" ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+""")

# name: (trainer, selkbar options or library pattern, label)
CASES = {
    "selkbar-gpt2": ("selkbar", {"pretokenizer": "bytelevel"}, "selkbar, GPT-2 rule (bytelevel)"),
    "selkbar-gpt4": ("selkbar", {"pretokenizer": "gpt4"}, "selkbar, gpt4"),
    "selkbar-o200k": ("selkbar", {"pretokenizer": "o200k"}, "selkbar, o200k"),
    "selkbar-llama3-pcre2": ("selkbar", {"pretokenizer": "bytelevel", "pattern": LLAMA3},
                             "selkbar, pattern=Llama 3 (PCRE2)"),
    "selkbar-gpt4-pcre2": ("selkbar", {"pretokenizer": "bytelevel", "pattern": GPT4},
                           "selkbar, pattern=GPT-4 (PCRE2)"),
    "tokenizers-gpt4": ("tokenizers", GPT4, "tokenizers, Split(GPT-4) + ByteLevel"),
    "tokenizers-o200k": ("tokenizers", O200K, "tokenizers, Split(o200k) + ByteLevel"),
    "rustbpe-gpt4": ("rustbpe", GPT4, "rustbpe, GPT-4 pattern, from an iterator"),
}
LIBRARY_CASES = ("tokenizers-gpt4", "tokenizers-o200k", "rustbpe-gpt4")
TARGETS = {"selkbar-gpt4": 1.3, "selkbar-o200k": 1.3, "selkbar-llama3-pcre2": 3.0}


# ---- One training in this process (--worker)

def train(case, files, vocab_size, threads, dump):
    trainer, setting, _ = CASES[case]
    if trainer == "selkbar":
        import selkbar
        t0 = time.perf_counter()
        vocab, merges = selkbar.train_bpe(files, vocab_size, threads=threads, **setting)
        wall = time.perf_counter() - t0
        result = {"vocab": vocab, "merges": [list(m) for m in merges]}
    elif trainer == "tokenizers":
        from tokenizers import Tokenizer, decoders, models, trainers
        tokenizer = Tokenizer(models.BPE())
        tokenizer.pre_tokenizer = pattern_pre_tokenizer(setting)
        tokenizer.decoder = decoders.ByteLevel()
        bpe = trainers.BpeTrainer(vocab_size=vocab_size, show_progress=False, initial_alphabet=[])
        t0 = time.perf_counter()
        tokenizer.train(files, bpe)
        wall = time.perf_counter() - t0
        model = json.loads(tokenizer.to_str())["model"]
        result = {"vocab": model["vocab"], "merges": model["merges"]}
    else:
        import rustbpe

        def lines():
            for path in files:
                with open(path, encoding="utf-8") as f:
                    yield from f

        tokenizer = rustbpe.Tokenizer()
        t0 = time.perf_counter()
        tokenizer.train_from_iterator(lines(), vocab_size, pattern=setting)
        wall = time.perf_counter() - t0
        result = {"vocab_size": tokenizer.vocab_size}
    with open(dump, "w", encoding="utf-8") as f:
        json.dump(result, f, ensure_ascii=False)
    return {"wall_s": wall, "peak_rss_kb": peak_rss_kb(),
            "tokens": len(result["vocab"]) if "vocab" in result else result["vocab_size"]}


def peak_rss_kb():
    """The process's peak resident set. VmHWM belongs to the address space,
    which exec replaces; ru_maxrss would also hold the driver's peak from
    before the exec."""
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


# ---- The driver

def run_once(case, files, args, dump):
    env = dict(os.environ, RAYON_NUM_THREADS=str(args.threads))
    env.pop("SELKBAR_STATS", None)
    command = [sys.executable, os.path.abspath(__file__), "--worker", case, "--vocab",
               str(args.vocab), "--threads", str(args.threads), "--dump", dump, *files]
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        return {"error": (done.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(done.stdout.strip().splitlines()[-1])


def same_model(dump_a, dump_b):
    with open(dump_a, encoding="utf-8") as f:
        a = json.load(f)
    with open(dump_b, encoding="utf-8") as f:
        b = json.load(f)
    merges_b = [m.split(" ", 1) if isinstance(m, str) else m for m in b["merges"]]
    return a["vocab"] == b["vocab"] and a["merges"] == merges_b


def rustbpe_available():
    try:
        import rustbpe  # noqa: F401
    except ImportError:
        return False
    return True


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="100M")
    ap.add_argument("--mix", default="multi", choices=sorted(gen_corpus.MIXES))
    ap.add_argument("--vocab", type=int, default=16000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--runs", type=int, default=3, help="runs per selkbar case (default 3)")
    ap.add_argument("--library-runs", type=int, default=None,
                    help="runs per tokenizers and rustbpe case (default: --runs)")
    ap.add_argument("--corpora", default=gen_corpus.DEFAULT_SEED_DIR,
                    help="the texts gen_corpus grows its corpus from (default %(default)s)")
    ap.add_argument("--skip-library", action="store_true", help="selkbar cases only")
    ap.add_argument("--worker", choices=sorted(CASES), help=argparse.SUPPRESS)
    ap.add_argument("--dump", help=argparse.SUPPRESS)
    ap.add_argument("files", nargs="*", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.worker:
        print(json.dumps(train(args.worker, args.files, args.vocab, args.threads, args.dump)))
        return 0

    corpus, _ = gen_corpus.ensure(args.size, args.mix, seed_dir=args.corpora)
    files = [corpus]
    size_mb = os.path.getsize(corpus) / 1e6
    cases = [c for c in CASES if not (args.skip_library and c in LIBRARY_CASES)]
    if "rustbpe-gpt4" in cases and not rustbpe_available():
        print("rustbpe is not installed (pip install rustbpe==0.1.0): its case is skipped")
        cases.remove("rustbpe-gpt4")
    print(f"corpus {corpus} ({size_mb:.1f} MB, mix {args.mix}), vocab {args.vocab}, "
          f"threads {args.threads}, {args.runs} runs per selkbar case and "
          f"{args.library_runs or args.runs} per library case, medians")
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        dumps = {}
        runs = {case: [] for case in cases}
        failed = set()

        def wanted(case):
            if case in LIBRARY_CASES and args.library_runs is not None:
                return args.library_runs
            return args.runs

        # Round by round, every case once per round, so that a slow spell of
        # a shared machine touches all cases alike.
        for r in range(max(wanted(case) for case in cases)):
            for case in cases:
                if case in failed or r >= wanted(case):
                    continue
                dump = os.path.join(tmp, f"{case}.json")
                outcome = run_once(case, files, args, dump)
                if "error" in outcome:
                    print(f"  {case}: failed: {outcome['error']}")
                    failed.add(case)
                    continue
                dumps[case] = dump
                runs[case].append(outcome)
                print(f"  {case} run {r + 1}: {outcome['wall_s']:.2f} s, "
                      f"{outcome['peak_rss_kb'] / 1024:.0f} MiB", flush=True)
        for case in cases:
            if runs[case]:
                results[case] = {
                    "wall_s": statistics.median(x["wall_s"] for x in runs[case]),
                    "peak_mib": statistics.median(x["peak_rss_kb"] for x in runs[case]) / 1024,
                    "tokens": runs[case][-1]["tokens"]}
        agree = {}
        for ours, theirs in (("selkbar-gpt4", "tokenizers-gpt4"), ("selkbar-o200k", "tokenizers-o200k")):
            if ours in dumps and theirs in dumps:
                agree[theirs] = same_model(dumps[ours], dumps[theirs])

    base = results.get("selkbar-gpt2", {}).get("wall_s")
    print()
    print(f"| case | wall s | MB/s | peak RSS MiB | tokens | vs GPT-2 rule | target |")
    print("|---|---|---|---|---|---|---|")
    for case in cases:
        if case not in results:
            continue
        r = results[case]
        ratio = r["wall_s"] / base if base else float("nan")
        target = TARGETS.get(case)
        verdict = "" if target is None else f"<= {target}x: {'met' if ratio <= target else 'MISSED'}"
        print(f"| {CASES[case][2]} | {r['wall_s']:.2f} | {size_mb / r['wall_s']:.1f} | "
              f"{r['peak_mib']:.0f} | {r['tokens']} | {ratio:.2f}x | {verdict} |")
    for theirs, same in agree.items():
        ours = theirs.replace("tokenizers", "selkbar")
        speed = results[theirs]["wall_s"] / results[ours]["wall_s"]
        print(f"{ours} vs {theirs}: {'same vocabulary and merges' if same else 'DIFFERENT RESULT'}, "
              f"selkbar {speed:.1f}x faster, peak memory {results[ours]['peak_mib']:.0f} vs "
              f"{results[theirs]['peak_mib']:.0f} MiB")
    if "rustbpe-gpt4" in results and "selkbar-gpt4" in results:
        speed = results["rustbpe-gpt4"]["wall_s"] / results["selkbar-gpt4"]["wall_s"]
        print(f"selkbar-gpt4 vs rustbpe-gpt4: selkbar {speed:.1f}x faster, peak memory "
              f"{results['selkbar-gpt4']['peak_mib']:.0f} vs {results['rustbpe-gpt4']['peak_mib']:.0f} MiB "
              "(rustbpe's vocabulary is its own: it has no special handling to compare)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
