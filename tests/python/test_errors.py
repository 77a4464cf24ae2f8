"""Operating-system errors at the file entry points.

Every entry point that opens a file the caller named for itself (loading and
saving counts, writing a tokenizer, the corpus readers) raises the exception
Python's own open() raises for the same failure: the same OSError subclass and
errno, with a message naming the step and the path as given. (The training
inputs are different: a file phase 1 cannot read is a ValueError, see
docs/errors.md.)
"""
import glob
import os

import pytest

import selkbar
from selkbar import WordCounts


def unreadable(tmp_path):
    """A path that open() refuses for reading with EACCES."""
    if os.geteuid() != 0:
        path = tmp_path / "locked"
        path.write_bytes(b"text")
        path.chmod(0)
        return str(path)
    # Root reads every ordinary file; a write-only sysfs attribute it cannot.
    for path in sorted(glob.glob("/sys/class/*/*") + glob.glob("/sys/devices/*/*/*")):
        if os.path.isfile(path) and os.stat(path).st_mode & 0o777 == 0o200:
            return path
    pytest.skip("no file that open() refuses to read here")


def unwritable(tmp_path):
    """A path that open() refuses for writing with EACCES."""
    if os.geteuid() != 0:
        folder = tmp_path / "read-only"
        folder.mkdir()
        folder.chmod(0o500)
        return str(folder / "out")
    for path in ("/sys/kernel/notes", "/proc/version"):
        try:
            open(path, "wb").close()
        except PermissionError:
            return path
        except OSError:
            continue
    pytest.skip("no file that open() refuses to write here")


PATHS = {
    "missing": {"r": lambda tmp: str(tmp / "missing"), "w": lambda tmp: str(tmp / "no" / "out")},
    "directory": {"r": lambda tmp: str(tmp), "w": lambda tmp: str(tmp)},
    "permission": {"r": unreadable, "w": unwritable},
}


def corpus(tmp_path):
    path = tmp_path / "corpus" / "c.txt"
    path.parent.mkdir(exist_ok=True)
    path.write_text("a b a b c\n")
    return str(path)


ENTRY_POINTS = {
    # name: (mode the entry point opens the path in, call)
    "WordCounts.load": ("r", lambda tmp, path: WordCounts.load(path)),
    "WordCounts.save": (
        "w", lambda tmp, path: WordCounts.from_items({"a": 1}, pretokenizer="whitespace").save(path)),
    "train_tokenizer": ("w", lambda tmp, path: selkbar.train_tokenizer([corpus(tmp)], 10, path)),
    "train_tokenizer_from_counts": (
        "w", lambda tmp, path: selkbar.train_tokenizer_from_counts(
            selkbar.count_words([corpus(tmp)]), 10, path)),
    "read_texts": ("r", lambda tmp, path: list(selkbar.read_texts([path]))),
}


@pytest.mark.parametrize("failure", sorted(PATHS))
@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_os_errors_raise_what_open_raises(tmp_path, entry, failure):
    mode, call = ENTRY_POINTS[entry]
    path = PATHS[failure][mode](tmp_path)
    with pytest.raises(OSError) as expected:
        open(path, mode + "b").close()
    with pytest.raises(OSError) as got:
        call(tmp_path, path)
    assert type(got.value) is type(expected.value), got.value
    assert got.value.errno == expected.value.errno
    message = str(got.value)
    assert message.endswith(f" {path}: {os.strerror(expected.value.errno)}"), message
    assert message.split(" ", 1)[0] in ("opening", "reading", "writing"), message
