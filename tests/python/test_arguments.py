"""The Python boundary: binding, conversion, validation and their messages."""
import sys

import pytest

import selkbar
import selkbar_readers

pytestmark = pytest.mark.subset

BPE_SIG = (
    "train_bpe(files, vocab_size, *, special_tokens=(), min_frequency=0, max_token_length=None, "
    "limit_alphabet=None, initial_alphabet=(), base=None, pretokenizer='whitespace', threads=None, "
    "continuing_subword_prefix=None, end_of_word_suffix=None, pattern=None, progress=False)"
)


def test_module_members_docstrings_and_signatures():
    assert selkbar.__all__ == ["__version__", "train_bpe", "train_tokenizer", "count_words",
                               "WordCounts", "train_bpe_from_counts",
                               "train_tokenizer_from_counts", "train_bpe_from_iterator",
                               "train_tokenizer_from_iterator", "count_words_from_iterator",
                               "truncate_bpe", "read_texts", "CorpusError", "tiktoken_encoding",
                               "train_superword_tokenizer",
                               "train_superword_tokenizer_from_iterator",
                               "train_superword_tokenizer_from_counts", "SUPERWORD_PATTERN",
                               "evaluate", "write_report", "BYTE_LEVEL_ALPHABET"]
    assert all(hasattr(selkbar, name) for name in selkbar.__all__)
    assert selkbar.__version__ == "0.1.0"
    assert "README" in selkbar.__doc__
    for fn in (selkbar.train_bpe, selkbar.train_tokenizer):
        assert fn.__self__ is selkbar
        assert fn.__module__ == "selkbar"
    # help() shows real defaults and a line for every argument.
    import inspect
    for name in selkbar.__all__:
        fn = getattr(selkbar, name)
        if not inspect.isbuiltin(fn):
            continue
        parameters = inspect.signature(fn).parameters.values()
        assert all(p.default is not Ellipsis for p in parameters), name
        documented = {line.split()[0] for line in fn.__doc__.splitlines() if line.startswith("  ")}
        assert {p.name for p in parameters} <= documented, name
    assert selkbar.CorpusError is selkbar_readers.CorpusError
    assert selkbar.train_bpe.__text_signature__ == BPE_SIG[len("train_bpe"):]
    assert selkbar.train_tokenizer.__text_signature__.startswith("(files, vocab_size, output, *,")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: selkbar.train_bpe(), "train_bpe() missing 2 required positional arguments: 'files' and 'vocab_size'"),
        (lambda: selkbar.train_bpe([]), "train_bpe() missing 1 required positional argument: 'vocab_size'"),
        (lambda: selkbar.train_tokenizer(),
         "train_tokenizer() missing 3 required positional arguments: 'files', 'vocab_size', and 'output'"),
        (lambda: selkbar.train_tokenizer([], output="x"),
         "train_tokenizer() missing 1 required positional argument: 'vocab_size'"),
        (lambda: selkbar.train_bpe(["a.txt"], 100, 5), "train_bpe() takes 2 positional arguments but 3 were given"),
        (lambda: selkbar.train_tokenizer([], 1, "o", 4), "train_tokenizer() takes 3 positional arguments but 4 were given"),
        (lambda: selkbar.train_bpe([], 1, vocab=3), "train_bpe() got an unexpected keyword argument 'vocab'"),
        (lambda: selkbar.train_bpe([], 1, output="x"), "train_bpe() got an unexpected keyword argument 'output'"),
        (lambda: selkbar.train_bpe([], 1, vocab_size=3), "train_bpe() got multiple values for argument 'vocab_size'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def _type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return info.value


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"files": "corpus.txt"}, "argument 'files': Can't extract `str` to `Vec`"),
        ({"files": 3}, "argument 'files': 'int' object cannot be cast as 'Sequence'"),
        ({"files": [1]}, "argument 'files': 'int' object cannot be cast as 'str'"),
        ({"vocab_size": 1.5}, "argument 'vocab_size': 'float' object cannot be interpreted as an integer"),
        ({"vocab_size": None}, "argument 'vocab_size': 'NoneType' object cannot be interpreted as an integer"),
        ({"special_tokens": None}, "argument 'special_tokens': 'NoneType' object cannot be cast as 'Sequence'"),
        ({"special_tokens": ["a", b"b"]}, "argument 'special_tokens': 'bytes' object cannot be cast as 'str'"),
        ({"min_frequency": None}, "argument 'min_frequency': 'NoneType' object cannot be interpreted as an integer"),
        ({"max_token_length": "3"}, "argument 'max_token_length': 'str' object cannot be interpreted as an integer"),
        ({"limit_alphabet": 2.0}, "argument 'limit_alphabet': 'float' object cannot be interpreted as an integer"),
        ({"pretokenizer": None}, "argument 'pretokenizer': 'NoneType' object cannot be cast as 'str'"),
        ({"threads": "2"}, "argument 'threads': 'str' object cannot be interpreted as an integer"),
        ({"continuing_subword_prefix": 1}, "argument 'continuing_subword_prefix': 'int' object cannot be cast as 'str'"),
        ({"end_of_word_suffix": b"$"}, "argument 'end_of_word_suffix': 'bytes' object cannot be cast as 'str'"),
    ],
)
def test_conversion_type_errors_are_prefixed(kwargs, message):
    args = {"files": [], "vocab_size": 10, **kwargs}
    error = _type_error(lambda: selkbar.train_bpe(**args))
    assert str(error) == message
    assert error.__cause__ is None


def test_paths_are_str_or_path_like(tmp_path):
    error = _type_error(lambda: selkbar.train_tokenizer([], 1, None))
    assert str(error) == "argument 'output': 'NoneType' object cannot be cast as 'str'"
    error = _type_error(lambda: selkbar.train_bpe([b"a.txt"], 1))
    assert str(error) == "argument 'files': 'bytes' object cannot be cast as 'str'"
    corpus = tmp_path / "a.txt"
    corpus.write_text("some text to train on\n", encoding="utf-8")
    selkbar.train_tokenizer([corpus], 300, tmp_path / "tok.json")
    selkbar._train_tokenizer_summary([corpus], 300, tmp_path / "tok2.json",
                                     save_counts=tmp_path / "a.counts")
    assert selkbar.train_bpe([corpus], 300) == selkbar.train_bpe([str(corpus)], 300)
    assert (tmp_path / "tok.json").read_bytes() == (tmp_path / "tok2.json").read_bytes()
    assert selkbar.WordCounts.load(tmp_path / "a.counts") == selkbar.count_words([corpus])


def test_cause_of_the_conversion_error_is_carried_over():
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("bad index") from inner

    error = _type_error(lambda: selkbar.train_bpe([], BadIndex()))
    assert str(error) == "argument 'vocab_size': bad index"
    assert isinstance(error.__cause__, KeyError)


def test_non_type_errors_pass_unchanged():
    with pytest.raises(OverflowError) as info:
        selkbar.train_bpe([], -1)
    assert "argument" not in str(info.value)
    with pytest.raises(OverflowError):
        selkbar.train_bpe([], 2**64)
    with pytest.raises(OverflowError):
        selkbar.train_bpe([], 1, threads=-1)
    with pytest.raises(UnicodeEncodeError):
        selkbar.train_bpe(["\udc80"], 1)

    class Exploding:
        def __len__(self):
            raise RuntimeError("len fails")

        def __getitem__(self, i):
            if i < 1:
                return "x"
            raise IndexError

    # A failing length query is ignored: the sequence is still read.
    with pytest.raises(ValueError, match="reading x: "):
        selkbar.train_bpe(Exploding(), 1)


def test_first_failing_argument_wins():
    error = _type_error(lambda: selkbar.train_bpe("f", None, special_tokens=None))
    assert str(error).startswith("argument 'files'")
    error = _type_error(lambda: selkbar.train_bpe([], None, pretokenizer=1))
    assert str(error).startswith("argument 'vocab_size'")
    error = _type_error(lambda: selkbar.train_tokenizer([], 1, 2, special_tokens=None))
    assert str(error).startswith("argument 'output'")


def test_pretokenizer_validation_and_message():
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([], 1, pretokenizer="ByteLevel")
    assert str(info.value) == ('unknown pretokenizer "ByteLevel" '
                               '(want "whitespace", "bytelevel", "gpt4" or "o200k")')
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([], 1, pretokenizer='a"\\\t\r\n\x00\x01é\u0301\u200b')
    assert str(info.value) == (
        'unknown pretokenizer "a\\"\\\\\\t\\r\\n\\0\\u{1}é\\u{301}\\u{200b}" '
        '(want "whitespace", "bytelevel", "gpt4" or "o200k")'
    )
    # The pretokenizer is checked before threads.
    with pytest.raises(ValueError, match="unknown pretokenizer"):
        selkbar.train_bpe([], 1, pretokenizer="bpe", threads=5000)


def test_threads_bounds():
    assert selkbar.train_bpe([], 0, threads=0) == ({}, [])
    assert selkbar.train_bpe([], 0, threads=4096) == ({}, [])
    assert selkbar.train_bpe([], 0, threads=True) == ({}, [])
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([], 0, threads=4097)
    assert str(info.value) == "threads 4097 exceeds the maximum supported (4096)"


def test_sequences_of_any_kind_are_accepted(write_text):
    path = write_text("ab ab")
    for files in ([path], (path,), _Seq([path])):
        vocab, merges = selkbar.train_bpe(files, 10)
        assert merges == [("a", "b")]
    assert selkbar.train_bpe([path], 10, special_tokens=("[X]",))[0]["[X]"] == 0


class _Seq:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def test_arguments_keep_their_reference_counts(write_text):
    path = write_text("hello world hello")
    files = [path]
    token = "[X]"
    prefix = "##"
    selkbar.train_bpe(files, 20)
    before = [sys.getrefcount(o) for o in (files, path, token, prefix)]
    for _ in range(100):
        selkbar.train_bpe(files, 20, special_tokens=[token], continuing_subword_prefix=prefix)
        with pytest.raises(TypeError):
            selkbar.train_bpe(files, 20, special_tokens=[token, 1])
        with pytest.raises(ValueError):
            selkbar.train_bpe(files, 20, pretokenizer=prefix)
    assert [sys.getrefcount(o) for o in (files, path, token, prefix)] == before


def test_stored_corpora_and_directories_get_a_hint_naming_read_texts(tmp_path):
    import gzip
    cases = {"docs.parquet": b"PAR1\x15\x04\xff\xfe", "docs.txt.gz": gzip.compress(b"x" * 100),
             "docs.jsonl.zst": b"\x28\xb5\x2f\xfd\x00\xff\xfe"}
    for name, data in cases.items():
        path = tmp_path / name
        path.write_bytes(data)
        for call in (selkbar.train_bpe, selkbar.count_words):
            with pytest.raises(ValueError) as info:
                call([str(path)], 300) if call is selkbar.train_bpe else call([str(path)])
            message = str(info.value)
            # The engine's own words come first, as before.
            assert message.startswith("input is not valid UTF-8"), message
            assert "selkbar.read_texts" in message and "_from_iterator" in message, message
    with pytest.raises(ValueError, match=r"is a directory: .*selkbar\.read_texts"):
        selkbar.train_bpe([str(tmp_path)], 300)
    # Plain text that is not UTF-8 gets no hint.
    (tmp_path / "bad.txt").write_bytes(b"\xff\n")
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([str(tmp_path / "bad.txt")], 300)
    assert "read_texts" not in str(info.value)


def test_progress_takes_the_total_from_the_input_length(capsys):
    pa = pytest.importorskip("pyarrow")
    texts = ["some text"] * 3000
    for given in (texts, [texts[:1000], texts[1000:]], pa.array(texts)):
        selkbar.count_words_from_iterator(given, progress=True)
        assert "of 3,000 texts (100%)" in capsys.readouterr().err, type(given)
    # A str is not a list of texts.
    with pytest.raises(TypeError, match=r"\[text\]"):
        selkbar.count_words_from_iterator("some text")
