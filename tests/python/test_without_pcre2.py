"""A module built without PCRE2, as pip builds it on a machine without
libpcre2-dev or pkg-config: every named pretokenizer trains, and pattern= is
refused before any work with a message naming what to install.

scripts/test.sh builds such a module into a venv of its own and runs this file
there (and compares its sample tokenizers with those of the full build); in a
build with PCRE2 it is skipped."""
import subprocess
import sys

import pytest

import selkbar
from conftest import fixture_files, has_pcre2

pytestmark = pytest.mark.skipif(
    has_pcre2(), reason="selkbar was built with PCRE2; scripts/test.sh runs this file against "
                        "a build without it")

NAMED = ["whitespace", "bytelevel", "gpt4", "o200k"]


def assert_names_what_to_install(message):
    assert message.startswith("pattern needs PCRE2, which this selkbar was built without: ")
    assert "libpcre2-dev" in message and "pkg-config" in message


def test_every_named_pretokenizer_trains():
    files = fixture_files()
    for name in NAMED:
        vocab, merges = selkbar.train_bpe(files, 4000, pretokenizer=name)
        assert len(vocab) == 4000 and merges, name
        counts = selkbar.count_words(files, pretokenizer=name)
        assert selkbar.train_bpe_from_counts(counts, 4000) == (vocab, merges), name


def never_consumed():
    raise AssertionError("the iterator was read before the pattern was refused")
    yield "text"


def test_pattern_is_refused_before_any_work(tmp_path):
    missing = str(tmp_path / "missing.txt")
    output = tmp_path / "tokenizer.json"
    calls = [
        lambda: selkbar.train_bpe([missing], 100, pretokenizer="bytelevel", pattern=r"\w+"),
        lambda: selkbar.train_tokenizer([missing], 100, str(output), pretokenizer="bytelevel",
                                        pattern=r"\w+"),
        lambda: selkbar.count_words([missing], pretokenizer="bytelevel", pattern=r"\w+"),
        lambda: selkbar.train_bpe_from_iterator(never_consumed(), 100, pretokenizer="bytelevel",
                                                pattern=r"\w+"),
    ]
    for call in calls:
        with pytest.raises(ValueError) as info:
            call()
        assert_names_what_to_install(str(info.value))
    assert not output.exists()
    # A pattern with another pretokenizer is still that error, not this one.
    with pytest.raises(ValueError, match="cannot be used with"):
        selkbar.train_bpe([missing], 100, pretokenizer="gpt4", pattern=r"\w+")


def test_command_line_pattern_fails_with_the_message(tmp_path):
    corpus, output = tmp_path / "c.txt", tmp_path / "t.json"
    corpus.write_text("some text\n", encoding="utf-8")
    result = subprocess.run([sys.executable, "-m", "selkbar", str(corpus), "-o", str(output),
                             "--vocab-size", "300", "--pattern", r"\w+"],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 1 and "Traceback" not in result.stderr
    assert_names_what_to_install(result.stderr.split("error: ", 1)[1])
    assert not output.exists()
