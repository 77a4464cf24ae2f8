"""selkbar.evaluate against the tokenizers library's own encoding of the
same held-out text: how often each token id occurs, token counts and
lengths, in both families, from files and from texts."""
import collections
import json
import os

import pytest

import selkbar
from conftest import FIXTURES_DIR

tokenizers = pytest.importorskip("tokenizers")

TRAIN = [str(FIXTURES_DIR / name) for name in ("en-prose.txt", "man-ja.txt", "man-ru.txt",
                                               "l10n-ar.txt")]
HELD_OUT = [str(FIXTURES_DIR / name) for name in ("en-dialogue.txt", "man-de.txt",
                                                  "mixed-scripts.txt", "whitespace.txt")]

FAMILIES = [
    pytest.param(dict(pretokenizer="whitespace"), id="whitespace"),
    pytest.param(dict(pretokenizer="whitespace", continuing_subword_prefix="##",
                      end_of_word_suffix="</w>", special_tokens=["[UNK]"]), id="decorated"),
    pytest.param(dict(pretokenizer="bytelevel"), id="bytelevel"),
    pytest.param(dict(pretokenizer="gpt4", special_tokens=["<|endoftext|>"]), id="gpt4"),
    pytest.param(dict(pretokenizer="o200k", initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET),
                 id="o200k-all-bytes"),
]


def _lines(path):
    """The file's lines as the file rules count them, each with its newline."""
    with open(path, encoding="utf-8", newline="") as f:
        parts = f.read().split("\n")
    return [part + "\n" for part in parts[:-1]] + [parts[-1]]


def library_figures(path, texts, byte_level):
    """The figures evaluate reports, from the library's encoding of `texts`."""
    tokenizer = tokenizers.Tokenizer.from_file(path)
    vocab_size = tokenizer.get_vocab_size()
    lengths, uses, tokens = collections.Counter(), collections.Counter(), 0
    for encoding in tokenizer.encode_batch([t for t in texts if t], add_special_tokens=False):
        tokens += len(encoding.ids)
        uses.update(encoding.ids)
        for token_id in encoding.ids:
            token = tokenizer.id_to_token(token_id)
            for mark in ("##", "</w>"):  # decorations cover no text
                if mark in token:
                    token = token.replace(mark, "")
            lengths[len(token) if byte_level else len(token.encode("utf-8"))] += 1
    histogram = [lengths.get(n, 0) for n in range(max(lengths) + 1)] if lengths else []
    return dict(tokens=tokens, unused_tokens=vocab_size - len(uses), vocab_size=vocab_size,
                token_length_histogram=histogram,
                token_uses=[uses.get(token_id, 0) for token_id in range(vocab_size)])


@pytest.mark.parametrize("options", FAMILIES)
def test_figures_equal_the_library_encoding(options, tmp_path):
    selkbar.train_tokenizer(TRAIN, [2500, 5000], str(tmp_path / "t{vocab_size}.json"), **options)
    paths = [str(tmp_path / "t2500.json"), str(tmp_path / "t5000.json")]
    byte_level = options["pretokenizer"] != "whitespace"
    texts = []
    for path in HELD_OUT:
        with open(path, encoding="utf-8", newline="") as f:
            texts.append(f.read())
    lines = [line for path in HELD_OUT for line in _lines(path)]
    # Files are read line by line in the byte-level family; texts whole.
    for held_out, library_texts in ((HELD_OUT, lines if byte_level else texts),
                                    (texts, texts)):
        rows = selkbar.evaluate(paths, held_out, threads=3)
        for path, row in zip(paths, rows):
            expected = library_figures(path, library_texts, byte_level)
            got = {key: row[key] for key in expected}
            # The histogram may end in zeros where the library's has no entry.
            while got["token_length_histogram"] and not got["token_length_histogram"][-1]:
                got["token_length_histogram"].pop()
            assert got == expected, (path, type(held_out[0]))
            assert row["tokenizer"] == path
            assert row["bytes_per_token"] == pytest.approx(row["text_bytes"] / row["tokens"])
            assert row["unused_share"] == pytest.approx(row["unused_tokens"] / row["vocab_size"])
            assert row["longest_token_bytes"] == len(expected["token_length_histogram"]) - 1
        # Smaller vocabularies take more tokens for the same text.
        assert rows[0]["tokens"] > rows[1]["tokens"]
    # The tuple form gives the file's figures.
    vocab, merges = selkbar.train_bpe(TRAIN, 5000, **{k: v for k, v in options.items()})
    extra = {k: options[k] for k in ("continuing_subword_prefix", "end_of_word_suffix")
             if k in options}
    from_tuple = selkbar.evaluate([(vocab, merges, options["pretokenizer"], extra)], HELD_OUT)
    assert {k: v for k, v in from_tuple[0].items() if k != "tokenizer"} == \
        {k: v for k, v in selkbar.evaluate(paths[1:], HELD_OUT)[0].items() if k != "tokenizer"}


def test_unknown_bytes_and_samples(tmp_path):
    # Trained on English only, without the byte alphabet: Japanese is unknown.
    vocab, merges = selkbar.train_bpe([str(FIXTURES_DIR / "en-prose.txt")], 400,
                                      pretokenizer="gpt4")
    model = (vocab, merges, "gpt4")
    japanese = str(FIXTURES_DIR / "man-ja.txt")
    (row,) = selkbar.evaluate([model], [japanese])
    assert 0.5 < row["unknown_share"] <= 1
    assert row["unknown_bytes"] == pytest.approx(row["unknown_share"] * row["text_bytes"])
    # A sample: whole lines from the start, about sample_bytes of them.
    (sample,) = selkbar.evaluate([model], [japanese], sample_bytes=2000)
    with open(japanese, "rb") as f:
        head = f.read(2000) + f.readline()
    assert sample["text_bytes"] == len(head)
    texts = ["abc def\n"] * 100
    (some,) = selkbar.evaluate([model], iter(texts), sample_bytes=80)
    assert some["text_bytes"] == 80
    # A generator is read once, also for tokenizers of two pretokenizers.
    whitespace = selkbar.train_bpe([str(FIXTURES_DIR / "en-prose.txt")], 400)
    both = [model, (*whitespace, "whitespace")]
    assert selkbar.evaluate(both, (t for t in texts)) == selkbar.evaluate(both, texts)


@pytest.mark.parametrize("tokenizers_arg, held_out, error, message", [
    ([("not", "a", "model", "tuple", "x")], ["x"], TypeError, "tokenizer 0: expected"),
    ([({"a": 1}, [], "whitespace")], ["x"], ValueError, "ids are not 0 .. 0"),
    ([({"a": 0}, [], "bpe")], ["x"], ValueError, "unknown pretokenizer 'bpe'"),
    ([({"a": 0}, [("a", "b")], "whitespace")], ["x"], ValueError, r'tokenizer #0: merges\[0\] \("a", "b"\)' ),
    ([({"a": 0}, [], "whitespace")], "held-out.txt", TypeError, "e.g. \\[path\\]"),
    ([({"a": 0}, [], "whitespace")], ["x"] * 3, None, None),
])
def test_bad_arguments(tokenizers_arg, held_out, error, message):
    if error is None:
        assert selkbar.evaluate(tokenizers_arg, held_out, sample_bytes=None)[0]["words"] == 3
        with pytest.raises(ValueError, match="sample_bytes"):
            selkbar.evaluate(tokenizers_arg, held_out, sample_bytes=0)
        return
    with pytest.raises(error, match=message):
        selkbar.evaluate(tokenizers_arg, held_out)


_WHITESPACE_MODEL = {"type": "BPE", "vocab": {"a": 0, "b": 1, "ab": 2}, "merges": ["a b"]}


@pytest.mark.parametrize("document, message", [
    ([1, 2], "not a tokenizer.json"),
    ({"model": "BPE"}, "not a tokenizer.json"),
    ({"model": dict(_WHITESPACE_MODEL, vocab=["a", "b"])}, "the model is not BPE"),
    ({"model": dict(_WHITESPACE_MODEL, merges=5)}, "the model's merges are not a list"),
    # The library refuses both: a merge is two tokens.
    ({"model": dict(_WHITESPACE_MODEL, merges=["ab"])}, "merge 0 is 'ab', not a pair"),
    ({"model": dict(_WHITESPACE_MODEL, merges=[["a", "b", "c"]])}, "merge 0 is .*not a pair"),
])
def test_malformed_tokenizer_json_is_a_value_error_naming_the_file(tmp_path, document, message):
    if isinstance(document, dict):
        document["pre_tokenizer"] = {"type": "WhitespaceSplit"}
    path = tmp_path / "odd.json"
    path.write_text(json.dumps(document), encoding="utf-8")
    with pytest.raises(ValueError, match="odd.json: " + message):
        selkbar.evaluate([str(path)], ["a b ab"])
    # Either spelling of a well-formed merge loads.
    document = {"model": dict(_WHITESPACE_MODEL, merges=[["a", "b"]]),
                "pre_tokenizer": {"type": "WhitespaceSplit"}}
    path.write_text(json.dumps(document), encoding="utf-8")
    assert selkbar.evaluate([str(path)], ["a b ab"])[0]["tokens"] == 3


def test_tokenizer_json_the_library_wrote_with_a_normalizer_is_refused(tmp_path):
    from tokenizers import Tokenizer, models, normalizers
    tokenizer = Tokenizer(models.BPE())
    tokenizer.normalizer = normalizers.Lowercase()
    path = str(tmp_path / "lower.json")
    tokenizer.save(path)
    with pytest.raises(ValueError, match="lower.json: has a normalizer"):
        selkbar.evaluate([path], ["x"])
    assert os.path.exists(path)


def test_ctrl_c_stops_the_encoding_early_and_changes_nothing():
    import random
    import signal
    import time
    rng = random.Random(5)
    letters = "abcdefghij"
    # Fewer words than one look at the control every few thousand words
    # would catch, each long: only looking by bytes encoded stops it early.
    words = {"".join(rng.choice(letters) for _ in range(rng.randint(600, 1000))): 1
             for _ in range(4000)}
    counts = selkbar.WordCounts.from_items(words, pretokenizer="whitespace")
    vocab, merges = selkbar.train_bpe_from_counts(counts, 3000)
    model = [("m", sorted(vocab, key=vocab.get), merges, False, None, None, False)]
    start = time.monotonic()
    quiet = selkbar._evaluate_counts(counts, model, threads=1)
    alone = time.monotonic() - start

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    old = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, alone / 4)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            selkbar._evaluate_counts(counts, model, threads=1)
        stopped = time.monotonic() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
    print(f"alone {alone:.3f}s, interrupted after {stopped:.3f}s")
    assert stopped < 0.75 * alone
    assert selkbar._evaluate_counts(counts, model, threads=2) == quiet
