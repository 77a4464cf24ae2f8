"""selkbar-train and the Python readers end to end: compressed text trains as
the unpacked file, JSON Lines and Parquet as their texts through the iterator
API, and every way a stored corpus can be wrong."""
import bz2
import gzip
import json
import lzma
import subprocess
import sys

import pytest

import selkbar
import selkbar_readers
from conftest import fixture_files
from test_cli import as_result, load, run_cli

pytestmark = pytest.mark.subset

FIXTURE_TEXT = b"".join(open(path, "rb").read() for path in fixture_files())


def zstd_compress(data):
    zstandard = pytest.importorskip("zstandard")
    return zstandard.ZstdCompressor().compress(data)


COMPRESSORS = {"gz": gzip.compress, "xz": lzma.compress, "bz2": bz2.compress, "zst": zstd_compress}


def write(path, data):
    """Writes data to path, compressed as its suffix says."""
    compress = COMPRESSORS.get(path.suffix[1:])
    path.write_bytes(compress(data) if compress else data)
    return path


def fixture_records():
    """Texts of one to four fixture lines each, some with a line break inside."""
    lines = FIXTURE_TEXT.decode("utf-8").split("\n")
    return ["\n".join(lines[i:i + 1 + i % 4]) for i in range(0, len(lines), 5)]


def write_jsonl(path, records, field="text"):
    body = "".join(json.dumps({"id": n, field: text}, ensure_ascii=n % 2 == 0) + "\n"
                   for n, text in enumerate(records))
    return write(path, body.encode("utf-8"))


def write_parquet(path, values, field="text"):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq
    pq.write_table(pa.table({"id": list(range(len(values))), field: values}), str(path),
                   row_group_size=500)
    return path


def train_cli(tmp_path, *inputs, options=()):
    output = tmp_path / "tok.json"
    if output.exists():
        output.unlink()
    result = run_cli(*inputs, "-o", output, "--vocab-size", 500, "--threads", 2, *options)
    assert result.returncode == 0, result.stderr
    return output.read_bytes(), result.stdout


def refused(tmp_path, *inputs, status=1, options=()):
    """Runs a command that must fail; returns its error message."""
    output = tmp_path / "tok.json"
    result = run_cli(*inputs, "-o", output, "--vocab-size", 500, *options)
    assert result.returncode == status, (result.stdout, result.stderr)
    assert not output.exists()
    assert result.stdout == ""
    return result.stderr


# ---------------------------------------------------------------------------
# Equal results


@pytest.mark.parametrize("mode", ["whitespace", "bytelevel"])
def test_compressed_text_trains_exactly_like_the_unpacked_file(tmp_path, mode):
    options = ["--pretokenizer", mode]
    plain, _ = train_cli(tmp_path, write(tmp_path / "corpus.txt", FIXTURE_TEXT), options=options)
    for suffix in ("gz", "zst", "xz", "bz2"):
        path = write(tmp_path / f"corpus.txt.{suffix}", FIXTURE_TEXT)
        assert train_cli(tmp_path, path, options=options)[0] == plain, suffix


@pytest.mark.parametrize("mode", ["whitespace", "bytelevel"])
def test_text_blocks_of_any_size_count_as_the_file(tmp_path, monkeypatch, mode):
    # Many small blocks, some of them cut inside a multi-byte character's line.
    monkeypatch.setattr(selkbar_readers, "BLOCK_BYTES", 3000)
    path = write(tmp_path / "corpus.txt.gz", FIXTURE_TEXT + b"last line without newline")
    plain = write(tmp_path / "corpus.txt", FIXTURE_TEXT + b"last line without newline")
    blocks = selkbar_readers.TextReader([str(path)], file_blocks=True)
    counts = selkbar._count_words_from_items(blocks, pretokenizer=mode, threads=2)
    assert counts == selkbar.count_words([str(plain)], pretokenizer=mode)


@pytest.mark.parametrize("mode", ["whitespace", "bytelevel"])
def test_records_train_as_their_texts_through_the_iterator_api(tmp_path, mode):
    records = fixture_records()
    expected = selkbar.train_bpe_from_iterator(iter(records), 500, pretokenizer=mode)
    options = ["--pretokenizer", mode]
    for name in ("records.jsonl", "records.jsonl.zst", "records.json.gz"):
        document, _ = train_cli(tmp_path, write_jsonl(tmp_path / name, records), options=options)
        assert as_result(json.loads(document)) == expected, name
    with_nulls = []
    for number, record in enumerate(records):
        with_nulls += [None, record] if number % 9 == 0 else [record]
    document, summary = train_cli(tmp_path, write_parquet(tmp_path / "records.parquet", with_nulls),
                                  options=options)
    assert as_result(json.loads(document)) == expected
    assert f"; {with_nulls.count(None)} null values skipped" in summary


def test_read_texts_feeds_the_iterator_api(tmp_path):
    records = fixture_records()
    paths = [write(tmp_path / "a.txt.gz", FIXTURE_TEXT), write_jsonl(tmp_path / "b.jsonl", records),
             write_parquet(tmp_path / "c.parquet", records)]
    for mode in ("whitespace", "bytelevel"):
        result = selkbar.train_bpe_from_iterator(selkbar_readers.read_texts(paths), 500,
                                                 pretokenizer=mode)
        counts = selkbar.count_words([str(write(tmp_path / "a.txt", FIXTURE_TEXT))],
                                     pretokenizer=mode)
        counts += selkbar.count_words_from_iterator(records + records, pretokenizer=mode)
        assert result == selkbar.train_bpe_from_counts(counts, 500), mode


def test_a_directory_mixing_formats_reads_every_visible_file(tmp_path):
    records = fixture_records()
    half = len(FIXTURE_TEXT) // 2
    half = FIXTURE_TEXT.index(b"\n", half) + 1
    root = tmp_path / "corpus"
    (root / "sub" / ".cache").mkdir(parents=True)
    write(root / "a.txt", FIXTURE_TEXT[:half])
    write(root / "b.txt.zst", FIXTURE_TEXT[half:])
    write_jsonl(root / "sub" / "c.jsonl.gz", records[:100])
    write_parquet(root / "sub" / "d.parquet", records[100:])
    # Hidden files are skipped, whatever they hold.
    (root / ".e.jsonl").write_bytes(b"not json\n")
    (root / "sub" / ".cache" / "f.txt.gz").write_bytes(b"not gzip")
    saved = tmp_path / "corpus.counts"
    document, summary = train_cli(tmp_path, root, options=["--save-counts", saved])
    counts = selkbar.count_words_from_iterator([FIXTURE_TEXT.decode("utf-8")] + records)
    assert as_result(json.loads(document)) == selkbar.train_bpe_from_counts(counts, 500)
    assert selkbar.WordCounts.load(str(saved)) == counts
    assert summary.startswith("trained ") and " from 4 files (" in summary


def test_progress_can_be_switched_on_and_off(tmp_path):
    path = write_jsonl(tmp_path / "records.jsonl", fixture_records())
    shown, _ = train_cli(tmp_path, path, options=["--progress"])
    hidden, _ = train_cli(tmp_path, path, options=["--no-progress"])
    assert shown == hidden


# ---------------------------------------------------------------------------
# Errors


def test_bad_record_fails_with_file_and_line_unless_skipped(tmp_path):
    lines = [json.dumps({"text": "good words here"}), "", "{not json",
             json.dumps({"body": "no text field"}), json.dumps({"text": 7})]
    path = write(tmp_path / "records.jsonl.gz", ("\n".join(lines) + "\n").encode())
    message = refused(tmp_path, path)
    assert message.startswith(f"selkbar-train: error: {path}, line 3: not valid JSON (")
    _, summary = train_cli(tmp_path, path, options=["--skip-bad-records"])
    assert "; 3 bad records skipped" in summary
    clean = write_jsonl(tmp_path / "clean.jsonl", ["a b"])
    assert "; 0 bad records skipped" in train_cli(tmp_path, clean, options=["--skip-bad-records"])[1]


def test_text_field_names_the_field_and_the_column(tmp_path):
    records = fixture_records()[:50]
    jsonl = write_jsonl(tmp_path / "r.jsonl", records, field="content")
    parquet = write_parquet(tmp_path / "r.parquet", records, field="content")
    assert refused(tmp_path, jsonl) == \
        f"selkbar-train: error: {jsonl}, line 1: the record has no field 'text'\n"
    assert refused(tmp_path, parquet) == \
        f"selkbar-train: error: {parquet}: no column 'text' (columns: id, content)\n"
    assert train_cli(tmp_path, jsonl, options=["--text-field", "content"])[0] == \
        train_cli(tmp_path, parquet, options=["--text-field", "content"])[0]


@pytest.mark.parametrize("name,content,message", [
    ("c.txt.gz", b"plain text, not gzip\n", "not valid gzip data (Not a gzipped file"),
    ("c.txt.zst", zstd_compress(FIXTURE_TEXT)[:5000], "truncated zstd data: the file ends in "
                                                      "the middle of a compressed stream"),
    ("c.jsonl.xz", b"\xfd7zXZ\x00 broken", "not valid xz data ("),
    ("c.parquet", b"PAR1 nothing else", "not a Parquet file ("),
], ids=["not-gzip", "truncated-zstd", "broken-xz", "not-parquet"])
def test_wrong_content_behind_a_known_suffix(tmp_path, name, content, message):
    if name.endswith(".parquet"):
        pytest.importorskip("pyarrow")
    path = tmp_path / name
    path.write_bytes(content)
    good = write(tmp_path / "good.txt", b"some text before the bad file\n")
    assert refused(tmp_path, good, path).startswith(f"selkbar-train: error: {path}: {message}")


def test_text_that_is_not_utf8_is_reported_as_in_the_unpacked_file(tmp_path):
    cut = FIXTURE_TEXT.index(b"\n", 10000) + 1
    data = FIXTURE_TEXT[:cut] + b"caf\xe9 au lait\n" + FIXTURE_TEXT[cut:]
    plain = write(tmp_path / "c.txt", data)
    packed = write(tmp_path / "c.txt.zst", data)
    expected = (f"selkbar-train: error: input is not valid UTF-8: invalid utf-8 sequence of 1 "
                f"bytes from index {cut + 3} in ")
    assert refused(tmp_path, plain) == f"{expected}{plain}\n"
    assert refused(tmp_path, packed) == f"{expected}{packed}\n"


def test_missing_input_among_readers_names_it(tmp_path):
    missing = tmp_path / "gone.jsonl.gz"
    good = write_jsonl(tmp_path / "r.jsonl", ["a b c"])
    assert refused(tmp_path, good, missing) == \
        f"selkbar-train: error: opening {missing}: No such file or directory\n"


def run_without(module, *args):
    """The command line with an optional package made unimportable."""
    code = (f"import sys; sys.modules[{module!r}] = None; import selkbar_cli; "
            "sys.exit(selkbar_cli.main(sys.argv[1:]))")
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], capture_output=True,
                          text=True, timeout=300)


@pytest.mark.parametrize("module,name,extra", [("pyarrow", "r.parquet", "parquet"),
                                               ("zstandard", "r.txt.zst", "zstd")])
def test_missing_optional_package_says_what_to_install(tmp_path, module, name, extra):
    path = tmp_path / name
    path.write_bytes(b"never read")
    output = tmp_path / "tok.json"
    result = run_without(module, path, "-o", output, "--vocab-size", 100)
    assert result.returncode == 2
    assert result.stderr == (
        f"selkbar-train: error: reading .{name.split('.')[-1]} files needs the {module} package, "
        f'which is not installed: pip install "selkbar[{extra}]"\n')
    assert not output.exists()
    # Plain inputs do not need it.
    plain = write(tmp_path / "plain.txt", b"a b c\n")
    assert run_without(module, plain, "-o", output, "--vocab-size", 100).returncode == 0


def test_reader_options_do_not_go_with_saved_counts(tmp_path):
    counts = tmp_path / "c.counts"
    selkbar.count_words_from_iterator(["a b"]).save(str(counts))
    for option in (["--text-field", "body"], ["--skip-bad-records"]):
        message = refused(tmp_path, status=2, options=["--counts", counts, *option])
        assert f"{option[0]} cannot be used with --counts" in message
