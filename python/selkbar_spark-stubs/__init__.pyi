# Type information for selkbar_spark (a single-file module, so its stubs are a
# stub-only package). PySpark's own types are not required to use it: the
# DataFrames are typed loosely.
from collections.abc import Iterable, Sequence
from os import PathLike
from typing import Any, Union, overload

from selkbar import WordCounts

__all__ = ["count_words", "count_words_to_table", "train_bpe", "train_tokenizer"]

COUNT_SCHEMA: str

def count_words(
    df: Any,
    *,
    column: str = "text",
    pretokenizer: str = "whitespace",
    pattern: str | None = None,
    partitions: int | None = None,
    threads_per_task: int | None = None,
) -> WordCounts:
    """Count the words of a string column of a Spark DataFrame on the executors."""

def count_words_to_table(
    df: Any,
    *,
    column: str = "text",
    pretokenizer: str = "whitespace",
    pattern: str | None = None,
    partitions: int | None = None,
    threads_per_task: int | None = None,
) -> Any:
    """The combined counts as a Spark DataFrame of columns word and count."""

@overload
def train_bpe(
    df: Any,
    vocab_size: int,
    *,
    column: str = "text",
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
    partitions: int | None = None,
    threads_per_task: int | None = None,
    progress: bool = False,
) -> tuple[dict[str, int], list[tuple[str, str]]]:
    """Count on the executors, then train on the driver; returns (vocab, merges)."""

@overload
def train_bpe(
    df: Any,
    vocab_size: Iterable[int],
    *,
    column: str = "text",
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
    partitions: int | None = None,
    threads_per_task: int | None = None,
    progress: bool = False,
) -> dict[int, tuple[dict[str, int], list[tuple[str, str]]]]: ...

def train_tokenizer(
    df: Any,
    vocab_size: int | Iterable[int],
    output: Union[str, PathLike[str]],
    *,
    column: str = "text",
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
    tiktoken_output: Union[str, PathLike[str], None] = None,
    partitions: int | None = None,
    threads_per_task: int | None = None,
    progress: bool = False,
) -> None:
    """Count on the executors, then train on the driver and write tokenizer.json."""
