"""Inputs and surroundings that must not change the outcome: lines longer than
any block, damaged compressed files, an unusable standard error, and outputs
that would overwrite the corpus being read."""
import gzip
import os
import subprocess
import sys

import pytest

import selkbar
import selkbar_cli
import selkbar_readers
from conftest import default_ctrl_c, fixture_files
from test_cli import COMMAND, run_cli
from test_cli_readers import COMPRESSORS, write

pytestmark = pytest.mark.subset

MODES = ["whitespace", "bytelevel", "gpt4", "o200k"]


def long_line_text():
    """The fixtures with their lines joined by spaces into a few lines far
    longer than the test's block, with a tail that has no newline."""
    lines = b"".join(open(path, "rb").read() for path in fixture_files()).split(b"\n")
    joined = [b" ".join(lines[i:i + 4000]) for i in range(0, len(lines), 4000)]
    return b"\n".join(joined) + b"\n" + b"tail " * 2000


@pytest.mark.parametrize("mode", MODES)
def test_lines_longer_than_a_block_count_as_the_plain_file(tmp_path, monkeypatch, mode):
    monkeypatch.setattr(selkbar_readers, "BLOCK_BYTES", 3000)
    monkeypatch.setattr(selkbar_readers, "ZSTD_INPUT_BYTES", 256)
    text = long_line_text()
    expected = selkbar.count_words([str(write(tmp_path / "corpus.txt", text))], pretokenizer=mode)
    for suffix in ("gz", "zst"):
        path = str(write(tmp_path / f"corpus.txt.{suffix}", text))
        blocks = list(selkbar_readers.line_blocks(selkbar_readers._byte_chunks(
            path, selkbar_readers.detect_format(path)[1])))
        assert b"".join(blocks) == text
        # Long lines were cut, each time just before a space.
        assert max(map(len, blocks)) < max(map(len, text.split(b"\n"))) // 3, suffix
        assert all(block[-1:] == b"\n" or next_block[:1] == b" "
                   for block, next_block in zip(blocks, blocks[1:]))
        from_blocks = selkbar._count_words_from_items(
            selkbar_readers.TextReader([path], file_blocks=True), pretokenizer=mode, threads=2)
        from_lines = selkbar.count_words_from_iterator(selkbar.read_texts(path), pretokenizer=mode)
        assert from_blocks == expected, suffix
        assert from_lines == expected, suffix


def test_a_long_line_that_cannot_be_cut_is_refused_with_file_and_line(tmp_path, monkeypatch):
    monkeypatch.setattr(selkbar_readers, "BLOCK_BYTES", 3000)
    monkeypatch.setattr(selkbar_readers, "MAX_LINE_BYTES", 20000)
    path = str(write(tmp_path / "corpus.txt.gz", b"ok\nsecond\n" + b"x" * 50000 + b"\n"))
    with pytest.raises(selkbar_readers.CorpusError, match=r"corpus\.txt\.gz, line 3: .*longer"):
        list(selkbar.read_texts(path))
    # A custom pattern may join what the cut separates: never cut for it.
    path = str(write(tmp_path / "words.txt.gz", b"ab cd " * 10000))
    reader = selkbar_readers.TextReader([path], file_blocks=True, cut_long_lines=False)
    with pytest.raises(selkbar_readers.CorpusError, match="line 1"):
        list(reader)


@pytest.mark.parametrize("suffix", sorted(COMPRESSORS))
def test_an_empty_compressed_file_is_damaged_not_an_empty_corpus(tmp_path, suffix):
    if suffix == "zst":
        pytest.importorskip("zstandard")
    path = tmp_path / f"corpus.txt.{suffix}"
    path.write_bytes(b"")
    with pytest.raises(selkbar_readers.CorpusError, match=r"corpus\.txt\.\w+: not valid .* empty"):
        list(selkbar.read_texts(str(path)))
    result = run_cli(path, "-o", tmp_path / "tok.json", "--vocab-size", 300)
    assert result.returncode == 1 and "empty" in result.stderr
    assert not (tmp_path / "tok.json").exists()


# ---------------------------------------------------------------------------
# Standard error that cannot be written

TRAIN_WITH_PROGRESS = """
import sys, selkbar
{setup}
selkbar.train_tokenizer([sys.argv[1]], 300, sys.argv[2], progress=True)
counts = selkbar.count_words_from_iterator(["a b c"] * 1000, progress=True)
selkbar.train_tokenizer_from_counts(counts, 300, sys.argv[2] + ".2", progress=True)
print("done")
"""


@pytest.mark.parametrize("setup", ["sys.stderr = None", "import os; os.close(2)",
                                   "sys.stderr = open(__import__('os').devnull, 'w'); "
                                   "sys.stderr.close()"])
def test_progress_on_an_unusable_stderr_never_fails_the_call(tmp_path, setup):
    corpus, output = fixture_files()[0], tmp_path / "tok.json"
    result = subprocess.run([sys.executable, "-c", TRAIN_WITH_PROGRESS.format(setup=setup),
                             corpus, str(output)], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0 and result.stdout == "done\n", result.stderr
    assert output.stat().st_size > 0 and (tmp_path / "tok.json.2").stat().st_size > 0


def test_stderr_whose_reader_has_gone(tmp_path):
    corpus, output = fixture_files()[0], tmp_path / "tok.json"
    for command in ([sys.executable, "-c", TRAIN_WITH_PROGRESS.format(setup=""), corpus, str(output)],
                    [str(COMMAND), corpus, "-o", str(output), "--vocab-size", "300", "--progress"]):
        read, write_end = os.pipe()
        os.close(read)
        try:
            result = subprocess.run(command, stderr=write_end, stdout=subprocess.PIPE, timeout=300)
        finally:
            os.close(write_end)
        assert result.returncode == 0, command
        assert output.stat().st_size > 0
        output.unlink()


def test_command_line_with_stderr_closed_trains(tmp_path):
    output = tmp_path / "tok.json"
    result = subprocess.run(f'"{COMMAND}" "{fixture_files()[0]}" -o "{output}" --vocab-size 300 2>&-',
                            shell=True, capture_output=True, timeout=300)
    assert result.returncode == 0 and output.stat().st_size > 0


# ---------------------------------------------------------------------------
# Outputs that are inputs


def test_an_output_that_is_an_input_is_refused_before_any_work(tmp_path):
    corpus = tmp_path / "in.txt"
    corpus.write_bytes(open(fixture_files()[0], "rb").read())
    original = corpus.read_bytes()
    folder = tmp_path / "corpus"
    folder.mkdir()
    (folder / "a.txt").write_bytes(original)
    os.symlink(corpus, tmp_path / "link.txt")
    os.link(corpus, tmp_path / "hard.txt")
    counts = tmp_path / "saved.counts"
    selkbar.count_words([str(corpus)]).save(str(counts))
    cases = [
        ([corpus, "-o", corpus], "output"),
        ([corpus, "-o", tmp_path / "tok.json", "--save-counts", corpus], "--save-counts"),
        ([corpus, "-o", tmp_path / "link.txt"], "is the input file"),
        ([tmp_path / "link.txt", "-o", tmp_path / "hard.txt"], "is the input file"),
        ([corpus, "-o", folder / ".." / "in.txt"], "is the input file"),
        ([folder, "-o", folder / "tok.json"], "inside the input directory"),
        (["--counts", counts, "-o", counts], "is the input file"),
    ]
    for args, message in cases:
        result = run_cli(*args, "--vocab-size", 300)
        assert result.returncode == selkbar_cli.EXIT_USAGE, args
        assert message in result.stderr, (args, result.stderr)
    assert corpus.read_bytes() == original and (folder / "a.txt").read_bytes() == original
    assert not (folder / "tok.json").exists()


# ---------------------------------------------------------------------------
# Arrow layouts the Parquet reader and pandas hand out


def test_dictionary_and_view_arrays_count_as_their_strings():
    pa = pytest.importorskip("pyarrow")
    words = ["alpha beta", None, "gamma", "a text longer than twelve bytes", "beta", ""] * 50
    plain = pa.array(words, pa.string())
    expected = selkbar.count_words_from_iterator([plain], pretokenizer="bytelevel")
    variants = [plain.dictionary_encode(), pa.array(words, pa.large_string()).dictionary_encode(),
                pa.array(words, pa.string_view()), plain.dictionary_encode().slice(7, 200)]
    for array in variants:
        want = expected if array.offset == 0 else selkbar.count_words_from_iterator(
            [pa.array(array.to_pylist(), pa.string())], pretokenizer="bytelevel")
        got = selkbar.count_words_from_iterator([array], pretokenizer="bytelevel")
        assert got == want, array.type
        # The same through a chunked array (the stream interface).
        assert selkbar.count_words_from_iterator(
            pa.chunked_array([array]), pretokenizer="bytelevel") == want, array.type
    with pytest.raises(TypeError, match="is not a dictionary of strings"):
        selkbar.count_words_from_iterator([pa.array([1, 2]).dictionary_encode()])


# ---------------------------------------------------------------------------
# Slow patterns: Ctrl-C and a failing match are not held up by the rest of a chunk

SLOW = r"(\w+\s?)*$"  # tens of milliseconds a line on "a" * 21 + "!"
SLOW_CHILD = """
import sys, selkbar
kind, path = sys.argv[1:3]
print("ready", flush=True)
try:
    if kind == "files":
        selkbar.count_words([path], pretokenizer="bytelevel", pattern=sys.argv[3])
    else:
        selkbar.count_words_from_iterator(open(path).readlines(), pretokenizer="bytelevel",
                                          pattern=sys.argv[3])
except KeyboardInterrupt:
    print("KeyboardInterrupt", flush=True)
    sys.exit(3)
print("finished", flush=True)
"""


@pytest.mark.pcre2
@pytest.mark.parametrize("kind", ["files", "iterator"])
def test_ctrl_c_is_not_held_up_by_a_slow_pattern(tmp_path, kind):
    import signal
    import time
    corpus = tmp_path / "slow.txt"
    corpus.write_text(("a" * 21 + "!\n") * 400)
    child = subprocess.Popen([sys.executable, "-c", SLOW_CHILD, kind, str(corpus), SLOW],
                             stdout=subprocess.PIPE, text=True, preexec_fn=default_ctrl_c)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(1.0)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        rest, _ = child.communicate(timeout=120)
        waited = time.monotonic() - sent
    finally:
        child.kill()
    assert (child.returncode, rest.strip()) == (3, "KeyboardInterrupt")
    # The whole input takes over ten seconds; a line well under one.
    assert waited < 4.0


@pytest.mark.pcre2
def test_patterns_that_fail_or_opt_out_of_the_jit():
    import time
    started = time.monotonic()
    with pytest.raises(ValueError, match="match limit"):
        selkbar.count_words_from_iterator(["a" * 40 + "!"] + ["a" * 21 + "!"] * 400,
                                          pretokenizer="bytelevel", pattern=SLOW)
    assert time.monotonic() - started < 4.0  # not after matching the other 400 texts
    texts = open(fixture_files()[0], encoding="utf-8").read().splitlines()[:300]
    plain = r"\p{L}+|\p{N}+|\s+|[^\s\p{L}\p{N}]+"
    assert selkbar.train_bpe_from_iterator(texts, 400, pretokenizer="bytelevel",
                                           pattern="(*NO_JIT)" + plain) == \
        selkbar.train_bpe_from_iterator(texts, 400, pretokenizer="bytelevel", pattern=plain)


# ---------------------------------------------------------------------------
# Counts up to 2**64 - 1

MAX_COUNT = 2**64 - 1


def initial_pair_counts(words):
    pairs = {}
    for word, count in words.items():
        for pair in zip(word, word[1:]):
            pairs[pair] = pairs.get(pair, 0) + count
    return pairs


def test_counts_near_the_top_train_as_the_same_counts_scaled_down(tmp_path):
    import random
    rng = random.Random(7)
    cases = [{"ab": 1}, {"ab": 1, "abab": 1}, {"ab": 3, "abc": 2, "bc": 1}]
    for _ in range(20):
        cases.append({"".join(rng.choice("abcd") for _ in range(rng.randint(2, 7))):
                      rng.randint(1, 9) for _ in range(rng.randint(1, 12))})
    for words in cases:
        small = selkbar.WordCounts.from_items(words, pretokenizer="whitespace")
        # Scaled so the largest pair count sits just under 2**64.
        factor = MAX_COUNT // max(initial_pair_counts(words).values())
        big = selkbar.WordCounts.from_items({w: c * factor for w, c in words.items()},
                                            pretokenizer="whitespace")
        assert selkbar.train_bpe_from_counts(big, 40) == \
            selkbar.train_bpe_from_counts(small, 40), (words, factor)
        selkbar.train_tokenizer_from_counts(big, 40, str(tmp_path / "big.json"))
        selkbar.train_tokenizer_from_counts(small, 40, str(tmp_path / "small.json"))
        assert (tmp_path / "big.json").read_bytes() == (tmp_path / "small.json").read_bytes()
    # Shards whose sum passes 2**63 (but not 2**64) add and train.
    shard = selkbar.WordCounts.from_items({"ab": 2**62 + 1}, pretokenizer="whitespace")
    assert selkbar.train_bpe_from_counts(shard + shard, 20)[1] == [("a", "b")]
    assert selkbar.train_bpe_from_counts(
        selkbar.WordCounts.from_items({"ab": 2**63}, pretokenizer="whitespace"), 20)[1] == [("a", "b")]
    # A character seen more than 2**64 - 1 times still ranks first.
    heavy = selkbar.WordCounts.from_items({"aa": 2**63, "ab": 1}, pretokenizer="whitespace")
    assert list(selkbar.train_bpe_from_counts(heavy, 20, limit_alphabet=1)[0]) == ["a", "aa"]


def test_a_pair_count_past_2_64_is_refused_before_any_work(tmp_path):
    words = {"ab": 2**62, "abc": 2**62, "abd": 2**62, "xab": 2**62}  # (a, b): 2**64
    counts = selkbar.WordCounts.from_items(words, pretokenizer="whitespace")
    with pytest.raises(OverflowError, match=r"\('a', 'b'\)"):
        selkbar.train_bpe_from_counts(counts, 20)
    with pytest.raises(OverflowError, match=r"\('a', 'b'\)"):
        selkbar.train_tokenizer_from_counts(counts, 20, str(tmp_path / "out.json"))
    assert not (tmp_path / "out.json").exists()
    # Twice in one word counts twice.
    with pytest.raises(OverflowError):
        selkbar.train_bpe_from_counts(
            selkbar.WordCounts.from_items({"abab": 2**63}, pretokenizer="whitespace"), 20)


def test_the_api_refuses_to_write_over_its_input(tmp_path):
    corpus = tmp_path / "in.txt"
    corpus.write_text("some text to train on\n" * 50, encoding="utf-8")
    original = corpus.read_bytes()
    os.symlink(corpus, tmp_path / "link.txt")
    cases = [
        (lambda: selkbar.train_tokenizer([corpus], 300, corpus), "output .* is the input file"),
        (lambda: selkbar.train_tokenizer([tmp_path / "link.txt"], 300, str(tmp_path / "sub" / ".." / "in.txt")),
         "is the input file"),
        (lambda: selkbar._train_tokenizer_summary([corpus], 300, tmp_path / "t.json",
                                                  save_counts=tmp_path / "link.txt"),
         "save_counts .* is the input file"),
        (lambda: selkbar._train_tokenizer_summary([corpus], 300, tmp_path / "t.json",
                                                  save_counts=tmp_path / "t.json"),
         "save_counts .* is the same file as output"),
    ]
    (tmp_path / "sub").mkdir()
    for call, message in cases:
        with pytest.raises(ValueError, match=message):
            call()
    assert corpus.read_bytes() == original and not (tmp_path / "t.json").exists()
    with pytest.raises(IsADirectoryError, match="^opening "):
        selkbar.WordCounts.load(tmp_path)
