"""The committed Unicode tables are what the generator makes from
unicodedata2 16.0.0, and the C++ classification agrees with that data on
every code point."""
import subprocess
import sys

import unicodedata2

import split_hook

GENERATOR = split_hook.REPO / "scripts" / "gen_unicode_tables.py"


def test_unicodedata2_carries_unicode_16():
    assert unicodedata2.unidata_version == "16.0.0"


def test_committed_tables_are_current():
    done = subprocess.run([sys.executable, str(GENERATOR), "--check"], capture_output=True,
                          text=True, check=False)
    assert done.returncode == 0, done.stderr


def test_every_code_point_is_classified_as_unicode_16_says():
    got = split_hook.run("classes")
    assert len(got) == 0x110000
    wrong = []
    for cp in range(0x110000):
        if cp in split_hook.WHITE_SPACE:
            want = "W"
        else:
            major = unicodedata2.category(chr(cp))[0]
            want = major if major in "LN" else "O"
        if got[cp] != ord(want):
            wrong.append(f"U+{cp:04X}: {chr(got[cp])} not {want}")
    assert not wrong, wrong[:20]
