# Type information for selkbar_arrow, the Parquet half of WordCounts
# (WordCounts.to_parquet and WordCounts.from_parquet call it).
from os import PathLike
from typing import Union

from selkbar import WordCounts

__all__ = ["write_parquet", "read_parquet"]

ROW_GROUP_ROWS: int

def write_parquet(counts: WordCounts, path: Union[str, PathLike[str]]) -> None:
    """Write `counts` to the Parquet file `path`, replaced atomically."""

def read_parquet(
    path: Union[str, PathLike[str]],
    *,
    pretokenizer: str | None = None,
    word_column: str = "word",
    count_column: str = "count",
) -> WordCounts:
    """Counts from the Parquet file `path`, read a row group at a time."""
