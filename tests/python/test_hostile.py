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
from conftest import default_ctrl_c

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


# ---- Error positions ----

@pytest.mark.subset
def test_invalid_utf8_names_the_file_and_its_offset_in_that_file(tmp_path):
    good = tmp_path / "good.txt"
    good.write_bytes(b"fine text\n" * 1000)
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"word " * 20000 + b"\xff")
    for files in ([str(bad)], [str(good), str(bad)]):
        with pytest.raises(ValueError) as info:
            selkbar.train_bpe(files, 100, threads=2)
        assert str(info.value) == (
            f"input is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 100000 in {bad}")


# ---- Files whose size reads as zero ----

def test_a_file_reporting_size_zero_is_read_to_its_end(tmp_path):
    source = "/proc/version"
    if not os.path.exists(source) or os.stat(source).st_size != 0:
        pytest.skip("no /proc/version reporting size 0 on this system")
    with open(source, "rb") as handle:
        content = handle.read()
    copy = tmp_path / "copy.txt"
    copy.write_bytes(content)
    vocab, merges = selkbar.train_bpe([source], 200)
    assert vocab and merges
    assert (vocab, merges) == selkbar.train_bpe([str(copy)], 200)
    empty = tmp_path / "empty.txt"
    empty.write_bytes(b"")
    assert selkbar.train_bpe([str(empty)], 200) == ({}, [])


# ---- Running out of resources ----

@pytest.mark.subset
def test_a_thread_that_cannot_start_is_memory_error_not_panic(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(TEXT * 100)
    output = tmp_path / "tokenizer.json"
    # An address-space limit just above what the process already maps leaves
    # no room for a thread's stack, so the first worker cannot start.
    child = run_child(f"""
        import resource, selkbar
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        limit = (vm + 4096) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            selkbar.train_tokenizer([{str(corpus)!r}], 100, {str(output)!r}, threads=2)
        except MemoryError as error:
            print("MemoryError:", error)
        except OSError as error:
            print("OSError:", error.errno, error)
    """)
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.startswith(("MemoryError: failed to start a phase 1 worker thread: ",
                                    "OSError: ")), child.stdout
    assert not output.exists()


# ---- Interrupted writes ----

def _stray_files(directory, keep):
    return sorted(p.name for p in directory.iterdir() if p.name not in keep)


@pytest.mark.parametrize("how", ["cli-sigint", "python-sigkill"])
def test_killing_a_writer_leaves_no_temporary_file(tmp_path, how):
    import signal
    import time
    corpus = tmp_path / "corpus.txt"
    words = " ".join(f"w{i}x{i * 7919 % 10007}" for i in range(40000))
    corpus.write_text((words + "\n") * 3)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    output = out_dir / "tokenizer.json"
    if how == "cli-sigint":
        command = [os.path.join(os.path.dirname(sys.executable), "selkbar-train"), str(corpus),
                   "-o", str(output), "--vocab-size", "60000"]
        sig = signal.SIGINT
    else:
        command = [sys.executable, "-c",
                   f"import selkbar; selkbar.train_tokenizer([{str(corpus)!r}], 60000, {str(output)!r})"]
        sig = signal.SIGKILL
    for _ in range(3):
        # Kill the writer the moment anything appears in the output folder
        # (a temporary name, or the output itself).
        process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                   preexec_fn=default_ctrl_c)
        deadline = time.monotonic() + 60
        while process.poll() is None and time.monotonic() < deadline:
            if any(out_dir.iterdir()):
                process.send_signal(sig)
                break
        process.wait(timeout=60)
        assert _stray_files(out_dir, {"tokenizer.json"}) == []
        if output.exists():
            import json
            json.loads(output.read_text())  # complete whenever it is there
            output.unlink()


# ---- Standard output as the output ----

@pytest.mark.subset
def test_cli_writes_the_tokenizer_to_standard_output(tmp_path):
    corpus = tmp_path / "corpus.txt"
    corpus.write_text(TEXT * 20)
    cli = os.path.join(os.path.dirname(sys.executable), "selkbar-train")
    reference = tmp_path / "reference.json"
    subprocess.run([cli, str(corpus), "-o", str(reference), "--vocab-size", "80"], check=True,
                   capture_output=True, timeout=60)
    for output in ("-", "/dev/stdout"):
        # Through a pipe: the summary must not re-read the output, or it hangs.
        result = subprocess.run([cli, str(corpus), "-o", output, "--vocab-size", "80"],
                                capture_output=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout == reference.read_bytes()
        assert result.stderr.decode().startswith("trained ")
        assert "-> standard output" in result.stderr.decode()
        # Into a file opened by the shell.
        redirected = tmp_path / "redirected.json"
        with open(redirected, "wb") as handle:
            result = subprocess.run([cli, str(corpus), "-o", output, "--vocab-size", "80"],
                                    stdout=handle, stderr=subprocess.PIPE, timeout=60)
        assert result.returncode == 0, result.stderr
        assert redirected.read_bytes() == reference.read_bytes()
