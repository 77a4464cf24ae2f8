"""Pieces of the pattern splitters against the tokenizers library's isolated
Split (a black box), line by line: PCRE2 (split_dump pattern P) for GPT-2's,
GPT-4's, o200k's, Llama 3's, a single-digit variant and patterns that match
the empty string; the hand-written gpt4 and o200k splitters directly.

PCRE2 carries Unicode tables older than 16.0.0; the characters it classifies
differently are found here, shown, and lines holding them are left out of the
PCRE2 comparisons. The library's engine agrees with Unicode 16.0.0 on every
class the patterns use (checked below)."""
import array
import functools
import random
import subprocess
import sys

import pytest
import unicodedata2
from tokenizers import Regex, pre_tokenizers

import split_hook
from test_modern_split_regex import GPT4, O200K, SAMPLE, lines_of, random_text

GPT2 = r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""
LLAMA3 = (r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}|"""
          r""" ?[^\s\p{L}\p{N}]+[\r\n]*|\s*[\r\n]+|\s+(?!\S)|\s+""")
SINGLE_DIGIT = GPT4.replace(r"\p{N}{1,3}", r"\p{N}")
PATTERNS = {"gpt2": GPT2, "gpt4": GPT4, "o200k": O200K, "llama3": LLAMA3,
            "single_digit": SINGLE_DIGIT}
# Patterns that can match the empty string, and ones with anchors.
EMPTY_MATCHING = [r"x*", r"(?<=\p{L})(?=\P{L})", r"(?=\p{Lu})", r"a|", r"\s*", r"^|\p{N}+", r"(?<=\s)"]

CLASSES = [r"\p{L}", r"\p{N}", r"\s", r"\p{Lu}", r"\p{Ll}", r"\p{Lt}", r"\p{Lm}", r"\p{Lo}",
           r"\p{M}"]


def library_pieces(pattern, lines):
    split = pre_tokenizers.Split(Regex(pattern), behavior="isolated", invert=False)
    out = []
    for line in lines:
        out.extend(piece.encode() for piece, _ in split.pre_tokenize_str(line.decode("utf-8")))
    return out


def pcre2_spans(pattern, data):
    split_hook.require_split_dump()
    done = subprocess.run([str(split_hook.SPLIT_DUMP), "pattern", pattern], input=data,
                          capture_output=True, check=False)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    numbers = array.array("Q")
    numbers.frombytes(done.stdout)
    if sys.byteorder != "little":
        numbers.byteswap()
    return list(zip(numbers[0::2], numbers[1::2]))


def pcre2_pieces(pattern, data):
    return [data[offset:offset + length] for offset, length in pcre2_spans(pattern, data)]


@functools.lru_cache(maxsize=None)
def unicode16_members(klass):
    if klass == r"\s":
        return set(split_hook.WHITE_SPACE)
    name = klass[3:-1]
    return {cp for cp in range(0x110000)
            if unicodedata2.category(chr(cp)) == name or unicodedata2.category(chr(cp))[0] == name}


# Every code point but surrogates and the line feed (which ends a line).
EVERY_CODE_POINT = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF and cp != 0x0A]


def pcre2_members(klass):
    """Split by the class, each code point followed by a separator in no
    class: a piece of one code point other than the separator is a match."""
    data = "".join(chr(cp) + "\x01" for cp in EVERY_CODE_POINT).encode("utf-8")
    return {ord(piece) for piece in (p.decode("utf-8") for p in pcre2_pieces(klass, data))
            if len(piece) == 1 and piece != "\x01"}


def library_members(klass):
    """The library keeps only the text between matches with "removed"."""
    split = pre_tokenizers.Split(Regex(f"(?:{klass})+"), behavior="removed", invert=False)
    kept = set()
    # In slices: the library takes time superlinear in the length of one text.
    for start in range(0, len(EVERY_CODE_POINT), 50000):
        text = "".join(chr(cp) for cp in EVERY_CODE_POINT[start:start + 50000])
        kept.update(ord(ch) for piece, _ in split.pre_tokenize_str(text) for ch in piece)
    return set(EVERY_CODE_POINT) - kept


def describe(code_points):
    shown = " ".join(f"U+{cp:04X}" for cp in sorted(code_points)[:40])
    return shown + (f" ... ({len(code_points)} in all)" if len(code_points) > 40 else "")


@pytest.fixture(scope="module")
def pcre2_differences():
    """{class: (code points PCRE2 adds, code points it lacks)} against 16.0.0."""
    out = {}
    for klass in CLASSES:
        theirs = pcre2_members(klass)
        ours = unicode16_members(klass) - {0x0A}
        out[klass] = (theirs - ours, ours - theirs)
    return out


@pytest.fixture(scope="module")
def pcre2_unlike(pcre2_differences):
    """Every character PCRE2 classifies differently from Unicode 16.0.0."""
    differing = set()
    for extra, missing in pcre2_differences.values():
        differing |= extra | missing
    return frozenset(differing)


@pytest.mark.pcre2
def test_pcre2_differs_from_unicode_16_by_its_older_tables_and_u180e(pcre2_differences):
    # PCRE2 10.42 has Unicode 14.0.0: it lacks the letters, numbers and marks
    # added since, and never has a character in a class that 16.0.0 does not,
    # except that its \s holds U+180E MONGOLIAN VOWEL SEPARATOR, which left
    # White_Space in Unicode 6.3.
    report = {klass: (describe(extra), describe(missing))
              for klass, (extra, missing) in pcre2_differences.items()}
    for klass, (extra, missing) in pcre2_differences.items():
        assert extra == ({0x180E} if klass == r"\s" else set()), report
    assert 0x1C89 in pcre2_differences[r"\p{Lu}"][1], report  # new in 16.0.0


def test_library_classes_are_unicode_16():
    differing = {}
    for klass in CLASSES:
        theirs = library_members(klass)
        ours = unicode16_members(klass) - {0x0A}
        if theirs != ours:
            differing[klass] = (describe(theirs - ours), describe(ours - theirs))
    assert not differing, f"the library's engine differs from Unicode 16.0.0: {differing}"


def sample_lines(rng):
    lines = lines_of(SAMPLE.encode("utf-8"))
    for _ in range(300):
        lines.extend(lines_of(random_text(rng, rng.randrange(0, 40)) + b"\n"))
    return lines


def without(lines, unlike):
    return [line for line in lines if not any(ord(ch) in unlike for ch in line.decode("utf-8"))]


def assert_same(got, want, label):
    if got != want:
        i = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w),
                 min(len(got), len(want)))
        pytest.fail(f"{label}: first difference at piece {i}: got {got[max(0, i - 3):i + 3]!r}, "
                    f"library {want[max(0, i - 3):i + 3]!r}")


@pytest.mark.pcre2
@pytest.mark.parametrize("name", sorted(PATTERNS))
def test_pcre2_pieces_match_the_library(name, pcre2_unlike):
    lines = without(sample_lines(random.Random(name)), pcre2_unlike)
    assert_same(pcre2_pieces(PATTERNS[name], b"".join(lines)),
                library_pieces(PATTERNS[name], lines), name)


@pytest.mark.pcre2
@pytest.mark.parametrize("pattern", EMPTY_MATCHING)
def test_patterns_matching_the_empty_string_match_the_library(pattern, pcre2_unlike):
    lines = without(sample_lines(random.Random(pattern)), pcre2_unlike)
    got = pcre2_pieces(pattern, b"".join(lines))
    assert all(got)
    assert_same(got, library_pieces(pattern, lines), pattern)


@pytest.mark.parametrize("mode", ["gpt4", "o200k"])
def test_hand_written_pieces_match_the_library(mode):
    # No character is left out: the library's classes are Unicode 16.0.0's.
    lines = sample_lines(random.Random(mode))
    # Each line ends with a line feed, so that a file's last line does not run
    # into the next file's first.
    lines += [line.rstrip(b"\n") + b"\n" for path in sorted(split_hook.REPO.glob("tests/data/**/*.txt"))
              for line in lines_of(path.read_bytes())[:2000]
              # A file's last line without a line feed would run into the next
              # file's first line here, but not in the library's input.
              if _is_utf8(line) and line.endswith(b"\n")]
    assert_same(split_hook.pieces(mode, b"".join(lines)),
                library_pieces(GPT4 if mode == "gpt4" else O200K, lines), mode)


def _is_utf8(data):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


@pytest.mark.pcre2
@pytest.mark.parametrize("mode,pattern", [("gpt4", GPT4), ("o200k", O200K), ("bytelevel", GPT2)])
def test_named_patterns_through_pcre2_equal_the_hand_written_splitters(mode, pattern, pcre2_unlike):
    lines = without(sample_lines(random.Random(7)), pcre2_unlike)
    data = b"".join(lines)
    assert pcre2_pieces(pattern, data) == split_hook.pieces(mode, data)


@pytest.mark.pcre2
def test_pcre2_differences_show_in_the_pieces():
    # U+180E is a symbol to Unicode 16.0.0 and the library, whitespace to
    # PCRE2; U+1C89 (CYRILLIC CAPITAL LETTER TJE, new in 16.0.0) is a letter
    # to them, a symbol to PCRE2 10.42. So GPT-4's pattern cuts differently.
    data = "a \u180eb \u1c89x\n".encode("utf-8")
    want = [b"a", " \u180e".encode(), b"b", " \u1c89x".encode(), b"\n"]
    assert split_hook.pieces("gpt4", data) == want
    assert library_pieces(GPT4, [data]) == want
    assert pcre2_pieces(GPT4, data) == [b"a", b" ", "\u180eb".encode(), " \u1c89".encode(), b"x",
                                        b"\n"]


@pytest.mark.parametrize("pattern,message", [
    ("(ab", "invalid pattern: missing closing parenthesis at position 3"),
    ("éé[", "invalid pattern: missing terminating ] for character class at position 3"),
    (r"a{2,1}", "invalid pattern: numbers out of order in {} quantifier at position 5"),
])
@pytest.mark.pcre2
def test_compile_errors(pattern, message):
    split_hook.require_split_dump()
    done = subprocess.run([str(split_hook.SPLIT_DUMP), "pattern", pattern], input=b"x",
                          capture_output=True, check=False)
    assert done.returncode == 3
    assert done.stderr.decode().strip() == message
