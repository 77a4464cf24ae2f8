"""Word counts as a value: count once, train many times, combine, save, load
and pickle, and refuse anything that is not what training would have seen."""
import gc
import os
import pickle
import random
import resource
import sys
import threading

import pytest

import selkbar
from conftest import fixture_files
from selkbar import WordCounts

MAX = 2**64 - 1
MODES = ["whitespace", "bytelevel"]

WORDS = ["the", "a", "lower", "lowest", "newer", "wider", "I'm", "don't", "we'll",
         "caf\u00e9", "na\u00efve", "\u00e9t\u00e9", "stra\u00dfe", "\u65e5\u672c\u8a9e",
         "\u3053\u3093\u306b\u3061\u306f", "\u043f\u0440\u0438\u0432\u0435\u0442",
         "\u0645\u0631\u062d\u0628\u0627", "\U0001f600", "42", "3.14", "x-ray", "(ok)",
         "\u00a1hola!", "e\u0301", "##", "</w>", "\u0130stanbul"]
SPACES = [" ", " ", " ", "  ", "\t", "\n", "\r\n", "\u00a0", "\u3000", " \n\n"]


def corpus_text(seed, words):
    rng = random.Random(seed)
    parts = []
    for _ in range(words):
        parts.append(rng.choice(WORDS) if rng.random() < 0.9 else rng.choice(WORDS) * 2)
        parts.append(rng.choice(SPACES))
    return "".join(parts)


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """Four small files of mixed-script text, and their lines."""
    directory = tmp_path_factory.mktemp("corpus")
    files = []
    for seed, words in enumerate((3000, 2000, 500, 1)):
        path = directory / f"part{seed}.txt"
        path.write_bytes(corpus_text(seed, words).encode())
        files.append(str(path))
    empty = directory / "empty.txt"
    empty.write_bytes(b"")
    files.append(str(empty))
    return files


OPTIONS = [
    {},
    {"special_tokens": ["[PAD]", "the", "[PAD]"]},
    {"min_frequency": 40},
    {"max_token_length": 3},
    {"limit_alphabet": 20},
    {"continuing_subword_prefix": "##"},
    {"end_of_word_suffix": "</w>"},
    {"continuing_subword_prefix": "", "end_of_word_suffix": "$"},
    {"special_tokens": ["<s>"], "min_frequency": 2, "max_token_length": 5, "limit_alphabet": 50,
     "continuing_subword_prefix": "##", "end_of_word_suffix": "</w>"},
]


# ---- Training from counts is training ----

@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("options", OPTIONS, ids=lambda o: "+".join(o) or "defaults")
def test_training_from_counts_equals_training_from_files(corpus, mode, options):
    counts = selkbar.count_words(corpus, pretokenizer=mode)
    for vocab_size in (0, 60, 400):
        assert selkbar.train_bpe_from_counts(counts, vocab_size, **options) == \
            selkbar.train_bpe(corpus, vocab_size, pretokenizer=mode, **options)


@pytest.mark.parametrize("mode", MODES)
def test_training_on_the_fixtures_from_counts(mode):
    counts = selkbar.count_words(fixture_files(), pretokenizer=mode)
    options = OPTIONS[-1]
    assert selkbar.train_bpe_from_counts(counts, 2000, **options) == \
        selkbar.train_bpe(fixture_files(), 2000, pretokenizer=mode, **options)


@pytest.mark.parametrize("mode", MODES)
def test_tokenizer_from_counts_is_byte_identical(corpus, mode, tmp_path):
    counts = selkbar.count_words(corpus, pretokenizer=mode, threads=3)
    for options in (OPTIONS[1], OPTIONS[-1]):
        selkbar.train_tokenizer(corpus, 300, str(tmp_path / "files.json"), pretokenizer=mode,
                                **options)
        selkbar.train_tokenizer_from_counts(counts, 300, str(tmp_path / "counts.json"), **options)
        assert (tmp_path / "files.json").read_bytes() == (tmp_path / "counts.json").read_bytes()


@pytest.mark.subset
def test_one_count_serves_many_trainings_unchanged(corpus):
    counts = selkbar.count_words(corpus)
    before = pickle.dumps(counts)
    results = [selkbar.train_bpe_from_counts(counts, size) for size in (50, 120, 50)]
    assert results[0] == results[2]
    assert len(results[1][0]) == 120
    assert pickle.dumps(counts) == before
    assert counts == selkbar.count_words(corpus)


def test_concurrent_trainings_share_one_count(corpus):
    counts = selkbar.count_words(corpus, pretokenizer="bytelevel")
    expected = selkbar.train_bpe_from_counts(counts, 300)
    results = []
    threads = [threading.Thread(target=lambda: results.append(
        selkbar.train_bpe_from_counts(counts, 300))) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [expected] * 4


# ---- Counting and combining ----

@pytest.mark.parametrize("mode", MODES)
def test_counts_of_random_splits_add_up_to_the_whole(mode, tmp_path):
    corpus = fixture_files()
    rng = random.Random(mode)
    # Pieces of the files cut after a line feed, where no pretoken of either
    # mode continues, so the pieces hold exactly the files' words.
    pieces = []
    for index, path in enumerate(corpus):
        lines = open(path, "rb").read().split(b"\n")
        lines = [line + b"\n" for line in lines[:-1]] + [lines[-1]]
        cut = rng.randrange(len(lines) + 1)
        for half, text in enumerate((lines[:cut], lines[cut:])):
            piece = tmp_path / f"{index}-{half}.txt"
            piece.write_bytes(b"".join(text))
            pieces.append(str(piece))
    whole = selkbar.count_words(corpus, pretokenizer=mode)
    assert selkbar.count_words(pieces, pretokenizer=mode) == whole
    for _ in range(5):
        rng.shuffle(pieces)
        split = rng.randrange(len(pieces) + 1)
        a = selkbar.count_words(pieces[:split], pretokenizer=mode, threads=rng.choice([1, 2, 5]))
        b = selkbar.count_words(pieces[split:], pretokenizer=mode, threads=rng.choice([1, 2, 5]))
        assert a + b == whole
        assert b + a == whole
        assert WordCounts.merge([a, b]) == whole
        a += b
        assert a == whole
    parts = [selkbar.count_words([piece], pretokenizer=mode) for piece in pieces]
    assert WordCounts.merge(parts) == whole
    assert WordCounts.merge(iter(parts)).total == whole.total


@pytest.mark.subset
def test_counts_behave_like_a_counter(corpus):
    counts = selkbar.count_words(corpus[2:])
    pairs = dict(counts.items())
    text = b"".join(open(path, "rb").read() for path in corpus[2:]).decode()
    expected = {}
    for word in text.split():
        expected[word] = expected.get(word, 0) + 1
    assert pairs == expected
    assert len(counts) == len(expected)
    assert counts.total == sum(expected.values())
    assert sorted(counts) == sorted(expected)
    assert counts.pretokenizer == "whitespace"
    word = next(iter(expected))
    assert counts[word] == expected[word] and word in counts
    assert "never seen" not in counts and 3 not in counts and "\udc80" not in counts
    for key in ("never seen", 3, ("a", 1), "\udc80"):
        with pytest.raises(KeyError) as info:
            counts[key]
        assert info.value.args == (key,)
    with pytest.raises(TypeError):
        hash(counts)
    assert repr(counts) == (f"<selkbar.WordCounts: {len(expected)} words, total "
                            f"{sum(expected.values())}, pretokenizer 'whitespace'>")
    with pytest.raises(TypeError):
        WordCounts()
    assert counts != "not counts" and not (counts == None)  # noqa: E711


def test_byte_level_words_are_spelled_in_the_byte_level_alphabet(write_text):
    counts = selkbar.count_words([write_text("hi caf\u00e9\n")], pretokenizer="bytelevel")
    assert dict(counts.items()) == {"hi": 1, "\u0120caf\u00c3\u00a9": 1, "\u010a": 1}


def test_most_common_orders_ties_by_utf8_bytes_whatever_the_thread_budget(corpus):
    reference = None
    for threads in (1, 2, 7):
        counts = selkbar.count_words(corpus, pretokenizer="bytelevel", threads=threads)
        ordered = counts.most_common()
        assert ordered == sorted(counts.items(), key=lambda p: (-p[1], p[0].encode()))
        if reference is None:
            reference = ordered
        assert ordered == reference
        assert counts.most_common(5) == ordered[:5]
        assert counts.most_common(0) == [] and counts.most_common(-3) == []
        assert counts.most_common(10**30) == ordered and counts.most_common(None) == ordered
    ties = WordCounts.from_items({"b": 1, "\u00e9": 1, "a": 1, "ab": 2, "\U0001f600": 1},
                                 pretokenizer="whitespace")
    assert ties.most_common() == [("ab", 2), ("a", 1), ("b", 1), ("\u00e9", 1), ("\U0001f600", 1)]


def test_different_pretokenizers_never_combine(corpus):
    whitespace = selkbar.count_words(corpus[:1])
    bytelevel = selkbar.count_words(corpus[:1], pretokenizer="bytelevel")
    message = ('cannot combine word counts of different pretokenizers: "whitespace" and '
               '"bytelevel"')
    for combine in (lambda: whitespace + bytelevel, lambda: WordCounts.merge([whitespace, bytelevel])):
        with pytest.raises(ValueError) as info:
            combine()
        assert str(info.value) == message
    with pytest.raises(ValueError, match='"bytelevel" and "whitespace"'):
        bytelevel += whitespace
    assert bytelevel == selkbar.count_words(corpus[:1], pretokenizer="bytelevel")
    with pytest.raises(TypeError):
        whitespace + {"a": 1}
    with pytest.raises(TypeError, match="item 1: expected a WordCounts, got 'dict'"):
        WordCounts.merge([whitespace, {"a": 1}])
    with pytest.raises(ValueError, match=r"WordCounts.merge\(\) needs at least one WordCounts"):
        WordCounts.merge([])


@pytest.mark.subset
def test_overflowing_counts_leave_every_operand_unchanged():
    big = WordCounts.from_items([("a", MAX - 1), ("b", 5)], pretokenizer="whitespace")
    two = WordCounts.from_items([("c", 1), ("a", 2)], pretokenizer="whitespace")
    for combine in (lambda: big + two, lambda: two + big, lambda: WordCounts.merge([big, two])):
        with pytest.raises(OverflowError, match=r"would pass 2\*\*64 - 1"):
            combine()
    alias = big
    with pytest.raises(OverflowError):
        big += two
    assert big is alias
    assert dict(big.items()) == {"a": MAX - 1, "b": 5} and dict(two.items()) == {"c": 1, "a": 2}
    one = WordCounts.from_items([("a", 1)], pretokenizer="whitespace")
    big += one
    assert big["a"] == MAX
    assert big.total == MAX + 5  # totals are exact past 2**64


def test_in_place_addition_does_not_disturb_readers(corpus):
    counts = selkbar.count_words(corpus[:2])
    snapshot = dict(counts.items())
    items = counts.items()
    first = next(items)
    counts += selkbar.count_words(corpus[:2])
    rest = dict(items)  # the iterator goes on over the counts it started with
    rest[first[0]] = first[1]
    assert rest == snapshot
    assert dict(counts.items()) == {word: 2 * count for word, count in snapshot.items()}
    counts += counts
    assert counts.total == 4 * sum(snapshot.values())


@pytest.mark.subset
def test_readers_without_the_lock_see_whole_states_while_counts_grow(corpus):
    counts = selkbar.count_words(corpus[:2])
    part = selkbar.count_words(corpus[2:3])
    base = dict(counts.items())
    base_total = counts.total
    images, errors = [], []
    done = threading.Event()

    def reader():
        try:
            while not done.is_set():
                images.append(pickle.dumps(counts))  # encodes without the lock
                selkbar.train_bpe_from_counts(counts, 80)
        except BaseException as error:  # noqa: B036 - reported below
            errors.append(error)

    thread = threading.Thread(target=reader)
    thread.start()
    steps_done = 0
    while steps_done < 30 or (len(images) < 5 and steps_done < 20000):
        counts += part
        steps_done += 1
    done.set()
    thread.join()
    assert errors == [] and images
    assert counts.total == base_total + steps_done * part.total
    for image in images:
        seen = pickle.loads(image)
        steps, rest = divmod(seen.total - base_total, part.total)
        assert rest == 0 and 0 <= steps <= steps_done
        assert all(seen[word] == base.get(word, 0) + steps * count for word, count in part.items())


# ---- Counts made elsewhere ----

@pytest.mark.subset
def test_from_items_takes_pairs_or_a_mapping_and_adds_repeats():
    pairs = WordCounts.from_items([("the", 3), ["a", 2], ("the", 4), ("caf\u00e9", True)],
                                  pretokenizer="whitespace")
    assert dict(pairs.items()) == {"the": 7, "a": 2, "caf\u00e9": 1}
    assert WordCounts.from_items({"the": 7, "a": 2, "caf\u00e9": 1},
                                 pretokenizer="whitespace") == pairs
    generator = WordCounts.from_items(((w, c) for w, c in [("\u0120the", MAX)]),
                                      pretokenizer="bytelevel")
    assert generator["\u0120the"] == MAX and generator.pretokenizer == "bytelevel"
    assert len(WordCounts.from_items([], pretokenizer="bytelevel")) == 0


@pytest.mark.parametrize("items, pretokenizer, error, message", [
    ([("a", 1), 5], "whitespace", TypeError,
     "item 1: expected a (word, count) pair, got a 'int'"),
    ([("a", 1, 2)], "whitespace", TypeError,
     "item 0: expected a (word, count) pair, got a 'tuple' of length 3"),
    (["ab"], "whitespace", TypeError, "item 0: expected a (word, count) pair, got a 'str'"),
    ([(b"a", 1)], "whitespace", TypeError, "item 0: the word must be a str, not 'bytes'"),
    ([("a", 1.0)], "whitespace", TypeError, "item 0: the count must be an integer, not 'float'"),
    ([("a", 1), ("b", 0)], "whitespace", ValueError,
     "item 1: count 0 of word 'b' is out of range (1 to 18446744073709551615)"),
    ([("a", -2)], "whitespace", ValueError,
     "item 0: count -2 of word 'a' is out of range (1 to 18446744073709551615)"),
    ([("a", 2**64)], "whitespace", ValueError,
     "item 0: count 18446744073709551616 of word 'a' is out of range (1 to 18446744073709551615)"),
    ([("", 1)], "whitespace", ValueError, "item 0: word '' is empty"),
    ([("\udc80", 1)], "whitespace", ValueError,
     "item 0: word '\\udc80' cannot be encoded as UTF-8"),
    ([("a b", 1)], "whitespace", ValueError,
     "item 0: word 'a b' contains white space (U+0020), which the whitespace pretokenizer "
     "never leaves in a word"),
    ([("x\u3000", 1)], "whitespace", ValueError, "item 0: word 'x\\u3000' contains white space (U+3000)"),
    ([(" the", 1)], "bytelevel", ValueError,
     "item 0: word ' the' is not in the byte-level alphabet: U+0020 is not one of its 256 characters"),
    ([("\u65e5", 1)], "bytelevel", ValueError,
     "item 0: word '\u65e5' is not in the byte-level alphabet: U+65E5"),
    ([("caf\u00e9", 1)], "bytelevel", ValueError,
     "item 0: word 'caf\u00e9' is not in the byte-level alphabet as a spelling of text"),
    ([("a", MAX), ("a", 1)], "whitespace", OverflowError,
     "item 1: the count of word 'a' would pass 2**64 - 1"),
])
def test_from_items_names_the_bad_item(items, pretokenizer, error, message):
    with pytest.raises(error) as info:
        WordCounts.from_items(items, pretokenizer=pretokenizer)
    assert type(info.value) is error
    assert str(info.value).startswith(message)


def test_from_items_arguments():
    with pytest.raises(TypeError) as info:
        WordCounts.from_items({"a": 1})
    assert str(info.value) == \
        "WordCounts.from_items() missing 1 required keyword-only argument: 'pretokenizer'"
    with pytest.raises(ValueError, match='unknown pretokenizer "Whitespace"'):
        WordCounts.from_items({"a": 1}, pretokenizer="Whitespace")
    with pytest.raises(TypeError) as info:
        WordCounts.from_items(5, pretokenizer="whitespace")
    assert str(info.value) == "argument 'iterable': 'int' object is not iterable"

    def failing():
        yield ("a", 1)
        raise RuntimeError("source failed")

    with pytest.raises(RuntimeError, match="source failed"):
        WordCounts.from_items(failing(), pretokenizer="whitespace")


# ---- Files and pickles ----

@pytest.mark.subset
@pytest.mark.parametrize("mode", MODES)
def test_save_and_load_round_trip(corpus, mode, tmp_path):
    counts = selkbar.count_words(corpus, pretokenizer=mode)
    path = tmp_path / "corpus.counts"
    counts.save(str(path))
    loaded = WordCounts.load(str(path))
    assert loaded == counts and loaded.pretokenizer == mode
    assert selkbar.train_bpe_from_counts(loaded, 200) == selkbar.train_bpe_from_counts(counts, 200)
    counts.save(path)  # an existing file is replaced, through os.PathLike too
    assert WordCounts.load(path) == counts
    assert sorted(p.name for p in tmp_path.iterdir()) == ["corpus.counts"]
    empty = WordCounts.from_items([], pretokenizer=mode)
    empty.save(path)
    assert WordCounts.load(path) == empty


@pytest.mark.subset
@pytest.mark.parametrize("mode", MODES)
def test_pickle_round_trip(corpus, mode):
    counts = selkbar.count_words(corpus, pretokenizer=mode)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(counts, protocol)) == counts
    import copy
    duplicate = copy.deepcopy(counts)
    duplicate += counts
    assert duplicate.total == 2 * counts.total


def test_counts_travel_between_processes(corpus):
    import multiprocessing
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        parts = pool.map(_count_one, corpus)
    assert WordCounts.merge(parts) == selkbar.count_words(corpus)


def _count_one(path):
    return selkbar.count_words([path])


@pytest.mark.subset
def test_save_and_load_failures(tmp_path, write_text):
    counts = WordCounts.from_items({"a": 1}, pretokenizer="whitespace")
    missing_dir = str(tmp_path / "no" / "c.counts")
    with pytest.raises(OSError) as info:
        counts.save(missing_dir)
    assert str(info.value).startswith(f"writing {missing_dir}: ")
    with pytest.raises(FileNotFoundError) as info:
        WordCounts.load(str(tmp_path / "missing"))
    assert str(info.value) == f"opening {tmp_path / 'missing'}: No such file or directory"
    with pytest.raises(IsADirectoryError):
        WordCounts.load(str(tmp_path))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="not a regular file"):
        WordCounts.load(fifo)
    with pytest.raises(TypeError) as info:
        counts.save(b"c.counts")
    assert str(info.value) == "argument 'path': 'bytes' object cannot be cast as 'str'"
    with pytest.raises(TypeError) as info:
        WordCounts.load(None)
    assert str(info.value) == "argument 'path': 'NoneType' object cannot be cast as 'str'"


@pytest.fixture(scope="module")
def saved(corpus, tmp_path_factory):
    path = tmp_path_factory.mktemp("saved") / "good.counts"
    selkbar.count_words(corpus[2:], pretokenizer="bytelevel").save(str(path))
    return path.read_bytes()


def load_bytes(tmp_path, data):
    path = tmp_path / "damaged.counts"
    path.write_bytes(data)
    with pytest.raises(ValueError) as info:
        WordCounts.load(str(path))
    assert str(info.value).startswith(f"loading {path}: ")
    return str(info.value)


def test_truncated_files_are_refused(saved, tmp_path):
    for size in sorted({0, 1, 7, 8, 63, 64, 65, 80, len(saved) // 2, len(saved) - 9,
                        len(saved) - 1} | set(range(0, len(saved), 97))):
        assert "truncated" in load_bytes(tmp_path, saved[:size])


@pytest.mark.subset
def test_damaged_files_are_refused(saved, tmp_path):
    rng = random.Random(17)
    for position in rng.sample(range(len(saved)), 60) + [0, 8, 20, 70, len(saved) - 1]:
        damaged = bytearray(saved)
        damaged[position] ^= 1 << rng.randrange(8)
        load_bytes(tmp_path, bytes(damaged))
    assert "wrong magic number" in load_bytes(tmp_path, b"PK\x03\x04" + saved[4:])
    assert "wrong magic number" in load_bytes(tmp_path, b'{"version": "1.0"}' * 10)
    future = bytearray(saved)
    future[8] = 7
    assert "format version 7 is newer than this selkbar reads" in load_bytes(tmp_path, bytes(future))
    terabytes = bytearray(saved)
    terabytes[24:32] = (2**40).to_bytes(8, "little")  # the words' bytes, without resealing
    assert "damaged" in load_bytes(tmp_path, bytes(terabytes))
    assert "unexpected data" in load_bytes(tmp_path, saved + b"\0")


def test_damaged_pickles_are_refused(saved):
    good = WordCounts._from_bytes(saved)
    assert len(good) > 0
    for data in (saved[:-1], saved[:10], b"", saved[:-1] + bytes([saved[-1] ^ 4])):
        with pytest.raises(ValueError, match="^unpickling WordCounts: "):
            WordCounts._from_bytes(data)


# ---- The boundary ----

@pytest.mark.subset
def test_entry_point_arguments_match_training(write_text):
    path = write_text("a b")
    with pytest.raises(TypeError) as info:
        selkbar.count_words(path)
    assert str(info.value) == "argument 'files': Can't extract `str` to `Vec`"
    with pytest.raises(ValueError) as info:
        selkbar.count_words([path], pretokenizer="ByteLevel")
    assert str(info.value) == ('unknown pretokenizer "ByteLevel" '
                               '(want "whitespace", "bytelevel", "gpt4" or "o200k")')
    with pytest.raises(ValueError) as info:
        selkbar.count_words([path], threads=4097)
    assert str(info.value) == "threads 4097 exceeds the maximum supported (4096)"
    with pytest.raises(TypeError) as info:
        selkbar.count_words([path], "bytelevel")
    assert str(info.value) == "count_words() takes 1 positional argument but 2 were given"
    with pytest.raises(ValueError) as info:
        selkbar.count_words([path + ".missing"])
    assert str(info.value) == f"reading {path}.missing: No such file or directory"
    counts = selkbar.count_words([path])
    with pytest.raises(TypeError) as info:
        selkbar.train_bpe_from_counts([path], 10)
    assert str(info.value) == "argument 'counts': 'list' object cannot be cast as 'WordCounts'"
    with pytest.raises(TypeError) as info:
        selkbar.train_bpe_from_counts(counts, 10, pretokenizer="bytelevel")
    assert str(info.value) == \
        "train_bpe_from_counts() got an unexpected keyword argument 'pretokenizer'"
    with pytest.raises(TypeError) as info:
        selkbar.train_tokenizer_from_counts(counts, 10)
    assert str(info.value) == \
        "train_tokenizer_from_counts() missing 1 required positional argument: 'output'"
    with pytest.raises(TypeError) as info:
        selkbar.train_bpe_from_counts(counts, None)
    assert str(info.value) == \
        "argument 'vocab_size': 'NoneType' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as info:
        counts.most_common("3")
    assert str(info.value) == "argument 'n': 'str' object cannot be interpreted as an integer"


def test_tokenizer_from_counts_write_failure_writes_nothing(write_text, tmp_path):
    counts = selkbar.count_words([write_text("a b")])
    target = str(tmp_path / "no" / "tokenizer.json")
    with pytest.raises(OSError) as info:
        selkbar.train_tokenizer_from_counts(counts, 10, target)
    assert str(info.value).startswith(f"writing {target}: ")


def resident_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


@pytest.mark.subset
def test_repeated_calls_keep_reference_counts_and_memory(corpus, tmp_path):
    files = corpus[:2]
    word, token = "the", "[X]"
    path = str(tmp_path / "c.counts")
    counts = selkbar.count_words(files)

    def work():
        c = selkbar.count_words(files)
        c += counts
        _ = c + counts, c[word], word in c, c.most_common(3), list(c.items())[:2]
        selkbar.train_bpe_from_counts(c, 50, special_tokens=[token])
        c.save(path)
        pickle.loads(pickle.dumps(WordCounts.load(path)))
        WordCounts.from_items({word: 1, token: 2}, pretokenizer="whitespace")
        with pytest.raises(KeyError):
            c["missing"]
        with pytest.raises(ValueError):
            WordCounts.from_items([(word, 0)], pretokenizer="whitespace")

    for _ in range(20):
        work()
    gc.collect()
    before = [sys.getrefcount(o) for o in (files, word, token, counts)]
    peak = resident_kib()
    for _ in range(200):
        work()
    gc.collect()
    assert [sys.getrefcount(o) for o in (files, word, token, counts)] == before
    # Peak resident memory may rise a little with allocator noise, not with
    # 200 rounds of leaked tables.
    assert resident_kib() - peak < 20_000
