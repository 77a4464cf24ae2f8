"""One rule for cutting files, written twice: the range reader of the engine
(counting/reader.h) and selkbar_dask.owned_bytes must assign every byte of a
file to the same range; and every cutter of text into blocks (the reader's
chunks, selkbar_dask.file_blocks, selkbar_readers.line_blocks) must cut only
just after a delimiter (line_blocks may also cut a line longer than a block
just before a space that follows a character other than whitespace).

The engine's side runs through the test-only program owned_ranges
(tools/owned_ranges.cpp), which scripts/test.sh builds into build/cpp-tests.

The rule: a range [start, end) owns the bytes from just after the first
delimiter at or after offset start - 1 (from 0 when start is 0) up to and
including the first delimiter at or after offset end - 1 (to the end of the
file if there is none). A block cutter hands out non-empty blocks that
concatenate to its input, each but the last ending with a delimiter.
Delimiters are the six ASCII white space bytes in whitespace mode and LF in
the byte-level family.
"""
import pathlib
import random
import subprocess

import pytest

import selkbar_dask
import selkbar_readers
from test_dask import random_text

REPO = pathlib.Path(__file__).resolve().parents[2]
OWNED_RANGES = REPO / "build" / "cpp-tests" / "owned_ranges"
DELIMITERS = {"whitespace": b"\t\n\v\f\r ", "bytelevel": b"\n"}


def engine_ranges(mode, chunk, path, ranges):
    """{(start, end): [(offset, length) of each chunk]} from the engine."""
    if not OWNED_RANGES.exists():
        pytest.skip(f"{OWNED_RANGES} is missing: build with -DSELKBAR_BUILD_TOOLS=ON "
                    "(bash scripts/test.sh does)")
    args = [str(OWNED_RANGES), mode, str(chunk), str(path)]
    for start, end in ranges:
        args += [str(start), str(end)]
    done = subprocess.run(args, capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    result, current = {}, None
    for line in done.stdout.splitlines():
        kind, *fields = line.split(" ")
        assert kind != "error", line
        if kind == "range":
            current = result.setdefault((int(fields[0]), int(fields[1])), [])
        else:
            current.append((int(fields[0]), int(fields[1])))
    return result


def dask_owned(data, start, end, mode):
    """(file offset, bytes) of what selkbar_dask assigns to the range."""
    def read_at(offset, length):
        return data[offset:] if length is None else data[offset:offset + length]

    offset, head, begin, tail = selkbar_dask.owned_bytes(
        read_at, start, end, selkbar_dask.delimiter_pattern(mode, None))
    return offset + begin, bytes(head[begin:]) + tail


def assert_cut_by_the_rule(data, blocks, delimiters, label):
    blocks = [bytes(block) for block in blocks]
    assert b"".join(blocks) == data, label
    assert all(blocks), label
    for block in blocks[:-1]:
        assert block[-1] in delimiters, label


def random_ranges(rng, size):
    """Ranges covering [0, size) with cuts anywhere, some of them empty."""
    cuts = sorted({0, size, *(rng.randrange(size + 1) for _ in range(rng.randrange(6)))})
    return list(zip(cuts, cuts[1:])) or [(0, 0)]


@pytest.mark.subset
@pytest.mark.parametrize("mode", ["whitespace", "bytelevel"])
def test_the_engine_and_dask_own_the_same_bytes(tmp_path, mode, monkeypatch):
    # Tiny tail reads exercise the loop that finds the end of a long line.
    monkeypatch.setattr(selkbar_dask, "_TAIL_READ_BYTES", 3)
    rng = random.Random(5)
    samples = [b"a", b"\n", b"ab", b"a\n", b"\n\n\n", b"abcdef", b"x" * 50 + b"\n" + b"y"]
    samples += [random_text(rng, rng.randrange(1, 600)) for _ in range(60)]
    path = tmp_path / "f"
    for n, data in enumerate(samples):
        path.write_bytes(data)
        ranges = random_ranges(rng, len(data))
        ranges += selkbar_dask.plan_ranges(len(data), rng.choice([1, 2, 7, 64]))
        ranges = sorted(set(ranges))
        chunk = rng.choice([1, 3, 16, 4096])
        engine = engine_ranges(mode, chunk, path, ranges)
        for start, end in ranges:
            label = f"sample {n} range [{start}, {end}) chunk {chunk}"
            offset, owned = dask_owned(data, start, end, mode)
            chunks = engine[(start, end)]
            engine_owned = b"".join(data[o:o + length] for o, length in chunks)
            assert engine_owned == owned, label
            if chunks:
                assert chunks[0][0] == offset, label
            for (o, length), (next_o, _) in zip(chunks, chunks[1:]):
                assert o + length == next_o, label  # contiguous
            assert_cut_by_the_rule(owned, [data[o:o + length] for o, length in chunks],
                                   DELIMITERS[mode], label)


@pytest.mark.subset
def test_every_block_cutter_cuts_after_a_line_feed():
    rng = random.Random(9)
    for n in range(200):
        data = random_text(rng, rng.randrange(0, 800))
        block_bytes = rng.choice([1, 5, 40, 1000])
        label = f"sample {n} block_bytes {block_bytes}"
        blocks = [block for block, _, _ in selkbar_dask.file_blocks("f", 0, data, 0, b"",
                                                                     block_bytes)]
        assert_cut_by_the_rule(data, blocks, b"\n", "file_blocks " + label)
        cuts = sorted(rng.randrange(len(data) + 1) for _ in range(rng.randrange(8)))
        pieces = [data[a:b] for a, b in zip([0, *cuts], [*cuts, len(data)])]
        blocks = list(selkbar_readers.line_blocks(iter(pieces), block_bytes, cut=None,
                                                  limit=None))
        assert_cut_by_the_rule(data, blocks, b"\n", "line_blocks " + label)
        # A line longer than a block may also be cut just before a space that
        # follows something other than whitespace.
        blocks = [bytes(b) for b in selkbar_readers.line_blocks(iter(pieces), block_bytes)]
        assert b"".join(blocks) == data, label
        for block, after in zip(blocks, blocks[1:]):
            assert block[-1:] == b"\n" or (after[:1] == b" " and block[-1:] not in
                                             (b" ", b"\t", b"\r", b"\x0b", b"\x0c")), label
