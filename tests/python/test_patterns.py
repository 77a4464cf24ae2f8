"""The split patterns of current language models end to end: pretokenizer=
"gpt4" and "o200k" and pattern= against the tokenizers library trained with
the same Sequence pre-tokenizer (a black box), the tokenizer.json they write,
their argument errors and the command line.

The corpora are written to tmp_path: the multilingual sample and random lines
of test_modern_split_regex. The library's regex engine has Unicode 16.0.0
classes, like the hand-written gpt4 and o200k splitters, so those are compared
on any text. pattern= runs on PCRE2, whose tables are older (see
test_pattern_split.py): its corpora hold no character whose class changed
since Unicode 14.0.0, and one test shows how such characters make the results
differ."""
import json
import pathlib
import random
import subprocess
import sys

import pytest
from tokenizers import Regex, Tokenizer, decoders, models, pre_tokenizers, trainers

import selkbar
from conftest import corpus_file_params, corpus_sets
from test_modern_split_regex import GPT4, O200K, POOLS, SAMPLE, random_text
from test_pattern_split import GPT2, LLAMA3, SINGLE_DIGIT

COMMAND = str(pathlib.Path(sys.executable).parent / "selkbar-train")
NAMED = {"gpt4": GPT4, "o200k": O200K}
CUSTOM = {"gpt2": GPT2, "single_digit": SINGLE_DIGIT, "llama3": LLAMA3}


def old_characters_line(rng, tokens):
    """A random line from the pools only: every character is as old as
    Unicode 14.0.0 and classified alike by PCRE2 and Unicode 16.0.0 (U+180E,
    \\s to PCRE2 only, is left out)."""
    out = []
    for _ in range(tokens):
        pool = POOLS[rng.randrange(len(POOLS))]
        out.append(pool[rng.randrange(len(pool))] * (1 + (rng.random() < 0.2) * rng.randrange(4)))
    return "".join(out).replace("\u180e", "").replace("\n", " ")


@pytest.fixture(scope="module")
def corpora(tmp_path_factory):
    """{"any": files with any characters, "old": files with old ones only}."""
    base = tmp_path_factory.mktemp("corpora")
    rng = random.Random(20)
    sample_lines = SAMPLE.replace("\u180e", "").splitlines(keepends=True)
    any_lines, old_lines = [], []
    for _ in range(40):
        any_lines.extend(sample_lines)
        old_lines.extend(sample_lines)
    for _ in range(1500):
        any_lines.append(random_text(rng, rng.randrange(1, 40)).decode("utf-8").replace("\n", " ") + "\n")
        old_lines.append(old_characters_line(rng, rng.randrange(1, 40)) + "\n")
    out = {}
    for name, lines in (("any", any_lines), ("old", old_lines)):
        files = []
        for part in range(2):
            path = base / f"{name}{part}.txt"
            path.write_text("".join(lines[part::2]), encoding="utf-8")
            files.append(str(path))
        out[name] = files
    return out


def library_tokenizer(pattern, files, vocab_size, **options):
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.Sequence([
        pre_tokenizers.Split(Regex(pattern), behavior="isolated", invert=False),
        pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=False),
    ])
    tokenizer.decoder = decoders.ByteLevel()
    tokenizer.train(files, trainers.BpeTrainer(vocab_size=vocab_size, show_progress=False,
                                               initial_alphabet=[], **options))
    return tokenizer


def library_train(pattern, files, vocab_size, **options):
    model = json.loads(library_tokenizer(pattern, files, vocab_size, **options).to_str())["model"]
    return model["vocab"], [tuple(m) for m in model["merges"]]


def assert_same(ours, theirs):
    vocab, merges = ours
    expected_vocab, expected_merges = theirs
    assert list(vocab.items()) == sorted(expected_vocab.items(), key=lambda kv: kv[1])
    assert merges == expected_merges


# ---- Parity with the library

@pytest.mark.parametrize("vocab_size", [600, 3000])
@pytest.mark.parametrize("name", sorted(NAMED))
def test_named_pretokenizers_train_as_the_library(corpora, name, vocab_size):
    files = corpora["any"]
    assert_same(selkbar.train_bpe(files, vocab_size, pretokenizer=name, threads=3),
                library_train(NAMED[name], files, vocab_size))


@pytest.mark.parametrize("name", sorted(NAMED))
@pytest.mark.parametrize("path", corpus_file_params())
def test_named_pretokenizers_on_each_corpus(path, name):
    for vocab_size in (500, 8000):
        assert_same(selkbar.train_bpe([str(path)], vocab_size, pretokenizer=name),
                    library_train(NAMED[name], [str(path)], vocab_size))


@pytest.mark.pcre2
@pytest.mark.parametrize("name", sorted(CUSTOM))
@pytest.mark.parametrize("corpus_set", corpus_sets())
def test_patterns_on_all_corpora_together(corpus_set, name):
    # The fixtures hold no character whose class changed after Unicode 14.0.0
    # (PCRE2's tables); the extended corpora are checked as they come.
    files = corpus_set.files
    assert_same(selkbar.train_bpe(files, 16000, pretokenizer="bytelevel", pattern=CUSTOM[name]),
                library_train(CUSTOM[name], files, 16000))


@pytest.mark.pcre2
@pytest.mark.parametrize("name", sorted(CUSTOM))
def test_patterns_train_as_the_library(corpora, name):
    files = corpora["old"]
    assert_same(selkbar.train_bpe(files, 2000, pretokenizer="bytelevel", pattern=CUSTOM[name]),
                library_train(CUSTOM[name], files, 2000))


@pytest.mark.pcre2
def test_named_patterns_through_pcre2_train_as_the_named_pretokenizers(corpora):
    files = corpora["old"]
    for name, pattern in NAMED.items():
        assert (selkbar.train_bpe(files, 2000, pattern=pattern, pretokenizer="bytelevel")
                == selkbar.train_bpe(files, 2000, pretokenizer=name))
    # GPT-2's rule written as a pattern is the byte-level mode.
    assert (selkbar.train_bpe(files, 2000, pretokenizer="bytelevel", pattern=GPT2)
            == selkbar.train_bpe(files, 2000, pretokenizer="bytelevel"))


def test_options_with_a_pattern(corpora):
    files = corpora["any"]
    options = {"special_tokens": ["<s>", "</s>"], "min_frequency": 3, "max_token_length": 5,
               "limit_alphabet": 150}
    assert_same(selkbar.train_bpe(files, 2500, pretokenizer="o200k", **options),
                library_train(O200K, files, 2500, **options))


@pytest.mark.pcre2
def test_pcre2_tables_make_pattern_results_differ_where_unicode_changed(tmp_path):
    # U+1C89 CYRILLIC CAPITAL LETTER TJE and U+1C8A (its small letter) are new
    # in Unicode 16.0.0: letters to the library and to pretokenizer="gpt4",
    # symbols to PCRE2 10.42's Unicode 14.0.0 tables. U+180E is \s to PCRE2
    # alone. So pattern=GPT-4's pattern cuts other words on such text.
    path = tmp_path / "new.txt"
    path.write_text("\u1c89\u1c8a\u1c8a! x\u180eb \u1c8ax\n" * 50, encoding="utf-8")
    files = [str(path)]
    library = library_train(GPT4, files, 300)
    assert_same(selkbar.train_bpe(files, 300, pretokenizer="gpt4"), library)
    vocab, _ = selkbar.train_bpe(files, 300, pretokenizer="bytelevel", pattern=GPT4)
    assert sorted(vocab) != sorted(library[0])


@pytest.mark.parametrize("name", ["gpt4", "o200k", pytest.param("llama3", marks=pytest.mark.pcre2)])
def test_written_tokenizer_encodes_like_the_library(corpora, tmp_path, name):
    files = corpora["old"]
    pattern = NAMED.get(name) or CUSTOM[name]
    options = {"pretokenizer": name} if name in NAMED else {"pretokenizer": "bytelevel",
                                                            "pattern": pattern}
    out = tmp_path / "tokenizer.json"
    selkbar.train_tokenizer(files, 2500, str(out), special_tokens=["<pad>"], **options)
    ours = Tokenizer.from_file(str(out))
    reference = library_tokenizer(pattern, files, 2500, special_tokens=["<pad>"])
    rng = random.Random(name)
    held_out = [old_characters_line(rng, rng.randrange(1, 60)) for _ in range(300)]
    held_out += SAMPLE.splitlines()
    for line in held_out:
        ids = ours.encode(line).ids
        assert ids == reference.encode(line).ids, line
        assert ours.decode(ids) == line


# ---- tokenizer.json

def pre_tokenizer_line(pattern):
    return ('  "pre_tokenizer": {"type": "Sequence", "pretokenizers": [{"type": "Split", '
            '"pattern": {"Regex": ' + json.dumps(pattern, ensure_ascii=False) + '}, '
            '"behavior": "Isolated", "invert": false}, {"type": "ByteLevel", '
            '"add_prefix_space": false, "trim_offsets": true, "use_regex": false}]},')


@pytest.mark.parametrize("options,pattern", [
    ({"pretokenizer": "gpt4"}, GPT4),
    ({"pretokenizer": "o200k"}, O200K),
    pytest.param({"pretokenizer": "bytelevel", "pattern": '"quoted" \\p{L}+|\\s|é|\t'},
                 '"quoted" \\p{L}+|\\s|é|\t', marks=pytest.mark.pcre2),
])
def test_tokenizer_json_declares_the_split_sequence(tmp_path, options, pattern):
    corpus = tmp_path / "c.txt"
    corpus.write_text("hello world\n", encoding="utf-8")
    out = tmp_path / "tokenizer.json"
    selkbar.train_tokenizer([str(corpus)], 270, str(out), **options)
    lines = out.read_text(encoding="utf-8").split("\n")
    assert lines[4:6] == ['  "added_tokens": [],', '  "normalizer": null,']
    assert lines[6] == pre_tokenizer_line(pattern)
    byte_level = '{"type": "ByteLevel", "add_prefix_space": true, "trim_offsets": true, "use_regex": true}'
    assert lines[7] == f'  "post_processor": {byte_level},'
    assert lines[8] == f'  "decoder": {byte_level},'
    loaded = json.loads("\n".join(lines))
    assert loaded["pre_tokenizer"]["pretokenizers"][0]["pattern"]["Regex"] == pattern
    Tokenizer.from_file(str(out))


# ---- Arguments

@pytest.mark.pcre2
def test_pattern_errors_come_before_any_file_is_read(tmp_path):
    missing = str(tmp_path / "missing.txt")
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([missing], 10, pretokenizer="bytelevel", pattern="(ab|c")
    assert str(info.value) == "invalid pattern: missing closing parenthesis at position 5"
    output = tmp_path / "never.json"
    with pytest.raises(ValueError, match="^invalid pattern: "):
        selkbar.train_tokenizer([missing], 10, str(output), pretokenizer="bytelevel",
                                pattern="[é")
    assert not output.exists()


@pytest.mark.parametrize("pretokenizer", ["whitespace", "gpt4", "o200k"])
def test_pattern_goes_with_bytelevel_only(pretokenizer):
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([], 10, pretokenizer=pretokenizer, pattern=r"\w+")
    assert str(info.value) == ('pattern replaces the rule of pretokenizer "bytelevel" and cannot '
                               f'be used with "{pretokenizer}"')


@pytest.mark.pcre2
def test_pattern_with_the_default_pretokenizer_means_the_byte_level_family(tmp_path):
    # As --pattern on the command line; an explicit "whitespace" stays an
    # error, and the message names it.
    path = tmp_path / "a.txt"
    path.write_text("some text, some more\n", encoding="utf-8")
    assert selkbar.train_bpe([str(path)], 300, pattern=r"\w+|\s") == \
        selkbar.train_bpe([str(path)], 300, pretokenizer="bytelevel", pattern=r"\w+|\s")
    assert selkbar.count_words_from_iterator(["x y"], pattern=r"\w+").pretokenizer == \
        selkbar.count_words_from_iterator(["x y"], pretokenizer="bytelevel",
                                          pattern=r"\w+").pretokenizer
    message = ('pattern replaces the rule of pretokenizer "bytelevel" and cannot be used with '
               '"whitespace"')
    with pytest.raises(ValueError) as info:
        selkbar.count_words([str(path)], pretokenizer="whitespace", pattern=r"\w+")
    assert str(info.value) == message


def test_pattern_argument_conversion():
    with pytest.raises(TypeError) as info:
        selkbar.train_bpe([], 10, pretokenizer="bytelevel", pattern=b"x")
    assert str(info.value) == "argument 'pattern': 'bytes' object cannot be cast as 'str'"
    with pytest.raises(UnicodeEncodeError):
        selkbar.train_bpe([], 10, pretokenizer="bytelevel", pattern="\udc80")
    # None is no pattern; the unknown name is reported before the pattern.
    assert selkbar.train_bpe([], 0, pretokenizer="whitespace", pattern=None) == ({}, [])
    with pytest.raises(ValueError, match="^unknown pretokenizer"):
        selkbar.train_bpe([], 10, pretokenizer="GPT4", pattern="(")


@pytest.mark.pcre2
def test_patterns_that_match_the_empty_string_train(tmp_path):
    corpus = tmp_path / "c.txt"
    corpus.write_text("abc abd\nxxa\n" * 20, encoding="utf-8")
    # (\b would differ on text with marks: PCRE2's \w holds none, the library's does.)
    for pattern in ("", "x*", r"\b", r"(?=\p{L})"):
        ours = selkbar.train_bpe([str(corpus)], 300, pretokenizer="bytelevel", pattern=pattern)
        assert_same(ours, library_train(pattern, [str(corpus)], 300))


@pytest.mark.pcre2
def test_a_pattern_that_fails_on_the_text_raises(tmp_path):
    corpus = tmp_path / "c.txt"
    corpus.write_text("a" * 40 + "\n", encoding="utf-8")
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([str(corpus)], 300, pretokenizer="bytelevel", pattern="(?:a+)+[bc]")
    assert str(info.value) == "matching the pattern failed: match limit exceeded"


@pytest.mark.pcre2
def test_files_cut_into_ranges_count_as_one(tmp_path, monkeypatch):
    # Readers of the byte-level family cut ranges after line feeds only.
    corpus = tmp_path / "c.txt"
    rng = random.Random(4)
    corpus.write_text("".join(old_characters_line(rng, 30) + "\n" for _ in range(3000)),
                      encoding="utf-8")
    files = [str(corpus)]
    for options in ({"pretokenizer": "gpt4"}, {"pretokenizer": "o200k"},
                    {"pretokenizer": "bytelevel", "pattern": LLAMA3}):
        monkeypatch.delenv("SELKBAR_MIN_RANGE", raising=False)
        whole = selkbar.train_bpe(files, 1000, threads=1, **options)
        monkeypatch.setenv("SELKBAR_MIN_RANGE", "4096")
        assert selkbar.train_bpe(files, 1000, threads=8, **options) == whole, options


# ---- Command line

@pytest.mark.pcre2
def test_command_line_flags(tmp_path):
    corpus = tmp_path / "c.txt"
    corpus.write_text(SAMPLE, encoding="utf-8")
    out = tmp_path / "t.json"
    for flags, pattern in ((["--pretokenizer", "o200k"], O200K), (["--pattern", LLAMA3], LLAMA3),
                           (["--pretokenizer", "bytelevel", "--pattern", GPT2], GPT2)):
        done = subprocess.run([COMMAND, str(corpus), "-o", str(out), "--vocab-size", "400",
                               *flags], capture_output=True, text=True, check=False)
        assert done.returncode == 0, done.stderr
        assert pre_tokenizer_line(pattern) in out.read_text(encoding="utf-8").split("\n")
    done = subprocess.run([COMMAND, str(corpus), "-o", str(out), "--vocab-size", "400",
                           "--pattern", "(x"], capture_output=True, text=True, check=False)
    assert done.returncode != 0
    assert "invalid pattern: missing closing parenthesis at position 2" in done.stderr
