"""split_bytelevel against the GPT-2 pattern of the `regex` module, applied to
each line (a line ends just after each "\\n"), on the text fixtures (and the
extended corpora, see conftest.py) and on random text. Only characters whose letter/number/whitespace class is the same
in regex's Unicode version and in our Unicode 16.0.0 tables are compared."""
import random

import pytest
import regex
import unicodedata2

import split_hook
from conftest import corpus_file_params

GPT2_PATTERN = regex.compile(
    r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+""")


def ours_class(cp):
    if cp in split_hook.WHITE_SPACE:
        return "W"
    major = unicodedata2.category(chr(cp))[0]
    return major if major in "LN" else "O"


@pytest.fixture(scope="module")
def unlike_regex():
    """A pattern matching any character that regex classifies differently
    from Unicode 16.0.0, or None when there is no such character."""
    text = "".join(chr(cp) for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF)
    theirs = ["O"] * 0x110000
    for klass, pattern in (("L", r"\p{L}"), ("N", r"\p{N}"), ("W", r"\s")):
        for match in regex.finditer(pattern, text):
            theirs[ord(match.group())] = klass
    differing = [cp for cp in range(0x110000)
                 if not 0xD800 <= cp <= 0xDFFF and theirs[cp] != ours_class(cp)]
    if not differing:
        return None
    return regex.compile("[" + "".join(regex.escape(chr(cp)) for cp in differing) + "]")


def lines_of(data):
    """Lines ending just after each b"\\n"; a non-empty rest is the last line."""
    parts = data.split(b"\n")
    lines = [part + b"\n" for part in parts[:-1]]
    if parts[-1]:
        lines.append(parts[-1])
    return lines


def regex_pieces(lines):
    out = []
    for line in lines:
        found = [m.encode() for m in GPT2_PATTERN.findall(line.decode("utf-8"))]
        assert b"".join(found) == line  # the pattern leaves nothing out
        out.extend(found)
    return out


def assert_same_pieces(data, unlike):
    lines = lines_of(data)
    if unlike is not None:
        lines = [line for line in lines if not unlike.search(line.decode("utf-8"))]
    text = b"".join(lines)
    got = split_hook.pieces("bytelevel", text)
    assert b"".join(got) == text
    assert all(got)
    want = regex_pieces(lines)
    if got != want:
        i = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w),
                 min(len(got), len(want)))
        pytest.fail(f"first difference at pretoken {i}: got {got[max(0, i - 3):i + 3]!r}, "
                    f"want {want[max(0, i - 3):i + 3]!r}")
    return len(lines)


@pytest.mark.parametrize("path", corpus_file_params())
def test_corpus_lines_match_the_regex(path, unlike_regex):
    data = path.read_bytes()
    compared = assert_same_pieces(data, unlike_regex)
    assert compared >= 0.99 * len(lines_of(data))


# Random text: every whitespace character, contractions and near misses,
# letters, marks and numbers of several scripts, and now and then any code
# point at all.
ASCII = list("abcXYZ019!?.,-$'\"@[`{~") + [" "] * 6 + ["\x1c", "\x1f", "\x00", "\x7f"]
WHITESPACE = [chr(cp) for cp in sorted(split_hook.WHITE_SPACE)] + ["\n", "\r\n", "  ", " \n"]
CONTRACTIONS = ["'s", "'t", "'re", "'ve", "'m", "'ll", "'d", "'S", "'RE", "'r", "'l", "'v",
                "''", " '", "'sup", "n't", "'lll"]
SCRIPTS = [
    "é", "ß", "Ω", "ж", "Ж", "ا", "ب", "٣", "क", "ि", "्", "९", "한", "ㄱ", "あ", "ア", "ー",
    "日", "本", "。", "、", "\u0301", "\u0308", "ª", "²", "½", "Ⅻ", "𝐀", "𠀀", "\U00030000",
    "🙂", "\ufeff", "\u200b", "\u180e", "\u00b7", "€", "«", "»",
]
POOLS = [ASCII, WHITESPACE, CONTRACTIONS, SCRIPTS]


def random_text(rng, tokens):
    out = []
    for _ in range(tokens):
        roll = rng.random()
        if roll < 0.03:
            cp = rng.randrange(0x110000)
            while 0xD800 <= cp <= 0xDFFF:
                cp = rng.randrange(0x110000)
            out.append(chr(cp))
        else:
            pool = POOLS[rng.randrange(len(POOLS))]
            out.append(pool[rng.randrange(len(pool))] * (1 + (rng.random() < 0.2) * rng.randrange(4)))
    return "".join(out).encode("utf-8")


def test_random_texts_match_the_regex(unlike_regex):
    rng = random.Random(20240616)
    # Each text alone, so the end of the text (without a newline) is covered.
    for _ in range(300):
        assert_same_pieces(random_text(rng, rng.randrange(0, 40)), unlike_regex)
    # Many lines at once, some long enough for several cut batches.
    big = b"".join(random_text(rng, rng.choice([10, 50, 2000])) for _ in range(2000))
    assert_same_pieces(big, unlike_regex)


@pytest.mark.parametrize("text", ["", " ", "\n", "x  ", "  \n  x", "'", "'s", "a\r\n",
                                  "\u3000\u3000x", " \u00a0x"])
def test_small_texts_match_the_regex(text, unlike_regex):
    assert_same_pieces(text.encode("utf-8"), unlike_regex)


def test_invalid_utf8_is_cut_without_loss():
    rng = random.Random(5)
    pool = [b"a", b" ", b"\n", b"'", b"\x80", b"\xc3", b"\xe3\x80", b"\xf0\x9f", b"\xff", b"1"]
    for _ in range(200):
        data = b"".join(rng.choice(pool) for _ in range(rng.randrange(1, 30)))
        got = split_hook.pieces("bytelevel", data)
        assert b"".join(got) == data
        assert all(got)


def test_whitespace_mode_matches_a_white_space_split():
    rng = random.Random(11)
    for _ in range(300):
        data = random_text(rng, rng.randrange(0, 40))
        text = data.decode("utf-8")
        want, word = [], []
        for ch in text:
            if ord(ch) in split_hook.WHITE_SPACE:
                if word:
                    want.append("".join(word).encode())
                word = []
            else:
                word.append(ch)
        if word:
            want.append("".join(word).encode())
        assert split_hook.pieces("whitespace", data) == want, text
