"""split_gpt4 and split_o200k against their patterns in the `regex` module,
applied to each line (a line ends just after each "\\n"): on the repository's
text fixtures, on a multilingual sample, and on random text rich in cased,
caseless and combining letters, contractions and whitespace. The `regex`
module's classes are checked against Unicode 16.0.0 first; characters it
classifies differently (none with the pinned version) are left out of the
comparison."""
import random

import pytest
import regex
import unicodedata2

import split_hook

GPT4 = (r"""'(?i:[sdmt]|ll|ve|re)|[^\r\n\p{L}\p{N}]?+\p{L}+|\p{N}{1,3}| ?[^\s\p{L}\p{N}]++[\r\n]*|"""
        r"""\s*[\r\n]|\s+(?!\S)|\s+""")
O200K = (r"""[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+"""
         r"""(?i:'s|'t|'re|'ve|'m|'ll|'d)?|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+"""
         r"""[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?i:'s|'t|'re|'ve|'m|'ll|'d)?|\p{N}{1,3}|"""
         r""" ?[^\s\p{L}\p{N}]+[\r\n/]*|\s*[\r\n]+|\s+(?!\S)|\s+""")
PATTERNS = {"gpt4": regex.compile(GPT4), "o200k": regex.compile(O200K)}
FIXTURES = sorted(split_hook.REPO.glob("tests/data/**/*.txt"))

# Lines in many scripts: cased and caseless letters, marks inside words,
# digits of several systems, contractions in upper and lower case.
SAMPLE = """\
Hello world, it's 2024! DON'T SHOUT; we'LL see. THE QUICK brown FoX's tail.
Ünïcödé naïve café ÉCOLE Straße STRASSE ǅemal ǄEMAL ǆ ᾈ ᾼ ΆΈΉ άέή ΑΘΗΝΑ Αθήνα.
Привет, МИР! Это 'тест' №5 — ВОТ так. Ёлка ёлка 12,345.67 ₽.
Türkçe: İstanbul ıspanak I'M İ'S ı's DİKKAT! Ärger, Öl, Übermut.
مرحبا بالعالم ١٢٣٤٥ «اقتباس» والسلامُ عليكم.
नमस्ते दुनिया, यह एक परीक्षण है। १२३४ क्षत्रिय।
日本語のテキスト、カタカナとひらがな。東京タワーは333メートル。ｶﾀｶﾅ ＡＢＣ１２３
中文文本：你好，世界！第100次。
한국어 텍스트입니다. 안녕하세요, 세계! ㄱㄴㄷ
x² + y³ = ½ · Ⅻ ⅻ 𝐀𝐁𝐂 𝐚𝐛𝐜 🙂🙃 👍🏽 e\u0301 A\u0301B \u0301\u0302 ' \u0301's
tabs\there\r\nand  spaces   \u00a0nbsp\u3000ideographic\u2028line\u2029para\x85nel
path/to/file //comment /* c */ a/b !!/ ?\r/ ;\r\n
it'ſ ſo Kelvin \u212a's x'\u212a x'ſt 'ſ 'ﬅ ǉ'LL ǈ'Ll
"""


def lines_of(data):
    """Lines ending just after each b"\\n"; a non-empty rest is the last line."""
    parts = data.split(b"\n")
    lines = [part + b"\n" for part in parts[:-1]]
    if parts[-1]:
        lines.append(parts[-1])
    return lines


def ours_flags(cp):
    """(letter, number, space, upper side, lower side) by Unicode 16.0.0."""
    category = unicodedata2.category(chr(cp))
    return (category[0] == "L", category[0] == "N", cp in split_hook.WHITE_SPACE,
            category in ("Lu", "Lt", "Lm", "Lo") or category[0] == "M",
            category in ("Ll", "Lm", "Lo") or category[0] == "M")


@pytest.fixture(scope="module")
def unlike_regex():
    """A pattern matching any character that the regex module classifies
    differently from Unicode 16.0.0, or None when there is none."""
    text = "".join(chr(cp) for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF)
    classes = [r"\p{L}", r"\p{N}", r"\s", r"[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]",
               r"[\p{Ll}\p{Lm}\p{Lo}\p{M}]"]
    theirs = [[False] * 5 for _ in range(0x110000)]
    for k, klass in enumerate(classes):
        for match in regex.finditer(klass, text):
            theirs[ord(match.group())][k] = True
    differing = [cp for cp in range(0x110000)
                 if not 0xD800 <= cp <= 0xDFFF and tuple(theirs[cp]) != ours_flags(cp)]
    if not differing:
        return None
    return regex.compile("[" + "".join(regex.escape(chr(cp)) for cp in differing) + "]")


def assert_same_pieces(mode, data, unlike):
    lines = lines_of(data)
    if unlike is not None:
        lines = [line for line in lines if not unlike.search(line.decode("utf-8"))]
    text = b"".join(lines)
    got = split_hook.pieces(mode, text)
    assert b"".join(got) == text
    assert all(got)
    want = []
    for line in lines:
        found = [m.encode() for m in PATTERNS[mode].findall(line.decode("utf-8"))]
        assert b"".join(found) == line  # the pattern leaves nothing out
        want.extend(found)
    if got != want:
        i = next((i for i, (g, w) in enumerate(zip(got, want)) if g != w),
                 min(len(got), len(want)))
        pytest.fail(f"{mode}: first difference at pretoken {i}: got {got[max(0, i - 3):i + 3]!r}, "
                    f"want {want[max(0, i - 3):i + 3]!r}")
    return len(lines)


def test_regex_module_classes_are_unicode_16(unlike_regex):
    # The comparison below leaves out what the regex module classifies
    # differently; with the pinned version that is nothing.
    assert unlike_regex is None


@pytest.mark.parametrize("mode", ["gpt4", "o200k"])
def test_sample_lines_match_the_regex(mode, unlike_regex):
    data = SAMPLE.encode("utf-8")
    assert assert_same_pieces(mode, data, unlike_regex) == len(lines_of(data))


@pytest.mark.parametrize("mode", ["gpt4", "o200k"])
@pytest.mark.parametrize("path", FIXTURES, ids=lambda p: p.name)
def test_fixture_lines_match_the_regex(path, mode, unlike_regex):
    data = path.read_bytes()
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8 (an error-path fixture)")
    assert assert_same_pieces(mode, data, unlike_regex) >= 0.99 * len(lines_of(data))


# Random text: pieces that exercise each alternative and the places where the
# patterns backtrack: upper, lower and title case, caseless letters and marks
# next to each other, contractions and near misses in every case (with long s,
# Kelvin sign and Turkish dotted and dotless i), numbers, symbols with line
# breaks and slashes, every whitespace character.
CASED = ["a", "z", "A", "Z", "é", "É", "ß", "ẞ", "ǅ", "ǈ", "ǋ", "ᾈ", "ж", "Ж", "ω", "Ω",
         "ı", "İ", "i", "I", "ſ", "\u212a", "k", "K", "ǉ", "Ǉ", "ﬅ", "𝐀", "𝐚"]
CASELESS = ["ª", "ʰ", "ˆ", "ー", "あ", "日", "한", "ا", "क", "ㄱ", "\U00030000", "々"]
MARKS = ["\u0301", "\u0308", "\u093f", "\u094d", "\u20dd", "\u0903", "\U0001d167"]
NUMBERS = ["0", "7", "²", "½", "Ⅻ", "٣", "९", "𝟘"]
SYMBOLS = ["!", "?", ".", ",", "-", "$", "/", "//", "@", "[", "`", "~", "\"", "€", "«", "🙂",
           "\ufeff", "\u200b", "\u180e", "\x00", "\x1c", "\x7f", "'", "''"]
CONTRACTIONS = ["'s", "'t", "'re", "'ve", "'m", "'ll", "'d", "'S", "'T", "'RE", "'Re", "'rE",
                "'VE", "'M", "'LL", "'Ll", "'lL", "'D", "'ſ", "'\u212a", "'ı", "'İ", "'r", "'l",
                "'v", "'sup", "n't", "'lll", "'ﬅ", "'ǉ"]
WHITESPACE = [chr(cp) for cp in sorted(split_hook.WHITE_SPACE)] + ["\n", "\r\n", "\r", "  ",
                                                                   " \n", "\r\r\n", " \r "]
POOLS = [CASED, CASED, CASELESS, MARKS, NUMBERS, SYMBOLS, CONTRACTIONS, WHITESPACE, [" "]]
# Mostly ASCII, as English is: the splitters take such text 64 bytes at a time.
ASCII_POOLS = [ascii for ascii in ([piece for piece in pool if piece.isascii()] for pool in POOLS)
               if ascii]


def random_text(rng, tokens, pools=POOLS, stray=0.03):
    out = []
    for _ in range(tokens):
        if rng.random() < stray:
            cp = rng.randrange(0x110000)
            while 0xD800 <= cp <= 0xDFFF:
                cp = rng.randrange(0x110000)
            out.append(chr(cp))
        else:
            pool = pools[rng.randrange(len(pools))]
            out.append(pool[rng.randrange(len(pool))] * (1 + (rng.random() < 0.2) * rng.randrange(4)))
    return "".join(out).encode("utf-8")


@pytest.mark.parametrize("mode", ["gpt4", "o200k"])
def test_random_texts_match_the_regex(mode, unlike_regex):
    rng = random.Random(2000 + len(mode))
    # Each text alone, so the end of the text (without a newline) is covered.
    for _ in range(400):
        assert_same_pieces(mode, random_text(rng, rng.randrange(0, 40)), unlike_regex)
    # Many lines at once, some long enough for several cut batches.
    big = b"".join(random_text(rng, rng.choice([10, 50, 2000])) for _ in range(2000))
    assert_same_pieces(mode, big, unlike_regex)
    ascii_big = b"".join(random_text(rng, rng.choice([10, 50, 2000]), ASCII_POOLS, 0.002)
                         for _ in range(1000))
    assert_same_pieces(mode, ascii_big, unlike_regex)


@pytest.mark.parametrize("mode", ["gpt4", "o200k"])
@pytest.mark.parametrize("text", ["", " ", "\n", "\r", "x  ", "  \n  x", "'", "'s", "a\r\n",
                                  "\u3000\u3000x", " \u00a0x", "\u0301", " \u0301", "\u0301'S",
                                  "A\u0301", "AB\u0301CD", "ABc", "ǅA", " ǈx'LL", "!/\r/\n"])
def test_small_texts_match_the_regex(text, mode, unlike_regex):
    assert_same_pieces(mode, text.encode("utf-8"), unlike_regex)


@pytest.mark.parametrize("mode", ["gpt4", "o200k"])
def test_invalid_utf8_is_cut_without_loss(mode):
    rng = random.Random(5)
    pool = [b"a", b"A", b" ", b"\n", b"'", b"\x80", b"\xc3", b"\xc5", b"\xe3\x80", b"\xf0\x9f",
            b"\xff", b"1", b"!"]
    for _ in range(300):
        data = b"".join(rng.choice(pool) for _ in range(rng.randrange(1, 30)))
        got = split_hook.pieces(mode, data)
        assert b"".join(got) == data
        assert all(got)


def test_pattern_flags_are_unicode_16():
    got = split_hook.run("flags")
    assert len(got) == 0x110000
    wrong = []
    for cp in range(0x110000):
        letter, number, space, upper, lower = ours_flags(cp)
        breaks = cp in (0x0A, 0x0D)
        want = (letter * 1 | number * 2 | space * 4 | breaks * 8 | upper * 16 | lower * 32
                | (not (letter or number or breaks)) * 64 | (not (letter or number or space)) * 128)
        if got[cp] != want:
            wrong.append(f"U+{cp:04X}: {got[cp]:#x} not {want:#x}")
    assert not wrong, wrong[:20]
