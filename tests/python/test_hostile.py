"""Regressions from a hostile-input sweep: environment races, resource
exhaustion, interrupted writes, odd output targets, error positions and
files whose size reads as zero. Each case that can crash or hang runs in a
child process with a time limit."""
import os
import subprocess
import sys
import textwrap

import pytest

import selkbar

TEXT = "low lower lowest newer wider the a an \u00e9t\u00e9 caf\u00e9 \u65e5\u672c\u8a9e\n"


def run_child(code, timeout=120, env=None, **kwargs):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, env=env, **kwargs)


# ---- The environment changing on another thread ----

def test_training_survives_another_thread_rewriting_the_environment(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(TEXT * 3000)
    child = run_child(f"""
        import os, threading, time, selkbar
        stop = threading.Event()
        def churn():
            while not stop.is_set():
                for k in range(200):
                    os.environ[f"UNRELATED_{{k}}"] = "x"
                for k in range(200):
                    del os.environ[f"UNRELATED_{{k}}"]
        thread = threading.Thread(target=churn)
        thread.start()
        deadline = time.monotonic() + 8
        calls = 0
        try:
            while time.monotonic() < deadline:
                selkbar.train_bpe([{str(corpus)!r}], 300, threads=2)
                calls += 1
        finally:
            stop.set()
            thread.join()
        print(calls)
    """)
    assert child.returncode == 0, child.stderr[-2000:]
    assert int(child.stdout) > 0
