"""Access to the C++ splitters through the test-only program split_dump
(tools/split_dump.cpp), which scripts/test.sh builds into build/cpp-tests.

Protocol: `split_dump MODE` reads all of stdin and writes, per pretoken, its
byte offset and byte length as two little-endian u64; `split_dump classes`
writes one class letter (L, N, W, O) per code point U+0000..U+10FFFF.
"""
import array
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SPLIT_DUMP = REPO / "build" / "cpp-tests" / "split_dump"

# The White_Space property: the whitespace class of both splitters.
WHITE_SPACE = frozenset(
    [*range(0x09, 0x0E), 0x20, 0x85, 0xA0, 0x1680, *range(0x2000, 0x200B), 0x2028, 0x2029,
     0x202F, 0x205F, 0x3000])


def require_split_dump():
    if not SPLIT_DUMP.exists():
        pytest.skip(f"{SPLIT_DUMP} is missing: build with -DSELKBAR_BUILD_TOOLS=ON "
                    "(bash scripts/test.sh does)")


def run(mode, data=b""):
    """Runs split_dump and returns its raw standard output."""
    require_split_dump()
    done = subprocess.run([str(SPLIT_DUMP), mode], input=data, capture_output=True, check=False)
    assert done.returncode == 0, f"split_dump {mode} failed: {done.stderr.decode(errors='replace')}"
    return done.stdout


def spans(mode, data):
    """The (offset, length) of every pretoken the splitter `mode` cuts from data."""
    out = run(mode, data)
    assert len(out) % 16 == 0
    numbers = array.array("Q")
    numbers.frombytes(out)
    if sys.byteorder != "little":
        numbers.byteswap()
    return list(zip(numbers[0::2], numbers[1::2]))


def pieces(mode, data):
    return [data[offset:offset + length] for offset, length in spans(mode, data)]
