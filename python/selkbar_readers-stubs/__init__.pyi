# Type information for selkbar_readers, the corpus readers installed with
# selkbar (a single-file module, so its stubs are a stub-only package).
from collections.abc import Iterable, Iterator
from os import PathLike
from typing import Any, Union

__all__ = ["read_texts", "CorpusError", "MissingDependency", "TextReader"]

_Path = Union[str, PathLike[str]]

# What the reader yields: the lines of a text file (each with its newline),
# the text fields of JSON Lines records, or a Parquet column's Arrow arrays.
_Item = Union[list[str], Any]

class CorpusError(ValueError):
    """An input file whose content cannot be read as its name says."""

class MissingDependency(ImportError):
    """An optional package that a file's format needs is not installed."""

class ReadCounts:
    """What the readers skipped."""

    bad_records: int
    null_values: int

class TextReader(Iterator[_Item]):
    """An iterator over the texts of files, as items for the *_from_iterator functions."""

    paths: list[str]
    text_field: str
    skip_bad_records: bool
    counts: ReadCounts
    def __init__(
        self,
        paths: _Path | Iterable[_Path],
        text_field: str = "text",
        *,
        skip_bad_records: bool = False,
        file_blocks: bool = False,
        cut_long_lines: bool = True,
    ) -> None: ...
    def __iter__(self) -> TextReader: ...
    def __next__(self) -> _Item: ...
    def items_of(self, path: str) -> Iterator[_Item]: ...

def read_texts(
    paths: _Path | Iterable[_Path],
    text_field: str = "text",
    *,
    skip_bad_records: bool = False,
) -> TextReader:
    """An iterator over the texts of corpus files (text, compressed text, JSON Lines, Parquet)."""
