"""Corpus readers: plain or compressed text, JSON Lines and Parquet, turned
into the items selkbar's training functions take.

The format is chosen by the file's name (letter case ignored):

  NAME.parquet                       Parquet: the text column, in record batches
  NAME.jsonl[.gz|.zst|.xz|.bz2]      JSON Lines: one object per line, its text field
  NAME.json.gz|.zst|.xz|.bz2         JSON Lines as well (one object per line)
  NAME.gz|.zst|.xz|.bz2              compressed text: decompressed as a stream
  anything else                      plain UTF-8 text

Text (plain or compressed) is fed to the trainer as file blocks: the bytes of
whole lines, cut just after a newline, named by the file and placed by their
offset in the uncompressed text. They are counted as the trainer counts a file
(each line on its own), so a compressed file trains exactly like the file
unpacked, and text that is not UTF-8 is reported with the file and offset. A
JSON Lines record or a Parquet value is one whole text, pretokenized as one.

Nothing is unpacked whole: compressed data is decompressed a few megabytes at a
time, so memory stays bounded by the block size. A text line longer than a
block is cut just before a space that follows a character other than
whitespace, where every named pretokenizer ends a pretoken anyway, so it counts as the line whole; a line
with no such place (or any long line when the caller asks for no cuts, as
for a custom pattern) is refused past MAX_LINE_BYTES. A JSON Lines record is
parsed whole. zstd needs the `zstandard` package and Parquet `pyarrow`; both
are optional, imported only when such a file is read.

Errors name the file: malformed records (with the line number), corrupt or
truncated compressed data and unreadable Parquet raise CorpusError, a
ValueError; a file that cannot be opened or read raises OSError.
"""

import bz2
import gzip
import importlib
import json
import lzma
import os
import re
import zlib

__all__ = ["read_texts", "CorpusError", "MissingDependency", "TextReader"]

PLAIN, COMPRESSED, JSONL, PARQUET = "text", "compressed text", "JSON Lines", "Parquet"

# Suffix -> codec name as users know it (used in messages).
CODECS = {".gz": "gzip", ".zst": "zstd", ".xz": "xz", ".bz2": "bzip2"}

# Optional packages: module name, the extra that installs it, and what needs it.
OPTIONAL = {
    "zstd": ("zstandard", "zstd", ".zst files"),
    "parquet": ("pyarrow", "parquet", ".parquet files"),
}

# Text blocks of a few MiB keep the per-block cost (one Python round trip,
# one hand-off to the counting threads) negligible while bounding memory.
BLOCK_BYTES = 4 << 20
# zstd output is not capped per call, so compressed input goes in pieces
# sized to the ratio seen so far, to yield about a block per call; the
# smallest piece bounds what even the most extreme data (run-length blocks
# of 128 KiB in a few bytes) yields at once to a few megabytes.
ZSTD_INPUT_BYTES = 64 << 10
ZSTD_MIN_INPUT_BYTES = 256
# A line longer than this with no pretoken boundary to cut it at (a custom
# pattern, or text with no space between letters) is refused rather than
# held whole: memory would grow with it.
MAX_LINE_BYTES = 256 << 20
# Texts per list handed over: one call per batch instead of one per record.
BATCH_TEXTS = 1000
# Parquet rows per record batch: a few MiB of typical documents, so that
# reading the next batch overlaps counting the last (a whole row group at
# once left the counting threads waiting).
PARQUET_ROWS = 4096


class CorpusError(ValueError):
    """An input file whose content cannot be read as its name says."""


class MissingDependency(ImportError):
    """An optional package that a file's format needs is not installed."""


def detect_format(path):
    """Returns (format, codec) for a path: codec is None or a CODECS value."""
    name = os.path.basename(os.fspath(path)).lower()
    if name.endswith(".parquet"):
        return PARQUET, None
    codec = None
    for suffix, codec_name in CODECS.items():
        if name.endswith(suffix):
            codec, name = codec_name, name[:-len(suffix)]
            break
    if name.endswith(".jsonl") or (codec is not None and name.endswith(".json")):
        return JSONL, codec
    return (PLAIN if codec is None else COMPRESSED), codec


def _dependency_of(path):
    fmt, codec = detect_format(path)
    if fmt == PARQUET:
        return "parquet"
    if codec == "zstd":
        return "zstd"
    return None


def missing_dependency_message(key):
    module, extra, what = OPTIONAL[key]
    return (f"reading {what} needs the {module} package, which is not installed: "
            f'pip install "selkbar[{extra}]"')


def missing_dependencies(paths):
    """Messages for the optional packages these inputs need and the
    interpreter lacks, so a command can refuse before any work starts."""
    messages = []
    for key in dict.fromkeys(filter(None, map(_dependency_of, paths))):
        try:
            importlib.import_module(OPTIONAL[key][0])
        except ImportError:
            messages.append(missing_dependency_message(key))
    return messages


def _import(key):
    try:
        return importlib.import_module(OPTIONAL[key][0])
    except ImportError as error:
        raise MissingDependency(missing_dependency_message(key)) from error


def is_plain(path):
    return detect_format(path)[0] == PLAIN


# ---------------------------------------------------------------------------
# Byte streams


def _os_error(error, verb, path):
    """error, reworded as "VERB PATH: reason" like the trainer's own file
    errors; its class (FileNotFoundError, ...) and errno are kept."""
    reworded = type(error)(f"{verb} {path}: {error.strerror}")
    # errno alone: with strerror or filename set, str() would show those.
    reworded.errno = error.errno
    return reworded


def _open(path):
    try:
        return open(path, "rb")
    except OSError as error:
        raise _os_error(error, "opening", path) from error


def _read_error(path, codec, error):
    """The exception to raise for a failure while reading a (compressed) file."""
    if isinstance(error, EOFError):
        return CorpusError(f"{path}: truncated {codec} data: the file ends in the middle of "
                           "a compressed stream")
    if isinstance(error, OSError) and error.errno is not None:
        return _os_error(error, "reading", path)
    return CorpusError(f"{path}: not valid {codec} data ({error})")


def _empty_compressed(path, codec):
    # gzip, bzip2, xz and zstd streams all have a header: zero bytes is a
    # damaged file (gzip -t says so), not an empty corpus.
    return CorpusError(f"{path}: not valid {codec} data (the file is empty)")


def _file_chunks(path, opener, codec):
    """Yields the decompressed bytes of a file in pieces of up to BLOCK_BYTES."""
    with _open(path) as raw:
        if codec != "file" and not raw.peek(1):
            raise _empty_compressed(path, codec)
        try:
            stream = opener(raw)
            while True:
                chunk = stream.read(BLOCK_BYTES)
                if not chunk:
                    return
                yield chunk
        except (EOFError, OSError, zlib.error, lzma.LZMAError) as error:
            raise _read_error(path, codec, error) from error


def _zstd_chunks(path):
    """Yields the decompressed bytes of a zstd file, frame after frame.

    The decompression object tells whether its frame ended (eof), which the
    stream reader of the zstandard package does not: a truncated file must be
    an error, not a silently shorter corpus."""
    zstandard = _import("zstd")
    decompressor = zstandard.ZstdDecompressor()
    frame = None
    step = ZSTD_MIN_INPUT_BYTES  # grows once the ratio is known
    with _open(path) as raw:
        if not raw.peek(1):
            raise _empty_compressed(path, "zstd")
        try:
            while True:
                data = raw.read(step)
                if not data:
                    break
                while data:
                    if frame is None:
                        frame = decompressor.decompressobj()
                    out = frame.decompress(data)
                    if out:
                        ratio = max(1, len(out) // len(data))
                        step = max(ZSTD_MIN_INPUT_BYTES, min(ZSTD_INPUT_BYTES, BLOCK_BYTES // ratio))
                        yield out
                    data = b""
                    if frame.eof:
                        data, frame = frame.unused_data, None
        except zstandard.ZstdError as error:
            raise _read_error(path, "zstd", error) from error
        except OSError as error:
            raise _read_error(path, "zstd", error) from error
    if frame is not None:
        raise _read_error(path, "zstd", EOFError())


def _byte_chunks(path, codec):
    if codec is None:
        return _file_chunks(path, lambda raw: raw, "file")
    if codec == "zstd":
        return _zstd_chunks(path)
    opener = {"gzip": lambda raw: gzip.GzipFile(fileobj=raw, mode="rb"),
              "xz": lzma.LZMAFile, "bzip2": bz2.BZ2File}[codec]
    return _file_chunks(path, opener, codec)


class LineTooLong(Exception):
    """A line longer than MAX_LINE_BYTES with no place to cut it; the caller
    names the file."""

    def __init__(self, line):
        super().__init__(line)
        self.line = line


# Just before a space that follows a character other than whitespace: no
# named pretokenizer joins such a character to a space after it (letter,
# digit and punctuation runs stop at whitespace; only runs of whitespace take
# more whitespace), and none looks behind, so the text from the space on is
# split exactly as inside the whole line. Whitespace mode splits there anyway.
# A long line cut there is therefore counted exactly as the line whole. The
# look-behinds exclude the UTF-8 forms of the Unicode spaces above ASCII.
_CUT_BEFORE = re.compile(
    rb"(?<=[\x21-\x7e\x80-\xff])(?<!\xc2\x85)(?<!\xc2\xa0)(?<!\xe1\x9a\x80)"
    rb"(?<!\xe2\x80[\x80-\x8a\xa8\xa9\xaf])(?<!\xe2\x81\x9f)(?<!\xe3\x80\x80)(?= )")


def safe_cut(piece):
    """The position in piece just before its last safe cut, or -1."""
    # Searching the tail first keeps the common case (text with words) cheap.
    tail = max(0, len(piece) - 65536)
    for start in (tail, 0):
        last = None
        for last in _CUT_BEFORE.finditer(piece, start):
            pass
        if last is not None:
            return last.start()
        if start == 0:
            break
    return -1


def line_blocks(chunks, block_bytes=None, cut=safe_cut, limit=-1):
    """Regroups byte pieces into blocks of about block_bytes that end just
    after a newline (the last one at the end of the data).

    A line longer than a block is cut where `cut` finds a pretoken boundary in
    the piece that made the block full, so memory stays a few blocks whatever
    the line length; with cut=None, or where no boundary turns up, the line
    grows until `limit` bytes (-1: MAX_LINE_BYTES, None: no limit) and then
    raises LineTooLong.

    Each piece is searched for its last newline once, when it arrives, so a
    long line costs linear time."""
    block_bytes = block_bytes or BLOCK_BYTES
    if limit == -1:
        limit = MAX_LINE_BYTES
    pending = []         # pieces not yet handed out
    pending_bytes = 0
    cut_piece = -1       # index in pending of the last piece holding a cut
    cut_at = 0           # and the position just after it
    line = 1             # number of the line the pending bytes start in
    for piece in chunks:
        if not piece:
            continue
        pending.append(piece)
        pending_bytes += len(piece)
        newline = piece.rfind(b"\n")
        if newline >= 0:
            cut_piece, cut_at = len(pending) - 1, newline + 1
        if pending_bytes < block_bytes:
            continue
        if cut_piece < 0 and cut is not None:
            inside = cut(piece)
            if inside > 0:
                cut_piece, cut_at = len(pending) - 1, inside
        if cut_piece < 0:
            if limit is not None and pending_bytes > limit:
                raise LineTooLong(line)
            continue
        last = pending[cut_piece]
        head = memoryview(last)[:cut_at]
        line += last.count(b"\n", 0, cut_at) + sum(p.count(b"\n") for p in pending[:cut_piece])
        if cut_piece == 0:
            block = head
        else:
            block = b"".join(pending[:cut_piece] + [head])
        rest = [last[cut_at:]] if cut_at < len(last) else []
        pending = rest + pending[cut_piece + 1:]
        pending_bytes = sum(map(len, pending))
        cut_piece = -1
        yield block
    if pending:
        yield pending[0] if len(pending) == 1 else b"".join(pending)


# ---------------------------------------------------------------------------
# Formats


class ReadCounts:
    """What the readers skipped: bad records (with skip_bad_records) and null
    Parquet values."""

    def __init__(self):
        self.bad_records = 0
        self.null_values = 0


def _text_blocks(path, codec, cut=safe_cut):
    """File blocks (data, source, offset) of a plain or compressed text file."""
    offset = 0
    try:
        for block in line_blocks(_byte_chunks(path, codec), cut=cut):
            yield (block, path, offset)
            offset += len(block)
    except LineTooLong as error:
        where = "" if cut is None else " and no space after a word to cut it at"
        raise CorpusError(f"{path}, line {error.line}: the line is longer than "
                          f"{MAX_LINE_BYTES >> 20} MiB{where}; a line is held whole in memory "
                          "until it ends, so split it into shorter lines") from None


def _text_lines(path, codec, cut=safe_cut):
    """Lists of the lines (each with its newline) of a plain or compressed
    text file, for callers that take only str. A line longer than a block
    comes in pieces cut at a pretoken boundary (see safe_cut)."""
    for block, _, offset in _text_blocks(path, codec, cut):
        try:
            text = str(block, "utf-8")
        except UnicodeDecodeError as error:
            raise CorpusError(f"input is not valid UTF-8: {_describe_utf8_error(error, offset)} "
                              f"in {path}") from error
        # Not str.splitlines: it also splits at "\r", "\x0b", "\u2028" and
        # others, and a line is what ends in "\n".
        lines = text.split("\n")
        last = lines.pop()
        lines = [line + "\n" for line in lines]
        if last:
            lines.append(last)
        yield lines


def _describe_utf8_error(error, offset):
    """Worded as the trainer words it for files, the index counted from the
    start of the file."""
    index = offset + error.start
    if error.reason == "unexpected end of data":
        return f"incomplete utf-8 byte sequence from index {index}"
    return f"invalid utf-8 sequence of {error.end - error.start} bytes from index {index}"


class _JsonLinesReader:
    """The text fields of a JSON Lines file, in lists of up to BATCH_TEXTS."""

    def __init__(self, path, codec, field, skip_bad_records, counts):
        self.path = path
        self.codec = codec
        self.field = field
        self.skip = skip_bad_records
        self.counts = counts

    def bad(self, number, what):
        if self.skip:
            self.counts.bad_records += 1
            return
        raise CorpusError(f"{self.path}, line {number}: {what}")

    def check(self, number, line):
        """The text of a line the fast path refused, or None (blank or skipped)."""
        if not line.strip():
            return None
        try:
            record = json.loads(line)
        except ValueError as error:
            msg = getattr(error, "msg", str(error))
            column = getattr(error, "colno", None)
            where = f" at column {column}" if column is not None else ""
            return self.bad(number, f"not valid JSON ({msg}{where})")
        if not isinstance(record, dict):
            return self.bad(number, f"not a JSON object but {_json_kind(record)}")
        if self.field not in record:
            return self.bad(number, f"the record has no field {self.field!r}")
        value = record[self.field]
        if not isinstance(value, str):
            return self.bad(number, f"field {self.field!r} is {_json_kind(value)}, not a string")
        return self.valid_unicode(number, value)

    def valid_unicode(self, number, value):
        """A JSON escape can make a lone surrogate, which is not text."""
        try:
            value.encode("utf-8")
        except UnicodeEncodeError as error:
            code = ord(value[error.start])
            return self.bad(number, f"field {self.field!r} holds an unpaired surrogate "
                                    f"\\u{code:04x}, which is not valid Unicode")
        return value

    def decode(self, block, first_line):
        try:
            return str(block, "utf-8")
        except UnicodeDecodeError:
            pass
        # Find the line, and decode the others; a bad line is a bad record.
        lines = []
        for number, raw in enumerate(bytes(block).split(b"\n"), first_line):
            try:
                lines.append(raw.decode("utf-8"))
            except UnicodeDecodeError:
                self.bad(number, "not valid UTF-8")
                lines.append("")
        return "\n".join(lines)

    def __iter__(self):
        loads, field, batch = json.loads, self.field, []
        number = 0
        # A record is parsed whole, so its line is never cut.
        for block in line_blocks(_byte_chunks(self.path, self.codec), cut=None, limit=None):
            text = self.decode(block, number + 1)
            if number == 0 and text.startswith("\ufeff"):
                text = text[1:]
            lines = text.split("\n")
            if lines[-1] == "":
                lines.pop()
            for line in lines:
                number += 1
                try:
                    value = loads(line)[field]
                    # Escapes of surrogates are the only way to make a str
                    # that is not valid Unicode; check only lines that have one.
                    if type(value) is str and "\\ud" not in line and "\\uD" not in line:
                        batch.append(value)
                        if len(batch) >= BATCH_TEXTS:
                            yield batch
                            batch = []
                        continue
                except Exception:
                    pass
                value = self.check(number, line)
                if value is not None:
                    batch.append(value)
        if batch:
            yield batch


def _json_kind(value):
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "a boolean"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "an object"
    return "a string"


def _parquet_arrays(path, field, counts):
    """The field's column of a Parquet file, one Arrow string array per
    record batch; nulls stay in the arrays (the trainer skips them) and are
    counted here."""
    pa = _import("parquet")
    import pyarrow.parquet as pq
    with _open(path) as raw:
        try:
            parquet = pq.ParquetFile(raw)
        except (pa.ArrowException, OSError, ValueError) as error:
            raise CorpusError(f"{path}: not a Parquet file ({error})") from error
        column_type = _text_column_type(path, parquet.schema_arrow, field, pa)
        try:
            # One column decodes little faster on pyarrow's thread pool, and
            # those threads compete with the counting threads for the cores.
            for batch in parquet.iter_batches(batch_size=PARQUET_ROWS, columns=[field],
                                              use_threads=False):
                column = batch.column(0)
                if column_type is not None:
                    column = column.cast(column_type)
                counts.null_values += column.null_count
                yield column
        except (pa.ArrowException, OSError) as error:
            raise CorpusError(f"{path}: cannot read the Parquet data ({error})") from error


def _text_column_type(path, schema, field, pa):
    """None when the column is a string array as is, else the type to cast it
    to; CorpusError when there is no such text column."""
    names = schema.names
    if names.count(field) != 1:
        what = "no" if field not in names else "more than one"
        raise CorpusError(f"{path}: {what} column {field!r} (columns: {', '.join(names)})")
    kind = schema.field(field).type
    if pa.types.is_string(kind) or pa.types.is_large_string(kind):
        return None
    if pa.types.is_dictionary(kind) and (pa.types.is_string(kind.value_type)
                                         or pa.types.is_large_string(kind.value_type)):
        return kind.value_type
    if getattr(pa.types, "is_string_view", lambda _: False)(kind):
        return pa.large_string()
    raise CorpusError(f"{path}: column {field!r} holds {kind}, not strings")


# ---------------------------------------------------------------------------
# The reader


class TextReader:
    """An iterator over the texts of files, in the order given, as items for
    selkbar's *_from_iterator functions; `counts` tells what was skipped.

    With file_blocks=True, text files come as file blocks (data, source,
    offset), which only the command line's private entry points accept;
    otherwise as lists of lines (each with its newline)."""

    def __init__(self, paths, text_field="text", *, skip_bad_records=False, file_blocks=False,
                 cut_long_lines=True):
        if isinstance(paths, (str, bytes, os.PathLike)):
            paths = [paths]
        self.paths = [os.fspath(path) for path in paths]
        for path in self.paths:
            if not isinstance(path, str):
                raise TypeError(f"paths must be str or os.PathLike of str, got {path!r}")
        if not isinstance(text_field, str):
            raise TypeError(f"text_field must be a str, got {type(text_field).__name__}")
        self.text_field = text_field
        self.skip_bad_records = bool(skip_bad_records)
        self.file_blocks = file_blocks
        # A custom pattern may join what safe_cut separates: no cuts then.
        self.cut = safe_cut if cut_long_lines else None
        self.counts = ReadCounts()
        self._items = self._generate()

    def __iter__(self):
        return self

    def __next__(self):
        return next(self._items)

    def items_of(self, path):
        fmt, codec = detect_format(path)
        if fmt == PARQUET:
            return _parquet_arrays(path, self.text_field, self.counts)
        if fmt == JSONL:
            return iter(_JsonLinesReader(path, codec, self.text_field,
                                         self.skip_bad_records, self.counts))
        if self.file_blocks:
            return _text_blocks(path, codec, self.cut)
        return _text_lines(path, codec, self.cut)

    def _generate(self):
        for path in self.paths:
            yield from self.items_of(path)


def read_texts(paths, text_field="text", *, skip_bad_records=False):
    """Returns an iterator over the texts of corpus files, for
    train_bpe_from_iterator and the other *_from_iterator functions.

    paths is a path or a list of paths; each file is read by its name: Parquet
    (.parquet: the text_field column), JSON Lines (.jsonl, also compressed as
    .jsonl.gz/.zst/.xz/.bz2 or .json.gz/.zst/.xz/.bz2: each line one object,
    its text_field one text), compressed text (.gz, .zst, .xz, .bz2) or plain
    UTF-8 text (any other name), in the order given. Text files yield lists of
    their lines; JSON Lines lists of field values; Parquet Arrow arrays. A
    text line longer than a few megabytes comes in pieces, cut just before a
    space that follows a character other than whitespace (a pretoken boundary
    of every named pretokenizer), so memory stays bounded; one with no such place longer
    than 256 MiB raises CorpusError.
    Files are opened only as iteration reaches them.

    A malformed record raises CorpusError (a ValueError) naming the file and
    line, unless skip_bad_records, which skips it and counts it in the
    iterator's counts.bad_records; Parquet nulls are skipped by the trainer
    and counted in counts.null_values. .zst needs the zstandard package and
    .parquet pyarrow (pip install "selkbar[zstd]", "selkbar[parquet]").
    """
    return TextReader(paths, text_field, skip_bad_records=skip_bad_records)
