# Type information for selkbar_dask (a single-file module, so its stubs are a
# stub-only package). Dask's own types are not required to use it: the client
# and the collections are typed loosely.
from collections.abc import Iterable, Sequence
from os import PathLike
from typing import Any, Union, overload

from selkbar import WordCounts

__all__ = ["count_words", "train_bpe", "train_tokenizer", "train_superword_tokenizer"]

DEFAULT_PARTITION_BYTES: int

# A list of paths or fsspec URLs, a dask.bag.Bag of str, or a string column of
# a Dask DataFrame.
_Paths = Union[Sequence[Union[str, PathLike[str]]], Any]

def count_words(
    paths: _Paths,
    *,
    client: Any = None,
    pretokenizer: str = "whitespace",
    pattern: str | None = None,
    partition_bytes: int = ...,
    threads_per_task: int | None = None,
) -> WordCounts:
    """Count the words of `paths` on a Dask cluster."""

@overload
def train_bpe(
    paths: _Paths,
    vocab_size: int,
    *,
    client: Any = None,
    special_tokens: Sequence[str] = (),
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    pretokenizer: str = "whitespace",
    pattern: str | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    initial_alphabet: Iterable[str] = (),
    base: Any = None,
    partition_bytes: int = ...,
    threads_per_task: int | None = None,
    progress: bool = False,
) -> tuple[dict[str, int], list[tuple[str, str]]]:
    """Count `paths` on a Dask cluster, then train on this machine."""

@overload
def train_bpe(
    paths: _Paths,
    vocab_size: Iterable[int],
    *,
    client: Any = None,
    special_tokens: Sequence[str] = (),
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    pretokenizer: str = "whitespace",
    pattern: str | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    initial_alphabet: Iterable[str] = (),
    base: Any = None,
    partition_bytes: int = ...,
    threads_per_task: int | None = None,
    progress: bool = False,
) -> dict[int, tuple[dict[str, int], list[tuple[str, str]]]]: ...

def train_tokenizer(
    paths: _Paths,
    vocab_size: int | Iterable[int],
    output: str | PathLike[str],
    *,
    client: Any = None,
    special_tokens: Sequence[str] = (),
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    pretokenizer: str = "whitespace",
    pattern: str | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    initial_alphabet: Iterable[str] = (),
    base: Any = None,
    tiktoken_output: str | PathLike[str] | None = None,
    partition_bytes: int = ...,
    threads_per_task: int | None = None,
    progress: bool = False,
) -> None:
    """Count `paths` on a Dask cluster, then train and write a tokenizer.json."""

def train_superword_tokenizer(
    paths: _Paths,
    vocab_size: int,
    output: str | PathLike[str],
    *,
    transition: int,
    client: Any = None,
    pretokenizer: str = "gpt4",
    superword_pattern: str | None = None,
    tiktoken_output: str | PathLike[str] | None = None,
    partition_bytes: int = ...,
    threads_per_task: int | None = None,
    **options: Any,
) -> None:
    """Count `paths` on a Dask cluster for both stages, then train superwords here."""
