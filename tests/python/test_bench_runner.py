"""The benchmark runner: reading selkbar's diagnostics, comparing results, reports."""

import importlib.util
import json
import os
import subprocess
import sys

import pytest

BENCH = os.path.join(os.path.dirname(__file__), "..", "..", "bench")
sys.path.insert(0, BENCH)
import charts  # noqa: E402
import run  # noqa: E402
import worker  # noqa: E402

STATS_STDERR = """\
sizing: chunk=1024KB queue=8 batch=64KB ranges=8 workers=2 partitions=8
phase1 cpu-ms (summed across threads):
  read 1500 over 2 workers
  scan+hash 2301
  recv-blocked 17
  insert 998
  merge 120 over 8 partitions
rss after phase 1 shard counters: 512 MB
rss after combining shards: 600 MB
stats: words=1000 symbols=5000 (0 MB) pairs=300 (0 MB) pos_entries=4000 pos_cap=4096 (0 MB incl. Vec headers)
  phase2 alphabet: 1.23ms
rss after tokenize (word strings still held): 700 MB
  phase2 tokenize: 1.50s
rss after dropping word strings: 650 MB
  phase2 initial pair count: 7.00µs
  phase2 merge loop: 999.00ns
merge loop split (by the most ranges a merge may take): 2-3 1.00ms wall 2.00ms threads, 4-7 0.00ns wall 0.00ns threads, 8 1.50s wall 3.00s threads, joining 250.00µs
warning: something unexpected
"""


class TestParseStats:
    def test_every_line_kind_is_read(self):
        st = run.parse_stats(STATS_STDERR)
        assert st["sizing"] == {"chunk_kb": 1024, "queue": 8, "batch_kb": 64, "ranges": 8,
                                "workers": 2, "partitions": 8}
        assert st["phase1_ms"] == {"read": 1500, "scan+hash": 2301, "recv-blocked": 17,
                                   "insert": 998, "merge": 120}
        assert list(st["rss_mb"].items()) == [
            ("phase 1 shard counters", 512), ("combining shards", 600),
            ("tokenize (word strings still held)", 700), ("dropping word strings", 650)]
        assert st["phase2_s"] == pytest.approx({"alphabet": 1.23e-3, "tokenize": 1.5,
                                                "initial pair count": 7e-6, "merge loop": 999e-9})
        assert st["p2_stats"]["words"] == 1000 and st["p2_stats"]["pairs"] == 300
        assert st["loop_split"] == pytest.approx({"wall_s": [1e-3, 0.0, 1.5], "thread_s": [2e-3, 0.0, 3.0],
                                                  "join_s": 250e-6})
        assert st["other"] == ["warning: something unexpected"]

    def test_no_diagnostics_gives_empty_breakdown(self):
        st = run.parse_stats("")
        assert st["phase1_ms"] == {} and st["phase2_s"] == {} and "sizing" not in st


class TestCompareOutputs:
    BASE = {"vocab": {"a": 0, "b": 1, "ab": 2}, "merges": [["a", "b"]]}

    def test_identical_results(self):
        same, desc = run.compare_outputs(self.BASE, json.loads(json.dumps(self.BASE)))
        assert same and desc == "same vocab and merges"

    def test_swapped_ids_are_a_difference(self):
        other = {"vocab": {"a": 1, "b": 0, "ab": 2}, "merges": [["a", "b"]]}
        same, desc = run.compare_outputs(self.BASE, other)
        assert not same and "2 with other ids" in desc and "'a': 0 vs 1" in desc

    def test_missing_token_and_merge_order(self):
        a = {"vocab": {"a": 0, "b": 1, "ab": 2, "ba": 3}, "merges": [["a", "b"], ["b", "a"]]}
        b = {"vocab": {"a": 0, "b": 1, "ba": 2, "ab": 3}, "merges": [["b", "a"], ["a", "b"]]}
        same, desc = run.compare_outputs(a, b)
        assert not same and "first at #0" in desc
        c = {"vocab": {"a": 0, "b": 1, "ab": 2}, "merges": [["a", "b"]]}
        same, desc = run.compare_outputs(a, c)
        assert "1 only in selkbar (e.g. 'ba')" in desc and "2 vs 1, first at #1" in desc


def test_save_report_keeps_older_runs_newest_first(tmp_path):
    path = str(tmp_path / "RESULTS.md")
    run.save_report(path, "## run one\n\nfirst\n")
    run.save_report(path, "## run two\n\nsecond\n")
    text = open(path, encoding="utf-8").read()
    assert text.startswith(run.RESULTS_TITLE)
    assert text.count(run.RESULTS_TITLE) == 1
    assert text.index("## run two") < text.index("## run one")
    assert "first" in text and "second" in text


def test_selected_cases_follow_the_glob_filter():
    args = run.main.__globals__["argparse"].Namespace(
        size=["100M", "1G"], mixes=["en", "cjk"], modes=["whitespace", "bytelevel"],
        vocabs=[8000, 32000], threads=[1, 2], cases=["*-100M-*-v8000-t2", "cjk-1G-bytelevel-*"])
    ids = [c.id for c in run.build_cases(args)]
    assert ids == ["en-100M-whitespace-v8000-t2", "en-100M-bytelevel-v8000-t2",
                   "cjk-100M-whitespace-v8000-t2", "cjk-100M-bytelevel-v8000-t2",
                   "cjk-1G-bytelevel-v8000-t1", "cjk-1G-bytelevel-v8000-t2",
                   "cjk-1G-bytelevel-v32000-t1", "cjk-1G-bytelevel-v32000-t2"]


def test_large_corpora_take_their_own_run_count():
    args = run.main.__globals__["argparse"].Namespace(runs=3, large_runs=1)
    assert [run.case_runs(run.Case("en", size, "whitespace", 8000, 2), args)
            for size in ("100M", "999M", "1G", "5G")] == [3, 3, 1, 1]
    args.large_runs = None
    assert run.case_runs(run.Case("en", "1G", "whitespace", 8000, 2), args) == 3


def _selkbar_result(mix, size, mode, vocab, threads, wall, phase2, merges):
    return {"case": run.Case(mix, size, mode, vocab, threads),
            "impls": {"selkbar": {"wall_s": wall, "merges": merges,
                                  "stats": {"phase2_s": phase2}}}}


def test_growth_tables_compare_sizes_and_vocabularies():
    results = [
        _selkbar_result("en", "100M", "whitespace", 8000, 2, 1.0, {"tokenize": 0.1, "merge loop": 0.4}, 7000),
        _selkbar_result("en", "100M", "whitespace", 64000, 2, 1.5, {"merge loop": 1.0}, 63000),
        _selkbar_result("en", "1G", "whitespace", 8000, 2, 7.0, {"merge loop": 2.0}, 7000),
        # No 100M partner, no vocabulary partner: appears in neither table.
        _selkbar_result("cjk", "1G", "bytelevel", 8000, 1, 9.0, {"merge loop": 3.0}, 7000),
    ]
    text = "\n".join(run.growth_tables(results))
    assert "Linear growth is a factor of 10." in text
    # Phase 1 is the wall time less every phase-2 lap: 0.5 s, then 5.0 s.
    assert "| en-whitespace-v8000-t2 | 0.50 | 5.00 | 10.00 |" in text
    assert "| en-100M-whitespace-t2 | 8000 → 64000 | 0.400 | 1.000 | 2.50 | 7,000 → 63,000 |" in text
    assert "cjk" not in text and "v64000-t2 |" not in text


def _result(case, **impls):
    """A run_case result: impls maps trainer to (wall s, peak MB)."""
    return {"case": case, "error": None,
            "impls": {impl: {"wall_s": w, "cpu_s": w, "peak_rss_mb": m, "vocab_size": case.vocab,
                             "merges": 0, "deterministic": True, "stats": None}
                      for impl, (w, m) in impls.items()}}


class TestPeers:
    def test_every_trainer_has_its_pretokenization_stated(self):
        for impl in run.IMPLS:
            for mode in ("whitespace", "bytelevel"):
                assert worker.PRETOKENIZATION[(impl, mode)]

    def test_rayon_trainers_get_the_thread_budget_and_sentencepiece_its_argument(self):
        for impl in ("tokenizers", "rustbpe", "bpeasy"):
            assert run.worker_env(impl, 3)["RAYON_NUM_THREADS"] == "3"
        assert "RAYON_NUM_THREADS" not in run.worker_env("sentencepiece", 3)
        assert run.worker_env("selkbar", 3)["SELKBAR_STATS"] == "1"

    def test_peer_table_compares_time_and_memory_with_selkbar(self):
        case = run.Case("en", "100M", "bytelevel", 32000, 2)
        res = _result(case, selkbar=(2.0, 100.0), rustbpe=(10.0, 250.0), tokenizers=(40.0, 700.0))
        text = "\n".join(run.peer_lines([res], ["selkbar", "tokenizers", "rustbpe", "bpeasy"]))
        assert "| en-100M-bytelevel-v32000-t2 | rustbpe | 10.00 | 10.00 | 250 | 5.00 | 2.50 | 32000 |" in text
        assert "| tokenizers |" not in text and "bpeasy" not in text     # library has its own table
        assert run.peer_lines([_result(case, selkbar=(1.0, 1.0))], run.IMPLS) == []

    def test_thread_scaling_pairs_the_same_case_per_trainer(self):
        results = [_result(run.Case("en", "100M", "whitespace", 8000, t), selkbar=(w, 1), bpeasy=(b, 1))
                   for t, w, b in ((1, 3.0, 8.0), (2, 2.0, 5.0))]
        results.append(_result(run.Case("cjk", "100M", "whitespace", 8000, 2), selkbar=(1.0, 1)))
        text = "\n".join(run.thread_scaling_lines(results))
        assert "| en-100M-whitespace-v8000 | selkbar | 1 → 2 | 3.00 | 2.00 | 1.50 |" in text
        assert "| en-100M-whitespace-v8000 | bpeasy | 1 → 2 | 8.00 | 5.00 | 1.60 |" in text
        assert "cjk" not in text


class TestPerThreadFigures:
    SELKBAR = {"wall_s": 5.0, "merges": 30000,
               "stats": {"phase1_ms": {"read": 500, "scan+hash": 4000, "insert": 2000},
                         "phase2_s": {"tokenize": 0.25, "initial pair count": 0.25, "merge loop": 1.5}}}

    def test_rates_per_thread_and_projection(self):
        f = run.thread_figures(self.SELKBAR, pretokens=200_000_000, corpus_bytes=1_000_000_000, threads=2)
        assert f["reader_mb_s"] == pytest.approx(2000)
        assert f["scanner_pretokens_s"] == pytest.approx(50e6)
        assert f["owner_pretokens_s"] == pytest.approx(100e6)
        assert f["merges_s"] == pytest.approx(20000)
        # 6.5 s of phase-1 thread time spreads over the threads; 2 s of phase 2 does not.
        assert run.projected_wall(f, 16) == pytest.approx(6.5 / 16 + 2.0)
        assert run.projected_wall(f, 64) == pytest.approx(6.5 / 64 + 2.0)
        assert run.stops_scaling(f) == (pytest.approx(3.25), "merge loop")

    def test_split_merges_spread_over_the_ranges_their_size_allows(self):
        split = {"wall_s": [0.1, 0.1, 0.6], "thread_s": [0.2, 0.2, 1.2], "join_s": 0.05}
        stats = dict(self.SELKBAR["stats"], loop_split=split)
        f = run.thread_figures(dict(self.SELKBAR, stats=stats), None, 10, threads=2)
        # At 16 threads: classes take 2, 4 and 8 ranges; joining grows from 1/2 to 7/8 of the changes.
        saving = (0.1 - 0.2 / 2) + (0.1 - 0.2 / 4) + (0.6 - 1.2 / 8) - 0.05 * ((7 / 8) / (1 / 2) - 1)
        assert run.projected_wall(f, 16) == pytest.approx(6.5 / 16 + 2.0 - saving)
        assert run.projected_wall(f, 2) == pytest.approx(6.5 / 2 + 2.0)    # as measured
        # A run on one thread measured no joining: its merge loop is kept as measured.
        one = run.thread_figures(dict(self.SELKBAR, stats=stats), None, 10, threads=1)
        assert run.projected_wall(one, 64) == pytest.approx(6.5 / 64 + 2.0)

    def test_missing_counts_leave_gaps_not_errors(self):
        f = run.thread_figures(self.SELKBAR, pretokens=None, corpus_bytes=10, threads=2)
        assert f["scanner_pretokens_s"] is None and f["merges_s"] == pytest.approx(20000)
        assert run.thread_figures({"wall_s": 1.0, "merges": 0, "stats": None}, 5, 10, 2) is None


class TestCharts:
    RESULTS = [_result(run.Case("en", size, "bytelevel", vocab, threads), selkbar=(w, 100.0),
                       rustbpe=(10 * w, 300.0))
               for size, vocab, threads, w in (("100M", 32000, 2, 1.0), ("1G", 32000, 2, 8.0),
                                               ("100M", 8000, 2, 0.5), ("100M", 32000, 1, 1.2))]

    def test_per_case_keeps_case_order_and_drops_absent_trainers(self):
        ids, values = charts.per_case(self.RESULTS, ["selkbar", "bpeasy", "rustbpe"], "peak_rss_mb")
        assert ids[0] == "en-100M-bytelevel-v32000-t2" and len(ids) == 4
        assert values == {"selkbar": [100.0] * 4, "rustbpe": [300.0] * 4}

    def test_size_panels_take_most_threads_and_vocab_nearest_32000(self):
        panels, vocab, threads = charts.by_size(self.RESULTS, ["selkbar", "rustbpe"])
        assert (vocab, threads) == (32000, 2)
        assert panels == {("en", "bytelevel"): {"selkbar": [(100 * 10**6, 1.0), (10**9, 8.0)],
                                                "rustbpe": [(100 * 10**6, 10.0), (10**9, 80.0)]}}
        one_size = [r for r in self.RESULTS if r["case"].size == "100M"]
        assert charts.by_size(one_size, ["selkbar"])[0] == {}

    def test_draw_writes_pngs(self, tmp_path):
        pytest.importorskip("matplotlib")
        written = charts.draw(self.RESULTS, ["selkbar", "rustbpe"], str(tmp_path))
        assert [os.path.basename(p) for _, p in written] == ["time.png", "memory.png", "size.png"]
        for _, path in written:
            with open(path, "rb") as f:
                assert f.read(8) == b"\x89PNG\r\n\x1a\n"


def _has_train_bpe():
    try:
        import selkbar
        return hasattr(selkbar, "train_bpe")
    except ImportError:
        return False


def _selkbar_modes(tmp_path):
    """The modes this selkbar build trains in (byte-level arrived later than whitespace)."""
    import selkbar
    sample = tmp_path / "probe.txt"
    sample.write_text("probe text\n", encoding="utf-8")
    modes = []
    for mode in worker.MODES:
        try:
            selkbar.train_bpe([str(sample)], 10, pretokenizer=mode, threads=1)
            modes.append(mode)
        except BaseException as e:          # PanicException derives from BaseException
            if "not available in this build" not in str(e):
                raise
    return modes


@pytest.mark.parametrize("impls", [
    "tokenizers",
    pytest.param("selkbar,tokenizers", marks=pytest.mark.skipif(not _has_train_bpe(),
                                                                reason="selkbar has no train_bpe yet")),
])
def test_small_run_end_to_end(tmp_path, impls):
    modes = list(worker.MODES) if impls == "tokenizers" else _selkbar_modes(tmp_path)
    results = tmp_path / "RESULTS.md"
    proc = subprocess.run(
        [sys.executable, os.path.join(BENCH, "run.py"), "--size", "300K", "--mixes", "multi",
         "--modes", ",".join(modes), "--vocabs", "600", "--threads", "2", "--runs", "2",
         "--impls", impls, "--no-baseline", "--no-merge-loop", "--data-dir", str(tmp_path),
         "--results", str(results)],
        capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    text = results.read_text(encoding="utf-8")
    for mode in modes:
        row = next(line for line in text.splitlines() if line.startswith(f"| multi-300K-{mode}-v600-t2 |"))
        cells = [c.strip() for c in row.strip("|").split("|")]
        assert float(cells[2]) > 0                       # the library's wall time
        if "selkbar" in impls:
            assert float(cells[1]) > 0 and cells[-1] == "yes"
    assert "Notes:" not in text                          # no failure, mismatch or nondeterminism


@pytest.mark.parametrize("peer", worker.PEERS)
def test_peer_runs_end_to_end_or_is_skipped(tmp_path, peer):
    """Each peer trains in the runner, or, when not installed, is named as skipped."""
    results = tmp_path / "RESULTS.md"
    proc = subprocess.run(
        [sys.executable, os.path.join(BENCH, "run.py"), "--size", "300K", "--mixes", "multi",
         "--modes", "bytelevel", "--vocabs", "3000", "--threads", "1", "--runs", "1", "--impls", peer,
         "--no-baseline", "--no-charts", "--data-dir", str(tmp_path), "--results", str(results)],
        capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    text = results.read_text(encoding="utf-8")
    if importlib.util.find_spec(worker.MODULES[peer]) is None:
        assert f"Not installed, so not run: {peer}" in text
    else:
        row = next(line for line in text.splitlines() if line.startswith(f"| multi-300K-bytelevel-v3000-t1 | {peer} |"))
        assert float(row.split("|")[3]) > 0


# ---------------------------------------------------------------------------
# gpt4 mode, size gating, the merge loop and the targets block

TRAINER_OUTPUT = """\
corpus: 1 files, 953.7 MB, 1780000 distinct words, 17.0 MB of word bytes
vocab 8000: phase2 1.200 s wall (1.100 s cpu), 7744 merges, 6453 merges/s, 8000 tokens, peak rss 300 MB (200 MB before phase 2)
  merge loop 0.800 s, 40,000,000 words visited (5165.3 per merge, 48% holding the pair), 20.0 ns per visited word
vocab 64000: phase2 3.000 s wall (2.900 s cpu), 63744 merges, 21248 merges/s, 64000 tokens, peak rss 400 MB (200 MB before phase 2)
  merge loop 2.500 s, 100000000 words visited (1568.8 per merge), 25.0 ns per visited word
"""


class TestMergeLoop:
    def test_bench_trainer_lines_are_read(self):
        rows = run.parse_merge_loop(TRAINER_OUTPUT)
        assert rows == [
            {"vocab": 8000, "loop_s": pytest.approx(0.8), "visited": 40_000_000, "holding_pct": 48.0,
             "ns_per_word": 20.0},
            {"vocab": 64000, "loop_s": pytest.approx(2.5), "visited": 100_000_000, "holding_pct": None,
             "ns_per_word": 25.0}]
        assert run.merge_loop_flatness(rows) == pytest.approx(1.25)

    def test_reworded_lines_still_parse_and_missing_figures_are_none(self):
        text = ("vocab=16000 merge loop: 450.5ms, visited 1,234 words, 7.5 ns per visited word\n"
                "something else entirely\n"
                "vocab 32000 done\n"
                "  12 ns per visited word\n")
        rows = run.parse_merge_loop(text)
        assert rows[0] == {"vocab": 16000, "loop_s": pytest.approx(0.4505), "visited": 1234, "holding_pct": None,
                           "ns_per_word": 7.5}
        assert rows[1] == {"vocab": 32000, "loop_s": None, "visited": None, "holding_pct": None, "ns_per_word": 12.0}
        assert run.merge_loop_flatness(rows[:1]) is None
        assert run.parse_merge_loop("corpus: nothing here\n") == []

    def test_corpus_is_the_largest_up_to_1g_of_the_first_mix(self):
        corpora = {(mix, size): None for size in ("100M", "1G", "5G") for mix in ("en", "cjk")}
        assert run.merge_loop_corpus(corpora) == ("en", "1G")
        assert run.merge_loop_corpus({("cjk", "5G"): None}) is None

    def test_tool_output_failure_and_missing_build_end_up_in_the_report(self, tmp_path, monkeypatch):
        corpus = tmp_path / "c.txt"
        corpus.write_text("a b\n", encoding="utf-8")
        corpora = {("en", "100M"): (str(corpus), {"bytes": 4})}
        args = run.main.__globals__["argparse"].Namespace(timeout=60, runs=2)
        fake = tmp_path / "fake_trainer"

        def use(script):
            fake.write_text("#!/bin/sh\n" + script, encoding="utf-8")
            fake.chmod(0o755)
            monkeypatch.setattr(run, "build_tool", lambda name, log, fallback="": str(fake))
            return run.measure_merge_loop(corpora, args, sys.stderr)

        out = use("[ \"$*\" = \"--file $(dirname $0)/c.txt --repeat 2 --threads 2 --vocab 8000 --vocab 32000 "
                  "--vocab 128000 --vocab 200000\" ] || exit 3\ncat <<'END'\n" + TRAINER_OUTPUT + "END\n")
        assert out["key"] == ("en", "100M") and out["flatness"] == pytest.approx(1.25)
        text = "\n".join(run.merge_loop_lines(out))
        assert "| 8000 | 0.800 | 40,000,000 | 48% | 20.0 |" in text
        assert "| 64000 | 2.500 | 100,000,000 | n/a | 25.0 |" in text and "1.25" in text and "does not hold" in text
        out = use("echo 'bench_trainer: no *.txt files' >&2; exit 2\n")
        assert "exited with 2: bench_trainer: no *.txt files" in out["note"]
        assert "Not measured:" in "\n".join(run.merge_loop_lines(out))
        monkeypatch.setattr(run, "build_tool", lambda name, log, fallback="": None)
        assert "could not be built" in run.measure_merge_loop(corpora, args, sys.stderr)["note"]


def _gating_args(**overrides):
    values = dict(impls=list(run.IMPLS), others_up_to=None, others_cases=[], peer_cases=[])
    values.update(overrides)
    return run.main.__globals__["argparse"].Namespace(**values)


class TestGating:
    def test_others_run_up_to_a_size_and_in_matching_cases_only(self):
        args = _gating_args(others_up_to="1G", others_cases=["*-t2"], peer_cases=["en-*"])
        plan = {size_mix_t: run.case_plan(run.Case(size_mix_t[1], size_mix_t[0], "gpt4", 32000, size_mix_t[2]), args)
                for size_mix_t in (("1G", "en", 2), ("1G", "cjk", 2), ("5G", "en", 2), ("1G", "en", 1))}
        assert plan[("1G", "en", 2)] == (list(run.IMPLS), {})
        assert plan[("1G", "cjk", 2)] == (["selkbar", "tokenizers"],
                                          {p: "not in --peer-cases" for p in worker.PEERS})
        assert plan[("5G", "en", 2)] == (["selkbar"], {i: "corpus above 1G" for i in run.IMPLS[1:]})
        assert plan[("1G", "en", 1)] == (["selkbar"], {i: "not in --others-cases" for i in run.IMPLS[1:]})
        # 1G is 10**9 bytes: a 1000M corpus is not above it.
        assert run.not_run_reason("bpeasy", run.Case("en", "1000M", "gpt4", 8000, 2), args) is None

    def test_left_out_trainers_are_not_started_and_the_report_says_so(self, tmp_path, monkeypatch):
        started = []

        def fake_worker(impl, case, files, dump, timeout):
            started.append(impl)
            with open(dump, "w", encoding="utf-8") as f:
                json.dump({"vocab": {"a": 0}, "merges": []}, f)
            return {"wall_s": 1.0, "cpu_s": 1.0, "peak_rss_kb": 1024, "rss_before_kb": 512,
                    "vocab_size": 1, "merges": 0}

        monkeypatch.setattr(run, "run_worker", fake_worker)
        args = _gating_args(others_up_to="1G", runs=1, large_runs=None, timeout=None)
        big = run.run_case(run.Case("en", "5G", "whitespace", 32000, 2), ["x"], args, str(tmp_path), sys.stderr)
        assert started == ["selkbar"] and set(big["impls"]) == {"selkbar"}
        assert big["not_run"] == {i: "corpus above 1G" for i in run.IMPLS[1:]}
        small = run.run_case(run.Case("en", "1G", "whitespace", 32000, 2), ["x"], args, str(tmp_path), sys.stderr)
        assert set(small["impls"]) == set(run.IMPLS) and small["same"]

        text = "\n".join(run.coverage_lines([small, big], run.IMPLS))
        assert "- selkbar: ran at 1G (1 case), 5G (1 case)." in text
        assert "- tokenizers: ran at 1G (1 case); not run at 5G (1 case: corpus above 1G)." in text
        args.peer_cases = ["nothing-*"]
        peers_out = run.run_case(run.Case("en", "1G", "gpt4", 32000, 2), ["x"], args, str(tmp_path), sys.stderr)
        text = "\n".join(run.coverage_lines([small, peers_out, big], run.IMPLS))
        assert ("- rustbpe: ran at 1G (1 case); not run at 1G (1 case: not in --peer-cases), "
                "5G (1 case: corpus above 1G).") in text
        assert run.coverage_lines([small], run.IMPLS) == []
        labels = charts.not_run_labels([small, big], run.IMPLS)
        assert labels[("en-5G-whitespace-v32000-t2", "rustbpe")] == "rustbpe: not run (corpus above 1G)"
        assert not any(case_id.startswith("en-1G") for case_id, _ in labels)
        assert charts.coverage_note([small, big], run.IMPLS).startswith("Ran only at some sizes: tokenizers at 1G")


def _full(case, selkbar=None, phase2=None, same=None, not_run=None, phase1=None, **others):
    """A run_case result: selkbar and others map trainer to wall seconds."""
    impls = {}
    if selkbar is not None:
        impls["selkbar"] = {"wall_s": selkbar, "peak_rss_mb": 500.0, "merges": 1,
                            "stats": {"phase2_s": phase2 or {"merge loop": 1.0}, "phase1_ms": phase1 or {}}}
    for impl, wall in others.items():
        impls[impl] = {"wall_s": wall, "peak_rss_mb": 900.0}
    res = {"case": case, "error": None, "impls": impls, "not_run": not_run or {}}
    if same is not None:
        res["same"] = same
    return res


class TestTargets:
    CORPORA = {(mix, size): ("path", {"bytes": run.gen_corpus.parse_size(size)})
               for mix in ("en", "cjk") for size in ("100M", "1G", "5G")}

    def rows(self, results, baselines=None, merge_loop=None):
        rows = run.target_rows(results, self.CORPORA, baselines or {}, merge_loop)
        return {(" ".join(t.split()[:3]), c): (m, v) for t, c, m, v in rows}, rows

    def test_verdicts_from_one_run(self):
        C = run.Case
        results = [
            # 1 s of phase 2: phase 1 takes 3 s of wall and 5.5 s of thread time
            # against a 2 s baseline.
            _full(C("en", "1G", "whitespace", 32000, 2), selkbar=4.0, same=True, tokenizers=100.0,
                  sentencepiece=50.0, rustbpe=30.0,
                  phase1={"read": 500, "scan+hash": 3000, "insert": 1500, "merge": 500}),
            _full(C("en", "1G", "whitespace", 32000, 1), selkbar=6.0),
            _full(C("en", "1G", "bytelevel", 32000, 2), selkbar=8.0, same=False, tokenizers=200.0),
            _full(C("en", "1G", "gpt4", 32000, 2), selkbar=7.0, same=True, tokenizers=180.0, bpeasy=70.0),
            _full(C("cjk", "1G", "whitespace", 32000, 2), selkbar=5.0,
                  not_run={i: "corpus above 500M" for i in run.IMPLS[1:]}),
            _full(C("en", "5G", "whitespace", 32000, 2), selkbar=11.0, phase2={"merge loop": 1.0}),
            _full(C("en", "5G", "bytelevel", 32000, 2), selkbar=21.0, phase2={"merge loop": 1.0}),
        ]
        merge_loop = {"key": ("en", "1G"), "flatness": 1.1,
                      "rows": [{"vocab": 8000}, {"vocab": 64000}]}
        got, rows = self.rows(results, {("en", "1G"): (2.0, 0)}, merge_loop)
        ws = "en-1G-whitespace-v32000-t2"
        assert got[("selkbar end to", ws)] == ("4.00 s", "holds")
        assert got[("library / selkbar", ws)] == ("25.0 (100.0 s)", "holds")
        assert got[("fastest other trainer", ws)][1] == "does not hold"
        assert got[("fastest other trainer", ws)][0].startswith("7.5 (rustbpe 30.0 s")
        assert got[("phase 1 thread", ws)] == ("2.75 (5.50 s over 2.00 s)", "holds")
        assert got[("phase 1 wall", ws)] == ("0.60 (5.00 s → 3.00 s)", "holds")
        assert got[("merge loop at", ws)] == ("1.00 s", "holds")
        # 5.5 s of phase-1 thread time over 64 threads, and phase 2 as measured.
        assert got[("projected wall at", ws)] == ("1.09 s", "holds")
        # The byte-level case without peers borrows those of its gpt4 twin.
        m, v = got[("fastest other trainer", "en-1G-bytelevel-v32000-t2")]
        assert m.startswith("8.8 (bpeasy 70.0 s") and "en-1G-gpt4-v32000-t2" in m and v == "does not hold"
        assert got[("selkbar end to", "en-1G-bytelevel-v32000-t2")][1] == "does not hold"
        assert got[("phase 1 wall", "en-1G-bytelevel-v32000-t2")] == (
            "no threads-1 case with diagnostics", "not measured in this run")
        assert got[("phase 1 thread", "cjk-1G-whitespace-v32000-t2")][1] == "not measured in this run"
        cjk = got[("library / selkbar", "cjk-1G-whitespace-v32000-t2")]
        assert cjk == ("library not run (corpus above 500M)", "not measured in this run")
        # 5 GB in 10 s and 20 s of phase 1.
        assert got[("phase 1 at", "en-5G-whitespace-v32000-t2")] == ("500 MB/s", "holds")
        assert got[("phase 1 at", "en-5G-bytelevel-v32000-t2")] == ("250 MB/s", "does not hold")
        assert got[("merge loop: time", "bench_trainer")][1] == "holds"
        assert got[("same vocabulary and", "every case with both")] == (
            "2 of 3 compared cases; differ: en-1G-bytelevel-v32000-t2", "does not hold")
        assert ("peak memory no", ws) in got
        text = "\n".join(run.targets_lines(rows))
        assert "| **does not hold** |" in text
        assert f"{sum(1 for r in rows if r[3] == 'holds')} hold," in text

    def test_nothing_measured_says_so(self):
        got, rows = self.rows([_full(run.Case("en", "100M", "gpt4", 8000, 2), selkbar=1.0)],
                              merge_loop={"note": "skipped (--no-merge-loop)"})
        assert {v for _, v in got.values()} == {"not measured in this run"}
        # 100 MB in 1 s less 1 s of phase 2: no phase-1 time, no figure.
        assert got[("phase 1 at", "largest corpus")] == ("no selkbar diagnostics", "not measured in this run")
        assert got[("merge loop: time", "bench_trainer")][0] == "skipped (--no-merge-loop)"
        one = {"key": ("en", "1G"), "rows": [{"vocab": 8000, "ns_per_word": 3.0}], "flatness": None}
        got, _ = self.rows([], merge_loop=one)
        assert got[("merge loop: time", "bench_trainer")] == ("fewer than two figures from bench_trainer",
                                                             "not measured in this run")
        assert got[("selkbar end to", "1 GB, vocab 32000, threads 2: no such case")][1] == "not measured in this run"

    def test_large_vocabularies_take_the_library_from_the_largest_corpus_it_ran(self):
        C = run.Case
        results = [_full(C("en", "5G", "gpt4", 128000, 2), selkbar=50.0,
                         phase2={"tokenize": 1.0, "initial pair count": 2.0, "merge loop": 7.0}),
                   _full(C("en", "1G", "gpt4", 128000, 2), selkbar=9.0, tokenizers=200.0),
                   _full(C("en", "100M", "gpt4", 128000, 2), selkbar=1.0, tokenizers=30.0),
                   _full(C("en", "5G", "gpt4", 200000, 2), selkbar=60.0)]
        text = "\n".join(run.large_vocab_lines(results, self.CORPORA))
        assert "| en-5G-gpt4-v128000-t2 | 50.00 | 40.00 | 1.00 | 2.00 | 7.00 | 500 | 200.0 s at 1G; × 5 = 1000 s, 20× selkbar |" in text
        assert "| en-5G-gpt4-v200000-t2 | 60.00 |" in text and "| not run |" in text
        assert "en-1G-gpt4-v128000-t2 |" not in text

    def test_phase1_speed_only_counts_at_5_gb(self):
        results = [_full(run.Case("en", "1G", "whitespace", 32000, 2), selkbar=2.0)]
        got, _ = self.rows(results)
        assert got[("phase 1 thread", "en-1G-whitespace-v32000-t2")][1] == "not measured in this run"
        # The 1 GB figure is still shown: 1 GB in 2 s less 1 s of phase 2.
        assert ("1000 MB/s at 1G only", "not measured in this run") in [
            (m, v) for t, c, m, v in run.target_rows(results, self.CORPORA, {}, None) if t.startswith("phase 1 at")]


def test_gpt4_mode_is_wired_for_every_trainer():
    for impl in run.IMPLS:
        assert worker.PRETOKENIZATION[(impl, "gpt4")] and worker.PRETOKENIZATION[(impl, "o200k")]
    for peer in worker.PEERS:      # one byte-level set-up for the peers
        assert worker.peer_pattern("gpt4") == worker.peer_pattern("bytelevel") == worker.GPT4_PATTERN
        assert worker.PRETOKENIZATION[(peer, "gpt4")].startswith(worker.PRETOKENIZATION[(peer, "bytelevel")])
    pytest.importorskip("tokenizers")
    import bench_common
    pieces = bench_common.library_tokenizer("gpt4").pre_tokenizer.pre_tokenize_str("I'm 12345 héllo!!\n")
    # GPT-4's pattern, not GPT-2's: digits in threes without the space,
    # punctuation keeps the newline after it.
    assert [p for p, _ in pieces] == ["I", "'m", "Ġ", "123", "45", "ĠhÃ©llo", "!!Ċ"]
    with pytest.raises(ValueError):
        bench_common.library_tokenizer("gpt5")
