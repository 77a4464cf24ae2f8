# Type information for the selkbar extension module, which carries none of
# its own. Installed as the stub-only package selkbar-stubs, where type
# checkers look for the stubs of a module named selkbar.
from collections.abc import Sequence

__all__ = ["__version__", "train_bpe", "train_tokenizer"]

__version__: str

def train_bpe(
    files: Sequence[str],
    vocab_size: int,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    pretokenizer: str = "whitespace",
    threads: int | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    pattern: str | None = None,
) -> tuple[dict[str, int], list[tuple[str, str]]]:
    """Train on `files`, returning `(vocab, merges)`.

    `vocab` maps token string to id; `merges` is the ordered list of
    `(left, right)` pairs, exactly as HuggingFace serializes them.
    """

def train_tokenizer(
    files: Sequence[str],
    vocab_size: int,
    output: str,
    *,
    special_tokens: Sequence[str] = ...,
    min_frequency: int = 0,
    max_token_length: int | None = None,
    limit_alphabet: int | None = None,
    pretokenizer: str = "whitespace",
    threads: int | None = None,
    continuing_subword_prefix: str | None = None,
    end_of_word_suffix: str | None = None,
    pattern: str | None = None,
) -> None:
    """Train and write a HuggingFace `tokenizer.json` to `output`.

    The result is loadable with `tokenizers.Tokenizer.from_file(output)`.
    """
