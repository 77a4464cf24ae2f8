# Type information for the selkbar extension module, which carries none of
# its own. Installed as the stub-only package selkbar-stubs, where type
# checkers look for the stubs of a module named selkbar.
from collections.abc import Iterable, Iterator, Mapping, Sequence
from os import PathLike
from typing import Any, ClassVar, Literal, Protocol, Union, final

from selkbar_readers import CorpusError as CorpusError
from selkbar_readers import TextReader

__all__ = [
    "__version__",
    "train_bpe",
    "train_tokenizer",
    "count_words",
    "WordCounts",
    "train_bpe_from_counts",
    "train_tokenizer_from_counts",
    "train_bpe_from_iterator",
    "train_tokenizer_from_iterator",
    "count_words_from_iterator",
    "read_texts",
    "CorpusError",
    "tiktoken_encoding",
    "BYTE_LEVEL_ALPHABET",
]

__version__: str

# The 256 characters of the byte-level alphabet, the one for each byte in
# byte order: initial_alphabet=BYTE_LEVEL_ALPHABET makes every byte, and so
# any text, encodable.
BYTE_LEVEL_ALPHABET: tuple[str, ...]

# The names pretokenizer= takes, in the library's order (private: the
# command line's --pretokenizer choices).
_Pretokenizer = Literal["whitespace", "bytelevel", "gpt4", "o200k"]
_PRETOKENIZERS: tuple[_Pretokenizer, ...]
_Path = Union[str, PathLike[str]]

class _ArrowArray(Protocol):
    """An Arrow array offered through the Arrow PyCapsule interface."""

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]: ...

class _ArrowStream(Protocol):
    """An Arrow array, chunked array or stream offered through the PyCapsule interface."""

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...

# What an iterator of texts may give: one text, a batch of texts, or an Arrow
# string array.
_TextItem = Union[str, Sequence[str], _ArrowArray]

def train_bpe(
    files: Sequence[_Path],
    vocab_size: int,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    pretokenizer: _Pretokenizer = "whitespace",
    threads: int | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    pattern: str | None = None,
    progress: bool = False,
) -> tuple[dict[str, int], list[tuple[str, str]]]:
    """Train on `files`, returning `(vocab, merges)`.

    `vocab` maps token string to id; `merges` is the ordered list of
    `(left, right)` pairs, exactly as HuggingFace serializes them.
    """

def train_tokenizer(
    files: Sequence[_Path],
    vocab_size: int,
    output: _Path,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    pretokenizer: _Pretokenizer = "whitespace",
    threads: int | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    pattern: str | None = None,
    tiktoken_output: _Path | None = None,
    progress: bool = False,
) -> None:
    """Train and write a HuggingFace `tokenizer.json` to `output`.

    The result is loadable with `tokenizers.Tokenizer.from_file(output)`.
    """

def count_words(
    files: Sequence[_Path],
    *,
    pretokenizer: _Pretokenizer = "whitespace",
    threads: int | None = None,
    pattern: str | None = None,
    progress: bool = False,
) -> WordCounts:
    """Count the words of `files` (the first half of training) and return them as a
    `WordCounts`, to train on once or many times, save or combine.
    """

@final
class WordCounts:
    """The distinct words of a corpus with their counts, as one pretokenizer cut them.

    Made by count_words(), WordCounts.from_items(), WordCounts.load() or by adding
    counts together; trained on by train_bpe_from_counts() and
    train_tokenizer_from_counts(), which leave it unchanged.
    """

    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def pretokenizer(self) -> str:
        """The pretokenizer that cut the words: 'whitespace' or 'bytelevel'."""
    @property
    def total(self) -> int:
        """The sum of all counts."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: str, /) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __iter__(self) -> Iterator[str]: ...
    def __add__(self, value: WordCounts, /) -> WordCounts: ...
    def __radd__(self, value: WordCounts, /) -> WordCounts: ...
    def __iadd__(self, value: WordCounts, /) -> WordCounts: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def items(self) -> Iterator[tuple[str, int]]:
        """Iterate the (word, count) pairs, words spelled as training sees them."""
    def most_common(self, n: int | None = None) -> list[tuple[str, int]]:
        """The n most common (word, count) pairs (all with None), by count descending, then by the words' UTF-8 bytes ascending."""
    def save(self, path: str | PathLike[str]) -> None:
        """Write the counts to the file `path` (replaced atomically)."""
    @classmethod
    def load(cls, path: str | PathLike[str]) -> WordCounts:
        """Read counts written by save()."""
    @classmethod
    def from_items(
        cls, iterable: Iterable[tuple[str, int]] | Mapping[str, int], *, pretokenizer: str
    ) -> WordCounts:
        """Counts from (word, count) pairs or a mapping, words spelled as the pretokenizer's words are; repeated words add up."""
    @classmethod
    def merge(cls, iterable: Iterable[WordCounts]) -> WordCounts:
        """The sum of one or more WordCounts of one pretokenizer."""
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        """The counts as an Arrow C stream capsule (the table to_arrow() gives)."""
    def to_arrow(self) -> Any:
        """The counts as a pyarrow.Table with columns word (large_string) and count (uint64), the pretokenizer in the schema's metadata."""
    @classmethod
    def from_arrow(
        cls,
        data: Union[_ArrowStream, _ArrowArray, Iterable[Union[_ArrowArray, _ArrowStream]]],
        /,
        *,
        pretokenizer: str | None = None,
        word_column: str = "word",
        count_column: str = "count",
    ) -> WordCounts:
        """Counts from an Arrow table: a pyarrow Table or RecordBatch, an iterable of record batches, or any object with __arrow_c_stream__ (polars, DuckDB). Repeated words add up; the pretokenizer defaults to the one the schema's metadata names."""
    def to_parquet(self, path: _Path) -> None:
        """Write the counts as a Parquet file (replaced atomically), the table to_arrow() gives."""
    @classmethod
    def from_parquet(
        cls,
        path: _Path,
        /,
        *,
        pretokenizer: str | None = None,
        word_column: str = "word",
        count_column: str = "count",
    ) -> WordCounts:
        """Counts from a Parquet file, read a row group at a time."""

def train_bpe_from_counts(
    counts: WordCounts,
    vocab_size: int,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    progress: bool = False,
) -> tuple[dict[str, int], list[tuple[str, str]]]:
    """Train on `counts` (a `WordCounts`), returning `(vocab, merges)` as `train_bpe` does.

    The pretokenizer is the one of the counts, which are left unchanged.
    """

def train_tokenizer_from_counts(
    counts: WordCounts,
    vocab_size: int,
    output: _Path,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    tiktoken_output: _Path | None = None,
    progress: bool = False,
) -> None:
    """Train on `counts` and write a HuggingFace `tokenizer.json` to `output`,
    as `train_tokenizer` does.
    """

def train_bpe_from_iterator(
    iterator: Union[Iterable[_TextItem], _ArrowStream],
    vocab_size: int,
    *,
    length: int | None = None,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    pretokenizer: _Pretokenizer = "whitespace",
    threads: int | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    pattern: str | None = None,
    progress: bool = False,
) -> tuple[dict[str, int], list[tuple[str, str]]]:
    """Train on the texts `iterator` gives, returning `(vocab, merges)`.

    Items may be str, lists or tuples of str, or Arrow string arrays; the
    iterator may itself be an Arrow array or stream. Each text is pretokenized
    whole. `length`, the number of texts expected, only feeds the progress display.
    """

def train_tokenizer_from_iterator(
    iterator: Union[Iterable[_TextItem], _ArrowStream],
    vocab_size: int,
    output: _Path,
    *,
    length: int | None = None,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    pretokenizer: _Pretokenizer = "whitespace",
    threads: int | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    pattern: str | None = None,
    tiktoken_output: _Path | None = None,
    progress: bool = False,
) -> None:
    """Train on the texts `iterator` gives and write a HuggingFace `tokenizer.json`
    to `output`, as train_bpe_from_iterator and train_tokenizer do.
    """

def count_words_from_iterator(
    iterator: Union[Iterable[_TextItem], _ArrowStream],
    *,
    pretokenizer: _Pretokenizer = "whitespace",
    threads: int | None = None,
    pattern: str | None = None,
    length: int | None = None,
    progress: bool = False,
) -> WordCounts:
    """Count the words of the texts `iterator` gives, as train_bpe_from_iterator would,
    and return them as a `WordCounts`.
    """

def read_texts(
    paths: str | PathLike[str] | Iterable[str | PathLike[str]],
    text_field: str = "text",
    *,
    skip_bad_records: bool = False,
) -> TextReader:
    """An iterator over the texts of corpus files (plain or compressed text, JSON Lines,
    Parquet), for train_bpe_from_iterator.
    """

def tiktoken_encoding(tokenizer_json_path: _Path, name: str | None = None) -> Any:
    """The `tiktoken.Encoding` of a byte-level `tokenizer.json`: its split pattern,
    its ordinary tokens as mergeable ranks (rank = id) and its added tokens as
    special tokens. Needs tiktoken (`pip install "selkbar[tiktoken]"`).
    """
