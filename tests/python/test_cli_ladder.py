"""The command line's several sizes (--vocab-size 300,500) and its
evaluation options."""
import re

import pytest

from test_cli import corpus, run_cli  # noqa: F401 (corpus is a fixture)


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
