# Type information for the selkbar extension module, which carries none of
# its own. Installed as the stub-only package selkbar-stubs, where type
# checkers look for the stubs of a module named selkbar.
from collections.abc import Iterable, Iterator, Mapping, Sequence
from os import PathLike
from typing import Any, ClassVar, Literal, Protocol, Union, final, overload

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
    "evaluate",
    "write_report",
    "BYTE_LEVEL_ALPHABET",
    "truncate_bpe",
    "train_superword_tokenizer",
    "train_superword_tokenizer_from_iterator",
    "train_superword_tokenizer_from_counts",
    "SUPERWORD_PATTERN",
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
# A tokenizer to continue training from: a tokenizer.json path or the
# (vocab, merges) pair train_bpe returns.
_Base = Union[_Path, tuple[Mapping[str, int], Sequence[tuple[str, str]]]]

class _ArrowArray(Protocol):
    """An Arrow array offered through the Arrow PyCapsule interface."""

    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]: ...

class _ArrowStream(Protocol):
    """An Arrow array, chunked array or stream offered through the PyCapsule interface."""

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...

# What an iterator of texts may give: one text, a batch of texts, or an Arrow
# string array.
_TextItem = Union[str, Sequence[str], _ArrowArray]

@overload
def train_bpe(
    files: Sequence[_Path],
    vocab_size: int,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    base: _Base | None = None,
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

@overload
def train_bpe(
    files: Sequence[_Path],
    vocab_size: Iterable[int],
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
) -> dict[int, tuple[dict[str, int], list[tuple[str, str]]]]: ...

def train_tokenizer(
    files: Sequence[_Path],
    vocab_size: int | Iterable[int],
    output: _Path,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    base: _Base | None = None,
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

@overload
def train_bpe_from_counts(
    counts: WordCounts,
    vocab_size: int,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    base: _Base | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    progress: bool = False,
) -> tuple[dict[str, int], list[tuple[str, str]]]:
    """Train on `counts` (a `WordCounts`), returning `(vocab, merges)` as `train_bpe` does.

    The pretokenizer is the one of the counts, which are left unchanged.
    """

@overload
def train_bpe_from_counts(
    counts: WordCounts,
    vocab_size: Iterable[int],
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    progress: bool = False,
) -> dict[int, tuple[dict[str, int], list[tuple[str, str]]]]: ...

def train_tokenizer_from_counts(
    counts: WordCounts,
    vocab_size: int | Iterable[int],
    output: _Path,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    base: _Base | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    tiktoken_output: _Path | None = None,
    progress: bool = False,
) -> None:
    """Train on `counts` and write a HuggingFace `tokenizer.json` to `output`,
    as `train_tokenizer` does.
    """

@overload
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
    base: _Base | None = None,
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

@overload
def train_bpe_from_iterator(
    iterator: Union[Iterable[_TextItem], _ArrowStream],
    vocab_size: Iterable[int],
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
) -> dict[int, tuple[dict[str, int], list[tuple[str, str]]]]: ...

def train_tokenizer_from_iterator(
    iterator: Union[Iterable[_TextItem], _ArrowStream],
    vocab_size: int | Iterable[int],
    output: _Path,
    *,
    length: int | None = None,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    initial_alphabet: Iterable[str] = (),
    base: _Base | None = None,
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

def truncate_bpe(
    vocab: Mapping[str, int],
    merges: Sequence[tuple[str, str]],
    vocab_size: int,
    *,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
) -> tuple[dict[str, int], list[tuple[str, str]]]:
    """The vocabulary a training to vocab_size would have given, cut from a longer one."""

# The stage-2 pattern of superword training: digits in groups of up to three,
# line breaks on their own, the rest of a line one pretoken.
SUPERWORD_PATTERN: str

def train_superword_tokenizer(
    files: Sequence[_Path],
    vocab_size: int,
    output: _Path,
    *,
    transition: int,
    pretokenizer: _Pretokenizer = "gpt4",
    superword_pattern: str = ...,
    threads: int | None = None,
    tiktoken_output: _Path | None = None,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = ...,
    max_token_length: int | None = ...,
    limit_alphabet: int | None = ...,
    initial_alphabet: Iterable[str] = ...,
    progress: bool = ...,
) -> None:
    """Train subwords to `transition` tokens, then superwords to `vocab_size`."""

def train_superword_tokenizer_from_iterator(
    texts: Iterable[_TextItem],
    vocab_size: int,
    output: _Path,
    *,
    transition: int,
    pretokenizer: _Pretokenizer = "gpt4",
    superword_pattern: str = ...,
    threads: int | None = None,
    tiktoken_output: _Path | None = None,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = ...,
    max_token_length: int | None = ...,
    limit_alphabet: int | None = ...,
    initial_alphabet: Iterable[str] = ...,
    progress: bool = ...,
) -> None:
    """As train_superword_tokenizer, on texts that can be iterated twice."""

def train_superword_tokenizer_from_counts(
    counts: WordCounts,
    superword_counts: WordCounts,
    vocab_size: int,
    output: _Path,
    *,
    transition: int,
    tiktoken_output: _Path | None = None,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = ...,
    max_token_length: int | None = ...,
    limit_alphabet: int | None = ...,
    initial_alphabet: Iterable[str] = ...,
    progress: bool = ...,
) -> None:
    """As train_superword_tokenizer, on counts made with each stage's pretokenizer."""

# A tokenizer to evaluate: a tokenizer.json path, or (vocab, merges,
# pretokenizer) as train_bpe returns them plus the pretokenizer name, with
# an optional dict of continuing_subword_prefix, end_of_word_suffix, pattern.
_Tokenizer = Union[
    _Path,
    tuple[Mapping[str, int], Sequence[tuple[str, str]], _Pretokenizer],
    tuple[Mapping[str, int], Sequence[tuple[str, str]], _Pretokenizer, Mapping[str, str | None]],
]

def evaluate(
    tokenizers: Sequence[_Tokenizer],
    texts_or_files: Iterable[str] | Sequence[_Path],
    *,
    sample_bytes: int | None = None,
    threads: int | None = None,
    progress: bool = False,
) -> list[dict[str, Any]]:
    """One row of figures per tokenizer on the same held-out text: bytes_per_token,
    tokens_per_word, unused_share, unknown_share, longest_token_bytes,
    median_token_bytes and the totals behind them."""

def write_report(
    path: _Path,
    evaluations: Mapping[str, Sequence[Mapping[str, Any]]],
    *,
    tokenizer: _Tokenizer | None = None,
    counts: WordCounts | None = None,
    training: Mapping[str, Any] | None = None,
    options: Mapping[str, Any] | None = None,
    title: str = "selkbar report",
) -> None:
    """Write one self-contained HTML report of evaluate's rows (needs matplotlib:
    pip install "selkbar[report]")."""
