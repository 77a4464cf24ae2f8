"""Counts made with the pattern pretokenizers: they train as the files do,
keep their pattern through a file, and never combine across patterns."""
import pathlib

import pytest

import selkbar

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
CUSTOM = r"\p{L}+|\p{N}|\s+|[^\s\p{L}\p{N}]+"
KINDS = [dict(pretokenizer="gpt4"), dict(pretokenizer="o200k"),
         pytest.param(dict(pretokenizer="bytelevel", pattern=CUSTOM), marks=pytest.mark.pcre2)]


@pytest.fixture(scope="module")
def files():
    return [str(p) for p in sorted(DATA.glob("*.txt"))[:4]]


@pytest.mark.parametrize("kind", KINDS, ids=["gpt4", "o200k", "custom"])
def test_counts_train_as_the_files_and_keep_their_pattern(files, kind, tmp_path):
    counts = selkbar.count_words(files, **kind)
    saved = tmp_path / "c.counts"
    counts.save(str(saved))
    loaded = selkbar.WordCounts.load(str(saved))
    expected = selkbar.train_bpe(files, 400, **kind)
    assert selkbar.train_bpe_from_counts(counts, 400) == expected
    assert selkbar.train_bpe_from_counts(loaded, 400) == expected
    selkbar.train_tokenizer_from_counts(loaded, 400, str(tmp_path / "a.json"))
    selkbar.train_tokenizer(files, 400, str(tmp_path / "b.json"), **kind)
    assert (tmp_path / "a.json").read_bytes() == (tmp_path / "b.json").read_bytes()


@pytest.mark.pcre2
def test_counts_of_different_patterns_do_not_combine(files):
    gpt4 = selkbar.count_words(files[:1], pretokenizer="gpt4")
    custom = selkbar.count_words(files[:1], pretokenizer="bytelevel", pattern=CUSTOM)
    other = selkbar.count_words(files[:1], pretokenizer="bytelevel", pattern=CUSTOM + "|x")
    plain = selkbar.count_words(files[:1], pretokenizer="bytelevel")
    for a, b in ((gpt4, custom), (custom, other), (custom, plain)):
        with pytest.raises(ValueError, match="different pretokenizers"):
            a + b
