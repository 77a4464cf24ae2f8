#!/usr/bin/env python3
"""Benchmark: selkbar against the tokenizers library's BpeTrainer.

For every case (corpus mix and size, pretokenizer mode, vocabulary size,
thread budget) both trainers train on the same generated corpus with the same
options and thread budget (threads=T for selkbar, RAYON_NUM_THREADS=T for the
library), each run in its own process (bench/worker.py), alternating
selkbar, library, selkbar, library ... for --runs rounds. Reported per case:
median wall time, CPU time and peak resident set of each side, the ratios
library/selkbar, and whether both produced the same vocabulary (same ids) and
the same merges (same order). selkbar runs with SELKBAR_STATS=1 and its
diagnostic lines give the phase breakdown. A plain single-threaded read and
split on ASCII whitespace (tools/bench_baseline_split.cpp) is timed on each
corpus as the floor for phase 1.

    .venv/bin/python bench/run.py --size 100M
    .venv/bin/python bench/run.py --size 1G --cases 'en-*-v32000-t2'

Results are printed and written to bench/RESULTS.md (newest run first).
"""

import argparse
import datetime
import fnmatch
import hashlib
import json
import os
import platform
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_ROOT = os.path.dirname(BENCH_DIR)
sys.path.insert(0, BENCH_DIR)
import gen_corpus  # noqa: E402

WORKER = os.path.join(BENCH_DIR, "worker.py")
TOOLS_BUILD_DIR = os.path.join(REPO_ROOT, "build", "bench-tools")
BASELINE_TOOL = "bench_baseline_split"
RESULTS_TITLE = "# selkbar benchmark results"

IMPLS = ("selkbar", "tokenizers")


# ---------------------------------------------------------------------------
# SELKBAR_STATS lines

_DURATION_UNITS = {"s": 1.0, "ms": 1e-3, "µs": 1e-6, "ns": 1e-9}
_STATS_PATTERNS = [
    ("sizing", re.compile(r"^sizing: chunk=(\d+)KB queue=(\d+) batch=(\d+)KB "
                          r"readers=(\d+) scanners=(\d+) owners=(\d+)$")),
    ("p1_header", re.compile(r"^phase1 cpu-ms \(summed across threads\):$")),
    ("p1_read", re.compile(r"^  read (\d+) over (\d+) readers$")),
    ("p1_scan", re.compile(r"^  scan\+hash (\d+) over (\d+) scanners$")),
    ("p1_send", re.compile(r"^  send-blocked (\d+)$")),
    ("p1_recv", re.compile(r"^  recv-blocked (\d+)$")),
    ("p1_insert", re.compile(r"^  insert (\d+) over (\d+) owners$")),
    ("rss", re.compile(r"^rss after (.+): (\d+) MB$")),
    ("lap", re.compile(r"^  phase2 (.+): (\d+\.\d\d)(s|ms|µs|ns)$")),
    ("p2_stats", re.compile(r"^stats: words=(\d+) symbols=(\d+) \((\d+) MB\) pairs=(\d+) \((\d+) MB\) "
                            r"pos_entries=(\d+) pos_cap=(\d+) \((\d+) MB incl\. Vec headers\)$")),
]


def parse_stats(stderr_text):
    """Turns selkbar's diagnostic lines into a dict; unknown lines are kept in 'other'."""
    out = {"phase1_ms": {}, "rss_mb": {}, "phase2_s": {}, "other": []}
    for line in stderr_text.splitlines():
        for kind, pattern in _STATS_PATTERNS:
            m = pattern.match(line)
            if m:
                break
        else:
            if line.strip():
                out["other"].append(line)
            continue
        g = m.groups()
        if kind == "sizing":
            out["sizing"] = dict(zip(("chunk_kb", "queue", "batch_kb", "readers", "scanners", "owners"),
                                     map(int, g)))
        elif kind == "p1_read":
            out["phase1_ms"]["read"] = int(g[0])
        elif kind == "p1_scan":
            out["phase1_ms"]["scan+hash"] = int(g[0])
        elif kind == "p1_send":
            out["phase1_ms"]["send-blocked"] = int(g[0])
        elif kind == "p1_recv":
            out["phase1_ms"]["recv-blocked"] = int(g[0])
        elif kind == "p1_insert":
            out["phase1_ms"]["insert"] = int(g[0])
        elif kind == "rss":
            out["rss_mb"][g[0]] = int(g[1])
        elif kind == "lap":
            out["phase2_s"][g[0]] = float(g[1]) * _DURATION_UNITS[g[2]]
        elif kind == "p2_stats":
            out["p2_stats"] = dict(zip(("words", "symbols", "symbols_mb", "pairs", "pairs_mb",
                                        "pos_entries", "pos_cap", "pos_mb"), map(int, g)))
    return out


# ---------------------------------------------------------------------------
# Comparing the two results


def compare_outputs(a, b, name_a="selkbar", name_b="tokenizers"):
    """Returns (same, description) for two {"vocab", "merges"} results."""
    problems = []
    va, vb = a["vocab"], b["vocab"]
    if va != vb:
        only_a = [t for t in va if t not in vb]
        only_b = [t for t in vb if t not in va]
        moved = [t for t in va if t in vb and va[t] != vb[t]]
        desc = f"vocab differs: {len(va)} vs {len(vb)} tokens"
        if only_a:
            desc += f", {len(only_a)} only in {name_a} (e.g. {only_a[0]!r})"
        if only_b:
            desc += f", {len(only_b)} only in {name_b} (e.g. {only_b[0]!r})"
        if moved:
            t = min(moved, key=lambda t: va[t])
            desc += f", {len(moved)} with other ids (e.g. {t!r}: {va[t]} vs {vb[t]})"
        problems.append(desc)
    ma, mb = [tuple(m) for m in a["merges"]], [tuple(m) for m in b["merges"]]
    if ma != mb:
        first = next((i for i, (x, y) in enumerate(zip(ma, mb)) if x != y), min(len(ma), len(mb)))
        desc = f"merges differ: {len(ma)} vs {len(mb)}, first at #{first}"
        if first < len(ma) and first < len(mb):
            desc += f" ({ma[first]!r} vs {mb[first]!r})"
        problems.append(desc)
    return (not problems), "; ".join(problems) or "same vocab and merges"


# ---------------------------------------------------------------------------
# Running


class Case:
    def __init__(self, mix, size, mode, vocab, threads):
        self.mix, self.size, self.mode, self.vocab, self.threads = mix, size, mode, vocab, threads
        self.id = f"{mix}-{size}-{mode}-v{vocab}-t{threads}"


def build_cases(args):
    cases = []
    for size in args.size:
        for mix in args.mixes:
            for mode in args.modes:
                for vocab in args.vocabs:
                    for threads in args.threads:
                        case = Case(mix, size, mode, vocab, threads)
                        if not args.cases or any(fnmatch.fnmatchcase(case.id, p) for p in args.cases):
                            cases.append(case)
    return cases


def worker_env(impl, threads):
    env = dict(os.environ)
    env.pop("SELKBAR_STATS", None)
    env.pop("RAYON_NUM_THREADS", None)
    if impl == "selkbar":
        env["SELKBAR_STATS"] = "1"
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    return env


def run_worker(impl, case, files, dump, timeout):
    cmd = [sys.executable, WORKER, impl, *files, "--mode", case.mode, "--vocab", str(case.vocab),
           "--threads", str(case.threads), "--dump", dump]
    proc = subprocess.run(cmd, env=worker_env(impl, case.threads), capture_output=True, text=True,
                          timeout=timeout)
    if proc.returncode != 0:
        # The last line of a traceback names the exception and its message.
        lines = proc.stderr.strip().splitlines()
        raise RuntimeError(f"worker exited with {proc.returncode}: {lines[-1] if lines else ''}")
    result = json.loads(proc.stdout.strip().splitlines()[-1])
    if impl == "selkbar":
        result["stats"] = parse_stats(proc.stderr)
    return result


def build_baseline_tool(log):
    """Builds tools/bench_baseline_split.cpp; returns its path, or None."""
    exe = os.path.join(TOOLS_BUILD_DIR, BASELINE_TOOL)
    venv_bin = os.path.dirname(sys.executable)
    env = dict(os.environ, PATH=venv_bin + os.pathsep + os.environ.get("PATH", ""))
    cmake = shutil.which("cmake", path=env["PATH"])
    if not cmake:
        return None
    steps = []
    if not os.path.exists(os.path.join(TOOLS_BUILD_DIR, "CMakeCache.txt")):
        gen = ["-G", "Ninja"] if shutil.which("ninja", path=env["PATH"]) else []
        steps.append([cmake, "-S", REPO_ROOT, "-B", TOOLS_BUILD_DIR, *gen, "-DCMAKE_BUILD_TYPE=Release",
                      "-DSELKBAR_BUILD_MODULE=OFF", "-DSELKBAR_BUILD_TESTS=OFF", "-DSELKBAR_BUILD_TOOLS=ON"])
    steps.append([cmake, "--build", TOOLS_BUILD_DIR, "--target", BASELINE_TOOL, "-j", "1"])
    for step in steps:
        proc = subprocess.run(step, env=env, capture_output=True, text=True)
        if proc.returncode != 0:
            print(f"run: building {BASELINE_TOOL} failed; falling back to wc -w\n{proc.stdout[-2000:]}"
                  f"{proc.stderr[-2000:]}", file=log)
            return None
    return exe


def run_baseline(tool, files):
    """One timed read-and-split of the files: (seconds, words)."""
    if tool:
        out = subprocess.run([tool, *files], capture_output=True, text=True, check=True).stdout
        fields = dict(kv.split("=", 1) for kv in out.split())
        return float(fields["seconds"]), int(fields["words"])
    # Fallback when the tool cannot be built: wc -w reads and splits the same
    # bytes, but counts words its own way on non-ASCII text, so only its
    # time is comparable.
    t0 = time.perf_counter()
    out = subprocess.run(["wc", "-w", *files], capture_output=True, text=True, check=True,
                         env=dict(os.environ, LC_ALL="C")).stdout
    seconds = time.perf_counter() - t0
    return seconds, int(out.split()[-2] if len(files) > 1 else out.split()[0])


def median(values):
    return statistics.median(values) if values else None


def case_runs(case, args):
    """Rounds for one case: --large-runs on corpora of 1 GB and more, else --runs."""
    if args.large_runs is not None and gen_corpus.parse_size(case.size) >= 10**9:
        return args.large_runs
    return args.runs


def run_case(case, files, args, tmpdir, log):
    """Runs one case; returns a result dict."""
    rounds = case_runs(case, args)
    runs = {impl: [] for impl in args.impls}
    digests = {impl: set() for impl in args.impls}
    first_dump = {}
    errors = {}
    for r in range(rounds):
        for impl in args.impls:
            if impl in errors:      # a trainer that failed once is not retried; the other goes on
                continue
            dump = os.path.join(tmpdir, f"{impl}-{r}.json")
            try:
                res = run_worker(impl, case, files, dump, args.timeout)
            except (RuntimeError, subprocess.TimeoutExpired, ValueError) as e:
                errors[impl] = str(e)
                print(f"run: {case.id} {impl} run {r + 1} failed: {e}", file=log, flush=True)
                continue
            runs[impl].append(res)
            with open(dump, "rb") as f:
                digests[impl].add(hashlib.sha256(f.read()).hexdigest())
            first_dump.setdefault(impl, dump)
            if r > 0:
                os.remove(dump)
            print(f"run: {case.id} {impl:10s} run {r + 1}/{rounds}: wall {res['wall_s']:.2f}s "
                  f"cpu {res['cpu_s']:.2f}s peak {res['peak_rss_kb'] / 1024:.0f} MB", file=log, flush=True)
    error = "; ".join(f"{impl}: {e}" for impl, e in errors.items()) or None
    result = {"case": case, "error": error, "impls": {}}
    for impl, rs in runs.items():
        if not rs:
            continue
        walls = [x["wall_s"] for x in rs]
        med_run = sorted(rs, key=lambda x: x["wall_s"])[(len(rs) - 1) // 2]
        result["impls"][impl] = {
            "runs": len(rs),
            "wall_s": median(walls),
            "cpu_s": median([x["cpu_s"] for x in rs]),
            "peak_rss_mb": median([x["peak_rss_kb"] / 1024 for x in rs]),
            "rss_before_mb": median([x["rss_before_kb"] / 1024 for x in rs]),
            "vocab_size": rs[0]["vocab_size"],
            "merges": rs[0]["merges"],
            "stats": med_run.get("stats"),
            "deterministic": len(digests[impl]) == 1,
        }
    if len(first_dump) == 2:
        loaded = {}
        for impl, path in first_dump.items():
            with open(path, encoding="utf-8") as f:
                loaded[impl] = json.load(f)
        result["same"], result["compare"] = compare_outputs(loaded["selkbar"], loaded["tokenizers"])
    for path in first_dump.values():
        os.remove(path)
    return result


# ---------------------------------------------------------------------------
# Report


def machine_description():
    model = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    mem = f", {int(line.split()[1]) / 2**20:.1f} GiB RAM"
                    break
    except OSError:
        pass
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    return f"{model}, {cpus} logical CPUs{mem}, {platform.system()} {platform.release()}"


def software_description():
    parts = [f"Python {platform.python_version()}"]
    for name in ("tokenizers", "selkbar"):
        try:
            mod = __import__(name)
            parts.append(f"{name} {getattr(mod, '__version__', '?')}")
        except ImportError:
            parts.append(f"{name} not installed")
    try:
        rev = subprocess.run(["git", "-C", REPO_ROOT, "describe", "--always", "--dirty"],
                             capture_output=True, text=True).stdout.strip()
        if rev:
            parts.append(f"selkbar source {rev}")
    except OSError:
        pass
    return ", ".join(parts)


def exact_command():
    python = os.path.relpath(sys.executable, REPO_ROOT) if sys.executable.startswith(REPO_ROOT) \
        else sys.executable
    script = os.path.relpath(os.path.abspath(sys.argv[0]), REPO_ROOT)
    return shlex.join([python, script, *sys.argv[1:]])


def display_path(path):
    rel = os.path.relpath(path, REPO_ROOT)
    return path if rel.startswith("..") else rel


def fmt(value, format_spec=".2f", none="n/a"):
    return none if value is None else format(value, format_spec)


def ratio(lib, selk):
    if lib is None or selk is None or selk <= 0:
        return None
    return lib / selk


def render_report(results, corpora, baselines, args, command, started, load, software):
    lines = [f"## {started:%Y-%m-%d %H:%M} UTC: {', '.join(args.size)}", ""]
    lines += [f"Command (from the repository root): `{command}`", ""]
    lines += [f"Machine: {machine_description()}; load average {load[0][0]:.2f} before the runs, "
              f"{load[1][0]:.2f} after (other work on the machine shows up as wall time above CPU time).",
              f"Software: {software}.", ""]
    rounds = args.runs if args.large_runs is None else f"{args.runs} (1 GB and larger: {args.large_runs})"
    lines += [f"Each case ran {rounds} time(s) per trainer, alternating "
              f"{' / '.join(args.impls)}, each run in its own process; figures are medians. "
              "Wall and CPU time cover the training call only; peak RSS is the process's peak "
              "(ru_maxrss), interpreter and imported library included. Ratios are tokenizers/selkbar "
              "(above 1: selkbar is faster or smaller). selkbar runs with SELKBAR_STATS=1.", ""]

    lines += ["### Corpora", "",
              "| corpus | bytes | lines | distinct words | baseline read+split (1 thread) |",
              "|---|---:|---:|---:|---:|"]
    for key, (path, stats) in corpora.items():
        b = baselines.get(key)
        base = f"{b[0]:.3f} s ({stats['bytes'] / 1e6 / b[0]:.0f} MB/s)" if b else "n/a"
        lines.append(f"| {display_path(path)} | {stats['bytes']:,} | {stats['lines']:,} | "
                     f"{stats['distinct_words']:,} | {base} |")
    lines.append("")
    for mix in dict.fromkeys(key[0] for key in corpora):
        shares = ", ".join(f"{gen_corpus.SOURCES[k][0]} {v}%" for k, v in gen_corpus.MIXES[mix].items())
        lines.append(f"Mix {mix} (source bytes): {shares}.  ")
    lines += ["Distinct whitespace words are topped up with coined word forms to "
              f"{gen_corpus.HEAPS_K:.4g} × bytes^{gen_corpus.HEAPS_BETA} (bench/gen_corpus.py).", ""]

    lines += ["### Time, CPU and memory", "",
              "| case | selkbar wall s | tokenizers wall s | wall ratio | selkbar CPU s | tokenizers CPU s "
              "| CPU ratio | selkbar peak MB | tokenizers peak MB | memory ratio | same output |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"]
    notes = []
    for res in results:
        s = res["impls"].get("selkbar", {})
        t = res["impls"].get("tokenizers", {})
        if "same" in res:
            same = "yes" if res["same"] else "**NO**"
            if not res["same"]:
                notes.append(f"- {res['case'].id}: {res['compare']}")
        else:
            same = "n/a"
        for impl, r in res["impls"].items():
            if not r["deterministic"]:
                notes.append(f"- {res['case'].id}: {impl} gave different output across runs")
        if res["error"]:
            notes.append(f"- {res['case'].id}: failed: {res['error']}")
        words = ((s.get("stats") or {}).get("p2_stats") or {}).get("words")
        distinct = corpora[(res["case"].mix, res["case"].size)][1]["distinct_words"]
        if res["case"].mode == "whitespace" and words is not None and words != distinct:
            notes.append(f"- {res['case'].id}: selkbar counted {words:,} distinct words, "
                         f"the generator {distinct:,}")
        lines.append(
            f"| {res['case'].id} | {fmt(s.get('wall_s'))} | {fmt(t.get('wall_s'))} | "
            f"{fmt(ratio(t.get('wall_s'), s.get('wall_s')))} | {fmt(s.get('cpu_s'))} | {fmt(t.get('cpu_s'))} | "
            f"{fmt(ratio(t.get('cpu_s'), s.get('cpu_s')))} | {fmt(s.get('peak_rss_mb'), '.0f')} | "
            f"{fmt(t.get('peak_rss_mb'), '.0f')} | {fmt(ratio(t.get('peak_rss_mb'), s.get('peak_rss_mb')))} | "
            f"{same} |")
    lines.append("")
    if notes:
        lines += ["Notes:", "", *notes, ""]

    with_stats = [r for r in results if (r["impls"].get("selkbar") or {}).get("stats")]
    if with_stats:
        lines += ["### selkbar phases (run with the median wall time)", "",
                  "Phase 1 wall is the training wall time less the phase-2 laps (it includes the "
                  "conversion of the result to Python objects). Phase-1 thread times are summed over "
                  "threads, in seconds. /baseline: phase 1 wall over the single-threaded read+split. "
                  "RSS at start is the worker's peak before the training call (interpreter and "
                  "module), the others are selkbar's own probes.", "",
                  "| case | sizing | phase 1 wall s | /baseline | read | scan+hash | send-blocked | "
                  "recv-blocked | insert | alphabet s | tokenize s | initial pair count s | merge loop s | "
                  "RSS at start / after (MB) | words | pairs |",
                  "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|---:|"]
        for res in with_stats:
            s = res["impls"]["selkbar"]
            st = s["stats"]
            sz = st.get("sizing")
            sizing = (f"chunk {sz['chunk_kb']}KB, queue {sz['queue']}, batch {sz['batch_kb']}KB, "
                      f"{sz['readers']}r/{sz['scanners']}s/{sz['owners']}o") if sz else "n/a"
            p2 = st["phase2_s"]
            p1_wall = phase1_wall(s)
            case = res["case"]
            b = baselines.get((case.mix, case.size))
            p1 = st["phase1_ms"]
            rss = ", ".join([f"start: {s['rss_before_mb']:.0f}"]
                            + [f"{label}: {mb}" for label, mb in st["rss_mb"].items()])
            p2s = st.get("p2_stats") or {}
            lines.append(
                f"| {case.id} | {sizing} | {fmt(p1_wall)} | "
                f"{fmt(ratio(p1_wall, b[0]) if b else None)} | "
                + " | ".join(fmt(p1[k] / 1000 if k in p1 else None)
                             for k in ("read", "scan+hash", "send-blocked", "recv-blocked", "insert"))
                + " | "
                + " | ".join(fmt(p2.get(k), ".3f")
                             for k in ("alphabet", "tokenize", "initial pair count", "merge loop"))
                + f" | {rss} | {p2s.get('words', 'n/a')} | {p2s.get('pairs', 'n/a')} |")
        lines.append("")
    lines += growth_tables(with_stats)
    return "\n".join(lines)


def phase2_laps(selkbar_result):
    """selkbar's phase-2 laps in seconds by label; empty without stats."""
    return (selkbar_result.get("stats") or {}).get("phase2_s") or {}


def phase1_wall(selkbar_result):
    """Training wall time less the phase-2 laps, or None without stats."""
    p2 = phase2_laps(selkbar_result)
    return selkbar_result["wall_s"] - sum(p2.values()) if p2 else None


def growth_tables(with_stats):
    """How selkbar's phase 1 grows with corpus size and its merge loop with vocabulary."""
    by_id = {}
    for res in with_stats:
        c = res["case"]
        by_id[(c.mix, c.size, c.mode, c.vocab, c.threads)] = res["impls"]["selkbar"]
    lines = []
    sizes = sorted({k[1] for k in by_id}, key=gen_corpus.parse_size)
    if len(sizes) >= 2:
        small, large = sizes[0], sizes[-1]
        factor = gen_corpus.parse_size(large) / gen_corpus.parse_size(small)
        rows = []
        for (mix, size, mode, vocab, threads), s in by_id.items():
            other = by_id.get((mix, large, mode, vocab, threads))
            if size != small or other is None:
                continue
            a, b = phase1_wall(s), phase1_wall(other)
            if a and b:
                rows.append(f"| {mix}-{mode}-v{vocab}-t{threads} | {a:.2f} | {b:.2f} | {b / a:.2f} |")
        if rows:
            lines += [f"### Phase 1 from {small} to {large}", "",
                      f"Linear growth is a factor of {factor:g}.", "",
                      f"| case | phase 1 wall s at {small} | at {large} | factor |",
                      "|---|---:|---:|---:|", *rows, ""]
    rows = []
    keys = sorted({(k[0], k[1], k[2], k[4]) for k in by_id})
    for mix, size, mode, threads in keys:
        vocabs = sorted(v for (m, z, d, v, t) in by_id if (m, z, d, t) == (mix, size, mode, threads))
        if len(vocabs) < 2:
            continue
        lo, hi = by_id[(mix, size, mode, vocabs[0], threads)], by_id[(mix, size, mode, vocabs[-1], threads)]
        loop_lo = phase2_laps(lo).get("merge loop")
        loop_hi = phase2_laps(hi).get("merge loop")
        if not loop_lo or not loop_hi:
            continue
        rows.append(f"| {mix}-{size}-{mode}-t{threads} | {vocabs[0]} → {vocabs[-1]} | {loop_lo:.3f} | "
                    f"{loop_hi:.3f} | {loop_hi / loop_lo:.2f} | {lo['merges']:,} → {hi['merges']:,} |")
    if rows:
        lines += ["### Merge loop by vocabulary size", "",
                  "Words visited per merge fall steeply as merges get rarer; the time per visited word "
                  "is printed by tools/bench_trainer.cpp (build/rel/bench_trainer --file CORPUS --vocab N ...).",
                  "", "| case | vocab | merge loop s (low) | (high) | factor | merges |",
                  "|---|---|---:|---:|---:|---|", *rows, ""]
    return lines


def save_report(path, section):
    """Puts the new section first, keeping earlier runs below it."""
    older = ""
    if os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            text = f.read()
        idx = text.find("\n## ")
        older = text[idx + 1:] if idx >= 0 else ""
    with open(path, "w", encoding="utf-8") as f:
        f.write(f"{RESULTS_TITLE}\n\nProduced by bench/run.py; newest run first.\n\n{section}\n")
        if older:
            f.write("\n" + older.lstrip("\n"))


# ---------------------------------------------------------------------------


def csv_list(kind=str):
    return lambda text: [kind(x) for x in text.split(",") if x.strip()]


def main(argv=None):
    ap = argparse.ArgumentParser(description="selkbar vs tokenizers BpeTrainer benchmark")
    ap.add_argument("--size", type=csv_list(), default=["100M"],
                    help="corpus sizes, comma-separated (100M, 1G, ...); default 100M")
    ap.add_argument("--mixes", type=csv_list(), default=["en", "cjk"],
                    help="corpus mixes (en, cjk, multi); default en,cjk")
    ap.add_argument("--modes", type=csv_list(), default=["whitespace", "bytelevel"])
    ap.add_argument("--vocabs", type=csv_list(int), default=[8000, 32000, 64000])
    ap.add_argument("--threads", type=csv_list(int), default=[1, 2])
    ap.add_argument("--cases", type=csv_list(), default=[],
                    help="only cases whose id (MIX-SIZE-MODE-vVOCAB-tTHREADS) matches one of these "
                         "glob patterns, e.g. 'en-*-v8000-t2'")
    ap.add_argument("--runs", type=int, default=3, help="runs per trainer and case (default 3)")
    ap.add_argument("--large-runs", type=int, default=None,
                    help="runs per trainer for corpora of 1 GB and more (default: --runs)")
    ap.add_argument("--impls", type=csv_list(), default=list(IMPLS),
                    help="trainers to run (default selkbar,tokenizers)")
    ap.add_argument("--timeout", type=float, default=None, help="seconds per training run")
    ap.add_argument("--results", default=os.path.join(BENCH_DIR, "RESULTS.md"),
                    help="Markdown file to put the results into (default bench/RESULTS.md)")
    ap.add_argument("--no-save", action="store_true", help="print only, do not write --results")
    ap.add_argument("--no-baseline", action="store_true", help="skip the read+split baseline")
    ap.add_argument("--data-dir", default=gen_corpus.DATA_DIR,
                    help="where generated corpora are kept (default bench/data)")
    args = ap.parse_args(argv)

    for mix in args.mixes:
        if mix not in gen_corpus.MIXES:
            ap.error(f"unknown mix {mix!r} (want one of {', '.join(gen_corpus.MIXES)})")
    for mode in args.modes:
        if mode not in ("whitespace", "bytelevel"):
            ap.error(f"unknown mode {mode!r}")
    for impl in args.impls:
        if impl not in IMPLS:
            ap.error(f"unknown trainer {impl!r}")
    args.impls = [i for i in IMPLS if i in args.impls]     # always selkbar first: A B A B
    if "selkbar" in args.impls:
        check = subprocess.run([sys.executable, "-c", "import selkbar; selkbar.train_bpe"],
                               capture_output=True, text=True)
        if check.returncode != 0:
            ap.error("selkbar with train_bpe is not installed in this interpreter "
                     "(run bash scripts/setup.sh, or pass --impls tokenizers)")

    log = sys.stderr
    started = datetime.datetime.now(datetime.timezone.utc)
    command = exact_command()
    # Taken now: the sources may change while a long run is going on.
    software = software_description()
    cases = build_cases(args)
    if not cases:
        ap.error("no case matches")

    corpora = {}
    for case in cases:
        key = (case.mix, case.size)
        if key not in corpora:
            out = os.path.join(args.data_dir, os.path.basename(gen_corpus.default_out(case.mix, case.size)))
            path, stats = gen_corpus.ensure(case.size, case.mix, out, log=None)
            print(f"run: corpus {display_path(path)}: {stats['bytes']:,} bytes, "
                  f"{stats['lines']:,} lines, {stats['distinct_words']:,} distinct words", file=log, flush=True)
            corpora[key] = (path, stats)

    baselines = {}
    if not args.no_baseline:
        tool = build_baseline_tool(log)
        for key, (path, stats) in corpora.items():
            times = []
            for _ in range(args.runs):
                seconds, words = run_baseline(tool, [path])
                times.append(seconds)
            baselines[key] = (median(times), words)
            print(f"run: baseline {key[0]}-{key[1]}: {median(times):.2f}s ({words:,} words)", file=log,
                  flush=True)

    load_before = os.getloadavg()
    results = []
    interrupted = False
    with tempfile.TemporaryDirectory(prefix="selkbar-bench-") as tmpdir:
        try:
            for case in cases:
                path, _ = corpora[(case.mix, case.size)]
                results.append(run_case(case, [path], args, tmpdir, log))
        except KeyboardInterrupt:
            # Hours of finished cases are worth keeping: report them, and say
            # plainly that the rest did not run.
            interrupted = True
            print(f"run: interrupted after {len(results)} of {len(cases)} cases", file=log, flush=True)

    load = (load_before, os.getloadavg())
    section = render_report(results, corpora, baselines, args, command, started, load, software)
    if interrupted:
        missing = ", ".join(case.id for case in cases[len(results):])
        section += (f"\n**Interrupted** after {len(results)} of {len(cases)} cases; "
                    f"not run: {missing}.\n")
    print(section)
    if not args.no_save:
        save_report(args.results, section)
        print(f"run: results written to {os.path.relpath(args.results)}", file=log)
    failed = interrupted or any(r["error"] or r.get("same") is False for r in results)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
