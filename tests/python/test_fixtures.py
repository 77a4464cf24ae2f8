"""The text fixtures in tests/data: what scripts/make_fixtures.py writes, and
what the corpus tests rely on them to contain."""
import os
import re
import sys

import pytest

from conftest import EXTENDED_VARIABLE, FIXTURES_DIR, REPO, extended_corpora

sys.path.insert(0, str(REPO / "scripts"))
import make_fixtures  # noqa: E402

# Unicode White_Space beyond ASCII, spelled out rather than taken from the script.
NON_ASCII_WHITE_SPACE = "\x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + \
    "\u2028\u2029\u202f\u205f\u3000"


@pytest.fixture(scope="module")
def fixtures():
    return {p.name: p.read_bytes() for p in sorted(FIXTURES_DIR.glob("*.txt"))}


def test_generated_files_are_the_script_output(fixtures):
    for name, data in make_fixtures.build().items():
        assert fixtures.get(name) == data, f"{name}: run python scripts/make_fixtures.py"


def test_excerpts_are_the_script_output(fixtures):
    # The excerpts can only be remade from the corpora they come from.
    extended, reason = extended_corpora()
    if extended is None:
        pytest.skip(reason)
    folder = os.environ[EXTENDED_VARIABLE]
    missing = [n for n in make_fixtures.EXCERPTS if not os.path.exists(os.path.join(folder, n))]
    if missing:
        pytest.skip(f"{EXTENDED_VARIABLE}={folder}: no {', '.join(missing)}")
    built = make_fixtures.build(folder)
    for name in make_fixtures.EXCERPTS:
        assert fixtures[name] == built[name], name


def test_every_file_is_listed_in_the_readme_and_all_stay_small(fixtures):
    readme = (FIXTURES_DIR / "README.md").read_text(encoding="utf-8")
    assert set(fixtures) == set(make_fixtures.GENERATED) | set(make_fixtures.EXCERPTS)
    for name in fixtures:
        assert f"`{name}`" in readme, name
    assert sum(len(d) for d in fixtures.values()) <= 2_000_000


def test_scripts_numbers_and_contractions_are_covered(fixtures):
    text = "".join(d.decode("utf-8") for d in fixtures.values())
    scripts = {
        "Latin with diacritics": "[À-ɏ]", "Greek": "[Ͱ-Ͽ]", "Cyrillic": "[Ѐ-ӿ]",
        "Arabic": "[؀-ۿ]", "Devanagari": "[ऀ-ॿ]", "Hangul": "[가-힯]",
        "Han": "[一-鿿]", "Kana": "[぀-ヿ]", "combining marks": "[\u0300-\u036f]",
        "astral characters": "[\U00010000-\U0010ffff]",
    }
    for script, pattern in scripts.items():
        assert len(re.findall(pattern, text)) >= 20, script
    # Chinese and Japanese as written, without spaces between words.
    assert re.search("[一-鿿぀-ヿ]{30}", text)
    assert re.search(r"\d{4}-\d\d-\d\d", text) and re.search(r"\d{1,3}(,\d{3})+", text)
    for contraction in make_fixtures.CONTRACTIONS:
        for spelled in (contraction, contraction.upper()):
            assert re.search(rf"[A-Za-z]{re.escape(spelled)}\b", text), spelled


def test_whitespace_and_line_ends_are_covered(fixtures):
    data = b"".join(fixtures.values())
    text = data.decode("utf-8")
    for char in NON_ASCII_WHITE_SPACE + "\t\x0b\x0c":
        assert text.count(char) >= 20, hex(ord(char))
    assert data.count(b"\r\n") >= 100
    assert len(re.findall(rb"\r(?!\n)", data)) >= 100      # lone CR
    # Each White_Space character between two words, in both modes' sense.
    for char in NON_ASCII_WHITE_SPACE:
        assert re.search(f"\\w{char}\\w", text), hex(ord(char))


def test_long_lines_and_a_missing_final_newline(fixtures):
    # Longer than the readers' batches and the smallest ranges of the tests.
    long_lines = [line for d in fixtures.values() for line in d.split(b"\n") if len(line) > 65_536]
    assert len(long_lines) >= 3
    words = [w for d in fixtures.values() for w in d.split()]
    assert max(map(len, words)) >= 65_536      # one word across several reader batches
    assert any(not d.endswith(b"\n") for d in fixtures.values())


def test_excerpts_are_whole_utf8_lines(fixtures):
    for name in make_fixtures.EXCERPTS:
        data = fixtures[name]
        data.decode("utf-8")
        assert data.endswith(b"\n"), name
