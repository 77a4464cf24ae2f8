"""Count a corpus on a Dask cluster, train on this machine.

    from distributed import Client, LocalCluster
    import selkbar_dask

    with Client(LocalCluster(n_workers=4, threads_per_worker=1)):
        vocab, merges = selkbar_dask.train_bpe(["corpus/a.txt", "s3://bucket/b.txt"], 32000)

Training has two halves: counting the distinct words of the corpus, which is
proportional to the corpus and splits across machines, and the merge loop,
which works on the counts alone. Here counting runs on the workers of a Dask
cluster and the merge loop runs in the calling process, so the result is the
one selkbar.train_bpe gives on the same files, for every option.

How the work is cut:
  * Every file is cut into byte ranges of at most `partition_bytes`; each range
    is one task. Its lines are assigned by the rule the engine's own range
    reader follows, so neighbouring ranges agree on every cut without seeing
    each other: a range [start, end) owns the bytes from just after the first
    delimiter at or after offset start - 1 (from offset 0 when start is 0) up
    to and including the first delimiter at or after offset end - 1 (to the
    end of the file if there is none). Delimiters are the six ASCII white space
    bytes for the whitespace pretokenizer, and LF alone for the byte-level
    family, whose pretokens may hold spaces but never cross a line. A task thus
    reads at most partition_bytes plus the rest of one line.
  * A task counts its bytes natively, with the interpreter lock released, and
    returns a selkbar.WordCounts. A Dask Bag of texts or a Dask DataFrame
    string column is counted the same way, one task per partition.
  * Partial counts are summed by merge tasks on the workers, FAN_IN at a time,
    level after level, so no process ever holds more than FAN_IN partial counts
    and only the final sum travels to the caller.

Tasks are pure functions of their inputs: when a worker dies, Dask reruns its
tasks elsewhere and the result is unchanged. Failures (a missing or unreadable
file, an unknown URL scheme, text that is not UTF-8) raise the ValueError that
selkbar.train_bpe raises for them, naming the path, and no output is written.
"""

import os
import re
import uuid

import selkbar
import selkbar_cluster

__all__ = ["count_words", "train_bpe", "train_tokenizer", "train_superword_tokenizer"]

DEFAULT_PARTITION_BYTES = 256 * 2**20

# Partial counts summed by one merge task. Eight keeps a merge task's memory
# at a few partial counts while a tree over ten thousand ranges is five levels.
FAN_IN = 8

# Blocks handed to the native counter: large enough that per-block overhead
# vanishes, small enough that the counter's threads start early.
BLOCK_BYTES = 4 * 2**20

# How much further a range reads at a time to find the end of its last line.
_TAIL_READ_BYTES = 64 * 2**10

# Paths whose sizes one task looks up.
_PATHS_PER_SIZE_TASK = 256

_WHITESPACE_DELIMITER = re.compile(rb"[\t\n\v\f\r ]")
_LINE_DELIMITER = re.compile(rb"\n")

_NOT_REGULAR = ("{} is not a regular file; pipes and process substitution are not supported "
                "because the reader seeks. Write the stream to a file first.")


def count_words(paths, *, client=None, pretokenizer="whitespace", pattern=None,
                partition_bytes=DEFAULT_PARTITION_BYTES, threads_per_task=None):
    """Count the words of `paths` on a Dask cluster; returns a selkbar.WordCounts.

    `paths` is a list of local paths (as the workers see them) or fsspec URLs
    (file://, s3://, gs://, hdfs://, ...), a dask.bag.Bag of str, or a string
    column of a Dask DataFrame (a dask Series). `client` is a
    distributed.Client, by default the current one. `threads_per_task` is the
    native counter's thread budget in each task; None gives each task one
    thread, as Dask expects of a task (a worker runs as many tasks at once as
    it has threads). The counts equal selkbar.count_words on the same files.
    """
    _check_count_options(pretokenizer, pattern, partition_bytes, threads_per_task)
    kind = _collection_kind(paths)
    if kind is None:
        paths = _path_list(paths)
    client = _resolve_client(client)
    token = uuid.uuid4().hex[:12]
    futures = []
    try:
        if kind is None:
            leaves = _submit_ranges(client, paths, pretokenizer, pattern, partition_bytes,
                                    threads_per_task, token, futures)
        else:
            leaves = _submit_partitions(client, paths, kind, pretokenizer, pattern,
                                        threads_per_task, token, futures)
        if not leaves:
            return _empty_counts(pretokenizer, pattern)
        return _combine(client, leaves, token, futures).result()
    except BaseException:
        client.cancel(futures)
        raise


def train_bpe(paths, vocab_size, *, client=None, special_tokens=(), min_frequency=0,
              max_token_length=None, limit_alphabet=None, pretokenizer="whitespace",
              pattern=None, continuing_subword_prefix=None, end_of_word_suffix=None,
              initial_alphabet=(), base=None, partition_bytes=DEFAULT_PARTITION_BYTES,
              threads_per_task=None, progress=False):
    """Count `paths` on a Dask cluster (see count_words), then train on this
    machine; returns (vocab, merges) as selkbar.train_bpe does. `progress`
    shows the training on this machine."""
    options = selkbar_cluster.training_options(locals())
    return selkbar_cluster.train_bpe_after(
        lambda: count_words(paths, client=client, pretokenizer=pretokenizer, pattern=pattern,
                            partition_bytes=partition_bytes, threads_per_task=threads_per_task),
        _empty_counts(pretokenizer, pattern), vocab_size, options)


def train_tokenizer(paths, vocab_size, output, *, client=None, special_tokens=(),
                    min_frequency=0, max_token_length=None, limit_alphabet=None,
                    pretokenizer="whitespace", pattern=None, continuing_subword_prefix=None,
                    end_of_word_suffix=None, initial_alphabet=(), base=None,
                    tiktoken_output=None, partition_bytes=DEFAULT_PARTITION_BYTES,
                    threads_per_task=None, progress=False):
    """Count `paths` on a Dask cluster (see count_words), then train on this
    machine and write a HuggingFace tokenizer.json to `output` (and the
    tiktoken ranks file to `tiktoken_output`, if given), as
    selkbar.train_tokenizer does. Nothing is written when counting fails."""
    options = selkbar_cluster.training_options(locals())
    selkbar_cluster.train_tokenizer_after(
        lambda: count_words(paths, client=client, pretokenizer=pretokenizer, pattern=pattern,
                            partition_bytes=partition_bytes, threads_per_task=threads_per_task),
        _empty_counts(pretokenizer, pattern), vocab_size, output, tiktoken_output, options)


def train_superword_tokenizer(paths, vocab_size, output, *, transition, client=None,
                              pretokenizer="gpt4", superword_pattern=None,
                              tiktoken_output=None, partition_bytes=DEFAULT_PARTITION_BYTES,
                              threads_per_task=None, **options):
    """Count `paths` on a Dask cluster twice, with `pretokenizer` and with
    `superword_pattern` (default selkbar.SUPERWORD_PATTERN), then train the
    superword tokenizer on this machine, as
    selkbar.train_superword_tokenizer_from_counts does."""
    import selkbar_superword
    if superword_pattern is None:
        superword_pattern = selkbar_superword.SUPERWORD_PATTERN
    selkbar_superword.check_stages(vocab_size, transition, options)
    counting = dict(client=client, partition_bytes=partition_bytes,
                    threads_per_task=threads_per_task)
    counts = count_words(paths, pretokenizer=pretokenizer, **counting)
    lines = count_words(paths, pretokenizer="bytelevel", pattern=superword_pattern, **counting)
    selkbar_superword.train_superword_tokenizer_from_counts(
        counts, lines, vocab_size, output, transition=transition,
        tiktoken_output=tiktoken_output, **options)


# ---------------------------------------------------------------------------
# Arguments, checked on the caller before any task is submitted, so a typo
# fails at once rather than after an hour of counting.

def _check_count_options(pretokenizer, pattern, partition_bytes, threads_per_task):
    if isinstance(partition_bytes, bool) or not isinstance(partition_bytes, int):
        raise TypeError(f"argument 'partition_bytes': expected an int, got "
                        f"{type(partition_bytes).__name__}")
    if partition_bytes < 1:
        raise ValueError(f"partition_bytes must be at least 1, got {partition_bytes}")
    # Counting no files checks the pretokenizer, the pattern and the thread
    # budget with the engine's own messages.
    selkbar.count_words([], pretokenizer=pretokenizer, pattern=pattern,
                        threads=_task_threads(threads_per_task))


def _task_threads(threads_per_task):
    return 1 if threads_per_task is None else threads_per_task


def _path_list(paths):
    if isinstance(paths, (str, bytes)) or not hasattr(paths, "__iter__"):
        raise TypeError("argument 'paths': expected a list of paths or URLs, a dask.bag.Bag "
                        f"or a Dask DataFrame column, got {type(paths).__name__}")
    result = []
    for index, path in enumerate(paths):
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(f"argument 'paths': item {index} is a {type(path).__name__}, "
                            "not a str or os.PathLike")
        path = os.fspath(path)
        if not isinstance(path, str):
            raise TypeError(f"argument 'paths': item {index} is a bytes path; pass a str")
        _check_plain(path)
        result.append(path)
    return result


# Files are cut into byte ranges that workers read on their own, which only
# plain text allows: a compressed stream cannot be entered in the middle.
_COMPRESSED = {".gz": "gzip", ".zst": "zstd", ".xz": "xz", ".bz2": "bzip2"}


def _check_plain(path):
    suffix = os.path.splitext(path)[1].lower()
    if suffix in _COMPRESSED:
        raise ValueError(
            f"argument 'paths': {path} is {_COMPRESSED[suffix]}-compressed, and paths are read "
            "as plain UTF-8 text in byte ranges; decompress it first, or pass "
            "dask.bag.read_text(paths), which decompresses each file in one partition")


def _collection_kind(obj):
    """"bag" or "series" for the Dask collections counted per partition,
    None for anything else (taken for a list of paths)."""
    module = type(obj).__module__ or ""
    if not module.startswith("dask"):
        return None
    import dask.bag
    if isinstance(obj, dask.bag.Bag):
        return "bag"
    try:
        import dask.dataframe
    except ImportError:
        return None
    if isinstance(obj, dask.dataframe.Series):
        return "series"
    if isinstance(obj, dask.dataframe.DataFrame):
        raise TypeError("argument 'paths': a Dask DataFrame has several columns; pass the "
                        "string column to count, such as frame['text']")
    return None


def _resolve_client(client):
    if client is not None:
        return client
    try:
        import distributed
    except ImportError:
        raise ImportError("selkbar_dask needs Dask's distributed scheduler: "
                          "pip install \"selkbar[dask]\"") from None
    try:
        return distributed.get_client()
    except ValueError:
        raise ValueError("no Dask client: pass client=, or make one first, e.g. "
                         "distributed.Client(distributed.LocalCluster()) or "
                         "distributed.Client(\"tcp://scheduler:8786\")") from None


def _empty_counts(pretokenizer, pattern):
    return selkbar.count_words([], pretokenizer=pretokenizer, pattern=pattern)


# ---------------------------------------------------------------------------
# Submitting tasks. Every future made is appended to `futures`, so that a
# failure or an interrupt cancels the work still queued.

def _submit_ranges(client, paths, pretokenizer, pattern, partition_bytes, threads_per_task,
                   token, futures):
    # Sizes are looked up on the workers: the paths are the ones they see.
    batches = [paths[i:i + _PATHS_PER_SIZE_TASK]
               for i in range(0, len(paths), _PATHS_PER_SIZE_TASK)]
    size_futures = [client.submit(_file_sizes, batch, key=f"selkbar-size-{token}-{i}")
                    for i, batch in enumerate(batches)]
    futures.extend(size_futures)
    sizes = [size for batch in client.gather(size_futures) for size in batch]
    leaves = []
    for path, size in zip(paths, sizes):
        for start, end in plan_ranges(size, partition_bytes):
            leaves.append(client.submit(
                _count_range, path, start, end, pretokenizer, pattern,
                _task_threads(threads_per_task), key=f"selkbar-count-{token}-{len(leaves)}"))
    futures.extend(leaves)
    return leaves


def _submit_partitions(client, collection, kind, pretokenizer, pattern, threads_per_task,
                       token, futures):
    import dask
    count = _count_texts if kind == "bag" else _count_column
    tasks = [dask.delayed(count, pure=False)(part, pretokenizer, pattern,
                                             _task_threads(threads_per_task),
                                             dask_key_name=f"selkbar-count-{token}-{i}")
             for i, part in enumerate(collection.to_delayed())]
    leaves = client.compute(tasks)
    futures.extend(leaves)
    return leaves


def _combine(client, leaves, token, futures, levels=None):
    """Sums `leaves` by merge tasks of FAN_IN inputs each; returns the future
    of the total. Each level of the tree is appended to `levels` if given."""
    level = leaves
    depth = 0
    while len(level) > 1:
        groups = [level[i:i + FAN_IN] for i in range(0, len(level), FAN_IN)]
        level = [group[0] if len(group) == 1 else
                 client.submit(_merge, *group, key=f"selkbar-merge-{token}-{depth}-{i}")
                 for i, group in enumerate(groups)]
        futures.extend(level)
        if levels is not None:
            levels.append(level)
        depth += 1
    return level[0]


# ---------------------------------------------------------------------------
# Range planning and reading. plan_ranges and owned_bytes are pure, so that
# the rule can be tested without a cluster. owned_bytes is the second writing
# of the range reader's rule (src/counting/reader.h); tests/python/
# test_range_rule.py checks the two against each other.

def plan_ranges(size, partition_bytes):
    """The byte ranges [start, end) a file of `size` bytes is cut into. A file
    whose size reads as 0 (such as those under /proc) gets one range with end
    None, read to its end."""
    if size == 0:
        return [(0, None)]
    return [(start, min(start + partition_bytes, size))
            for start in range(0, size, partition_bytes)]


def delimiter_pattern(pretokenizer, pattern):
    """The compiled class of the bytes a range may be cut after."""
    if pretokenizer == "whitespace" and pattern is None:
        return _WHITESPACE_DELIMITER
    return _LINE_DELIMITER


def owned_bytes(read_at, start, end, delimiter):
    """The bytes range [start, end) owns and the file offset of the first.

    `read_at(offset, length)` returns up to `length` bytes of the file from
    `offset` (fewer only at the end of the file; everything to the end when
    length is None). Returns (offset, head, begin, tail): the owned bytes are
    head[begin:] followed by tail, where head holds the bytes read before
    `end`, from file offset `offset` on, and tail the bytes from `end` to the
    end of the last line (kept apart so that the head, the bulk of the range,
    is never copied).
    """
    if end is None:
        return 0, read_at(0, None), 0, b""
    low = max(start - 1, 0)
    head = read_at(low, end - low)
    begin = 0
    if start > 0:
        first = delimiter.search(head)
        # No delimiter from start - 1 on, or only the one at end - 1: the
        # line that crosses the range's start also crosses its end, and the
        # range before this one owns it.
        if first is None or first.start() == len(head) - 1:
            return low, head, len(head), b""
        begin = first.start() + 1
    if len(head) < end - low or delimiter.match(head, len(head) - 1):
        tail = b""
    else:
        tail = _read_to_delimiter(read_at, end, delimiter)
    return low, head, begin, tail


def _read_to_delimiter(read_at, offset, delimiter):
    pieces = []
    while True:
        piece = read_at(offset, _TAIL_READ_BYTES)
        found = delimiter.search(piece)
        if found is not None:
            pieces.append(piece[:found.start() + 1])
            return b"".join(pieces)
        pieces.append(piece)
        if len(piece) < _TAIL_READ_BYTES:
            return b"".join(pieces)
        offset += len(piece)


def file_blocks(source, offset, head, begin, tail, block_bytes=BLOCK_BYTES):
    """File blocks (data, source, offset) covering head[begin:] + tail, each
    cut just after a LF or at the end, as the native counter requires; all but
    the last are views of head. `offset` is the file offset of head[0]."""
    blocks = []
    view = memoryview(head)
    position = begin
    while len(head) - position > block_bytes:
        cut = head.rfind(b"\n", position, position + block_bytes)
        if cut < 0:
            cut = head.find(b"\n", position + block_bytes)
            if cut < 0:
                break
        blocks.append((view[position:cut + 1], source, offset + position))
        position = cut + 1
    rest = view[position:] if not tail else bytes(view[position:]) + tail
    if len(rest):
        blocks.append((rest, source, offset + position))
    return blocks


# ---------------------------------------------------------------------------
# Task bodies, run on the workers.

def _file_sizes(paths):
    return [_file_size(path) for path in paths]


def _file_size(path):
    if not _is_url(path):
        try:
            info = os.stat(path)
        except OSError as error:
            raise ValueError(f"reading {path}: {_reason(error)}") from None
        import stat
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(_NOT_REGULAR.format(path))
        return info.st_size
    fs, inner = _url_filesystem(path)
    try:
        info = fs.info(inner)
    except (OSError, ValueError) as error:
        raise ValueError(f"reading {path}: {_reason(error)}") from None
    if info.get("type") != "file":
        raise ValueError(_NOT_REGULAR.format(path))
    return int(info.get("size") or 0)


def _count_range(path, start, end, pretokenizer, pattern, threads):
    delimiter = delimiter_pattern(pretokenizer, pattern)
    try:
        stream = _open(path)
    except OSError as error:
        raise ValueError(f"opening {path}: {_reason(error)}") from None
    try:
        with stream:
            def read_at(offset, length):
                stream.seek(offset)
                return stream.read() if length is None else _read_exact(stream, length)
            offset, head, begin, tail = owned_bytes(read_at, start, end, delimiter)
    except OSError as error:
        raise ValueError(f"reading {path}: {_reason(error)}") from None
    blocks = file_blocks(path, offset, head, begin, tail)
    return _count_blocks(blocks, pretokenizer, pattern, threads)


def _count_blocks(blocks, pretokenizer, pattern, threads):
    return selkbar._count_words_from_items(blocks, pretokenizer=pretokenizer, pattern=pattern,
                                           threads=threads)


def _count_texts(texts, pretokenizer, pattern, threads):
    return selkbar.count_words_from_iterator(texts, pretokenizer=pretokenizer, pattern=pattern,
                                             threads=threads)


def _count_column(series, pretokenizer, pattern, threads):
    return _count_texts(series.dropna().tolist(), pretokenizer, pattern, threads)


def _merge(*counts):
    return selkbar.WordCounts.merge(counts)


def _is_url(path):
    return "://" in path


def _url_filesystem(path):
    import fsspec.core
    try:
        return fsspec.core.url_to_fs(path)
    except ValueError as error:
        # fsspec says "Protocol not known: NAME" for a scheme it has no file
        # system for.
        scheme = path.split("://", 1)[0]
        raise ValueError(f"reading {path}: unknown URL scheme {scheme!r} ({error})") from None
    except ImportError as error:
        raise ValueError(f"reading {path}: {error}") from None


def _open(path):
    if not _is_url(path):
        return open(path, "rb")
    fs, inner = _url_filesystem(path)
    return fs.open(inner, "rb")


def _read_exact(stream, length):
    data = stream.read(length)
    if len(data) == length or not data:
        return data
    pieces = [data]
    got = len(data)
    while got < length:
        more = stream.read(length - got)
        if not more:
            break
        pieces.append(more)
        got += len(more)
    return b"".join(pieces)


def _reason(error):
    if isinstance(error, OSError) and error.errno is not None and error.strerror:
        return error.strerror
    # File systems of fsspec raise FileNotFoundError(path) and the like, with
    # no errno: the class is the reason.
    if isinstance(error, OSError) and type(error) is not OSError:
        return f"{type(error).__name__}: {error}" if str(error) else type(error).__name__
    return str(error) or type(error).__name__
