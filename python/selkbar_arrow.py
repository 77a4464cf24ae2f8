"""Parquet files of word counts: WordCounts.to_parquet and WordCounts.from_parquet.

The table is the one WordCounts.to_arrow() gives: columns word (large_string)
and count (uint64), the pretokenizer in the schema's metadata, which Parquet
keeps. Reading goes a row group at a time through WordCounts.from_arrow, so
memory holds one row group's columns besides the counts being built; writing
streams the counts' batches, which point into the counts themselves, into
row groups of ROW_GROUP_ROWS words.
"""

import os
import uuid

import selkbar

__all__ = ["write_parquet", "read_parquet"]

# Row groups of a million words: a few megabytes each, read one at a time.
ROW_GROUP_ROWS = 2**20


def _parquet():
    try:
        import pyarrow
        import pyarrow.parquet
    except ImportError:
        raise ImportError("WordCounts Parquet files need pyarrow: "
                          "pip install \"selkbar[parquet]\"") from None
    return pyarrow, pyarrow.parquet


def write_parquet(counts, path):
    """Write `counts` to the Parquet file `path`, replaced atomically: the
    file appears whole or not at all."""
    if not isinstance(counts, selkbar.WordCounts):
        raise TypeError(f"expected a WordCounts, got {type(counts).__name__}")
    path = os.fspath(path)
    if not isinstance(path, str):
        raise TypeError("argument 'path': expected a str or os.PathLike, got bytes")
    pa, pq = _parquet()
    reader = pa.RecordBatchReader._import_from_c_capsule(counts.__arrow_c_stream__())
    # The file is written beside its destination and renamed over it; the
    # writer creates it as any new file is made (the umask applies, unlike
    # the private files of tempfile.mkstemp).
    directory, name = os.path.split(os.path.abspath(path))
    scratch = os.path.join(directory, f".{name}.{uuid.uuid4().hex[:12]}.tmp")
    try:
        with pq.ParquetWriter(scratch, reader.schema) as writer:
            for batch in reader:
                writer.write_batch(batch, row_group_size=ROW_GROUP_ROWS)
        os.replace(scratch, path)
    except BaseException:
        try:
            os.unlink(scratch)
        except OSError:
            pass
        raise


def read_parquet(path, *, pretokenizer=None, word_column="word", count_column="count"):
    """Counts from the Parquet file `path`, read a row group at a time; see
    WordCounts.from_arrow for the columns and the pretokenizer."""
    path = os.fspath(path)
    pa, pq = _parquet()
    with pq.ParquetFile(path) as source:
        schema = source.schema_arrow
        for name in (word_column, count_column):
            if schema.get_field_index(name) < 0:
                raise ValueError(f"{path}: no column '{name}' (the columns are "
                                 f"{', '.join(repr(n) for n in schema.names) or 'none'})")
        columns = [word_column, count_column]
        selected = pa.schema([schema.field(name) for name in columns], metadata=schema.metadata)
        batches = (batch for group in range(source.num_row_groups)
                   for batch in source.read_row_group(group, columns=columns).to_batches())
        stream = pa.RecordBatchReader.from_batches(selected, batches)
        return selkbar.WordCounts.from_arrow(stream, pretokenizer=pretokenizer,
                                            word_column=word_column, count_column=count_column)
