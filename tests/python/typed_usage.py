"""User code typed against selkbar's stubs, checked by mypy --strict in
test_typing.py; never run.

Correct calls must pass; each wrong call carries the error mypy has to
report, and --warn-unused-ignores (part of --strict) fails the check if the
stubs let it through.
"""
from collections.abc import Sequence

from typing_extensions import assert_type

import selkbar

FILES: Sequence[str] = ("a.txt", "b.txt")

assert_type(selkbar.__version__, str)

vocab, merges = selkbar.train_bpe(["a.txt"], 1000)
assert_type(vocab, dict[str, int])
assert_type(merges, list[tuple[str, str]])
left, right = merges[0]
assert_type(left, str)

result = selkbar.train_bpe(
    FILES,
    vocab_size=30000,
    special_tokens=("[PAD]", "[UNK]"),
    min_frequency=2,
    max_token_length=16,
    limit_alphabet=1000,
    pretokenizer="bytelevel",
    threads=4,
    continuing_subword_prefix="##",
    end_of_word_suffix="</w>",
)
assert_type(result, tuple[dict[str, int], list[tuple[str, str]]])

selkbar.train_bpe(files=["a.txt"], vocab_size=10, max_token_length=None, limit_alphabet=None,
                  threads=None, continuing_subword_prefix=None, end_of_word_suffix=None)
selkbar.train_tokenizer(["a.txt"], 1000, "tokenizer.json")
selkbar.train_tokenizer(files=FILES, vocab_size=1000, output="tokenizer.json",
                        special_tokens=["<s>"], pretokenizer="whitespace", threads=0)
selkbar.train_bpe(["a.txt"], 1000, pretokenizer="bytelevel", pattern=r"\p{L}+|\p{N}")
selkbar.train_bpe(["a.txt"], 1000, pretokenizer="o200k", pattern=None)
assert_type(selkbar.BYTE_LEVEL_ALPHABET, tuple[str, ...])
selkbar.train_tokenizer(["a.txt"], 1000, "t.json", pretokenizer="gpt4",
                        initial_alphabet=selkbar.BYTE_LEVEL_ALPHABET,
                        tiktoken_output="t.tiktoken")
selkbar.train_bpe(["a.txt"], 1000, initial_alphabet=["€", "ab"])
selkbar.tiktoken_encoding("t.json", name="mine")
selkbar.train_bpe(["a.txt"], 1000, initial_alphabet=[1])  # type: ignore[list-item]
selkbar.train_bpe(["a.txt"], 1000, tiktoken_output="x")  # type: ignore[call-overload]

selkbar.train_bpe(["a.txt"], "1000")  # type: ignore[arg-type]
selkbar.train_bpe(["a.txt"], 10.5)  # type: ignore[call-overload]
selkbar.train_bpe([1, 2], 1000)  # type: ignore[list-item]
selkbar.train_bpe(["a.txt"], 1000, threads="4")  # type: ignore[call-overload]
selkbar.train_bpe(["a.txt"], 1000, min_frequency=None)  # type: ignore[call-overload]
selkbar.train_bpe(["a.txt"], 1000, special_tokens=None)  # type: ignore[call-overload]
selkbar.train_bpe(["a.txt"], 1000, pretokenizer=None)  # type: ignore[call-overload]
selkbar.train_bpe(["a.txt"], 1000, pattern=b"x")  # type: ignore[call-overload]
# Codes differ between mypy versions on these two; any error will do.
selkbar.train_bpe(["a.txt"], 1000, 5)  # type: ignore
selkbar.train_bpe(["a.txt"], 1000, vocab=5)  # type: ignore[call-overload]
selkbar.train_bpe(["a.txt"])  # type: ignore[call-overload]
selkbar.train_tokenizer(["a.txt"], 1000)  # type: ignore[call-arg]
selkbar.train_tokenizer(["a.txt"], 1000, b"out.json")  # type: ignore[arg-type]
selkbar.train_bpe_typo(["a.txt"], 1000)  # type: ignore[attr-defined]
wrong: dict[str, str] = selkbar.train_bpe(["a.txt"], 1000)[0]  # type: ignore[assignment]
n: int = selkbar.train_tokenizer(["a.txt"], 1000, "o.json")  # type: ignore

counts = selkbar.count_words(FILES, pretokenizer="bytelevel", threads=2)
assert_type(counts, selkbar.WordCounts)
assert_type(counts.total, int)
assert_type(counts.pretokenizer, str)
assert_type(counts["the"], int)
assert_type(counts.most_common(10), list[tuple[str, int]])
for word, count in counts.items():
    assert_type(word, str)
    assert_type(count, int)
both = counts + selkbar.WordCounts.load("old.counts")
both += counts
assert_type(selkbar.WordCounts.merge([counts, both]), selkbar.WordCounts)
assert_type(selkbar.WordCounts.from_items({"the": 3}, pretokenizer="whitespace"),
            selkbar.WordCounts)
selkbar.WordCounts.from_items([("the", 3)], pretokenizer="whitespace")
counts.save("corpus.counts")
assert_type(selkbar.train_bpe_from_counts(counts, 1000, min_frequency=2),
            tuple[dict[str, int], list[tuple[str, str]]])
selkbar.train_tokenizer_from_counts(counts, 1000, "tokenizer.json", special_tokens=["<s>"])

selkbar.train_bpe_from_counts(FILES, 1000)  # type: ignore[call-overload]
selkbar.train_bpe_from_counts(counts, 1000, pretokenizer="bytelevel")  # type: ignore[call-overload]
selkbar.WordCounts.from_items({"the": 3})  # type: ignore[call-arg]
selkbar.WordCounts.from_items({"the": "3"}, pretokenizer="whitespace")  # type: ignore[arg-type]
counts + 1  # type: ignore[operator]

# Counts as Arrow tables and Parquet files.
table = counts.to_arrow()
assert_type(selkbar.WordCounts.from_arrow(table), selkbar.WordCounts)
selkbar.WordCounts.from_arrow(counts, pretokenizer="bytelevel", word_column="token")
counts.to_parquet("counts.parquet")
assert_type(selkbar.WordCounts.from_parquet("counts.parquet", count_column="n"),
            selkbar.WordCounts)
selkbar.WordCounts.from_arrow([("the", 3)])  # type: ignore[list-item]
selkbar.WordCounts.from_parquet("counts.parquet", "whitespace")  # type: ignore[misc]

# The readers and the cluster path, typed by their own stub packages.
import selkbar_dask
import selkbar_readers

reader = selkbar_readers.read_texts(["a.jsonl.gz", "b.parquet"], "body", skip_bad_records=True)
assert_type(reader.counts.bad_records, int)
assert_type(reader.counts.null_values, int)
selkbar.train_bpe_from_iterator(reader, 1000)
try:
    next(iter(selkbar_readers.read_texts("a.txt")))
except selkbar_readers.CorpusError as error:
    assert_type(str(error), str)
selkbar_readers.read_texts("a.txt", skip_bad_records=1.5)  # type: ignore[arg-type]

assert_type(selkbar_dask.count_words(["s3://bucket/a.txt"], partition_bytes=1 << 26),
            selkbar.WordCounts)
assert_type(selkbar_dask.train_bpe(FILES, 1000, threads_per_task=2),
            tuple[dict[str, int], list[tuple[str, str]]])
selkbar_dask.train_tokenizer(FILES, 1000, "tokenizer.json", special_tokens=["<s>"])
selkbar_dask.train_bpe(FILES, "1000")  # type: ignore[arg-type]

# vocab_size as a list of sizes: one result per size, or one file per size.
ladder = selkbar.train_bpe(["a.txt"], [8000, 16000])
assert_type(ladder, dict[int, tuple[dict[str, int], list[tuple[str, str]]]])
selkbar.train_tokenizer(["a.txt"], (8000, 16000), "tok-{vocab_size}.json")
selkbar.train_bpe(["a.txt"], ["8000"])  # type: ignore[list-item]

import selkbar_spark

frame: object = None
assert_type(selkbar_spark.count_words(frame, column="body", partitions=8), selkbar.WordCounts)
assert_type(selkbar_spark.train_bpe(frame, 1000, pretokenizer="gpt4"),
            tuple[dict[str, int], list[tuple[str, str]]])
selkbar_spark.train_tokenizer(frame, 1000, "tokenizer.json", tiktoken_output="t.tiktoken")
assert_type(selkbar_spark.train_bpe(frame, [1000, 2000])[2000],
            tuple[dict[str, int], list[tuple[str, str]]])
selkbar_spark.train_tokenizer(frame, [1000, 2000], "tok-{vocab_size}.json")
selkbar_spark.count_words(frame, partitions="8")  # type: ignore[arg-type]
