"""selkbar_dask: counting on a Dask cluster gives what selkbar gives on one machine.

The range rule is checked without a cluster against a plain model (every
byte of a file owned by exactly one range, cuts only after a delimiter). The
rest runs on a real distributed.LocalCluster of two worker processes, started
once for this module: identity with selkbar.train_bpe in both modes, files cut
into many ranges, a Bag and a DataFrame column, a worker killed in the middle
of a task, and the errors.
"""
import os
import random
import re
import signal
import threading

import pytest

import selkbar
import selkbar_dask

from conftest import fixture_files

WHITESPACE = b"\t\n\v\f\r "


def model_owned(data, start, end, delimiters):
    """The bytes the range [start, end) owns, by the rule read literally."""
    def first_delimiter_from(offset):
        for i in range(max(offset, 0), len(data)):
            if data[i] in delimiters:
                return i
        return len(data) - 1

    begin = 0 if start == 0 else first_delimiter_from(start - 1) + 1
    finish = len(data) if end is None else first_delimiter_from(end - 1) + 1
    return data[begin:max(begin, finish)]


def run_rule(data, partition_bytes, pretokenizer, block_bytes):
    """Every range's owned bytes and blocks, as a task computes them."""
    delimiter = selkbar_dask.delimiter_pattern(pretokenizer, None)

    def read_at(offset, length):
        return data[offset:] if length is None else data[offset:offset + length]

    ranges = []
    for start, end in selkbar_dask.plan_ranges(len(data), partition_bytes):
        offset, head, begin, tail = selkbar_dask.owned_bytes(read_at, start, end, delimiter)
        blocks = selkbar_dask.file_blocks("f", offset, head, begin, tail, block_bytes)
        ranges.append((start, end, bytes(head[begin:]) + tail, blocks))
    return ranges


def random_text(rng, size):
    words = [b"a", b"bb", b"ccc", "\u00e9t\u00e9".encode(), b"x" * 40]
    gaps = [b" ", b"\n", b"\t", b"\r\n", b"  ", b"\n\n", b"\x0b", b"\x0c"]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + (rng.choice(gaps) if rng.random() < 0.8 else b"")
    return bytes(out[:size])


@pytest.mark.subset
class TestRangeRule:
    @pytest.mark.parametrize("pretokenizer", ["whitespace", "bytelevel"])
    def test_ranges_own_every_byte_once_and_match_the_model(self, pretokenizer, monkeypatch):
        # Tiny tail reads exercise the loop that finds the end of a long line.
        monkeypatch.setattr(selkbar_dask, "_TAIL_READ_BYTES", 3)
        delimiters = WHITESPACE if pretokenizer == "whitespace" else b"\n"
        rng = random.Random(7)
        samples = [b"", b"a", b"\n", b"ab", b"a\n", b"\n\n\n", b"abcdef", b"x" * 50 + b"\n" + b"y"]
        samples += [random_text(rng, rng.randrange(1, 400)) for _ in range(150)]
        for data in samples:
            longest = max(len(piece) for piece in re.split(b"[" + re.escape(delimiters) + b"]",
                                                           data)) + 1
            for partition_bytes in (1, 2, 3, 7, 64, 1000):
                ranges = run_rule(data, partition_bytes, pretokenizer, block_bytes=16)
                assert b"".join(owned for _, _, owned, _ in ranges) == data
                for start, end, owned, blocks in ranges:
                    assert owned == model_owned(data, start, end, delimiters)
                    assert len(owned) <= partition_bytes + longest
                    assert b"".join(bytes(block) for block, _, _ in blocks) == owned

    def test_blocks_end_after_a_line_feed_and_carry_their_offsets(self):
        rng = random.Random(3)
        data = random_text(rng, 5000)
        for block_bytes in (1, 10, 100, 10000):
            for start, end, owned, blocks in run_rule(data, 700, "whitespace", block_bytes):
                for i, (block, source, offset) in enumerate(blocks):
                    assert source == "f"
                    assert data[offset:offset + len(block)] == bytes(block)
                    if i + 1 < len(blocks):
                        assert bytes(block).endswith(b"\n")

    def test_a_file_whose_size_reads_as_zero_is_read_to_its_end(self):
        [(start, end)] = selkbar_dask.plan_ranges(0, 100)
        delimiter = selkbar_dask.delimiter_pattern("whitespace", None)
        _, head, begin, tail = selkbar_dask.owned_bytes(
            lambda offset, length: b"abc def"[offset:], start, end, delimiter)
        assert bytes(head[begin:]) + tail == b"abc def"


@pytest.mark.subset
def test_no_client_is_a_clear_error():
    # Runs before the module's cluster exists, so there is no default client.
    distributed = pytest.importorskip("distributed")
    try:
        distributed.get_client()
        pytest.skip("a default client exists in this process")
    except ValueError:
        pass
    with pytest.raises(ValueError, match="no Dask client"):
        selkbar_dask.count_words(fixture_files())


# --- On a cluster ------------------------------------------------------------

@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    threads_before = set(threading.enumerate())
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                       dashboard_address=None, worker_dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()
        # Dask's profiler thread ends a moment after the client closes; wait
        # for it, so that later tests counting threads see a steady number.
        # Its offload thread stays for the life of the process.
        for thread in set(threading.enumerate()) - threads_before:
            if not thread.name.startswith("Dask-Offload"):
                thread.join(10)


FIXTURES = fixture_files()
MODES = [("whitespace", None), ("bytelevel", None), ("gpt4", None),
         pytest.param("bytelevel", r"\p{L}+| ?[^\s\p{L}]+|\s+", marks=pytest.mark.pcre2)]


class TestIdentity:
    @pytest.mark.parametrize("pretokenizer,pattern", MODES)
    def test_counts_equal_count_words_for_any_cut(self, client, pretokenizer, pattern):
        expected = selkbar.count_words(FIXTURES, pretokenizer=pretokenizer, pattern=pattern)
        for partition_bytes in (9973, 64 * 1024, selkbar_dask.DEFAULT_PARTITION_BYTES):
            got = selkbar_dask.count_words(FIXTURES, client=client, pretokenizer=pretokenizer,
                                           pattern=pattern, partition_bytes=partition_bytes)
            assert got == expected, partition_bytes

    @pytest.mark.subset
    @pytest.mark.parametrize("pretokenizer", ["whitespace", "bytelevel"])
    def test_training_equals_train_bpe(self, client, pretokenizer, tmp_path):
        options = dict(special_tokens=["<s>", "</s>"], min_frequency=2, max_token_length=6,
                       limit_alphabet=150, continuing_subword_prefix="##",
                       end_of_word_suffix="</w>")
        expected = selkbar.train_bpe(FIXTURES, 1200, pretokenizer=pretokenizer, **options)
        got = selkbar_dask.train_bpe(FIXTURES, 1200, client=client, pretokenizer=pretokenizer,
                                     partition_bytes=20000, **options)
        assert got == expected
        base = selkbar.train_bpe(FIXTURES, 700, pretokenizer=pretokenizer, **options)
        assert selkbar_dask.train_bpe(FIXTURES, 1200, client=client, pretokenizer=pretokenizer,
                                      partition_bytes=20000, base=base, **options) == expected
        selkbar.train_tokenizer(FIXTURES, 800, str(tmp_path / "one.json"),
                                pretokenizer=pretokenizer)
        selkbar_dask.train_tokenizer(FIXTURES, 800, str(tmp_path / "dask.json"), client=client,
                                     pretokenizer=pretokenizer, partition_bytes=30000)
        assert (tmp_path / "dask.json").read_bytes() == (tmp_path / "one.json").read_bytes()

    def test_superword_training_equals_the_one_on_files(self, client, tmp_path):
        selkbar.train_superword_tokenizer(FIXTURES, 3500, tmp_path / "one.json", transition=3000)
        selkbar_dask.train_superword_tokenizer(FIXTURES, 3500, tmp_path / "dask.json",
                                               transition=3000, client=client,
                                               partition_bytes=30000)
        assert (tmp_path / "dask.json").read_bytes() == (tmp_path / "one.json").read_bytes()

    def test_initial_alphabet_and_tiktoken_output_pass_through(self, client, tmp_path):
        options = dict(pretokenizer="gpt4", initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET,
                       limit_alphabet=400)
        selkbar.train_tokenizer(FIXTURES, 900, str(tmp_path / "one.json"),
                                tiktoken_output=str(tmp_path / "one.tiktoken"), **options)
        selkbar_dask.train_tokenizer(FIXTURES, 900, str(tmp_path / "dask.json"), client=client,
                                     tiktoken_output=str(tmp_path / "dask.tiktoken"),
                                     partition_bytes=30000, **options)
        for ext in ("json", "tiktoken"):
            assert (tmp_path / f"dask.{ext}").read_bytes() == \
                (tmp_path / f"one.{ext}").read_bytes()
        assert selkbar_dask.train_bpe(FIXTURES, 900, client=client, **options) == \
            selkbar.train_bpe(FIXTURES, 900, **options)
        # Refused before any task is submitted, with the engine's message.
        for bad, message in ((dict(options, limit_alphabet=100), "needs all 256 bytes"),
                             (dict(options, pretokenizer="whitespace"), "no tiktoken form")):
            with pytest.raises(ValueError, match=message):
                selkbar_dask.train_tokenizer(["/no/such/file"], 900, str(tmp_path / "x.json"),
                                             client=client,
                                             tiktoken_output=str(tmp_path / "x.tiktoken"), **bad)
        with pytest.raises(ValueError, match="same file"):
            selkbar_dask.train_tokenizer(["/no/such/file"], 900, str(tmp_path / "x.json"),
                                         client=client, tiktoken_output=str(tmp_path / "x.json"),
                                         **options)
        assert not (tmp_path / "x.json").exists() and not (tmp_path / "x.tiktoken").exists()

    def test_a_ladder_of_sizes(self, client, tmp_path):
        options = dict(pretokenizer="gpt4", special_tokens=["<s>"], min_frequency=2)
        sizes = (x for x in (600, 1500))  # read once only
        assert selkbar_dask.train_bpe(FIXTURES, sizes, client=client, **options) == \
            selkbar.train_bpe(FIXTURES, [600, 1500], **options)
        selkbar_dask.train_tokenizer(FIXTURES, [600, 1500], str(tmp_path / "d{vocab_size}.json"),
                                     client=client, partition_bytes=30000, **options)
        for size in (600, 1500):
            selkbar.train_tokenizer(FIXTURES, size, str(tmp_path / "one.json"), **options)
            assert (tmp_path / f"d{size}.json").read_bytes() == \
                (tmp_path / "one.json").read_bytes()
        with pytest.raises(ValueError, match="has no {vocab_size}"):
            selkbar_dask.train_tokenizer(["/no/such/file"], [600, 900], str(tmp_path / "x.json"),
                                         client=client, **options)

    def test_file_urls_and_the_default_client(self, client):
        urls = ["file://" + os.path.abspath(path) for path in FIXTURES[:3]]
        assert selkbar_dask.count_words(urls, partition_bytes=5000) == \
            selkbar.count_words(FIXTURES[:3])

    def test_empty_inputs(self, client, tmp_path):
        empty = tmp_path / "empty.txt"
        empty.write_bytes(b"")
        assert len(selkbar_dask.count_words([str(empty)], client=client)) == 0
        counts = selkbar_dask.count_words([], client=client, pretokenizer="bytelevel")
        assert (len(counts), counts.pretokenizer) == (0, "bytelevel")


class TestCollections:
    def lines(self):
        texts = []
        for path in FIXTURES:
            with open(path, encoding="utf-8") as f:
                texts += f.read().splitlines(keepends=True)
        return texts

    @pytest.mark.parametrize("pretokenizer", ["whitespace", "bytelevel"])
    def test_bag_of_texts(self, client, pretokenizer):
        import dask.bag
        texts = self.lines()
        bag = dask.bag.from_sequence(texts, npartitions=7)
        expected = selkbar.count_words_from_iterator(texts, pretokenizer=pretokenizer)
        assert selkbar_dask.count_words(bag, client=client, pretokenizer=pretokenizer) == expected

    def test_dataframe_column_skips_missing_values(self, client):
        pandas = pytest.importorskip("pandas")
        dd = pytest.importorskip("dask.dataframe")
        texts = self.lines()
        column = texts + [None] * 5
        frame = dd.from_pandas(pandas.DataFrame({"text": column, "n": range(len(column))}),
                               npartitions=5)
        expected = selkbar.count_words_from_iterator(texts, pretokenizer="bytelevel")
        got = selkbar_dask.count_words(frame["text"], client=client, pretokenizer="bytelevel")
        assert got == expected
        with pytest.raises(TypeError, match="column"):
            selkbar_dask.count_words(frame, client=client)


class TestFaults:
    def test_a_worker_killed_mid_task_changes_nothing(self, client, tmp_path):
        # A file large enough that counting a range takes a while; a worker
        # process is killed as soon as a counting task runs on it.
        corpus = tmp_path / "big.txt"
        with open(corpus, "wb") as out:
            for _ in range(12):
                for path in FIXTURES:
                    with open(path, "rb") as f:
                        out.write(f.read())
        expected = selkbar.count_words([str(corpus)], pretokenizer="bytelevel")
        killed = []

        def kill_a_counting_worker():
            while not killed:
                processing = client.processing()
                for address, keys in processing.items():
                    if any(str(key).startswith("selkbar-count") for key in keys):
                        pid = client.run(os.getpid, workers=[address])[address]
                        os.kill(pid, signal.SIGKILL)
                        killed.append(pid)
                        return
                threading.Event().wait(0.01)

        killer = threading.Thread(target=kill_a_counting_worker, daemon=True)
        killer.start()
        got = selkbar_dask.count_words([str(corpus)], client=client, pretokenizer="bytelevel",
                                       partition_bytes=256 * 1024)
        killer.join(5)
        assert killed, "no worker was killed"
        assert got == expected
        client.wait_for_workers(2, timeout=60)

    def test_bad_paths_raise_what_train_bpe_raises(self, client, tmp_path):
        bad_utf8 = tmp_path / "bad.txt"
        bad_utf8.write_bytes(b"good text\n" * 3000 + b"bad \xff here\n")
        missing = str(tmp_path / "missing.txt")
        cases = [
            ([missing], r"reading .*missing\.txt: No such file or directory"),
            ([str(tmp_path)], "is not a regular file"),
            (["nosuchscheme://x/y.txt"], "reading nosuchscheme://x/y.txt: unknown URL scheme"),
            (["memory://missing.txt"], r"reading memory://missing\.txt: FileNotFoundError"),
            ([str(bad_utf8)], r"input is not valid UTF-8: .* from index 30004 in .*bad\.txt"),
        ]
        for paths, message in cases:
            output = tmp_path / "out.json"
            with pytest.raises(ValueError, match=message):
                selkbar_dask.train_tokenizer(FIXTURES[:1] + paths, 500, str(output),
                                             client=client, partition_bytes=4096)
            assert not output.exists()
            with pytest.raises(ValueError):
                selkbar.train_bpe(paths, 500)

    def test_arguments_are_checked_before_any_task(self, client):
        cases = [
            (dict(paths="corpus.txt"), TypeError, "list of paths"),
            (dict(partition_bytes=0), ValueError, "partition_bytes"),
            (dict(pretokenizer="ByteLevel"), ValueError, "unknown pretokenizer"),
            # A build without PCRE2 refuses every pattern, as early.
            (dict(pattern="(", pretokenizer="bytelevel"), ValueError,
             "invalid pattern|needs PCRE2"),
            (dict(pattern=r"\w+"), ValueError, "cannot be used with"),
            (dict(min_frequency=-1), OverflowError, ""),
            (dict(paths=FIXTURES + ["corpus.txt.gz"]), ValueError, "corpus.txt.gz is gzip-compressed"),
        ]
        for arguments, error, message in cases:
            arguments = dict(dict(paths=FIXTURES), **arguments)
            with pytest.raises(error, match=message):
                selkbar_dask.train_bpe(arguments.pop("paths"), 500, client=client, **arguments)
