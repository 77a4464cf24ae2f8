"""Word counts as Arrow tables and Parquet files: exact round trips, tables
made by other tools read as from_items reads pairs, and every bad row named."""
import collections
import decimal
import os
import random

import pytest

import selkbar
from conftest import fixture_files
from selkbar import WordCounts

pytestmark = pytest.mark.subset

pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")

MAX = 2**64 - 1
GPT2_PATTERN = r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""


def every_utf8_byte_text():
    """Text whose UTF-8 holds every byte UTF-8 text can hold: every ASCII
    character, and characters leading with each lead byte and taking each
    continuation byte."""
    chars = [chr(c) for c in range(0x80)]
    for lead in range(0xC2, 0xE0):
        chars += [bytes([lead, cont]).decode() for cont in range(0x80, 0xC0)]
    chars += [bytes([0xE1, 0x80, cont]).decode() for cont in range(0x80, 0xC0)]
    chars += [bytes([lead, {0xE0: 0xA0, 0xED: 0x9F}.get(lead, 0x80), 0x80]).decode()
              for lead in range(0xE0, 0xF0)]
    chars += [bytes([lead, 0x90, 0x80, 0x80]).decode() for lead in (0xF0, 0xF1, 0xF2, 0xF3)]
    chars.append("\U00100000")  # lead byte 0xF4
    return "".join(chars)


def counts_of(mode, pattern=None):
    texts = [open(path, encoding="utf-8").read() for path in fixture_files()[:3]]
    return selkbar.count_words_from_iterator(texts + [every_utf8_byte_text()],
                                             pretokenizer=mode, pattern=pattern)


COUNTS = {
    "whitespace": lambda: counts_of("whitespace"),
    "bytelevel": lambda: counts_of("bytelevel"),
    "gpt4": lambda: counts_of("gpt4"),
    "near the limit": lambda: WordCounts.from_items(
        [("a", MAX), ("b", MAX - 1), ("c", 2**63), ("d", 2**63 - 1), ("e", 1)],
        pretokenizer="whitespace"),
    "empty": lambda: WordCounts.from_items([], pretokenizer="bytelevel"),
}


@pytest.mark.parametrize("name", COUNTS)
def test_round_trips_are_exact(name, tmp_path):
    counts = COUNTS[name]()
    table = counts.to_arrow()
    assert table.schema.field("word").type == pa.large_string()
    assert table.schema.field("count").type == pa.uint64()
    assert table.schema.metadata[b"pretokenizer"] == counts.pretokenizer.encode()
    assert dict(zip(table["word"].to_pylist(), table["count"].to_pylist())) == dict(counts.items())
    no_rows = pa.RecordBatch.from_pylist([], schema=table.schema)
    for copy in (WordCounts.from_arrow(table),
                 WordCounts.from_arrow([no_rows] + table.to_batches()),
                 WordCounts.from_arrow(pa.table(counts)), WordCounts.from_arrow(counts)):
        assert copy == counts and copy.pretokenizer == counts.pretokenizer
        assert copy.total == counts.total
    counts.to_parquet(tmp_path / "counts.parquet")
    assert WordCounts.from_parquet(tmp_path / "counts.parquet") == counts
    assert os.listdir(tmp_path) == ["counts.parquet"]


def test_every_byte_level_character_survives():
    counts = counts_of("bytelevel")
    seen = set("".join(counts))
    assert set(selkbar.BYTE_LEVEL_ALPHABET) - seen == {
        selkbar.BYTE_LEVEL_ALPHABET[b] for b in [0xC0, 0xC1, *range(0xF5, 0x100)]}
    assert WordCounts.from_arrow(counts.to_arrow()) == counts


@pytest.mark.pcre2
def test_a_custom_pattern_travels_in_the_metadata(tmp_path):
    counts = counts_of("bytelevel", pattern=GPT2_PATTERN)
    assert counts.to_arrow().schema.metadata[b"pattern"] == GPT2_PATTERN.encode()
    counts.to_parquet(tmp_path / "counts.parquet")
    copy = WordCounts.from_parquet(tmp_path / "counts.parquet")
    assert copy == counts
    # Equal counts of another pretokenizer would not compare equal.
    assert copy != WordCounts.from_arrow(counts.to_arrow(), pretokenizer="bytelevel")


@pytest.mark.parametrize("mode", ["whitespace", "bytelevel"])
def test_counts_read_back_train_exactly_as_the_original(mode, tmp_path):
    counts = counts_of(mode)
    counts.to_parquet(tmp_path / "counts.parquet")
    copies = [WordCounts.from_arrow(counts.to_arrow().to_batches(max_chunksize=77)),
              WordCounts.from_parquet(tmp_path / "counts.parquet")]
    expected = selkbar.train_bpe_from_counts(counts, 600, min_frequency=2)
    for copy in copies:
        assert selkbar.train_bpe_from_counts(copy, 600, min_frequency=2) == expected


COUNT_TYPES = [(pa.int64(), 2**63 - 1), (pa.uint64(), MAX), (pa.int32(), 2**31 - 1),
               (pa.uint16(), 2**16 - 1), (pa.int8(), 127), (pa.decimal128(20, 0), MAX)]


def random_batch(rng, words):
    """A record batch of `words` with random counts, in Arrow types, offsets
    and extra columns as other tools produce them; returns it and its rows."""
    count_type, largest = rng.choice(COUNT_TYPES)
    counts = [rng.choice([1, 2, 3, largest]) for _ in words]
    values = [decimal.Decimal(c) for c in counts] if count_type == pa.decimal128(20, 0) \
        else counts
    word_type = rng.choice([pa.string(), pa.large_string(), pa.string_view(), None])
    # A leading row, sliced off, checks that the arrays' offsets are honoured.
    word_array = pa.array(["pad"] + words, word_type or pa.string())
    if word_type is None:
        word_array = word_array.dictionary_encode()
    batch = pa.RecordBatch.from_arrays(
        [pa.array(range(len(words) + 1)), word_array, pa.array([1] + values, count_type)],
        names=["id", "token", "n"])
    return batch.slice(1), list(zip(words, counts))


def test_tables_of_other_tools_add_up_like_a_counter():
    rng = random.Random(35)
    vocabulary = ["the", "a", "caf\u00e9", "\u65e5\u672c", "x" * 40, "\U0001f600", "##"]
    for trial in range(60):
        batches, rows = [], []
        for _ in range(rng.randint(0, 5)):
            words = [rng.choice(vocabulary) + rng.choice(["", "s", str(rng.randint(0, 9))])
                     for _ in range(rng.randint(0, 40))]
            batch, batch_rows = random_batch(rng, words)
            batches.append(batch)
            rows += batch_rows
        expected = collections.Counter()
        for word, count in rows:
            expected[word] += count
        if max(expected.values(), default=0) > MAX:
            continue
        counts = WordCounts.from_arrow(batches, pretokenizer="whitespace",
                                       word_column="token", count_column="n")
        assert dict(counts.items()) == dict(expected), trial
        assert counts == WordCounts.from_items(rows, pretokenizer="whitespace")


class StreamOnly:
    """Offers a table only through __arrow_c_stream__, as polars and DuckDB do."""

    def __init__(self, table):
        self.table = table

    def __arrow_c_stream__(self, requested_schema=None):
        return self.table.__arrow_c_stream__(requested_schema)


def test_any_stream_is_read_and_the_metadata_names_the_pretokenizer():
    counts = counts_of("bytelevel")
    assert WordCounts.from_arrow(StreamOnly(counts.to_arrow())) == counts
    plain = pa.table({"word": ["a", "b"], "count": [1, 2]})
    assert WordCounts.from_arrow(StreamOnly(plain), pretokenizer="gpt4").pretokenizer == "gpt4"
    # An explicit pretokenizer wins over the metadata.
    whitespace = WordCounts.from_arrow(counts.to_arrow(), pretokenizer="whitespace")
    assert whitespace.pretokenizer == "whitespace" and len(whitespace) == len(counts)
    # An empty table still names its pretokenizer.
    empty = WordCounts.from_items([], pretokenizer="gpt4").to_arrow()
    assert WordCounts.from_arrow(empty).pretokenizer == "gpt4"
    assert len(WordCounts.from_arrow([], pretokenizer="o200k")) == 0


def test_a_table_outlives_changes_to_its_counts():
    counts = WordCounts.from_items([("a", 1), ("b", 2)], pretokenizer="whitespace")
    table = counts.to_arrow()
    stream = counts.__arrow_c_stream__()
    counts += WordCounts.from_items([("a", 5), ("c", 1)], pretokenizer="whitespace")
    del counts
    assert table.to_pydict() == {"word": ["a", "b"], "count": [1, 2]}
    assert pa.RecordBatchReader._import_from_c_capsule(stream).read_all().equals(table)


TWO_BATCHES = [pa.record_batch({"word": ["a", "b"], "count": [1, 1]})]

BAD_TABLES = [
    (pa.table({"word": ["a", None], "count": [1, 2]}), "whitespace", ValueError,
     "row 1: the word is null"),
    (pa.table({"word": ["a", "b"], "count": [1, None]}), "whitespace", ValueError,
     "row 1: the count of word 'b' is null"),
    (pa.table({"word": ["a", "b"], "count": [1, -2]}), "whitespace", ValueError,
     "row 1: count -2 of word 'b' is out of range (1 to 18446744073709551615)"),
    (pa.table({"word": ["a"], "count": pa.array([0], pa.uint64())}), "whitespace", ValueError,
     "row 0: count 0 of word 'a' is out of range"),
    (pa.table({"word": ["a"], "count": pa.array([decimal.Decimal(2**64)], pa.decimal128(20, 0))}),
     "whitespace", ValueError, "row 0: count 18446744073709551616 of word 'a' is out of range"),
    (pa.table({"word": ["a", "b c"], "count": [1, 1]}), "whitespace", ValueError,
     "row 1: word 'b c' contains white space (U+0020)"),
    (pa.table({"word": ["\u0120the", " the"], "count": [1, 1]}), "bytelevel", ValueError,
     "row 1: word ' the' is not in the byte-level alphabet"),
    (pa.table({"word": ["a", ""], "count": [1, 1]}), "whitespace", ValueError,
     "row 1: word '' is empty"),
    # Rows are numbered across batches.
    (TWO_BATCHES + [pa.record_batch({"word": ["c", "d\te"], "count": [1, 1]})], "whitespace",
     ValueError, "row 3: word 'd\\x09e' contains white space"),
    (pa.table({"word": ["a", "a"], "count": pa.array([MAX, 1], pa.uint64())}), "whitespace",
     OverflowError, "row 1: the count of word 'a' would pass 2**64 - 1"),
    (pa.table({"word": ["a"], "count": [1.5]}), "whitespace", TypeError,
     "column 'count': Arrow format 'g' is not an integer"),
    (pa.table({"word": [1], "count": [1]}), "whitespace", TypeError,
     "column 'word': Arrow format 'l' is not a string array"),
    (pa.table({"text": ["a"], "count": [1]}), "whitespace", ValueError,
     "no column 'word' (the columns are 'text', 'count')"),
    (pa.table({"word": ["a"], "count": [1]}), None, ValueError,
     "the table's schema names no pretokenizer"),
    ([], None, ValueError, "no record batch to take the pretokenizer from"),
    ([pa.array(["a"])], "whitespace", TypeError, "expected a table or record batch"),
    ([["a", 1]], "whitespace", TypeError, "item 0 is of type 'list'; expected an Arrow record"),
    (42, "whitespace", TypeError, "argument 'data': expected a pyarrow Table"),
    (pa.table({"word": ["a"], "count": [1]}), "Whitespace", ValueError,
     "unknown pretokenizer"),
]


@pytest.mark.parametrize("data, pretokenizer, error, message", BAD_TABLES)
def test_bad_tables_name_the_row(data, pretokenizer, error, message):
    with pytest.raises(error) as raised:
        WordCounts.from_arrow(data, pretokenizer=pretokenizer)
    assert message in str(raised.value)


def test_parquet_files_are_read_a_row_group_at_a_time(tmp_path, monkeypatch):
    import selkbar_arrow
    monkeypatch.setattr(selkbar_arrow, "ROW_GROUP_ROWS", 100)
    counts = counts_of("whitespace")
    path = tmp_path / "counts.parquet"
    counts.to_parquet(path)
    groups = pq.ParquetFile(path).num_row_groups
    assert groups == -(-len(counts) // 100) and groups > 2
    read = []
    original = pq.ParquetFile.read_row_group
    monkeypatch.setattr(pq.ParquetFile, "read_row_group",
                        lambda self, i, **kw: read.append(i) or original(self, i, **kw))
    assert WordCounts.from_parquet(path) == counts
    assert read == list(range(groups))
    # Other columns and names, as a Spark job writes them.
    table = counts.to_arrow()
    pq.write_table(pa.table({"n": table["count"].cast(pa.int64()), "w": table["word"],
                             "x": pa.nulls(len(table))}), tmp_path / "spark.parquet")
    assert WordCounts.from_parquet(tmp_path / "spark.parquet", pretokenizer="whitespace",
                                   word_column="w", count_column="n") == counts


def test_parquet_files_are_replaced_whole_or_not_at_all(tmp_path):
    counts = WordCounts.from_items([("a", 1)], pretokenizer="whitespace")
    old_umask = os.umask(0o027)
    try:
        counts.to_parquet(tmp_path / "made.parquet")
    finally:
        os.umask(old_umask)
    # Made as any new file is, not private as a temporary file would be.
    assert os.stat(tmp_path / "made.parquet").st_mode & 0o777 == 0o640
    os.unlink(tmp_path / "made.parquet")
    with pytest.raises(FileNotFoundError):
        counts.to_parquet(tmp_path / "missing" / "counts.parquet")
    (tmp_path / "counts.parquet").write_bytes(b"keep")
    with pytest.raises(TypeError):
        selkbar_arrow_write(tmp_path / "counts.parquet")
    assert (tmp_path / "counts.parquet").read_bytes() == b"keep"
    assert os.listdir(tmp_path) == ["counts.parquet"]
    with pytest.raises(ValueError, match="no column 'word'"):
        pq.write_table(pa.table({"w": ["a"]}), tmp_path / "other.parquet")
        WordCounts.from_parquet(tmp_path / "other.parquet", pretokenizer="whitespace")
    with pytest.raises(FileNotFoundError):
        WordCounts.from_parquet(tmp_path / "absent.parquet")


def selkbar_arrow_write(path):
    import selkbar_arrow
    selkbar_arrow.write_parquet({"a": 1}, path)
