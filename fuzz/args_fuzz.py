"""Fuzz target for the module's argument handling, driven by atheris.

Calls train_bpe and train_tokenizer with random Python values bound in random
ways (positional, keyword, unknown and repeated keywords). The property: the
call returns a well-formed result or raises one of the documented exception
types with a documented message, and the process never crashes. Exceptions
raised by the caller's own objects (__index__, __iter__, __len__) must come
back unchanged.

Run through scripts/fuzz.sh args SECONDS.
"""
import os
import re
import sys
import tempfile

import atheris

import selkbar  # native: its coverage is not seen, only the branches of this driver


class CallerError(Exception):
    """Raised by the fuzzer's own objects; must pass through unchanged."""


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Seq:
    """A sequence whose length query or iteration can fail."""

    def __init__(self, items, bad_len=False, bad_iter=False):
        self.items, self.bad_len, self.bad_iter = items, bad_len, bad_iter

    def __len__(self):
        if self.bad_len:
            raise CallerError("len")
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.bad_iter:
            raise CallerError("iter")
        return iter(self.items)


TMP = os.environ.get("SELKBAR_FUZZ_DIR") or tempfile.mkdtemp(prefix="selkbar-args-fuzz-")
# Relative outputs (any random string may be one) are written in here.
os.chdir(TMP)
GOOD = os.path.join(TMP, "good.txt")
with open(GOOD, "w", encoding="utf-8") as f:
    f.write("low lower lowest newer wider \u00e9t\u00e9 \u65e5\u672c\n" * 3)
BAD_UTF8 = os.path.join(TMP, "bad.txt")
with open(BAD_UTF8, "wb") as f:
    f.write(b"ok \xff ok\n")
EMPTY = os.path.join(TMP, "empty.txt")
open(EMPTY, "w").close()
MISSING = os.path.join(TMP, "missing.txt")
SUBDIR = os.path.join(TMP, "dir")
os.mkdir(SUBDIR)
OUTPUTS = [os.path.join(TMP, "out.json"), os.path.join(TMP, "no", "such", "dir.json"), SUBDIR, ""]

PARAMS = ["files", "vocab_size", "output", "special_tokens", "min_frequency", "max_token_length",
          "limit_alphabet", "pretokenizer", "threads", "continuing_subword_prefix",
          "end_of_word_suffix"]


@atheris.instrument_func
def random_str(fdp):
    choice = fdp.ConsumeIntInRange(0, 9)
    if choice == 8:
        return fdp.ConsumeUnicode(8)
    if choice == 9:
        return fdp.ConsumeUnicodeNoSurrogates(8)
    return ["whitespace", "bytelevel", "##", "</w>", "ByteLevel", "a\u0301", "", "\ud800"][choice]


def random_path(fdp):
    return fdp.PickValueInList([GOOD, GOOD, GOOD, GOOD, BAD_UTF8, EMPTY, MISSING, SUBDIR,
                                "/proc/self/mem", "", GOOD + "\0", "\ud800"])


def random_int(fdp):
    return fdp.PickValueInList([0, 1, 2, 7, 100, 2**63, 2**64 - 1, 2**64, -1, -(2**70), True,
                                False, 10**12, 4096, 4097])


@atheris.instrument_func
def random_value(fdp, kind, wrong_kinds):
    """A value of the right kind for `kind`, or, when `wrong_kinds` allows
    it, now and then anything at all."""
    roll = fdp.ConsumeIntInRange(0, 9)
    if not wrong_kinds or roll < 6:
        if kind == "paths":
            items = [random_path(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
            return fdp.PickValueInList([items, tuple(items), Seq(items)])
        if kind == "strs":
            items = [random_str(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3))]
            return fdp.PickValueInList([items, tuple(items), Seq(items)])
        if kind == "int":
            return random_int(fdp)
        if kind == "threads":
            return fdp.PickValueInList([None, 0, 1, 2, 3, 4097, 2**64, -1])
        if kind == "optint":
            return fdp.PickValueInList([None, 0, 1, 3, 10**12, -1, 2**64])
        if kind == "output":
            return fdp.PickValueInList(OUTPUTS)
        if kind == "optstr":
            return fdp.PickValueInList([None, random_str(fdp)])
        return random_str(fdp)
    return fdp.PickValueInList([
        None, 1.5, b"bytes", "a string", [1, 2], ["ok", 3], [b"x"], {"a": 1}, object(),
        Index(3), Index(-1), Index(CallerError("index")), Index(2**64), iter(["a"]),
        Seq(["a"], bad_len=True), Seq(["a"], bad_iter=True), Seq([None]), range(3),
        bytearray(b"x"), 3 + 0j, [GOOD] * 2,
    ])


KIND = {"files": "paths", "vocab_size": "int", "output": "output", "special_tokens": "strs",
        "min_frequency": "int", "max_token_length": "optint", "limit_alphabet": "optint",
        "pretokenizer": "str", "threads": "threads", "continuing_subword_prefix": "optstr",
        "end_of_word_suffix": "optstr"}

CONVERSION = (r"(Can't extract `str` to `Vec`"
              r"|'[\w.]+' object cannot be cast as 'Sequence'"
              r"|'[\w.]+' object cannot be cast as 'str'"
              r"|'[\w.]+' object cannot be interpreted as an integer)")


@atheris.instrument_func
def check_error(name, error):
    text = str(error)
    if isinstance(error, CallerError):
        return
    if type(error) is TypeError:
        patterns = [
            rf"{name}\(\) missing \d required positional arguments?: .+",
            rf"{name}\(\) takes \d positional arguments but \d+ were given",
            rf"{name}\(\) got an unexpected keyword argument '.*'",
            rf"{name}\(\) got multiple values for argument '\w+'",
            rf"argument '\w+': {CONVERSION}",
            r"__index__ returned non-int \(type \w+\)",
        ]
        assert any(re.fullmatch(p, text, re.S) for p in patterns), repr(text)
    elif type(error) is UnicodeEncodeError:
        assert "surrogate" in text, repr(text)
    elif type(error) is OverflowError:
        assert text in ("can't convert negative int to unsigned",
                        "int too big to convert"), repr(text)
    elif type(error) is ValueError:
        patterns = [
            r'unknown pretokenizer ".*" \(want "whitespace" or "bytelevel"\)',
            r"threads \d+ exceeds the maximum supported \(4096\)",
            r"(opening|seeking|reading) .*: .+",
            r"reading .*: path contains a NUL byte",
            r".* is not a regular file; pipes and process substitution are not supported "
            r"because the reader seeks\. Write the stream to a file first\.",
            r"input is not valid UTF-8: .+",
        ]
        assert any(re.fullmatch(p, text, re.S) for p in patterns), repr(text)
    elif type(error) is OSError:
        assert text.startswith("writing "), repr(text)
    else:
        raise AssertionError(f"undocumented {type(error).__name__}: {text!r}")


@atheris.instrument_func
def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    is_tokenizer = fdp.ConsumeBool()
    function = selkbar.train_tokenizer if is_tokenizer else selkbar.train_bpe
    name = "train_tokenizer" if is_tokenizer else "train_bpe"
    positional = 3 if is_tokenizer else 2
    params = [p for p in PARAMS if is_tokenizer or p != "output"]

    # Mostly well-bound calls, so that most inputs get past binding into
    # conversion and training; now and then too few or too many positionals,
    # a repeated or an unknown keyword.
    roll = fdp.ConsumeIntInRange(0, 7)
    count = positional if roll < 6 else fdp.ConsumeIntInRange(0, positional + 1)
    wrong_kinds = fdp.ConsumeIntInRange(0, 9) >= 7
    args = [random_value(fdp, KIND[p], wrong_kinds) for p in params[:count]]
    keyword_only = params[positional:]
    kwargs = {}
    for _ in range(fdp.ConsumeIntInRange(0, 5)):
        if fdp.ConsumeIntInRange(0, 9) == 9:  # exhausted input reads as 0
            key = fdp.PickValueInList(params + ["unknown", "vocab"])
        else:
            key = fdp.PickValueInList(keyword_only)
        kwargs[key] = random_value(fdp, KIND.get(key, "str"), wrong_kinds)
    try:
        result = function(*args, **kwargs)
    except BaseException as error:  # noqa: BLE001 - the property is about every exception
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        check_error(name, error)
        return
    if is_tokenizer:
        assert result is None
    else:
        vocab, merges = result
        assert list(vocab.values()) == list(range(len(vocab)))
        assert all(type(m) is tuple and len(m) == 2 for m in merges)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
