"""Count a string column of a Spark DataFrame on the executors, train on the driver.

    import selkbar_spark

    texts = spark.read.parquet("s3://bucket/corpus/")
    vocab, merges = selkbar_spark.train_bpe(texts, 32000, column="text", pretokenizer="bytelevel")

Training has two halves: counting the distinct words of the corpus, which is
proportional to the corpus and splits across machines, and the merge loop,
which works on the counts alone. Here counting runs in Spark's executors and
the merge loop on the driver, so the result is the one
selkbar.count_words_from_iterator and selkbar.train_bpe_from_counts give on
the same texts: every text is cut on its own, as the iterator path cuts it,
and null texts are skipped, as in an Arrow string array.

How the work is cut:
  * Counting: the column goes to the Python workers as Arrow record batches
    (mapInArrow); each task feeds its batches' string arrays to the native
    counter with no Python object per text, and emits its partition's counts
    as a table of words and counts.
  * Combining: the partial tables are shuffled by word, so that each combining
    task owns a disjoint share of the vocabulary and sums its words' partial
    counts natively (WordCounts.from_arrow). A task holds its share of the
    words, never the whole vocabulary, and the shuffle moves every partial
    row once.
  * The driver collects the combined tables (disjoint words, so nothing is
    added up there) into one WordCounts.

Counts are unsigned 64-bit; Spark's long is signed, so the count column is a
decimal(20, 0), which holds every count exactly and which Arrow carries as a
128-bit decimal.

Tasks are pure functions of their partitions: a failed task is rerun by
Spark and the result is unchanged. Requires PySpark 4 (pip install
"selkbar[spark]") and Java 17 or newer; the executors need selkbar installed.
"""


import selkbar
import selkbar_cluster

__all__ = ["count_words", "count_words_to_table", "train_bpe", "train_tokenizer"]

# The counts as Spark holds them: a count needs 64 unsigned bits, more than
# a long has.
COUNT_SCHEMA = "word string, count decimal(20,0)"


def count_words(df, *, column="text", pretokenizer="whitespace", pattern=None,
                partitions=None, threads_per_task=None):
    """Count the words of the string column `column` of the Spark DataFrame
    `df` on the executors; returns a selkbar.WordCounts equal to
    selkbar.count_words_from_iterator over the column's texts.

    `partitions` is the number of combining tasks (by default as many as
    `df` has partitions); `threads_per_task` the native counter's thread
    budget in each task, 1 by default, as Spark runs one task per core.
    """
    table = count_words_to_table(df, column=column, pretokenizer=pretokenizer, pattern=pattern,
                                 partitions=partitions, threads_per_task=threads_per_task)
    counts = _collect_arrow(table)
    counts = counts.replace_schema_metadata(_metadata(pretokenizer, pattern))
    return selkbar.WordCounts.from_arrow(counts)


def count_words_to_table(df, *, column="text", pretokenizer="whitespace", pattern=None,
                         partitions=None, threads_per_task=None):
    """As count_words, but leaves the combined counts in Spark: a DataFrame
    of columns word (string) and count (decimal(20, 0)), one row per distinct
    word, to store (df.write.parquet(path)) and read back later with
    selkbar.WordCounts.from_arrow(pyarrow.dataset.dataset(path).to_batches(),
    pretokenizer=...), all part files as one stream (Spark keeps no schema
    metadata, so the pretokenizer is named again)."""
    _check_count_options(pretokenizer, pattern, partitions, threads_per_task)
    texts = _text_column(df, column)
    threads = 1 if threads_per_task is None else threads_per_task
    partial = texts.mapInArrow(_PartitionCounter(pretokenizer, pattern, threads), COUNT_SCHEMA)
    if partitions is None:
        partitions = max(1, texts.rdd.getNumPartitions())
    return partial.repartition(partitions, "word").mapInArrow(
        _PartialMerger(pretokenizer, pattern), COUNT_SCHEMA)


def train_bpe(df, vocab_size, *, column="text", special_tokens=(), min_frequency=0,
              max_token_length=None, limit_alphabet=None, pretokenizer="whitespace",
              pattern=None, continuing_subword_prefix=None, end_of_word_suffix=None,
              initial_alphabet=(), base=None, partitions=None, threads_per_task=None,
              progress=False):
    """Count the column on the executors (see count_words), then train on the
    driver; returns (vocab, merges) as selkbar.train_bpe does. `progress`
    shows the training on the driver."""
    options = selkbar_cluster.training_options(locals())
    return selkbar_cluster.train_bpe_after(
        lambda: count_words(df, column=column, pretokenizer=pretokenizer, pattern=pattern,
                            partitions=partitions, threads_per_task=threads_per_task),
        _empty_counts(pretokenizer, pattern), vocab_size, options)


def train_tokenizer(df, vocab_size, output, *, column="text", special_tokens=(),
                    min_frequency=0, max_token_length=None, limit_alphabet=None,
                    pretokenizer="whitespace", pattern=None, continuing_subword_prefix=None,
                    end_of_word_suffix=None, initial_alphabet=(), base=None,
                    tiktoken_output=None, partitions=None, threads_per_task=None,
                    progress=False):
    """Count the column on the executors (see count_words), then train on the
    driver and write a HuggingFace tokenizer.json to `output` (and the
    tiktoken ranks file to `tiktoken_output`, if given), as
    selkbar.train_tokenizer does. Nothing is written when counting fails."""
    options = selkbar_cluster.training_options(locals())
    selkbar_cluster.train_tokenizer_after(
        lambda: count_words(df, column=column, pretokenizer=pretokenizer, pattern=pattern,
                            partitions=partitions, threads_per_task=threads_per_task),
        _empty_counts(pretokenizer, pattern), vocab_size, output, tiktoken_output, options)


# ---------------------------------------------------------------------------
# Arguments, checked on the driver before any job is started, so that a typo
# fails at once rather than after an hour of counting.

def _check_count_options(pretokenizer, pattern, partitions, threads_per_task):
    if partitions is not None:
        if isinstance(partitions, bool) or not isinstance(partitions, int):
            raise TypeError(f"argument 'partitions': expected an int or None, got "
                            f"{type(partitions).__name__}")
        if partitions < 1:
            raise ValueError(f"partitions must be at least 1, got {partitions}")
    # Counting no texts checks the pretokenizer, the pattern and the thread
    # budget with the engine's own messages.
    selkbar.count_words_from_iterator(
        [], pretokenizer=pretokenizer, pattern=pattern,
        threads=1 if threads_per_task is None else threads_per_task)


def _empty_counts(pretokenizer, pattern):
    return selkbar.count_words_from_iterator([], pretokenizer=pretokenizer, pattern=pattern)


def _text_column(df, column):
    """The one column of `df` to count, checked to be strings."""
    try:
        from pyspark.sql import DataFrame
        from pyspark.sql.types import StringType
    except ImportError:
        raise ImportError("selkbar_spark needs PySpark: pip install \"selkbar[spark]\"") from None
    if not isinstance(df, DataFrame):
        raise TypeError(f"argument 'df': expected a pyspark.sql.DataFrame, got "
                        f"{type(df).__name__}")
    if not isinstance(column, str):
        raise TypeError(f"argument 'column': expected a str, got {type(column).__name__}")
    fields = {field.name: field for field in df.schema.fields}
    if column not in fields:
        raise ValueError(f"no column '{column}' in the DataFrame (its columns are "
                         f"{', '.join(repr(name) for name in fields) or 'none'})")
    if not isinstance(fields[column].dataType, StringType):
        raise TypeError(f"column '{column}' is {fields[column].dataType.simpleString()}, "
                        "not a string column")
    return df.select(column)


def _metadata(pretokenizer, pattern):
    # What WordCounts.to_arrow writes: the name, and a custom pattern beside
    # "bytelevel", whose rule it replaces.
    if pattern is not None:
        return {"pretokenizer": "bytelevel", "pattern": pattern}
    return {"pretokenizer": pretokenizer}


def _collect_arrow(table):
    """The rows of a Spark DataFrame as one pyarrow.Table on the driver."""
    return table.toArrow()


# ---------------------------------------------------------------------------
# Task bodies, run in the executors' Python workers. Classes rather than
# closures, so that what a task carries is spelled out.

class _PartitionCounter:
    """Counts one partition's texts: its batches' string arrays go to the
    native counter as they come, and its counts leave as record batches."""

    def __init__(self, pretokenizer, pattern, threads):
        self.pretokenizer = pretokenizer
        self.pattern = pattern
        self.threads = threads

    def __call__(self, batches):
        counts = selkbar.count_words_from_iterator(
            (batch.column(0) for batch in batches), pretokenizer=self.pretokenizer,
            pattern=self.pattern, threads=self.threads)
        return _spark_batches(counts)


class _PartialMerger:
    """Sums the partial counts of the words one combining task owns."""

    def __init__(self, pretokenizer, pattern):
        self.metadata = _metadata(pretokenizer, pattern)

    def __call__(self, batches):
        import pyarrow as pa
        batches = iter(batches)
        first = next(batches, None)
        if first is None:
            return iter(())
        schema = first.schema.with_metadata(self.metadata)
        stream = pa.RecordBatchReader.from_batches(
            schema, (batch.replace_schema_metadata(self.metadata)
                     for batch in _chain(first, batches)))
        return _spark_batches(selkbar.WordCounts.from_arrow(stream))


def _chain(first, rest):
    yield first
    yield from rest


def _spark_batches(counts):
    """The batches of counts.to_arrow() in COUNT_SCHEMA's Arrow types."""
    import pyarrow as pa
    count_type = pa.decimal128(20, 0)
    for batch in counts.to_arrow().to_batches():
        yield pa.RecordBatch.from_arrays([batch.column(0), batch.column(1).cast(count_type)],
                                         names=["word", "count"])
