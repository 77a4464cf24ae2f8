"""Heavy failure-mode cases: one enormous pretoken, ten million distinct
words, and ten thousand calls in one process. Each generates its data into a
temporary directory that is removed afterwards; together they take about a
minute on two cores."""
import gc
import os
import subprocess
import sys
import textwrap

import pytest

import selkbar

pytestmark = pytest.mark.skipif(os.environ.get("SELKBAR_SKIP_HEAVY") == "1",
                                reason="SELKBAR_SKIP_HEAVY=1")


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS line")


def test_a_corpus_whose_only_pretoken_is_200_mb(tmp_path):
    path = tmp_path / "one-word.txt"
    length = 200_000_000  # 2**8 * 781250: eight halvings stay even
    with open(path, "wb") as out:
        block = b"a" * (1 << 20)
        for _ in range(length // len(block)):
            out.write(block)
        out.write(b"a" * (length % len(block)))
    assert path.stat().st_size == length
    # In a child, so that its peak resident set is its own.
    script = textwrap.dedent(f"""
        import resource, selkbar
        vocab, merges = selkbar.train_bpe([{str(path)!r}], 9, threads=2)
        assert vocab == {{"a" * 2**k: k for k in range(9)}}, list(vocab)[:3]
        # Leftmost, non-overlapping merges halve the word each time.
        assert merges == [("a" * 2**k, "a" * 2**k) for k in range(8)], merges[:3]
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=600)
    assert result.returncode == 0, result.stderr
    peak_mib = int(result.stdout.split()[-1]) // 1024
    # Regression: the merge loop once held every delta of the word at once
    # (48 bytes per occurrence), 7 GB for this corpus. The symbol arena
    # (4 bytes per character) and phase 1's buffers are what remains.
    assert peak_mib < 2500, f"peak resident set {peak_mib} MiB for a 200 MB pretoken"


def test_ten_million_distinct_words(tmp_path):
    # "w" followed by seven digits, every number once: each ("w", d) pair
    # occurs a million times, each digit pair 600,000 times (six positions).
    path = tmp_path / "ten-million.txt"
    with open(path, "wb") as out:
        for block in range(100):
            start = block * 100_000
            out.write(b"".join(b"w%07d\n" % i for i in range(start, start + 100_000)))
    vocab, merges = selkbar.train_bpe([str(path)], 22, threads=2)
    alphabet = [str(d) for d in range(10)] + ["w"]
    assert list(vocab)[:11] == alphabet
    # The ten ("w", d) pairs first, smallest right id first; then the digit
    # pairs, which have lost their first position to those merges (500,000
    # each), the smallest ids first.
    assert merges[:10] == [("w", str(d)) for d in range(10)]
    assert merges[10] == ("0", "0")
    assert len(vocab) == 22
    path.unlink()


def test_ten_thousand_calls_keep_resident_memory_flat(tmp_path):
    corpus = tmp_path / "small.txt"
    corpus.write_text("the quick brown fox jumps over the lazy dog \u00e9t\u00e9 " * 20)
    output = tmp_path / "tokenizer.json"
    missing = str(tmp_path / "missing.txt")

    def one_round(i):
        kind = i % 4
        if kind == 0:
            selkbar.train_bpe([str(corpus)], 60, threads=2, special_tokens=["<s>"])
        elif kind == 1:
            selkbar.train_tokenizer([str(corpus)], 50, str(output), continuing_subword_prefix="##")
        elif kind == 2:
            with pytest.raises(ValueError):
                selkbar.train_bpe([str(corpus), missing], 60, threads=3)
        else:
            with pytest.raises(TypeError):
                selkbar.train_bpe([str(corpus)], 60, threads=1.5)

    for i in range(1000):  # warm-up: allocator pools, thread stacks
        one_round(i)
    gc.collect()
    before = rss_kib()
    for i in range(9000):
        one_round(i)
    gc.collect()
    grown = rss_kib() - before
    # A leak of even 100 bytes per call would show as 900 KiB.
    assert grown < 2048, f"resident set grew by {grown} KiB over 9000 calls"
