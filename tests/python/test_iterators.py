"""Training from Python data: iterators of texts, batches and Arrow arrays,
against the tokenizers library's train_from_iterator (a black box); their
errors; Ctrl-C during every kind of call; the progress display."""
import gc
import itertools
import json
import os
import re
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from tokenizers import Regex, Tokenizer, models, pre_tokenizers, trainers

import selkbar
from conftest import default_ctrl_c, fixture_files
from test_modern_split_regex import GPT4, O200K

pa = pytest.importorskip("pyarrow")

LIBRARY_PRETOKENIZERS = {
    "whitespace": lambda: pre_tokenizers.WhitespaceSplit(),
    "bytelevel": lambda: pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True),
    "gpt4": lambda: pre_tokenizers.Sequence([
        pre_tokenizers.Split(Regex(GPT4), behavior="isolated", invert=False),
        pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)]),
    "o200k": lambda: pre_tokenizers.Sequence([
        pre_tokenizers.Split(Regex(O200K), behavior="isolated", invert=False),
        pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)]),
}


def library_train_from_iterator(texts, vocab_size, pretokenizer, **options):
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = LIBRARY_PRETOKENIZERS[pretokenizer]()
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, show_progress=False,
                                  initial_alphabet=[], **options)
    tokenizer.train_from_iterator(texts, trainer)
    model = json.loads(tokenizer.to_str())["model"]
    return sorted(model["vocab"].items(), key=lambda kv: kv[1]), [tuple(m) for m in model["merges"]]


def as_list(result):
    vocab, merges = result
    return list(vocab.items()), merges


def read_lines(files):
    """The lines of the files as a reader cuts them: after each line feed only
    (str.splitlines would also cut at CR, FF, U+2028 and others)."""
    lines = []
    for path in files:
        with open(path, encoding="utf-8", newline="") as f:
            lines.extend(re.findall(r"[^\n]*\n|[^\n]+$", f.read()))
    return lines


@pytest.fixture(scope="module")
def lines():
    return read_lines(fixture_files())


@pytest.fixture(scope="module")
def paragraphs(lines):
    """Texts with line breaks inside, where byte-level splitting of a whole
    text differs from splitting it line by line."""
    return ["".join(lines[i:i + 5]) for i in range(0, len(lines), 5)]


def batches(texts, size=1000):
    return [texts[i:i + size] for i in range(0, len(texts), size)]


# ---- Parity

@pytest.mark.subset
@pytest.mark.parametrize("pretokenizer, shape", [
    ("whitespace", "str"), ("whitespace", "arrow_items"), ("bytelevel", "batches"),
    ("bytelevel", "chunked_array"), ("gpt4", "str"), ("o200k", "batches")])
def test_whole_texts_train_as_the_library(paragraphs, pretokenizer, shape):
    expected = library_train_from_iterator(paragraphs, 1500, pretokenizer)
    source = {
        "str": lambda: iter(paragraphs),
        "batches": lambda: iter(batches(paragraphs, 97)),
        "arrow_items": lambda: [pa.array(b) for b in batches(paragraphs, 300)],
        "chunked_array": lambda: pa.chunked_array(batches(paragraphs, 300), pa.large_string()),
    }[shape]()
    assert as_list(selkbar.train_bpe_from_iterator(source, 1500, pretokenizer=pretokenizer,
                                                   threads=2)) == expected


@pytest.mark.parametrize("pretokenizer", ["whitespace", "bytelevel"])
def test_options_train_as_the_library(paragraphs, pretokenizer):
    options = {"special_tokens": ["<s>", "</s>", "<s>"], "min_frequency": 3}
    expected = library_train_from_iterator(paragraphs, 2500, pretokenizer, **options)
    got = selkbar.train_bpe_from_iterator(batches(paragraphs), 2500, pretokenizer=pretokenizer,
                                          **options)
    assert as_list(got) == expected


@pytest.mark.subset
@pytest.mark.parametrize("pretokenizer", ["whitespace", "bytelevel", "gpt4"])
def test_the_lines_of_a_file_train_as_the_file(lines, pretokenizer):
    files = fixture_files()
    expected = selkbar.train_bpe(files, 3000, pretokenizer=pretokenizer)
    assert selkbar.train_bpe_from_iterator(iter(lines), 3000, pretokenizer=pretokenizer) == expected
    assert selkbar.train_bpe_from_iterator(pa.array(lines), 3000,
                                           pretokenizer=pretokenizer) == expected
    counts = selkbar.count_words_from_iterator(batches(lines), pretokenizer=pretokenizer)
    assert counts == selkbar.count_words(files, pretokenizer=pretokenizer)


def test_byte_level_splits_a_whole_text_differently_from_its_lines():
    text = "a \nb"
    whole = selkbar.count_words_from_iterator([text], pretokenizer="bytelevel")
    lines = selkbar.count_words_from_iterator(text.splitlines(keepends=True),
                                              pretokenizer="bytelevel")
    assert sorted(whole.items()) == [("a", 1), ("b", 1), ("Ċ", 1), ("Ġ", 1)]
    assert sorted(lines.items()) == [("a", 1), ("b", 1), ("ĠĊ", 1)]


def test_texts_are_counted_whatever_the_item_shapes_and_nulls(lines):
    expected = selkbar.count_words_from_iterator(lines, pretokenizer="bytelevel")
    with_nulls = pa.array(lines[:50] + [None, ""] + lines[50:], pa.large_string())
    mixed = [lines[0], tuple(lines[1:40]), pa.array(lines[40:900]).slice(10), lines[40:50],
             "", [], with_nulls.slice(902)]
    assert selkbar.count_words_from_iterator(mixed, pretokenizer="bytelevel") == expected


def test_the_threads_budget_does_not_change_the_result(paragraphs):
    results = {threads: selkbar.train_bpe_from_iterator(paragraphs, 2000, pretokenizer="bytelevel",
                                                         threads=threads)
               for threads in (1, 2, 5)}
    assert results[1] == results[2] == results[5]


def test_an_exhausted_iterator_trains_only_the_special_tokens(tmp_path):
    empty = iter(["x"])
    next(empty)
    assert selkbar.train_bpe_from_iterator(empty, 100, special_tokens=["<unk>"]) == \
        ({"<unk>": 0}, [])
    output = tmp_path / "t.json"
    selkbar.train_tokenizer_from_iterator((t for t in ()), 100, str(output))
    assert Tokenizer.from_file(str(output)).get_vocab() == {}


def test_train_tokenizer_from_iterator_writes_what_the_file_mode_writes(tmp_path, lines):
    files = fixture_files()
    ours, theirs = tmp_path / "it.json", tmp_path / "files.json"
    selkbar.train_tokenizer_from_iterator(batches(lines), 2000, str(ours), pretokenizer="bytelevel")
    selkbar.train_tokenizer(files, 2000, str(theirs), pretokenizer="bytelevel")
    assert ours.read_bytes() == theirs.read_bytes()


# ---- Errors

def native_threads():
    return len(os.listdir("/proc/self/task"))


class Boom(Exception):
    pass


def failing_generator():
    yield "a b c"
    yield ["d e", "f"]
    raise Boom("from the iterator")


def error_cases():
    bad_utf8 = pa.Array.from_buffers(
        pa.string(), 2, [None, pa.py_buffer(bytes(memoryview(
            __import__("array").array("i", [0, 2, 6])).cast("B"))), pa.py_buffer(b"okbad\xff")])
    return [
        pytest.param(failing_generator, Boom, "from the iterator", id="iterator-raises"),
        pytest.param(lambda: ["a", 7], TypeError,
                     "item 1 is of type 'int'; expected str, a list or tuple of str, or an Arrow "
                     "string array", id="item-type"),
        pytest.param(lambda: ["a", ["b", b"c"]], TypeError,
                     "item 1, element 1 is of type 'bytes'; expected str", id="batch-element"),
        pytest.param(lambda: ["ok", "lone \ud800"], UnicodeEncodeError, "surrogates not allowed",
                     id="surrogate"),
        pytest.param(lambda: [pa.array([1, 2])], TypeError,
                     "item 0: Arrow format 'l' is not a string array", id="arrow-type"),
        pytest.param(lambda: pa.chunked_array([[b"x"]]), TypeError,
                     "iterator: Arrow format 'z' is not a string array", id="arrow-stream-type"),
        pytest.param(lambda: [bad_utf8], ValueError,
                     "input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 3 "
                     "in text 1", id="arrow-utf8"),
        pytest.param(lambda: 42, TypeError, "argument 'iterator': 'int' object is not iterable",
                     id="not-iterable"),
        pytest.param(lambda: [(b"a\n", "f.txt", 0)], TypeError,
                     "item 0, element 0 is of type 'bytes'; expected str", id="no-file-blocks"),
    ]


@pytest.mark.parametrize("make, error, message", error_cases())
def test_errors_leave_no_thread_and_no_file(tmp_path, make, error, message):
    output = tmp_path / "out.json"
    before = native_threads()
    for call in (lambda: selkbar.train_tokenizer_from_iterator(make(), 300, str(output),
                                                               threads=3),
                 lambda: selkbar.count_words_from_iterator(make(), threads=3)):
        with pytest.raises(error) as info:
            call()
        assert message in str(info.value)
        assert not output.exists()
        assert os.listdir(tmp_path) == []
    gc.collect()
    assert native_threads() == before


def test_the_iterators_exception_is_the_same_object_with_its_traceback():
    raised = Boom("mine")

    def gen():
        yield "x"
        raise raised

    with pytest.raises(Boom) as info:
        selkbar.train_bpe_from_iterator(gen(), 100)
    assert info.value is raised
    assert any(entry.name == "gen" for entry in info.traceback)


def test_file_blocks_count_as_files_and_name_the_source(lines):
    files = fixture_files()
    data = open(files[0], "rb").read()
    cut = data.index(b"\n", len(data) // 2) + 1
    blocks = [(data[:cut], files[0], 0), (memoryview(data)[cut:], files[0], cut)]
    for mode in ("whitespace", "bytelevel"):
        assert selkbar._count_words_from_items(blocks, pretokenizer=mode) == \
            selkbar.count_words(files[:1], pretokenizer=mode)
    with pytest.raises(ValueError) as info:
        selkbar._count_words_from_items([(b"ab\xffc\n", "corpus.txt", 1000)])
    assert str(info.value) == \
        "input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 1002 in corpus.txt"


# ---- Ctrl-C

CHILD = textwrap.dedent("""
    import itertools, random, sys
    import selkbar
    kind, output, fixture = sys.argv[1:4]
    if kind == "merging":
        rng = random.Random(1)
        words = {"".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(24)):
                 rng.randint(1, 50) for _ in range(200000)}
        counts = selkbar.WordCounts.from_items(words, pretokenizer="whitespace")
    print("ready", flush=True)
    try:
        if kind == "files":
            selkbar.train_tokenizer([fixture] * 100000, 1000, output, threads=2)
        elif kind == "iterator":
            selkbar.train_tokenizer_from_iterator(itertools.repeat(["a b c d"] * 100), 1000,
                                                  output)
        elif kind == "counting":
            selkbar.count_words([fixture] * 100000, pretokenizer="bytelevel")
        else:
            selkbar.train_tokenizer_from_counts(counts, 10 ** 7, output)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
        sys.exit(3)
    print("finished", flush=True)
""")


@pytest.mark.parametrize("kind", ["files", "iterator", "counting", "merging"])
def test_ctrl_c_ends_every_call_with_keyboard_interrupt_and_no_file(tmp_path, kind):
    output = tmp_path / "out.json"
    child = subprocess.Popen([sys.executable, "-c", CHILD, kind, str(output),
                              fixture_files()[0]], stdout=subprocess.PIPE, text=True,
                             preexec_fn=default_ctrl_c)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.8)  # into the call: none of them ends within seconds
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        rest, _ = child.communicate(timeout=60)
        waited = time.monotonic() - sent
    finally:
        child.kill()
    assert (child.returncode, rest.strip()) == (3, "KeyboardInterrupt")
    # Within a second on a quiet machine; a loaded one gets some slack.
    assert waited < 3.0
    assert os.listdir(tmp_path) == []


# ---- Progress

def test_progress_lines_on_a_non_terminal(tmp_path, lines):
    script = textwrap.dedent("""
        import sys
        import selkbar
        lines = open(sys.argv[1], encoding="utf-8").read().split("\\n")
        selkbar.train_bpe([sys.argv[1]], 500, progress=True)
        selkbar.train_bpe_from_iterator(lines, 500, progress=True, length=len(lines))
        selkbar.count_words([sys.argv[1]], progress=True)
        selkbar.train_bpe([sys.argv[1]], 500)
    """)
    result = subprocess.run([sys.executable, "-c", script, fixture_files()[0]],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    shown = result.stderr.splitlines()
    size = os.path.getsize(fixture_files()[0])
    number = r"[\d,.]+"
    patterns = [
        rf"selkbar: counting {number} [kMG]?B of {number} [kMG]?B \(100%\), {number} [kMG]?B/s, {number} s",
        rf"selkbar: merging {number} merges of {number} merges \(\d+%\), {number} merges/s, {number} s",
        rf"selkbar: counting {number} texts of {number} texts \(100%\), {number} texts/s, {number} s",
        rf"selkbar: merging {number} merges of {number} merges \(\d+%\), {number} merges/s, {number} s",
        rf"selkbar: counting {number} [kMG]?B of {number} [kMG]?B \(100%\), {number} [kMG]?B/s, {number} s",
    ]
    assert len(shown) == len(patterns), result.stderr
    for line, pattern in zip(shown, patterns):
        assert re.fullmatch(pattern, line), line
    assert size > 0


def test_progress_never_changes_the_result(lines):
    quiet = selkbar.train_bpe_from_iterator(lines, 800, pretokenizer="bytelevel")
    shown = selkbar.train_bpe_from_iterator(lines, 800, pretokenizer="bytelevel", progress=True)
    assert quiet == shown
