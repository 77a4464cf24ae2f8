"""Tokenizers to ship: the initial alphabet (parity with the tokenizers
library, run as a black box), decoders that invert the prefix and suffix
marks, the tiktoken ranks file and tiktoken_encoding (tiktoken and the
library must give the same ids), and the errors of the new options."""
import base64
import collections
import json
import os
import random
import re
import subprocess
import sys

import pytest
from tokenizers import Tokenizer, models, pre_tokenizers, trainers

import selkbar
import selkbar_tiktoken
from conftest import fixture_files

pytestmark = pytest.mark.subset

tiktoken = pytest.importorskip("tiktoken")

FIXTURES = fixture_files()
BYTES = selkbar.BYTE_LEVEL_ALPHABET
CUSTOM_PATTERN = r"\p{L}+| ?\p{N}{1,3}| ?[^\s\p{L}\p{N}]+|\s+"
BYTE_LEVEL_MODES = [("bytelevel", None), ("gpt4", None), ("o200k", None),
                    pytest.param("bytelevel", CUSTOM_PATTERN, marks=pytest.mark.pcre2,
                                 id="pattern")]


def fixture(name):
    return next(path for path in FIXTURES if os.path.basename(path) == name)


def fixture_lines(names=None, keepends=False):
    """The lines of the fixtures, cut after each line feed only, as selkbar
    cuts them (str.splitlines also cuts at U+001C and others)."""
    lines = []
    for path in FIXTURES:
        if names is None or os.path.basename(path) in names:
            with open(path, encoding="utf-8") as file:
                found = re.findall(r"[^\n]*\n|[^\n]+\Z", file.read())
            lines += found if keepends else [line.rstrip("\n") for line in found]
    return lines


# Unicode White_Space, where WhitespaceSplit cuts (str.split also cuts at
# U+001C..U+001F, which are not).
WHITE_SPACE = re.compile("[\t\n\x0b\x0c\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")


def words_joined(text):
    return " ".join(word for word in WHITE_SPACE.split(text) if word)


def random_strings(seed, count):
    """Text no corpus holds: emoji, scripts, combining marks, controls,
    private-use and astral characters, any whitespace; no surrogates."""
    rng = random.Random(seed)
    pools = ["abc XYZ 0123", " \t\n\r\x0b\x0c\x85\u3000", "🙂👍🏽🇫🇷\u200d❤️", "éßøŁĦ",
             "中文日本語한국어", "\u0301\u0308\u20dd", "\x00\x01\x1b\x7f", "\ue000\U0010fffd𝔘𝕩"]
    strings = []
    for _ in range(count):
        pieces = [rng.choice(rng.choice(pools)) for _ in range(rng.randint(1, 40))]
        strings.append("".join(pieces))
    return strings


def library_pretokenizer(pretokenizer, pattern=None):
    if pretokenizer == "whitespace":
        return pre_tokenizers.WhitespaceSplit()
    if pretokenizer == "bytelevel" and pattern is None:
        return pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)
    return None  # the pattern kinds: read back from selkbar's own file


def library_train(files, vocab_size, pretokenizer, initial_alphabet, **options):
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = library_pretokenizer(pretokenizer)
    trainer = trainers.BpeTrainer(vocab_size=vocab_size, show_progress=False,
                                  initial_alphabet=list(initial_alphabet), **options)
    tokenizer.train(files, trainer)
    model = json.loads(tokenizer.to_str())["model"]
    return model["vocab"], [tuple(m) for m in model["merges"]]


def train_both(tmp_path, pretokenizer, pattern=None, vocab_size=3000, **options):
    """selkbar's tokenizer.json and ranks file, trained on the fixtures with
    every byte in the alphabet."""
    output, ranks = tmp_path / "tokenizer.json", tmp_path / "tokenizer.tiktoken"
    selkbar.train_tokenizer(FIXTURES, vocab_size, str(output), pretokenizer=pretokenizer,
                            pattern=pattern, initial_alphabet=BYTES,
                            tiktoken_output=str(ranks), **options)
    return output, ranks


def read_ranks(path):
    ranks = {}
    for line in path.read_text(encoding="ascii").splitlines():
        encoded, rank = line.split(" ")
        ranks[base64.b64decode(encoded, validate=True)] = int(rank)
    return ranks


# --- The byte-level alphabet ------------------------------------------------

def test_byte_level_alphabet_is_the_librarys_in_byte_order():
    assert isinstance(BYTES, tuple) and len(BYTES) == 256
    assert all(type(c) is str and len(c) == 1 for c in BYTES)
    assert set(BYTES) == set(pre_tokenizers.ByteLevel.alphabet())
    # The library spells each byte of the text with BYTES[byte].
    spell = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False)
    for text in random_strings(1, 200) + ["".join(map(chr, range(256)))]:
        (spelled, _), = spell.pre_tokenize_str(text)
        assert spelled == "".join(BYTES[b] for b in text.encode("utf-8"))


# --- initial_alphabet: parity with the library ------------------------------

PARITY_ALPHABETS = {
    "bytes": BYTES,
    "strings": ["Qx", "€", "", "a", "ž", "🙂", "Q", "0"],  # only first characters count
}


def untied_limit(files, pretokenizer, initial, at_least):
    """A limit_alphabet of at least `at_least` at which the corpus character
    kept last is more frequent than the one dropped first. At a tie the
    library's choice changes from run to run once there are initial
    characters (without them it is selkbar's rule: the lower code point goes)."""
    frequency = collections.Counter()
    for word, count in selkbar.count_words(files, pretokenizer=pretokenizer).items():
        for c in word:
            frequency[c] += count
    kept_initial = list(dict.fromkeys(c[0] for c in initial if c))
    counts = sorted((n for c, n in frequency.items() if c not in kept_initial), reverse=True)
    room = max(at_least - len(kept_initial), 1)
    while room < len(counts) and counts[room - 1] == counts[room]:
        room += 1
    return room + len(kept_initial)


@pytest.mark.parametrize("limited", [False, True], ids=["no-limit", "limit"])
@pytest.mark.parametrize("pretokenizer", ["whitespace", "bytelevel"])
@pytest.mark.parametrize("alphabet", PARITY_ALPHABETS, ids=list(PARITY_ALPHABETS))
def test_same_vocab_and_merges_as_the_library(alphabet, pretokenizer, limited):
    initial = PARITY_ALPHABETS[alphabet]
    if pretokenizer == "bytelevel" and alphabet == "strings":
        initial = [c for c in initial if c[:1] in BYTES]
    files = [fixture("en-prose.txt"), fixture("man-ru.txt"), fixture("l10n-ko.txt")]
    options = {}
    if limited:
        at_least = 265 if alphabet == "bytes" else 120
        options["limit_alphabet"] = untied_limit(files, pretokenizer, initial, at_least)
    expected_vocab, expected_merges = library_train(files, 2500, pretokenizer, initial,
                                                    special_tokens=["<s>", "a"], **options)
    vocab, merges = selkbar.train_bpe(files, 2500, pretokenizer=pretokenizer,
                                      initial_alphabet=initial, special_tokens=["<s>", "a"],
                                      **options)
    assert list(vocab.items()) == sorted(expected_vocab.items(), key=lambda kv: kv[1])
    assert merges == expected_merges


def test_limit_keeps_the_first_initial_characters_given():
    # The library picks among the initial characters at random here; ours
    # are the first ones in the order given, however rare.
    files = [fixture("en-prose.txt")]
    vocab, _ = selkbar.train_bpe(files, 0, initial_alphabet=["z", "€", "Q", "e", "ж"],
                                 limit_alphabet=3)
    assert list(vocab) == ["Q", "z", "€"]
    vocab, _ = selkbar.train_bpe(files, 0, initial_alphabet=["ж", "€"], limit_alphabet=4)
    assert list(vocab) == ["e", "t", "ж", "€"]  # then the most frequent of the corpus


@pytest.mark.parametrize("pretokenizer,pattern", BYTE_LEVEL_MODES)
def test_full_byte_tokenizer_round_trips_any_text(tmp_path, pretokenizer, pattern):
    output, _ = train_both(tmp_path, pretokenizer, pattern, vocab_size=1500)
    tokenizer = Tokenizer.from_file(str(output))
    for text in random_strings(2, 500) + fixture_lines({"mixed-scripts.txt"}):
        assert tokenizer.decode(tokenizer.encode(text).ids) == text


# --- Decoders ---------------------------------------------------------------

WHITESPACE_MARKS = {
    "suffix": dict(end_of_word_suffix="</w>"),
    "prefix": dict(continuing_subword_prefix="##"),
    "both": dict(continuing_subword_prefix="##", end_of_word_suffix="</w>"),
    "empty-prefix": dict(continuing_subword_prefix="", end_of_word_suffix="$"),
    "empty-suffix": dict(continuing_subword_prefix="(.)", end_of_word_suffix=""),
    # Characters a regular expression reads as syntax, which the decoder's
    # Replace steps must match literally.
    "metacharacters": dict(continuing_subword_prefix="^[.", end_of_word_suffix="\\z$)"),
}


@pytest.mark.parametrize("marks", WHITESPACE_MARKS, ids=list(WHITESPACE_MARKS))
def test_whitespace_decoding_gives_the_words_joined_by_one_space(tmp_path, marks):
    options = WHITESPACE_MARKS[marks]
    output = tmp_path / "tokenizer.json"
    selkbar.train_tokenizer(FIXTURES, 4000, str(output), **options)
    tokenizer = Tokenizer.from_file(str(output))
    # Words that hold a mark themselves cannot be told from marked tokens.
    mark_texts = [m for m in options.values() if m]
    lines = [line for line in fixture_lines() if not any(m in line for m in mark_texts)]
    assert len(lines) > 10000
    for line in lines:
        assert tokenizer.decode(tokenizer.encode(line).ids) == words_joined(line), line


def test_whitespace_without_marks_keeps_the_null_decoder(tmp_path):
    for options in ({}, {"continuing_subword_prefix": ""}):
        selkbar.train_tokenizer(FIXTURES[:1], 300, str(tmp_path / "t.json"), **options)
        assert json.loads((tmp_path / "t.json").read_text())["decoder"] is None


@pytest.mark.parametrize("marks", ["prefix", "suffix", "both", "metacharacters"])
@pytest.mark.parametrize("pretokenizer", ["bytelevel", "gpt4"])
def test_byte_level_decoding_takes_the_marks_off(tmp_path, pretokenizer, marks):
    options = WHITESPACE_MARKS[marks]
    output = tmp_path / "tokenizer.json"
    selkbar.train_tokenizer(FIXTURES, 4000, str(output), pretokenizer=pretokenizer, **options)
    tokenizer = Tokenizer.from_file(str(output))
    # Whole lines as the corpus has them, so every decorated character the
    # encoding needs exists.
    lines = [line for line in fixture_lines(keepends=True)
             if not any(m in line for m in options.values())]
    for line in lines:
        assert tokenizer.decode(tokenizer.encode(line).ids) == line


# --- tiktoken ---------------------------------------------------------------

@pytest.mark.parametrize("pretokenizer,pattern", BYTE_LEVEL_MODES)
def test_tiktoken_gives_the_librarys_ids(tmp_path, pretokenizer, pattern):
    specials = ["<|endoftext|>", "<|pad|>"]
    output, ranks_path = train_both(tmp_path, pretokenizer, pattern, special_tokens=specials)
    document = json.loads(output.read_text(encoding="utf-8"))
    to_byte = {c: b for b, c in enumerate(BYTES)}
    # The file lists every ordinary token of the vocabulary, as its bytes.
    expected_ranks = {bytes(to_byte[c] for c in token): rank
                      for token, rank in document["model"]["vocab"].items()
                      if token not in specials}
    ranks = read_ranks(ranks_path)
    assert ranks == expected_ranks
    assert all(bytes([b]) in ranks for b in range(256))

    library = Tokenizer.from_file(str(output))
    helper = selkbar.tiktoken_encoding(str(output))
    assert helper.name == "tokenizer"
    pre_tokenizer = document["pre_tokenizer"]
    pattern = (pre_tokenizer["pretokenizers"][0]["pattern"]["Regex"]
               if pre_tokenizer["type"] == "Sequence" else selkbar_tiktoken.GPT2_PATTERN)
    from_file = tiktoken.Encoding("from-file", pat_str=pattern, mergeable_ranks=ranks,
                                  special_tokens={s: i for i, s in enumerate(specials)})
    texts = fixture_lines() + random_strings(3, 1000)
    assert len(texts) > 5000
    for text in texts:
        ids = library.encode(text).ids
        assert helper.encode_ordinary(text) == ids, text
        assert from_file.encode_ordinary(text) == ids, text
    text = "one<|endoftext|>two <|pad|>"
    assert helper.encode(text, allowed_special="all") == library.encode(text).ids
    assert helper.decode(library.encode(text).ids) == text


def test_tiktoken_encoding_refuses_what_tiktoken_cannot_use(tmp_path, monkeypatch):
    whitespace = tmp_path / "whitespace.json"
    selkbar.train_tokenizer(FIXTURES[:1], 300, str(whitespace))
    with pytest.raises(ValueError, match="has no tiktoken form"):
        selkbar.tiktoken_encoding(str(whitespace))
    partial = tmp_path / "partial.json"
    selkbar.train_tokenizer(FIXTURES[:1], 300, str(partial), pretokenizer="gpt4")
    with pytest.raises(ValueError, match=r"lacks \d+ of the 256 bytes .*BYTE_LEVEL_ALPHABET"):
        selkbar.tiktoken_encoding(str(partial))
    full = tmp_path / "full.json"
    selkbar.train_tokenizer(FIXTURES[:1], 300, str(full), pretokenizer="gpt4",
                            initial_alphabet=BYTES)
    assert selkbar.tiktoken_encoding(full, name="mine").name == "mine"
    monkeypatch.setitem(sys.modules, "tiktoken", None)  # as if not installed
    with pytest.raises(ImportError, match=r'pip install "selkbar\[tiktoken\]"'):
        selkbar.tiktoken_encoding(str(full))


# --- Every entry point, and the errors of the new options ---------------------

def test_every_training_entry_point_writes_the_same_pair(tmp_path):
    options = dict(pretokenizer="gpt4", initial_alphabet=BYTES, special_tokens=["<s>"])
    files = FIXTURES[:3]
    selkbar.train_tokenizer(files, 900, str(tmp_path / "a.json"),
                            tiktoken_output=str(tmp_path / "a.tiktoken"), **options)
    reference = [(tmp_path / n).read_bytes() for n in ("a.json", "a.tiktoken")]
    texts = [line for path in files for line in open(path, encoding="utf-8").read().splitlines(True)]
    selkbar.train_tokenizer_from_iterator(texts, 900, str(tmp_path / "b.json"),
                                          tiktoken_output=str(tmp_path / "b.tiktoken"), **options)
    counts = selkbar.count_words(files, pretokenizer="gpt4")
    counts_options = {k: v for k, v in options.items() if k != "pretokenizer"}
    selkbar.train_tokenizer_from_counts(counts, 900, str(tmp_path / "c.json"),
                                        tiktoken_output=str(tmp_path / "c.tiktoken"),
                                        **counts_options)
    for name in "bc":
        assert [(tmp_path / f"{name}.{ext}").read_bytes() for ext in ("json", "tiktoken")] == \
            reference, name
    vocab, _ = selkbar.train_bpe_from_counts(counts, 900, **counts_options)
    assert all(c in vocab for c in BYTES)
    vocab, _ = selkbar.train_bpe_from_iterator(texts, 900, **options)
    assert all(c in vocab for c in BYTES)


def test_new_options_are_checked_before_any_work(tmp_path):
    missing = str(tmp_path / "missing.txt")  # would fail only once reading starts
    output, ranks = tmp_path / "t.json", tmp_path / "t.tiktoken"
    cases = [
        (dict(tiktoken_output=str(ranks), initial_alphabet=BYTES),
         "the whitespace pretokenizer has no tiktoken form"),
        (dict(pretokenizer="gpt4", tiktoken_output=str(ranks)),
         r"needs all 256 bytes .*\(256 missing, the first 'Ā' \(U\+0100, byte 0x00\)\)"),
        (dict(pretokenizer="gpt4", tiktoken_output=str(ranks), initial_alphabet=BYTES,
              limit_alphabet=100), r"limit_alphabet None or at least 256"),
        (dict(pretokenizer="gpt4", tiktoken_output=str(ranks), initial_alphabet=BYTES,
              end_of_word_suffix="</w>"), "tiktoken has no end_of_word_suffix"),
        (dict(pretokenizer="gpt4", tiktoken_output=str(ranks), initial_alphabet=BYTES,
              special_tokens=["Ġ"]), r"special token 'Ġ' \(U\+0120, byte 0x20\)"),
        (dict(pretokenizer="o200k", initial_alphabet=["Ġ", "é", "🙂x"]),
         r"initial_alphabet: '🙂' \(U\+1F642\) is not in the byte-level alphabet.*\"o200k\""),
        (dict(pretokenizer="bytelevel", initial_alphabet=["\n"]),
         r"initial_alphabet: U\+000A is not in the byte-level alphabet"),
        (dict(pretokenizer="gpt4", initial_alphabet=BYTES, tiktoken_output=str(output)),
         "same file"),
    ]
    for options, message in cases:
        with pytest.raises(ValueError, match=message):
            selkbar.train_tokenizer([missing], 500, str(output), **options)
        assert not output.exists() and not ranks.exists()
    with pytest.raises(ValueError, match="initial_alphabet: '🙂'"):
        selkbar.train_bpe([missing], 500, pretokenizer="gpt4", initial_alphabet=["🙂"])
    counts = selkbar.count_words(FIXTURES[:1])
    with pytest.raises(ValueError, match="whitespace pretokenizer has no tiktoken form"):
        selkbar.train_tokenizer_from_counts(counts, 500, str(output), initial_alphabet=BYTES,
                                            tiktoken_output=str(ranks))
    with pytest.raises(TypeError, match="initial_alphabet"):
        selkbar.train_bpe(FIXTURES[:1], 500, initial_alphabet=[1])


def test_failing_to_write_one_file_writes_neither(tmp_path):
    output = tmp_path / "t.json"
    output.write_text("old")
    with pytest.raises(OSError, match="writing .*nowhere"):
        selkbar.train_tokenizer(FIXTURES[:1], 500, str(output), pretokenizer="gpt4",
                                initial_alphabet=BYTES,
                                tiktoken_output=str(tmp_path / "nowhere" / "t.tiktoken"))
    assert output.read_text() == "old"
    assert sorted(os.listdir(tmp_path)) == ["t.json"]


def test_tokenizers_without_the_new_options_are_unchanged(tmp_path):
    for options in ({}, {"pretokenizer": "gpt4"}):
        selkbar.train_tokenizer(FIXTURES[:2], 700, str(tmp_path / "a.json"), **options)
        selkbar.train_tokenizer(FIXTURES[:2], 700, str(tmp_path / "b.json"), initial_alphabet=[],
                                tiktoken_output=None, **options)
        assert (tmp_path / "a.json").read_bytes() == (tmp_path / "b.json").read_bytes()


# --- The command line -----------------------------------------------------------

def run_cli(*args):
    command = [sys.executable, "-m", "selkbar", *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, timeout=300)


def test_command_line_writes_both_files(tmp_path):
    output, ranks = tmp_path / "t.json", tmp_path / "t.tiktoken"
    result = run_cli(*FIXTURES[:2], "-o", output, "--vocab-size", 800, "--pretokenizer", "gpt4",
                     "--initial-alphabet", "bytes", "--tiktoken", ranks, "-q")
    assert result.returncode == 0, result.stderr
    selkbar.train_tokenizer(FIXTURES[:2], 800, str(tmp_path / "api.json"), pretokenizer="gpt4",
                            initial_alphabet=BYTES, tiktoken_output=str(tmp_path / "api.tiktoken"))
    assert output.read_bytes() == (tmp_path / "api.json").read_bytes()
    assert ranks.read_bytes() == (tmp_path / "api.tiktoken").read_bytes()
    # The tokenizer to standard output, the ranks file alone.
    ranks.unlink()
    result = subprocess.run([sys.executable, "-m", "selkbar", *FIXTURES[:2], "-o", "-",
                             "--vocab-size", "800", "--pretokenizer", "gpt4",
                             "--initial-alphabet", "bytes", "--tiktoken", str(ranks), "-q"],
                            capture_output=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout == (tmp_path / "api.json").read_bytes()
    assert ranks.read_bytes() == (tmp_path / "api.tiktoken").read_bytes()
    result = run_cli(*FIXTURES[:1], "-o", output, "--vocab-size", 100,
                     "--initial-alphabet", "€ab")
    assert result.returncode == 0, result.stderr
    assert "€" in json.loads(output.read_text(encoding="utf-8"))["model"]["vocab"]


@pytest.mark.parametrize("args,message", [
    (["--pretokenizer", "gpt4", "--tiktoken", "{dir}/t.tiktoken"], "add --initial-alphabet bytes"),
    (["--initial-alphabet", "bytes", "--tiktoken", "{dir}/t.tiktoken"],
     "--tiktoken needs a byte-level --pretokenizer"),
    (["--pretokenizer", "gpt4", "--initial-alphabet", "bytes", "--tiktoken", "{dir}/t.json"],
     "--tiktoken and --output name the same file"),
    (["--pretokenizer", "gpt4", "--initial-alphabet", "bytes", "--tiktoken", "-"],
     "--tiktoken needs a file"),
])
def test_command_line_refuses_a_tiktoken_file_it_cannot_write(tmp_path, args, message):
    args = [a.replace("{dir}", str(tmp_path)) for a in args]
    result = run_cli(*FIXTURES[:1], "-o", tmp_path / "t.json", "--vocab-size", 300, *args)
    assert result.returncode == 2
    assert message in result.stderr
    assert os.listdir(tmp_path) == []
