"""The corpus readers on their own: what they hand the trainer for each
format (file blocks, lists of texts, Arrow arrays), and how they fail."""
import bz2
import gzip
import json
import lzma
import random
import sys

import pytest

import selkbar_readers
from conftest import FIXTURES_DIR
from selkbar_readers import CorpusError

pytestmark = pytest.mark.subset

CORPUS = b"".join((FIXTURES_DIR / name).read_bytes()
                  for name in ("en-prose.txt", "man-ja.txt", "l10n-ar.txt"))


def zstd_compress(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdCompressor().compress(data)


COMPRESSORS = {
    "gz": gzip.compress,
    "xz": lzma.compress,
    "bz2": bz2.compress,
    "zst": zstd_compress,
}


@pytest.fixture
def small_blocks(monkeypatch):
    """Blocks of a few hundred bytes, so every file spans many of them."""
    monkeypatch.setattr(selkbar_readers, "BLOCK_BYTES", 300)
    monkeypatch.setattr(selkbar_readers, "ZSTD_INPUT_BYTES", 50)


def blocks_of(path):
    return list(selkbar_readers.TextReader([str(path)], file_blocks=True))


def check_blocks(blocks, data, path):
    """Blocks put back together give the data, are placed by their offsets,
    and end just after a newline (the last one may end with the data)."""
    offset = 0
    for block, source, start in blocks:
        assert source == str(path)
        assert start == offset
        offset += len(block)
    assert b"".join(bytes(block) for block, _, _ in blocks) == data
    for block, _, _ in blocks[:-1]:
        assert bytes(block).endswith(b"\n")


# ---------------------------------------------------------------------------
# Text, plain and compressed


@pytest.mark.parametrize("suffix", ["", ".gz", ".xz", ".bz2", ".zst"])
@pytest.mark.parametrize("data", [CORPUS, CORPUS + b"no newline at the end", b"", b"\n\n",
                                  b"x" * 2000 + b"\nshort\n" + b"y" * 1000],
                         ids=["corpus", "unterminated", "empty", "newlines", "long-lines"])
def test_text_blocks_are_the_uncompressed_bytes_cut_after_newlines(tmp_path, small_blocks,
                                                                    suffix, data):
    path = tmp_path / f"corpus.txt{suffix}"
    path.write_bytes(COMPRESSORS[suffix[1:]](data) if suffix else data)
    blocks = blocks_of(path)
    check_blocks(blocks, data, path)
    if data == CORPUS:
        assert len(blocks) > 1


@pytest.mark.parametrize("suffix", [".gz", ".xz", ".bz2", ".zst"])
def test_concatenated_streams_are_read_whole(tmp_path, small_blocks, suffix):
    compress = COMPRESSORS[suffix[1:]]
    path = tmp_path / f"corpus.txt{suffix}"
    path.write_bytes(compress(CORPUS[:5000]) + compress(CORPUS[5000:]))
    check_blocks(blocks_of(path), CORPUS, path)


def test_line_blocks_keep_lines_whole_on_random_pieces():
    rng = random.Random(7)
    for _ in range(300):
        data = bytes(rng.choice(b"ab\n") for _ in range(rng.randrange(0, 200)))
        cuts = sorted(rng.sample(range(len(data) + 1), rng.randrange(0, min(6, len(data) + 2))))
        pieces = [data[a:b] for a, b in zip([0] + cuts, cuts + [len(data)])]
        block_bytes = rng.randrange(1, 40)
        blocks = [bytes(b) for b in selkbar_readers.line_blocks(iter(pieces), block_bytes)]
        assert b"".join(blocks) == data
        assert all(block for block in blocks)
        for block in blocks[:-1]:
            assert block.endswith(b"\n")


@pytest.mark.parametrize("suffix", ["", ".gz", ".zst"])
def test_text_for_python_callers_is_lists_of_lines(tmp_path, small_blocks, suffix):
    data = CORPUS + "vertical\x0btab, line\u2028separator,\r\nCRLF and no end".encode()
    path = tmp_path / f"corpus.txt{suffix}"
    path.write_bytes(COMPRESSORS[suffix[1:]](data) if suffix else data)
    lines = [line for batch in selkbar_readers.read_texts(path) for line in batch]
    assert "".join(lines) == data.decode()
    text = data.decode()
    assert lines == [line + "\n" for line in text.split("\n")[:-1]] + ["CRLF and no end"]


@pytest.mark.parametrize("suffix", ["", ".gz"])
def test_invalid_utf8_for_python_callers_names_file_and_offset(tmp_path, small_blocks, suffix):
    data = CORPUS[:1000] + b"caf\xe9\n" + CORPUS[1000:2000]
    path = tmp_path / f"corpus.txt{suffix}"
    path.write_bytes(gzip.compress(data) if suffix else data)
    with pytest.raises(ValueError) as error:
        list(selkbar_readers.read_texts(path))
    assert str(error.value) == (
        f"input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 1003 in {path}")


@pytest.mark.parametrize("suffix", [".gz", ".xz", ".bz2", ".zst"])
def test_wrong_or_truncated_compressed_data_names_the_file(tmp_path, suffix):
    compressed = COMPRESSORS[suffix[1:]](CORPUS)
    codec = selkbar_readers.CODECS[suffix]
    path = tmp_path / f"corpus.txt{suffix}"
    path.write_bytes(CORPUS)
    with pytest.raises(CorpusError, match=f"^{path}: not valid {codec} data "):
        blocks_of(path)
    path.write_bytes(compressed[:len(compressed) // 2])
    with pytest.raises(CorpusError, match=f"^{path}: truncated {codec} data"):
        blocks_of(path)


def test_missing_file_is_an_os_error_naming_it(tmp_path):
    for name in ("gone.txt.gz", "gone.jsonl", "gone.parquet"):
        with pytest.raises(FileNotFoundError, match=f"opening {tmp_path / name}: "):
            list(selkbar_readers.read_texts(tmp_path / name))


# ---------------------------------------------------------------------------
# JSON Lines


def write_jsonl(path, lines):
    data = "".join(line + "\n" for line in lines).encode("utf-8")
    if path.suffix == ".gz":
        data = gzip.compress(data)
    elif path.suffix == ".zst":
        data = zstd_compress(data)
    path.write_bytes(data)


def texts_of(reader):
    texts = []
    for batch in reader:
        assert isinstance(batch, list)
        texts += batch
    return texts


@pytest.mark.parametrize("name", ["r.jsonl", "r.jsonl.gz", "r.json.gz", "r.jsonl.zst"])
def test_jsonl_gives_the_text_fields_in_order(tmp_path, small_blocks, name):
    rng = random.Random(3)
    lines = CORPUS.decode().splitlines()
    records = [{"id": i, "text": "\n".join(rng.sample(lines, rng.randrange(1, 4)))}
               for i in range(3000)]
    path = tmp_path / name
    write_jsonl(path, [json.dumps(r, ensure_ascii=i % 2 == 0) for i, r in enumerate(records)]
                + ["", "   ", '{"text": "\\ud83d\\ude00 pair", "x": null}\r'])
    texts = texts_of(selkbar_readers.read_texts(path))
    assert texts == [r["text"] for r in records] + ["\U0001F600 pair"]


def test_jsonl_text_field_and_byte_order_mark(tmp_path):
    path = tmp_path / "r.jsonl"
    path.write_bytes('\ufeff{"body": "one", "text": 1}\n{"body": "two"}\n'.encode())
    assert texts_of(selkbar_readers.read_texts(path, text_field="body")) == ["one", "two"]


BAD_RECORDS = [
    ("not json", "not valid JSON (Expecting value at column 1)"),
    ('{"text": "a"', "not valid JSON ("),
    ('{"text": "a"} {"text": "b"}', "not valid JSON (Extra data at column 15)"),
    ('["text"]', "not a JSON object but an array"),
    ('"text"', "not a JSON object but a string"),
    ('{"body": "a"}', "the record has no field 'text'"),
    ('{"text": 12}', "field 'text' is a number, not a string"),
    ('{"text": null}', "field 'text' is null, not a string"),
    ('{"text": ["a"]}', "field 'text' is an array, not a string"),
    ('{"text": "lone \\udc00"}', "field 'text' holds an unpaired surrogate \\udc00"),
]


@pytest.mark.parametrize("line,message", BAD_RECORDS, ids=[m.split(" (")[0] for _, m in BAD_RECORDS])
def test_bad_record_names_file_and_line(tmp_path, line, message):
    path = tmp_path / "r.jsonl.gz"
    write_jsonl(path, ['{"text": "good"}', "", line, '{"text": "after"}'])
    with pytest.raises(CorpusError) as error:
        texts_of(selkbar_readers.read_texts(path))
    assert str(error.value).startswith(f"{path}, line 3: {message}")


def test_bad_utf8_line_is_a_bad_record(tmp_path, small_blocks):
    path = tmp_path / "r.jsonl"
    path.write_bytes(b'{"text": "good"}\n' * 40 + b'{"text": "caf\xe9"}\n{"text": "end"}\n')
    with pytest.raises(CorpusError, match=f"^{path}, line 41: not valid UTF-8$"):
        texts_of(selkbar_readers.read_texts(path))
    reader = selkbar_readers.read_texts(path, skip_bad_records=True)
    assert texts_of(reader) == ["good"] * 40 + ["end"]
    assert reader.counts.bad_records == 1


def test_skip_bad_records_skips_and_counts_every_kind(tmp_path):
    path = tmp_path / "r.jsonl"
    lines = []
    for index, (line, _) in enumerate(BAD_RECORDS):
        lines += [json.dumps({"text": f"good {index}"}), line]
    write_jsonl(path, lines)
    reader = selkbar_readers.read_texts(path, skip_bad_records=True)
    assert texts_of(reader) == [f"good {index}" for index in range(len(BAD_RECORDS))]
    assert reader.counts.bad_records == len(BAD_RECORDS)


# ---------------------------------------------------------------------------
# Parquet


@pytest.fixture
def pa():
    return pytest.importorskip("pyarrow")


def write_parquet(pa, path, columns, **options):
    import pyarrow.parquet as pq
    pq.write_table(pa.table(columns), str(path), **options)


def test_parquet_gives_string_arrays_and_counts_nulls(tmp_path, pa, monkeypatch):
    monkeypatch.setattr(selkbar_readers, "PARQUET_ROWS", 700)
    values = [None if i % 7 == 0 else f"text {i}" for i in range(3000)]
    path = tmp_path / "t.parquet"
    write_parquet(pa, path, {"id": list(range(3000)), "text": values,
                             "body": pa.array(values, pa.large_string()).dictionary_encode()},
                  row_group_size=1000)
    for field in ("text", "body"):
        reader = selkbar_readers.read_texts(path, text_field=field)
        arrays = list(reader)
        assert all(hasattr(array, "__arrow_c_array__") for array in arrays)
        assert all(pa.types.is_string(a.type) or pa.types.is_large_string(a.type)
                   for a in arrays)
        assert sum((array.to_pylist() for array in arrays), []) == values
        assert reader.counts.null_values == values.count(None)


def test_parquet_errors_name_the_file_and_column(tmp_path, pa):
    path = tmp_path / "t.parquet"
    write_parquet(pa, path, {"id": [1, 2], "name": ["a", "b"]})
    with pytest.raises(CorpusError, match=rf"^{path}: no column 'text' \(columns: id, name\)$"):
        list(selkbar_readers.read_texts(path))
    with pytest.raises(CorpusError, match=f"^{path}: column 'id' holds int64, not strings$"):
        list(selkbar_readers.read_texts(path, text_field="id"))
    path.write_bytes(b"PAR1 but not really")
    with pytest.raises(CorpusError, match=f"^{path}: not a Parquet file "):
        list(selkbar_readers.read_texts(path))


# ---------------------------------------------------------------------------
# Names and optional packages


def test_format_follows_the_name():
    detect = selkbar_readers.detect_format
    assert detect("a/b.txt") == ("text", None)
    assert detect("b.json") == ("text", None)
    assert detect("b") == ("text", None)
    assert detect("B.TXT.GZ") == ("compressed text", "gzip")
    assert detect("b.tar.zst") == ("compressed text", "zstd")
    assert detect("b.jsonl") == ("JSON Lines", None)
    assert detect("b.jsonl.xz") == ("JSON Lines", "xz")
    assert detect("b.json.bz2") == ("JSON Lines", "bzip2")
    assert detect("b.parquet") == ("Parquet", None)


def test_missing_optional_packages_are_named_with_the_install_command(monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "zstandard", None)
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    files = ["a.txt", "b.txt.gz", "c.jsonl.zst", "d.parquet", "e.txt.zst"]
    assert selkbar_readers.missing_dependencies(files) == [
        "reading .zst files needs the zstandard package, which is not installed: "
        'pip install "selkbar[zstd]"',
        "reading .parquet files needs the pyarrow package, which is not installed: "
        'pip install "selkbar[parquet]"',
    ]
    assert selkbar_readers.missing_dependencies(files[:2]) == []
    (tmp_path / "d.parquet").write_bytes(b"")
    with pytest.raises(ImportError, match=r'pip install "selkbar\[parquet\]"'):
        list(selkbar_readers.read_texts(tmp_path / "d.parquet"))
