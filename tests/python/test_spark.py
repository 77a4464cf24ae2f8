"""selkbar_spark on a real local Spark: the counts of a DataFrame column equal
the iterator path's on the same texts, retried tasks change nothing, and the
training entry points match the module's."""
import os
import shutil
import sys

import pytest

import selkbar
from conftest import fixture_files

pytest.importorskip("pyarrow")
pyspark = pytest.importorskip("pyspark", reason="PySpark is not installed")
if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
    pytest.skip("Spark needs Java (17 or newer), and there is none", allow_module_level=True)

import selkbar_spark  # noqa: E402

GPT2_PATTERN = r"""'s|'t|'re|'ve|'m|'ll|'d| ?\p{L}+| ?\p{N}+| ?[^\s\p{L}\p{N}]+|\s+(?!\S)|\s+"""


@pytest.fixture(scope="module")
def spark():
    """A local Spark of two threads that retries a failed task once."""
    from pyspark.sql import SparkSession
    os.environ["PYSPARK_PYTHON"] = sys.executable
    session = (SparkSession.builder.master("local[2,2]").appName("selkbar-tests")
               .config("spark.ui.enabled", "false")
               .config("spark.sql.shuffle.partitions", "3")
               .config("spark.driver.memory", "1g")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    yield session
    session.stop()


@pytest.fixture(scope="module")
def texts():
    """Documents of the fixtures: paragraphs of several lines, some with
    leading or trailing white space, non-ASCII scripts, and empty texts."""
    documents = []
    for path in fixture_files()[:4]:
        with open(path, encoding="utf-8") as source:
            lines = source.read().split("\n")
        documents += ["\n".join(lines[i:i + 7]) for i in range(0, len(lines), 7)]
    return documents + ["", " ", "\u3000\u65e5\u672c\u8a9e \n"]


@pytest.fixture(scope="module")
def frame(spark, texts):
    rows = [(i, text) for i, text in enumerate(texts)] + [(len(texts), None)]
    return spark.createDataFrame(rows, "id long, text string").repartition(4)


CASES = [("whitespace", None), ("bytelevel", None), ("gpt4", None),
         pytest.param("bytelevel", GPT2_PATTERN, marks=pytest.mark.pcre2)]


@pytest.mark.parametrize("pretokenizer, pattern", CASES)
def test_counts_equal_the_iterator_path(frame, texts, pretokenizer, pattern):
    expected = selkbar.count_words_from_iterator(texts, pretokenizer=pretokenizer,
                                                 pattern=pattern)
    counts = selkbar_spark.count_words(frame, pretokenizer=pretokenizer, pattern=pattern)
    assert counts == expected
    assert len(counts) > 100


def fail_first_attempt(marker):
    """An identity step that raises in partition 1 on its first attempt only,
    leaving `marker` behind to show that it did."""
    def step(batches):
        from pyspark import TaskContext
        context = TaskContext.get()
        if context.partitionId() == 1 and context.attemptNumber() == 0:
            open(marker, "w").close()
            raise RuntimeError("a task that fails once")
        yield from batches
    return step


def test_a_failed_task_is_retried_and_the_counts_are_unchanged(frame, texts, tmp_path):
    marker = str(tmp_path / "failed")
    flaky = frame.select("text").mapInArrow(fail_first_attempt(marker), "text string")
    counts = selkbar_spark.count_words(flaky, pretokenizer="bytelevel", partitions=2)
    assert os.path.exists(marker)
    assert counts == selkbar.count_words_from_iterator(texts, pretokenizer="bytelevel")


def test_training_and_tables_match_the_module(frame, texts, tmp_path):
    counts = selkbar.count_words_from_iterator(texts, pretokenizer="whitespace")
    options = dict(min_frequency=2, special_tokens=["[UNK]"])
    assert selkbar_spark.train_bpe(frame, 400, **options) == \
        selkbar.train_bpe_from_counts(counts, 400, **options)
    selkbar_spark.train_tokenizer(frame, 400, tmp_path / "spark.json", **options)
    selkbar.train_tokenizer_from_counts(counts, 400, tmp_path / "module.json", **options)
    assert (tmp_path / "spark.json").read_bytes() == (tmp_path / "module.json").read_bytes()
    # Continuing from a base and a ladder of sizes pass through.
    base = selkbar.train_bpe_from_counts(counts, 300, **options)
    assert selkbar_spark.train_bpe(frame, [350, 400], base=base, **options) == \
        selkbar.train_bpe_from_counts(counts, [350, 400], base=base, **options)
    # The combined table, stored by Spark and read back on the driver.
    table = selkbar_spark.count_words_to_table(frame, partitions=2)
    assert [(f.name, f.dataType.simpleString()) for f in table.schema.fields] == \
        [("word", "string"), ("count", "decimal(20,0)")]
    table.write.parquet(str(tmp_path / "counts"))
    import pyarrow.dataset
    parts = pyarrow.dataset.dataset(str(tmp_path / "counts"))
    assert len(parts.files) > 1
    assert selkbar.WordCounts.from_arrow(parts.to_batches(), pretokenizer="whitespace") == counts


def test_arguments_are_checked_before_any_job(frame, tmp_path):
    with pytest.raises(ValueError, match="no column 'body' in the DataFrame"):
        selkbar_spark.count_words(frame, column="body")
    with pytest.raises(TypeError, match="column 'id' is bigint, not a string column"):
        selkbar_spark.count_words(frame, column="id")
    with pytest.raises(ValueError, match="unknown pretokenizer"):
        selkbar_spark.count_words(frame, pretokenizer="ByteLevel")
    with pytest.raises(ValueError, match="partitions must be at least 1"):
        selkbar_spark.count_words(frame, partitions=0)
    with pytest.raises(TypeError, match="expected a pyspark.sql.DataFrame"):
        selkbar_spark.count_words(["some text"])
    # No texts at all: no words, and the pretokenizer still named.
    empty = selkbar_spark.count_words(frame.limit(0), pretokenizer="gpt4")
    assert len(empty) == 0 and empty.pretokenizer == "gpt4"
    with pytest.raises(TypeError, match="argument 'special_tokens'"):
        selkbar_spark.train_tokenizer(frame, 100, tmp_path / "tokenizer.json", special_tokens=5)
    assert os.listdir(tmp_path) == []

