"""selkbar-train --save-counts and --counts: count once, train again from the
saved counts, and refuse command lines that mix the two sources."""
import re

import pytest

import selkbar
from test_cli import make_text, run_cli

pytestmark = pytest.mark.subset


@pytest.fixture
def inputs(tmp_path):
    paths = []
    for seed in (1, 2):
        path = tmp_path / f"part{seed}.txt"
        path.write_text(make_text(seed, 3000), encoding="utf-8")
        paths.append(path)
    return paths


@pytest.mark.parametrize("flags", [
    [],
    ["--pretokenizer", "bytelevel", "--special-token", "<s>", "--min-frequency", "2"],
    ["--continuing-subword-prefix", "##", "--end-of-word-suffix", "</w>", "--limit-alphabet",
     "20", "--max-token-length", "4"],
])
def test_training_from_saved_counts_writes_the_same_tokenizer(inputs, tmp_path, flags):
    saved = tmp_path / "corpus.counts"
    direct = run_cli(*inputs, "-o", tmp_path / "direct.json", "--vocab-size", 300,
                     "--save-counts", saved, *flags)
    assert direct.returncode == 0, direct.stderr
    assert direct.stdout.rstrip().endswith(f"; counts saved to {saved}")
    assert selkbar.WordCounts.load(str(saved)) == selkbar.count_words(
        [str(p) for p in inputs],
        pretokenizer="bytelevel" if "bytelevel" in flags else "whitespace")

    reading_flags = {"--pretokenizer", "--threads"}
    kept = [f for i, f in enumerate(flags)
            if f not in reading_flags and (i == 0 or flags[i - 1] not in reading_flags)]
    again = run_cli("--counts", saved, "-o", tmp_path / "again.json", "--vocab-size", 300, *kept)
    assert again.returncode == 0, again.stderr
    assert (tmp_path / "again.json").read_bytes() == (tmp_path / "direct.json").read_bytes()
    words = len(selkbar.WordCounts.load(str(saved)))
    assert re.fullmatch(rf"trained \d+ tokens, \d+ merges from counts {re.escape(str(saved))} "
                        rf"\({words} words\) in \d+\.\d\ds -> {re.escape(str(tmp_path))}/again.json\n",
                        again.stdout)


def test_counts_to_standard_output(inputs, tmp_path):
    saved = tmp_path / "c.counts"
    selkbar.count_words([str(p) for p in inputs]).save(str(saved))
    result = run_cli("--counts", saved, "-o", "-", "--vocab-size", 100)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("{\n")
    assert "-> standard output" in result.stderr


@pytest.mark.parametrize("arguments, message", [
    (["--counts", "c.counts", "in.txt"], "give either INPUT files or --counts, not both"),
    ([], "give INPUT files to train on, or --counts PATH"),
    (["--counts", "c.counts", "--pretokenizer", "bytelevel"],
     "--pretokenizer cannot be used with --counts"),
    (["--counts", "c.counts", "--threads", "2"], "--threads cannot be used with --counts"),
    (["--counts", "c.counts", "--save-counts", "d.counts"],
     "--save-counts cannot be used with --counts"),
    (["in.txt", "--save-counts", "."], "--save-counts . is a directory"),
    (["in.txt", "--save-counts", "no/such/dir/c.counts"], "output directory no/such/dir"),
    (["in.txt", "--save-counts", "out.json"], "--save-counts and --output name the same file"),
    (["in.txt", "--save-counts", "-"], "--save-counts needs a file"),
])
def test_command_lines_mixing_sources_are_usage_errors(tmp_path, arguments, message):
    (tmp_path / "in.txt").write_text("a b", encoding="utf-8")
    result = run_cli(*arguments, "-o", "out.json", "--vocab-size", 10, cwd=tmp_path)
    assert result.returncode == 2
    assert result.stderr.startswith("usage: selkbar-train ")
    assert f"selkbar-train: error: {message}" in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.txt"]


def test_unusable_counts_files_fail_the_training(tmp_path):
    (tmp_path / "text.txt").write_text("not counts at all, just some words", encoding="utf-8")
    result = run_cli("--counts", "text.txt", "-o", "out.json", "--vocab-size", 10, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == ("selkbar-train: error: loading text.txt: not a selkbar word counts "
                             "file (wrong magic number)\n")
    result = run_cli("--counts", "missing", "-o", "out.json", "--vocab-size", 10, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stderr == "selkbar-train: error: opening missing: No such file or directory\n"
    assert not (tmp_path / "out.json").exists()
