"""vocab_size as a list of sizes: one training, each size exactly what
training to it alone gives, on every entry point; the names and the lists
refused before any work."""
import json
import os

import pytest

import selkbar
from conftest import fixture_files

pytestmark = pytest.mark.subset

SIZES = [300, 1200, 700, 2500]

# (pretokenizer, options): both families, with special tokens and a
# min_frequency that stops the largest size short.
FAMILIES = [
    pytest.param("whitespace", dict(special_tokens=["[UNK]", "[PAD]"], min_frequency=3,
                                    continuing_subword_prefix="##"), id="whitespace"),
    pytest.param("gpt4", dict(special_tokens=["<|endoftext|>"], min_frequency=2,
                              initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET), id="gpt4"),
]


def _texts(files):
    texts = []
    for path in files:
        with open(path, encoding="utf-8") as f:
            texts.append(f.read())
    return texts


@pytest.mark.parametrize("pretokenizer, options", FAMILIES)
def test_each_size_equals_training_to_it_alone(pretokenizer, options, tmp_path):
    files = fixture_files()[:6]
    alone = {size: selkbar.train_bpe(files, size, pretokenizer=pretokenizer, **options)
             for size in SIZES}
    # The sizes below the initial vocabulary and above what min_frequency
    # allows are among them: the ladder must agree there too.
    assert len({len(vocab) for vocab, _ in alone.values()}) >= 2
    counts = selkbar.count_words(files, pretokenizer=pretokenizer)
    ladders = {
        "files": selkbar.train_bpe(files, SIZES, pretokenizer=pretokenizer, **options),
        "iterator": selkbar.train_bpe_from_iterator(iter(_texts(files)), tuple(SIZES),
                                                    pretokenizer=pretokenizer, **options),
        "counts": selkbar.train_bpe_from_counts(counts, iter(SIZES), **options),
    }
    for how, ladder in ladders.items():
        assert list(ladder) == SIZES, how
        for size in SIZES:
            if how == "iterator":  # texts whole rather than lines: compare with its own kind
                expected = selkbar.train_bpe_from_iterator(
                    iter(_texts(files)), size, pretokenizer=pretokenizer, **options)
            else:
                expected = alone[size]
            assert ladder[size] == expected, (how, size)
    # The files written are the single trainings' files.
    template = str(tmp_path / "tok-{vocab_size}.json")
    selkbar.train_tokenizer_from_counts(counts, SIZES, template, **options)
    for size in SIZES:
        single = tmp_path / f"single-{size}.json"
        selkbar.train_tokenizer_from_counts(counts, size, str(single), **options)
        assert (tmp_path / f"tok-{size}.json").read_bytes() == single.read_bytes()


def test_tiktoken_template_and_tokenizers_load(tmp_path):
    tokenizers = pytest.importorskip("tokenizers")
    files = fixture_files()[:3]
    selkbar.train_tokenizer(files, [400, 800], str(tmp_path / "t{vocab_size}.json"),
                            pretokenizer="gpt4", initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET,
                            tiktoken_output=str(tmp_path / "r{vocab_size}.tiktoken"))
    for size in (400, 800):
        loaded = tokenizers.Tokenizer.from_file(str(tmp_path / f"t{size}.json"))
        assert loaded.get_vocab_size() == size
        ranks = (tmp_path / f"r{size}.tiktoken").read_text().splitlines()
        assert len(ranks) == size


@pytest.mark.parametrize("sizes, output, tiktoken, message", [
    ([], "t{vocab_size}.json", None, "empty list"),
    ([500, 800, 500], "t{vocab_size}.json", None, "lists 500 twice"),
    ([500, 800], "t.json", None, "output .*t.json has no {vocab_size}"),
    ([500, 800], "t{vocab_size}.json", "r.tiktoken", "tiktoken_output .*r.tiktoken has no"),
    # Two templates that name the same file for different sizes.
    ([500, 1500], "a-1{vocab_size}", "a-{vocab_size}", "a-1500 is the same file as output"),
])
def test_bad_ladders_refused_before_any_work(tmp_path, sizes, output, tiktoken, message):
    missing = str(tmp_path / "missing.txt")  # reading it would fail with OSError
    options = dict(pretokenizer="gpt4", initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET)
    if tiktoken is not None:
        options["tiktoken_output"] = str(tmp_path / tiktoken)
    with pytest.raises(ValueError, match=message):
        selkbar.train_tokenizer([missing], sizes, str(tmp_path / output), **options)
    if not tiktoken and "{vocab_size}" in output:
        with pytest.raises(ValueError, match=message):
            selkbar.train_bpe([missing], sizes)
    assert os.listdir(tmp_path) == []


def test_one_size_in_a_list_is_a_ladder_and_an_int_is_not(tmp_path):
    files = fixture_files()[:1]
    assert list(selkbar.train_bpe(files, [500])) == [500]
    assert isinstance(selkbar.train_bpe(files, 500), tuple)
    with pytest.raises(TypeError):
        selkbar.train_bpe(files, "500")
    with pytest.raises(TypeError):
        selkbar.train_bpe(files, [500, "800"])
    # A single size keeps its name as given, braces and all.
    selkbar.train_tokenizer(files, 500, str(tmp_path / "t{vocab_size}.json"))
    assert os.listdir(tmp_path) == ["t{vocab_size}.json"]
    json.loads((tmp_path / "t{vocab_size}.json").read_text())
