"""Training calls end to end: results, errors, threads and the lock."""
import itertools
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import selkbar
from conftest import fixture_files


@pytest.mark.subset
def test_result_shape_and_id_order(write_text):
    vocab, merges = selkbar.train_bpe([write_text("low lower lowest newer wider")], 30)
    assert list(vocab.values()) == list(range(len(vocab)))
    assert all(type(k) is str for k in vocab)
    assert isinstance(merges, list)
    assert all(type(m) is tuple and len(m) == 2 and all(type(s) is str for s in m) for m in merges)
    # (e, r), (l, o), (o, w) and (w, e) all occur 3 times; "e" has the smallest id.
    assert merges[0] == ("e", "r")
    for left, right in merges:
        assert left + right in vocab


def test_vocab_size_zero_gives_the_initial_vocabulary(write_text):
    vocab, merges = selkbar.train_bpe([write_text("abc cab")], 0, special_tokens=["<s>"])
    assert vocab == {"<s>": 0, "a": 1, "b": 2, "c": 3}
    assert merges == []


def test_empty_file_list_and_empty_files(write_text):
    assert selkbar.train_bpe([], 100) == ({}, [])
    assert selkbar.train_bpe([write_text("")], 100, special_tokens=["x"]) == ({"x": 0}, [])


def test_empty_prefix_is_present(write_text):
    path = write_text("abab")
    plain = selkbar.train_bpe([path], 10)
    empty_prefix = selkbar.train_bpe([path], 10, continuing_subword_prefix="")
    assert plain[1] == empty_prefix[1]


@pytest.mark.subset
def test_phase1_errors_are_value_errors(tmp_path, write_text):
    good = write_text("hello")
    missing = str(tmp_path / "missing.txt")
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([good, missing, good], 10)
    assert str(info.value).startswith(f"reading {missing}: ")
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([str(tmp_path)], 10)
    # The message as it always was, then a hint for a directory.
    assert str(info.value).startswith(
        f"{tmp_path} is not a regular file; pipes and process substitution are not supported "
        "because the reader seeks. Write the stream to a file first."
    )
    bad = write_text(b"ok \xff ok")
    with pytest.raises(ValueError) as info:
        selkbar.train_bpe([bad], 10)
    assert str(info.value) == (
        f"input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 3 in {bad}")


def test_same_result_for_every_thread_budget():
    files = [f for f in fixture_files() if os.path.basename(f) in ("man-ja.txt", "l10n-ko.txt")]
    expected = selkbar.train_bpe(files, 2000, threads=1)
    for threads in (2, 3, 8, 64):
        assert selkbar.train_bpe(files, 2000, threads=threads) == expected
    assert selkbar.train_bpe(files, 2000, threads=None) == expected


@pytest.mark.subset
def test_lock_is_released_during_training():
    # Every fixture, several times over: training must last long enough for
    # the ticker to show whether it ran.
    files = fixture_files() * 20
    ticks = 0
    done = threading.Event()

    def ticker():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0.001)

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        start, before = time.monotonic(), ticks
        selkbar.train_bpe(files, 8000, pretokenizer="bytelevel")
        elapsed, during = time.monotonic() - start, ticks - before
    finally:
        done.set()
        thread.join()
    # With the lock held for the whole call the ticker would not run at all.
    assert during > 10 * elapsed, (during, elapsed)


def test_python_threads_training_at_once_agree():
    files = [f for f in fixture_files() if os.path.basename(f) in ("man-ru.txt", "l10n-ar.txt")]
    expected = selkbar.train_bpe(files, 1000, threads=2)
    results = [None] * 6
    errors = []

    def work(i):
        try:
            results[i] = selkbar.train_bpe(files, 1000, threads=2)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert all(r == expected for r in results)


def many_distinct_words(path):
    """Writes 810 000 distinct words (every sequence of four of 30 syllables,
    some of them two-byte characters) and returns the path as str."""
    syllables = ["ka", "to", "mi", "re", "su", "la", "no", "pe", "di", "vu", "\u00e4", "\u00f6",
                 "\u00df", "\u00e9", "\u0436", "\u0437\u043e", "\u03b1\u03b9", "\u03b2\u03b5",
                 "\u03b3", "\u043a\u043e", "\u0440\u0438", "na", "zu", "xi", "qo", "bra", "st",
                 "ng", "ie", "ou"]
    words = ["".join(p) for p in itertools.product(syllables, repeat=4)]
    with open(path, "w", encoding="utf-8") as out:
        for i in range(0, len(words), 200):
            out.write(" ".join(words[i:i + 200]) + "\n")
    return str(path)


def test_out_of_memory_raises_memory_error_in_a_child(tmp_path):
    # Address-space limit in a child process: allocation fails inside the
    # engine (worker threads included) and must surface as MemoryError, with
    # the interpreter still alive afterwards. Training on these words takes
    # about 250 MB resident and twice that in address space.
    files = [many_distinct_words(tmp_path / "distinct.txt")]
    script = textwrap.dedent(f"""
        import resource, selkbar
        vm = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
        limit = vm * 1024 + 200 * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            selkbar.train_bpe({files!r}, 50000, pretokenizer="bytelevel", threads=2)
            print("no error")
        except MemoryError:
            print("MemoryError")
        print("alive")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert result.stdout.split() == ["MemoryError", "alive"], result.stdout + result.stderr


@pytest.mark.subset
def test_panic_exception_is_a_base_exception():
    # The abort type cannot be triggered without gigabytes of input; check its
    # place in the hierarchy through the module's own error path instead.
    script = "import selkbar, gc; print([c.__name__ for c in BaseException.__subclasses__()])"
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert "PanicException" in out
