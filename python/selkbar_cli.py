"""selkbar-train: train a BPE tokenizer from the command line.

A thin wrapper around selkbar.train_tokenizer. Inputs may be files or
directories; a directory stands for every visible regular file below it, in
sorted order, so the same tree always gives the same file list and therefore
the same tokenizer. Each file is read by its name (selkbar_readers): plain
text, compressed text (.gz, .zst, .xz, .bz2), JSON Lines (.jsonl and its
compressed forms, .json.gz and the like) or Parquet (.parquet). Plain text
files alone go to the library by name, which reads them on its own threads;
any other input makes the readers feed the library instead. --save-counts also writes the counted words to a file,
and --counts trains from such a file instead of reading inputs, so trying
several vocabulary sizes reads the corpus once.

Exit status: 0 on success, 2 when the command line is wrong (argparse's own
errors and the checks made here before any work starts), 1 when training
fails (the library's ValueError, OSError, MemoryError or internal error).
Ctrl-C kills the process at once: training runs in native code without the
interpreter lock, so a Python KeyboardInterrupt would only be seen after it
had finished. The library writes the output as an unnamed file that gets its
name only when complete (or, where the file system cannot, under a temporary
name it removes before a Ctrl-C takes effect), so an interrupted run leaves
no partial tokenizer.json; with --tiktoken the ranks file is written with it,
both or neither. "-o -" writes the tokenizer to standard output and
the summary line to standard error.
"""

import argparse
import os
import signal
import sys
import textwrap
import threading
import time

import selkbar_readers

PROG = "selkbar-train"
STDOUT = "-"  # the output name that stands for standard output
BYTES = "bytes"  # the --initial-alphabet value that stands for the byte-level alphabet


def _library_max_threads():
    """The library's bound on --threads. Checking it here turns the library's
    refusal into a usage error instead of a failed training; without the
    library the check is left to it."""
    try:
        import selkbar
    except ImportError:
        return None
    return selkbar._MAX_THREADS


MAX_THREADS = _library_max_threads()


def _library_pretokenizers():
    """The names --pretokenizer takes: the library's own list. Without the
    library no choices are checked here; the library refuses a bad name."""
    try:
        import selkbar
    except ImportError:
        return None
    return selkbar._PRETOKENIZERS


PRETOKENIZERS = _library_pretokenizers()

U64_LIMIT = 1 << 64

EXIT_TRAINING_FAILED = 1
EXIT_USAGE = 2
DEFAULT_TEXT_FIELD = "text"


class UsageError(Exception):
    """A bad command line found before training starts (exit status 2)."""


def _count(text):
    """argparse type: a decimal integer in 0 .. 2**64 - 1, as the library takes."""
    try:
        value = int(text, 10)
    except ValueError:
        value = -1
    if not 0 <= value < U64_LIMIT:
        raise argparse.ArgumentTypeError(f"expected a non-negative integer, got {text!r}")
    return value


def _sizes(text):
    """argparse type: one vocabulary size, or several separated by commas
    ("16000,32000,64000"), which train once and write one file per size."""
    if "," not in text:
        return _count(text)
    sizes = [_count(part.strip()) for part in text.split(",")]
    if len(set(sizes)) != len(sizes):
        raise argparse.ArgumentTypeError(f"a size is listed twice in {text!r}")
    return sizes


def _threads(text):
    value = _count(text)
    if MAX_THREADS is not None and value > MAX_THREADS:
        raise argparse.ArgumentTypeError(
            f"threads {value} exceeds the maximum supported ({MAX_THREADS})")
    return value


# The example section of --help; each command is checked to parse
# (tests/python/test_cli.py).
EXAMPLES = """\
examples:
  every file below corpus/, split by GPT-4's rule, with one special token:
    selkbar-train corpus/ -o tokenizer.json --vocab-size 32000 --pretokenizer gpt4 \\
        --special-token '<|endoftext|>'
  a GPT-4-style tokenizer that encodes any text, also for tiktoken:
    selkbar-train corpus/ -o tokenizer.json --vocab-size 32000 --pretokenizer gpt4 \\
        --initial-alphabet bytes --tiktoken tokenizer.tiktoken
  three sizes from one training, one file per size:
    selkbar-train corpus/ -o 'tok-{vocab_size}.json' --vocab-size 16000,32000,64000
  count once, then train two sizes from the counts:
    selkbar-train corpus/ -o tok-8000.json --vocab-size 8000 --save-counts corpus.counts
    selkbar-train --counts corpus.counts -o tok-32000.json --vocab-size 32000
  zstd-compressed JSON Lines with the text in 'content', no summary line:
    selkbar-train part-0.jsonl.zst part-1.jsonl.zst -o tokenizer.json \\
        --vocab-size 50000 --text-field content -q
  python -m selkbar takes the same arguments.
"""


def _paragraph(text):
    return textwrap.fill(" ".join(text.split()), width=78)


def build_parser():
    # The examples keep their lines, so the formatter takes every text as
    # given and the paragraphs are filled here.
    parser = argparse.ArgumentParser(
        prog=PROG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description=_paragraph(
            "Train a byte-pair-encoding tokenizer on UTF-8 text, compressed text, JSON "
            "Lines or Parquet files and write it as a HuggingFace tokenizer.json "
            "(loadable with tokenizers.Tokenizer.from_file)."),
        epilog=EXAMPLES + "\n" + _paragraph(
            "Prints one summary line on success (none with -q). Exit status: 0 on success, 1 when "
            "training fails (unreadable input, text that is not UTF-8, a bad JSON Lines "
            "record, damaged compressed or Parquet data, output not writable), 2 for a "
            "bad command line or a missing optional package (zstandard for .zst, "
            "pyarrow for .parquet). Ctrl-C stops at once and leaves no "
            "output file. Environment: SELKBAR_MIN_RANGE sets the minimum bytes per "
            "file range one worker thread reads (default 1048576)."),
    )
    parser.add_argument(
        "inputs", nargs="*", metavar="INPUT",
        help="a file, read by its name: NAME.parquet (the --text-field column; needs "
             "pyarrow), NAME.jsonl or NAME.jsonl.gz/.zst/.xz/.bz2 or NAME.json.gz/.zst/"
             ".xz/.bz2 (JSON Lines: one object per line, its --text-field is one text), "
             "NAME.gz/.zst/.xz/.bz2 (compressed UTF-8 text; .zst needs zstandard), any "
             "other name UTF-8 text; or a directory: every regular file below it is "
             "read, in sorted order, skipping hidden files and directories (names "
             "starting with '.'); required unless --counts is given")
    parser.add_argument(
        "-o", "--output", required=True, metavar="PATH",
        help="where to write tokenizer.json (required); an existing file is replaced; "
             "'-' writes it to standard output (the summary then goes to standard error)")
    parser.add_argument(
        "--vocab-size", required=True, type=_sizes, metavar="N[,N...]",
        help="target vocabulary size, special tokens and alphabet included (required); "
             "training stops earlier when no pair qualifies. Several sizes separated by "
             "commas train once, to the largest, and write one file per size: the output "
             "(and --tiktoken) then names them with {vocab_size}")
    parser.add_argument(
        "--special-token", action="append", dest="special_tokens", metavar="TOKEN",
        help="a special token, given the next id from 0 upwards; repeat the option for "
             "more (default: none)")
    parser.add_argument(
        "--min-frequency", type=_count, metavar="N",
        help="stop merging when the most frequent pair occurs fewer than N times "
             "(default: 0, merge while any pair occurs)")
    parser.add_argument(
        "--max-token-length", type=_count, metavar="N",
        help="only merge neighbours that together span fewer than N characters; pairs "
             "of single characters are always merged (default: no limit)")
    parser.add_argument(
        "--limit-alphabet", type=_count, metavar="N",
        help="keep only the N most frequent characters in the initial alphabet; the "
             "others are dropped from the words (default: no limit)")
    parser.add_argument(
        "--base", metavar="PATH",
        help="continue training from the tokenizer.json at PATH: its tokens keep their ids "
             "and its merges come first, so a model's embeddings stay valid; new characters "
             "and tokens get the ids after them (--vocab-size counts them all) "
             "(default: none, train from scratch)")
    parser.add_argument(
        "--initial-alphabet", metavar="CHARS|bytes",
        help="characters always in the alphabet, whether the corpus holds them or not: "
             "each character of CHARS, or 'bytes' for the 256 characters of the "
             "byte-level alphabet, so that every byte, and so any text, can be encoded; "
             "byte-level pretokenizers take only characters of that alphabet; "
             "--limit-alphabet keeps these first (default: none)")
    parser.add_argument(
        "--pretokenizer", choices=PRETOKENIZERS,
        help="how text is split into words before merging: 'whitespace' splits on "
             "Unicode white space; 'bytelevel' uses the GPT-2 byte-level rule; 'gpt4' "
             "and 'o200k' the byte-level split patterns of tiktoken's cl100k_base and "
             "o200k_base (default: whitespace, or bytelevel with --pattern)")
    parser.add_argument(
        "--pattern", metavar="REGEX",
        help="split text by this regular expression (PCRE2 syntax, as the tokenizers "
             "library's Split with behavior 'isolated') instead of GPT-2's rule, then "
             "spell it byte-level; goes with --pretokenizer bytelevel (default: none)")
    parser.add_argument(
        "--threads", type=_threads, metavar="N",
        help=f"threads for reading and counting the corpus, 1 to {MAX_THREADS or 'the library maximum'}; 0 "
             "means the number of logical processors (default: 0)")
    parser.add_argument(
        "--continuing-subword-prefix", metavar="PREFIX",
        help="prefix marking a token that continues a word, e.g. '##' (default: none)")
    parser.add_argument(
        "--end-of-word-suffix", metavar="SUFFIX",
        help="suffix marking a token that ends a word, e.g. '</w>' (default: none)")
    parser.add_argument(
        "--tiktoken", metavar="PATH",
        help="also write the vocabulary as a tiktoken ranks file (one line per token: "
             "its bytes in base64 and its id; special tokens left out), replaced together "
             "with the output; needs a byte-level pretokenizer and --initial-alphabet "
             "bytes (default: not written)")
    parser.add_argument(
        "--save-counts", metavar="PATH",
        help="also write the words counted in the inputs, with their counts, to PATH, "
             "to train on again with --counts without reading the inputs (default: "
             "not written)")
    parser.add_argument(
        "--counts", metavar="PATH",
        help="train on the word counts in PATH (written by --save-counts or "
             "WordCounts.save) instead of reading INPUT files; the counts carry their "
             "pretokenizer, so --pretokenizer, --threads and INPUT are not allowed "
             "(default: none, the INPUT files are read)")
    parser.add_argument(
        "--text-field", metavar="NAME",
        help="the field of each JSON Lines record, or the Parquet column, that holds "
             f"the text (default: {DEFAULT_TEXT_FIELD})")
    parser.add_argument(
        "--skip-bad-records", action="store_true",
        help="skip JSON Lines records that are not valid JSON, have no text field or "
             "whose text field is not a string, and count them in the summary, instead "
             "of failing on the first (default: fail)")
    parser.add_argument(
        "-v", "--stats", action="store_true",
        help="print the library's diagnostics (sizing, phase timings, memory) on "
             "standard error, as SELKBAR_STATS=1 does (default: off)")
    # -q turns the progress display off, so the two cannot be asked for together.
    quiet_or_progress = parser.add_mutually_exclusive_group()
    quiet_or_progress.add_argument(
        "-q", "--quiet", action="store_true",
        help="print neither the summary line nor progress; errors are still printed "
             "(default: off)")
    quiet_or_progress.add_argument(
        "--progress", dest="progress", action="store_true", default=None,
        help="show progress on standard error: bytes counted, then merges done "
             "(default: on when standard error is a terminal)")
    parser.add_argument(
        "--no-progress", dest="progress", action="store_false",
        help="do not show progress (default: see --progress)")
    add_evaluation_arguments(parser)
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return parser


def _version():
    try:
        import selkbar
    except ImportError:
        return "(selkbar module not importable)"
    return selkbar.__version__


def _walk(directory, ancestors):
    """Yields the visible regular files below directory in sorted order.

    Links are followed, so a linked corpus directory is read; ancestors holds
    the (device, inode) of every directory on the current path, so a link back
    up the tree is not followed forever.
    """
    try:
        info = os.stat(directory)
        key = (info.st_dev, info.st_ino)
        if key in ancestors:
            return
        with os.scandir(directory) as scan:
            entries = sorted(scan, key=lambda entry: entry.name)
    except OSError as error:
        raise OSError(f"reading {directory}: {error.strerror}") from error
    ancestors.add(key)
    for entry in entries:
        if entry.name.startswith("."):
            continue
        path = os.path.join(directory, entry.name)
        if entry.is_dir():
            yield from _walk(path, ancestors)
        elif entry.is_file():
            # FIFOs, sockets and devices inside a directory are not corpus
            # text; named on the command line they reach the library, which
            # refuses them with its own message.
            yield path
    ancestors.discard(key)


def expand_inputs(inputs):
    """Replaces each directory by the files below it; other paths pass as given.

    A path that is not a directory (missing, unreadable, not a regular file)
    is passed through unchanged so the library reports it with its message.
    """
    files = []
    for path in inputs:
        if os.path.isdir(path):
            files.extend(_walk(path, set()))
        else:
            files.append(path)
    if not files:
        raise UsageError("no input files: the directories given hold no visible regular files")
    return files


def is_standard_output(output):
    """True for "-" and for a path naming the file standard output already is
    (/dev/stdout, /proc/self/fd/1): the tokenizer then goes through standard
    output, and the summary line must not be mixed into it."""
    if output == STDOUT:
        return True
    try:
        return os.path.samestat(os.stat(output), os.fstat(sys.stdout.fileno()))
    except (OSError, ValueError, AttributeError):
        return False


def check_output(output, what="output"):
    """Fails fast on an output path that cannot be written, before a long training."""
    if is_standard_output(output):
        return
    if os.path.isdir(output):
        raise UsageError(f"{what} {output} is a directory")
    parent = os.path.dirname(output) or "."
    if not os.path.isdir(parent):
        raise UsageError(f"output directory {parent} does not exist")


def _identity(path):
    """(device, inode) of the file or directory a path names, links followed;
    None when there is none yet."""
    try:
        info = os.stat(path)
    except (OSError, ValueError):
        return None
    return (info.st_dev, info.st_ino)


def check_not_an_input(args):
    """Refuses an output that would overwrite what is being read: the same
    file as an input (by identity, whatever the spelling or links) or a file
    inside an input directory."""
    inputs = list(args.inputs) + ([args.counts] if args.counts is not None else [])
    files, directories = {}, {}
    for path in inputs:
        key = _identity(path)
        if key is not None:
            (directories if os.path.isdir(path) else files).setdefault(key, path)
    outputs = [("output", args.output)]
    for what, path in (("--save-counts", args.save_counts), ("--tiktoken", args.tiktoken)):
        if path is not None:
            outputs.append((what, path))
    for what, output in outputs:
        if is_standard_output(output):
            continue
        same = files.get(_identity(output))
        if same is not None:
            raise UsageError(f"{what} {output} is the input file {same}: it would be overwritten")
        # The output's own directory and each one above it, links resolved.
        folder = os.path.dirname(os.path.realpath(output))
        while True:
            inside = directories.get(_identity(folder))
            if inside is not None:
                raise UsageError(f"{what} {output} lies inside the input directory {inside}")
            parent = os.path.dirname(folder)
            if parent == folder:
                break
            folder = parent


def check_sizes(args):
    """With several sizes, every name written holds {vocab_size}; standard
    output cannot take several tokenizers."""
    if not isinstance(args.vocab_size, list):
        return
    for what, name in (("--output", args.output), ("--tiktoken", args.tiktoken)):
        if name is not None and "{vocab_size}" not in name:
            raise UsageError(f"{what} {name} has no {{vocab_size}}: with several sizes each "
                             "size is written to its own file, e.g. -o 'tok-{vocab_size}.json'")


def check_tiktoken(args):
    """--tiktoken names a file of its own, and the training must give a
    vocabulary tiktoken can use; the library refuses the rest too, but only
    here can the message name the options."""
    if args.tiktoken is None:
        return
    check_output(args.tiktoken, "--tiktoken")
    if is_standard_output(args.tiktoken):
        raise UsageError("--tiktoken needs a file, not standard output")
    for what, other in (("--output", args.output), ("--save-counts", args.save_counts)):
        if other is not None and not is_standard_output(other) and (
                os.path.abspath(other) == os.path.abspath(args.tiktoken)
                or (_identity(other) is not None and _identity(other) == _identity(args.tiktoken))):
            raise UsageError(f"--tiktoken and {what} name the same file")
    whitespace = (args.pretokenizer or "whitespace") == "whitespace" and args.pattern is None
    if args.counts is None and whitespace:
        raise UsageError("--tiktoken needs a byte-level --pretokenizer (bytelevel, gpt4 or "
                         "o200k): the whitespace pretokenizer has no tiktoken form")
    if args.initial_alphabet != BYTES:
        raise UsageError("--tiktoken needs every byte in the vocabulary, or tiktoken fails "
                         "on text holding a missing one: add --initial-alphabet bytes")


def check_sources(args):
    """Exactly one source of words: INPUT files, or saved counts with nothing
    that only applies to reading files."""
    if args.counts is None:
        if not args.inputs:
            raise UsageError("give INPUT files to train on, or --counts PATH to train on "
                             "saved word counts")
        if args.save_counts is not None:
            check_output(args.save_counts, "--save-counts")
            if is_standard_output(args.save_counts):
                raise UsageError("--save-counts needs a file, not standard output")
            if os.path.abspath(args.save_counts) == os.path.abspath(args.output):
                raise UsageError("--save-counts and --output name the same file")
        return
    if args.inputs:
        raise UsageError("give either INPUT files or --counts, not both: --counts trains on "
                         "words counted before")
    for flag, value in (("--pretokenizer", args.pretokenizer), ("--threads", args.threads),
                        ("--save-counts", args.save_counts), ("--pattern", args.pattern),
                        ("--text-field", args.text_field),
                        ("--skip-bad-records", args.skip_bad_records or None)):
        if value is not None:
            raise UsageError(f"{flag} cannot be used with --counts: the saved counts were "
                             "counted, with their pretokenizer, when they were saved")


def training_options(args):
    """The keyword options the user gave; the others keep the library's defaults."""
    options = {}
    names = ["special_tokens", "min_frequency", "max_token_length", "limit_alphabet",
             "continuing_subword_prefix", "end_of_word_suffix", "progress", "base"]
    if args.initial_alphabet is not None:
        options["initial_alphabet"] = initial_alphabet(args.initial_alphabet)
    if args.tiktoken is not None:
        options["tiktoken_output"] = args.tiktoken
    if args.counts is None:
        names += ["pretokenizer", "threads", "save_counts", "pattern"]
    for name in names:
        value = getattr(args, name)
        if value is not None:
            options[name] = value
    # A pattern replaces the byte-level rule; it needs no --pretokenizer.
    if "pattern" in options:
        options.setdefault("pretokenizer", "bytelevel")
    return options


def initial_alphabet(chars):
    """The library's initial_alphabet for --initial-alphabet: one string per
    character, or the byte-level alphabet for "bytes"."""
    if chars == BYTES:
        import selkbar
        return selkbar.BYTE_LEVEL_ALPHABET
    return list(chars)


def check_utf8(files, args):
    """The library takes paths and tokens as UTF-8 text; a command line holding
    bytes that are not UTF-8 reaches Python as lone surrogates."""
    texts = [("input path", path) for path in files]
    texts.append(("output path", args.output))
    for flag in ("counts", "save_counts", "tiktoken", "base"):
        value = getattr(args, flag)
        if value is not None:
            texts.append((f"--{flag.replace('_', '-')} path", value))
    texts += [("special token", token) for token in args.special_tokens or ()]
    for name in ("continuing_subword_prefix", "end_of_word_suffix", "pattern", "text_field",
                 "initial_alphabet"):
        value = getattr(args, name)
        if value is not None:
            texts.append((name.replace("_", "-"), value))
    for what, text in texts:
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            shown = text.encode("utf-8", "backslashreplace").decode("utf-8")
            raise UsageError(f"{what} is not valid UTF-8: {shown}") from None


def _total_bytes(files):
    total = 0
    for path in files:
        try:
            total += os.stat(path).st_size
        except OSError:
            pass
    return total


def summarize(args, files, counts, elapsed, tokens, merges, skipped=None):
    """The summary line, from the training's own figures: the output may be a
    pipe or a terminal, which cannot be read back. skipped is the readers'
    ReadCounts, None when the library read the files itself."""
    if args.counts is not None:
        source = f"counts {args.counts} ({len(counts)} words)"
    else:
        noun = "file" if len(files) == 1 else "files"
        source = f"{len(files)} {noun} ({_total_bytes(files)} bytes)"
    target = "standard output" if is_standard_output(args.output) else args.output
    line = f"trained {tokens} tokens, {merges} merges from {source} in {elapsed:.2f}s -> {target}"
    if isinstance(args.vocab_size, list):
        sizes = ",".join(map(str, args.vocab_size))
        line = (f"trained sizes {sizes} (the largest: {tokens} tokens, {merges} merges) from "
                f"{source} in {elapsed:.2f}s -> {target}")
    if args.skip_bad_records and args.counts is None:
        bad = skipped.bad_records if skipped is not None else 0
        line += f"; {bad} bad {'record' if bad == 1 else 'records'} skipped"
    if skipped is not None and skipped.null_values:
        nulls = skipped.null_values
        line += f"; {nulls} null {'value' if nulls == 1 else 'values'} skipped"
    if args.save_counts is not None:
        line += f"; counts saved to {args.save_counts}"
    if args.tiktoken is not None:
        line += f"; tiktoken ranks to {args.tiktoken}"
    return line


def _tell(text):
    """Writes a line to standard error if there is one that can be written.

    Standard error only carries messages about the run: when it is closed
    (sys.stderr is None) or a pipe whose reader has gone, the outcome and the
    exit status stay what they are. print(file=None) would write to standard
    output, where the tokenizer may be going."""
    if sys.stderr is None:
        return
    try:
        print(text, file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass


def _fail(status, message):
    _tell(f"{PROG}: error: {message}")
    return status


def run_training(args, files, output, split=None):
    """The library call for the sources given: (tokens, merges, text, counts,
    skipped), counts being the loaded --counts and skipped the readers'
    ReadCounts (None when the library reads the files by name). With a
    held-out `split`, its lines are kept from training; with --report the
    words are counted first and kept, for the report."""
    import selkbar

    common = dict(stats=True if args.stats else None, **training_options(args))
    if args.report is not None:
        return train_counted_first(args, files, output, common, split)
    if args.counts is not None:
        counts = selkbar.WordCounts.load(args.counts)
        return selkbar._train_tokenizer_from_counts_summary(
            counts, args.vocab_size, output, **common) + (counts, None)
    if split is None and all(map(selkbar_readers.is_plain, files)):
        return selkbar._train_tokenizer_summary(
            files, args.vocab_size, output, **common) + (None, None)
    reader = _reader(args, files)
    items = reader if split is None else split.split(reader)
    return selkbar._train_tokenizer_from_items_summary(
        items, args.vocab_size, output, **common) + (None, reader.counts)


def _reader(args, files):
    return selkbar_readers.TextReader(
        files, args.text_field or DEFAULT_TEXT_FIELD,
        skip_bad_records=args.skip_bad_records, file_blocks=True,
        cut_long_lines=args.pattern is None)


def train(args, files):
    """Runs the training call; returns the exit status."""
    start = time.monotonic()
    output = None if is_standard_output(args.output) else args.output
    if args.quiet:
        args.progress = False
    elif args.progress is None:
        args.progress = _is_terminal(sys.stderr)
    split = None
    if args.eval_fraction is not None:
        import selkbar_eval
        split = selkbar_eval.HeldOutSplit(args.eval_fraction)
    try:
        tokens, merges, text, counts, skipped = run_training(args, files, output, split)
    except (TypeError, OverflowError, UnicodeError) as error:
        # Arguments the library refused before doing any work.
        return _fail(EXIT_USAGE, str(error))
    except (ValueError, OSError) as error:
        return _fail(EXIT_TRAINING_FAILED, str(error))
    except MemoryError as error:
        return _fail(EXIT_TRAINING_FAILED, str(error) or "out of memory")
    except BaseException as error:
        # The library's PanicException derives from BaseException directly;
        # interpreter exits and genuine bugs in this script keep their traceback.
        if isinstance(error, (Exception, KeyboardInterrupt, SystemExit, GeneratorExit)):
            raise
        return _fail(EXIT_TRAINING_FAILED, f"internal error: {error}")
    elapsed = time.monotonic() - start
    summary = summarize(args, files, counts, elapsed, tokens, merges, skipped)
    if text is None:
        if not args.quiet:
            print(summary)
        return evaluate_and_report(args, split, counts) if wants_evaluation(args) else 0
    try:
        sys.stdout.buffer.write(text)
        sys.stdout.buffer.flush()
    except OSError as error:
        return _fail(EXIT_TRAINING_FAILED, f"writing standard output: {error.strerror or error}")
    if not args.quiet:
        _tell(summary)
    return 0


def _is_terminal(stream):
    try:
        return stream is not None and stream.isatty()
    except (OSError, ValueError):
        return False


def main(argv=None):
    if (threading.current_thread() is threading.main_thread()
            and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
        # Die on Ctrl-C like any native program instead of waiting for the
        # training call to return to the interpreter. An inherited "ignore"
        # (a background job, nohup) is left alone: Python kept it too.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        check_sources(args)
        files = expand_inputs(args.inputs) if args.counts is None else []
        check_sizes(args)
        check_output(args.output)
        check_tiktoken(args)
        check_evaluation(args)
        check_not_an_input(args)
        check_utf8(files, args)
    except UsageError as error:
        parser.error(str(error))
    except OSError as error:
        return _fail(EXIT_TRAINING_FAILED, str(error))
    missing = selkbar_readers.missing_dependencies(files)
    if missing:
        for message in missing:
            _fail(EXIT_USAGE, message)
        return EXIT_USAGE
    return train(args, files)


# ---------------------------------------------------------------------------
# Held-out evaluation and the report


def _fraction(text):
    """argparse type: a fraction strictly between 0 and 1."""
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"expected a fraction between 0 and 1, got {text!r}")
    return value


def add_evaluation_arguments(parser):
    parser.add_argument(
        "--eval", action="append", nargs="+", metavar="FILE", dest="eval_files",
        help="after training, measure the tokenizer (each size) on these UTF-8 text "
             "files, read as training reads them, and print a table on standard output: "
             "bytes per token, tokens per word, unused vocabulary, unknown text, longest "
             "and median token; repeat the option for more held-out sets (default: none)")
    parser.add_argument(
        "--eval-fraction", type=_fraction, metavar="F",
        help="hold out this fraction of the input lines (chosen by a hash of each line, "
             "so the same lines every run) from training and measure on them as --eval "
             "does (default: none, every line is trained on)")
    parser.add_argument(
        "--report", metavar="PATH",
        help="also write a self-contained HTML report of the run to PATH: bytes per "
             "token against vocabulary size, token lengths, merges, frequent words, "
             "the run's figures and options; needs matplotlib (pip install "
             "'selkbar[report]') and held-out text (--eval or --eval-fraction) "
             "(default: not written)")


def wants_evaluation(args):
    return bool(args.eval_files) or args.eval_fraction is not None


def check_evaluation(args):
    """The held-out options go with what they measure, and their table with
    a standard output of its own."""
    if args.eval_fraction is not None and args.counts is not None:
        raise UsageError("--eval-fraction holds out input lines: it cannot be used with --counts")
    if args.report is not None:
        if not wants_evaluation(args):
            raise UsageError("--report needs held-out text to measure: give --eval FILE or "
                             "--eval-fraction F")
        check_output(args.report, "--report")
        if is_standard_output(args.report):
            raise UsageError("--report needs a file, not standard output")
    if wants_evaluation(args) and is_standard_output(args.output):
        raise UsageError("--eval and --eval-fraction print a table on standard output: give "
                         "-o a file")
    for group in args.eval_files or ():
        for path in group:
            if not os.path.isfile(path):
                raise UsageError(f"--eval {path} is not a file")


def _written_tokenizers(args):
    """(vocabulary size or None, path) of each tokenizer.json the run wrote."""
    if isinstance(args.vocab_size, list):
        return [(size, args.output.replace("{vocab_size}", str(size)))
                for size in sorted(args.vocab_size)]
    return [(None, args.output)]


def _held_out_sets(args, split):
    """(name, files or None, items or None) of each held-out set."""
    sets = []
    if split is not None:
        sets.append((f"{args.eval_fraction:g} of the input lines", None, split.held))
    for group in args.eval_files or ():
        sets.append((" ".join(os.path.basename(p) for p in group), group, None))
    return sets


def evaluate_and_report(args, split, counts):
    """Measures every tokenizer written on every held-out set, prints the
    table, and writes the report if asked for. Returns the exit status."""
    import selkbar
    import selkbar_eval

    paths = [path for _, path in _written_tokenizers(args)]
    threads = args.threads if args.counts is None else None
    evaluations = {}
    try:
        for name, files, items in _held_out_sets(args, split):
            if files is not None:
                rows = selkbar_eval.evaluate(paths, files, threads=threads)
            else:
                model = selkbar_eval.load_tokenizer(paths[0])
                held = selkbar._count_words_from_items(
                    items, pretokenizer=model.pretokenizer, pattern=model.pattern,
                    threads=threads)
                rows = selkbar_eval.evaluate_counts(paths, held, threads=threads)
            evaluations[name] = rows
    except (ValueError, OSError) as error:
        return _fail(EXIT_TRAINING_FAILED, f"evaluating: {error}")
    print(selkbar_eval.format_table(evaluations), flush=True)
    if args.report is None:
        return 0
    import selkbar_report
    try:
        selkbar_report.write_report(
            args.report, evaluations, tokenizer=paths[-1], counts=counts,
            training=getattr(args, "training_figures", None),
            options=dict(command=" ".join(sys.argv[1:]) if sys.argv else "",
                         **vars_for_report(args)))
    except selkbar_report.MissingExtra as error:
        return _fail(EXIT_TRAINING_FAILED, str(error))
    except (ValueError, OSError) as error:
        return _fail(EXIT_TRAINING_FAILED, f"writing the report: {error}")
    return 0


def vars_for_report(args):
    """The run's options as parsed, for the report to repeat them."""
    return {name: value for name, value in sorted(vars(args).items())
            if value is not None and name not in ("training_figures",)}


def train_counted_first(args, files, output, common, split):
    """Training for --report: the words are counted first and kept, and each
    phase timed, so the report can show the frequent words and the figures;
    the result is the one training in one call gives."""
    import resource
    import selkbar

    start = time.monotonic()
    skipped = None
    counting = {k: common[k] for k in ("pretokenizer", "threads", "pattern", "progress")
                if k in common}
    if args.counts is not None:
        counts = selkbar.WordCounts.load(args.counts)
    elif split is None and all(map(selkbar_readers.is_plain, files)):
        counts = selkbar.count_words(files, **counting)
    else:
        reader = _reader(args, files)
        counts = selkbar._count_words_from_items(
            reader if split is None else split.split(reader), **counting)
        skipped = reader.counts
    counted = time.monotonic()
    if args.save_counts is not None:
        counts.save(args.save_counts)
    options = {k: v for k, v in common.items()
               if k not in ("pretokenizer", "threads", "pattern", "save_counts")}
    tokens, merges, text = selkbar._train_tokenizer_from_counts_summary(
        counts, args.vocab_size, output, **options)
    trained = time.monotonic()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    args.training_figures = {
        "corpus bytes": _total_bytes(files) if args.counts is None else None,
        "held-out lines' bytes": sum(len(block[0]) for block in split.held
                                     if isinstance(block, tuple)) if split else None,
        "words (pretokens) counted": counts.total,
        "distinct words": len(counts),
        "counting seconds": round(counted - start, 3),
        "training seconds": round(trained - counted, 3),
        "peak resident memory bytes": peak,
        "tokens (largest size)": tokens,
        "merges (largest size)": merges,
    }
    return tokens, merges, text, counts, skipped


if __name__ == "__main__":
    sys.exit(main())
