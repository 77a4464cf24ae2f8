"""The command line's several sizes (--vocab-size 300,500) and its
evaluation options."""
import re

import pytest

from test_cli import corpus, run_cli  # noqa: F401 (corpus is a fixture)

pytestmark = pytest.mark.subset


def test_several_sizes_write_what_single_runs_write(corpus, tmp_path):  # noqa: F811
    result = run_cli(corpus, "-o", tmp_path / "tok-{vocab_size}.json", "--vocab-size", "500,300",
                     "--special-token", "<s>", "--min-frequency", "2")
    assert result.returncode == 0, result.stderr
    assert "trained sizes 500,300 (the largest: 500 tokens" in result.stdout
    for size in (300, 500):
        single = tmp_path / f"single-{size}.json"
        assert run_cli(corpus, "-o", single, "--vocab-size", size, "--special-token", "<s>",
                       "--min-frequency", "2").returncode == 0
        assert (tmp_path / f"tok-{size}.json").read_bytes() == single.read_bytes()


@pytest.mark.parametrize("output, sizes, message", [
    ("tok.json", "300,500", "--output .*tok.json has no {vocab_size}"),
    ("-", "300,500", "--output - has no {vocab_size}"),
    ("tok-{vocab_size}.json", "300,500,300", "a size is listed twice"),
    ("tok-{vocab_size}.json", "300,,500", "expected a non-negative integer, got ''"),
])
def test_bad_size_lists_are_usage_errors(corpus, tmp_path, output, sizes, message):  # noqa: F811
    result = run_cli(corpus, "-o", output if output == "-" else tmp_path / output,
                     "--vocab-size", sizes, cwd=tmp_path)
    assert result.returncode == 2
    assert re.search(message, result.stderr), result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["corpus"]


# ---------------------------------------------------------------------------
# --eval, --eval-fraction, --report

def _table(stdout):
    """The table's rows as {(set, vocab): [cells]}."""
    lines = stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("held-out"))
    rows = {}
    for line in lines[start + 1:]:
        cells = line.split()
        rows[(" ".join(cells[:-7]), int(cells[-7]))] = cells[-6:]
    return rows


def test_eval_prints_evaluate_figures_for_each_size(corpus, tmp_path):  # noqa: F811
    import selkbar
    held = tmp_path / "held.txt"
    held.write_text("kato rine suzu\nmola quxx é中文 ß\n" * 50, encoding="utf-8")
    output = tmp_path / "t-{vocab_size}.json"
    result = run_cli(corpus, "-o", output, "--vocab-size", "300,600", "--eval", held,
                     "--pretokenizer", "bytelevel")
    assert result.returncode == 0, result.stderr
    table = _table(result.stdout)
    paths = [str(tmp_path / f"t-{size}.json") for size in (300, 600)]
    for size, row in zip((300, 600), selkbar.evaluate(paths, [str(held)])):
        assert table[("held.txt", size)][:2] == [f"{row['bytes_per_token']:.3f}",
                                                 f"{row['tokens_per_word']:.3f}"]
        assert table[("held.txt", size)][4:] == [str(row["longest_token_bytes"]),
                                                 str(row["median_token_bytes"])]


def test_eval_fraction_keeps_the_held_out_lines_from_training(corpus, tmp_path):  # noqa: F811
    import zlib
    import selkbar
    text = "".join((corpus / name).read_text(encoding="utf-8")
                   for name in ("one.txt", "sub/two.txt"))
    lines = text.splitlines(keepends=True)
    held = [line for line in lines if zlib.crc32(line.rstrip("\n").encode()) < 0.25 * 2 ** 32]
    kept = [line for line in lines if line not in held]
    assert held and kept
    (tmp_path / "kept.txt").write_text("".join(kept), encoding="utf-8")
    (tmp_path / "held.txt").write_text("".join(held), encoding="utf-8")
    runs = []
    for name in ("a.json", "b.json"):
        result = run_cli(corpus, "-o", tmp_path / name, "--vocab-size", 400, "--eval-fraction",
                         "0.25", "--threads", 2)
        assert result.returncode == 0, result.stderr
        runs.append(result.stdout.splitlines()[1:])
    assert runs[0] == runs[1]  # the same lines, the same figures
    selkbar.train_tokenizer([str(tmp_path / "kept.txt")], 400, str(tmp_path / "kept.json"))
    assert (tmp_path / "a.json").read_bytes() == (tmp_path / "kept.json").read_bytes()
    (row,) = selkbar.evaluate([str(tmp_path / "a.json")], [str(tmp_path / "held.txt")])
    assert _table("\n".join(runs[0]))[("0.25 of the input lines", 400)][0] == \
        f"{row['bytes_per_token']:.3f}"


@pytest.mark.parametrize("flags, message", [
    (["--report", "r.html"], "--report needs held-out text"),
    (["--eval-fraction", "1.5"], "expected a fraction between 0 and 1, got '1.5'"),
    (["--eval", "missing.txt"], "--eval missing.txt is not a file"),
    (["--eval-fraction", "0.1", "-o", "-"], "print a table on standard output"),
])
def test_bad_evaluation_options_are_usage_errors(corpus, tmp_path, flags, message):  # noqa: F811
    output = ["-o", tmp_path / "t.json"] if "-o" not in flags else []
    result = run_cli(corpus, *output, "--vocab-size", 300, *flags, cwd=tmp_path)
    assert result.returncode == 2, result.stderr
    assert message in result.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["corpus"]


def test_report_without_matplotlib_names_the_extra_and_still_prints(corpus, tmp_path):  # noqa: F811
    blocker = tmp_path / "blocker" / "matplotlib"
    blocker.mkdir(parents=True)
    (blocker / "__init__.py").write_text("raise ImportError('blocked for the test')\n")
    result = run_cli(corpus, "-o", tmp_path / "t.json", "--vocab-size", 300, "--eval-fraction",
                     "0.2", "--report", tmp_path / "r.html",
                     env_update={"PYTHONPATH": str(blocker.parent)})
    assert result.returncode == 1
    assert "pip install 'selkbar[report]'" in result.stderr
    assert "0.2 of the input lines" in result.stdout
    assert not (tmp_path / "r.html").exists()
