"""selkbar-train, run as the installed console command: inputs, options,
summary, error exits and Ctrl-C."""
import inspect
import json
import os
import pathlib
import random
import re
import shlex
import signal
import subprocess
import sys
import time

import pytest

import selkbar
import selkbar_cli
from conftest import default_ctrl_c

pytestmark = pytest.mark.subset

COMMAND = pathlib.Path(sys.executable).parent / "selkbar-train"
PROG = "selkbar-train"


def run_cli(*args, cwd=None, env_update=None, drop_stats=True):
    env = dict(os.environ)
    if drop_stats:
        env.pop("SELKBAR_STATS", None)
    env.update(env_update or {})
    return subprocess.run([str(COMMAND), *map(str, args)], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def make_text(seed, words):
    """Zipf-like text over syllable words with some accented and CJK letters,
    so every option changes the trained result."""
    rng = random.Random(seed)
    syllables = ["ka", "to", "ri", "ne", "su", "mo", "la", "é", "ß", "中", "文", "qu", "x"]
    vocabulary = ["".join(rng.choice(syllables) for _ in range(rng.randint(1, 5)))
                  for _ in range(400)]
    weights = [1.0 / (rank + 1) for rank in range(len(vocabulary))]
    lines = []
    for _ in range(words // 10):
        lines.append(" ".join(rng.choices(vocabulary, weights, k=10)))
    return "\n".join(lines) + "\n"


@pytest.fixture
def corpus(tmp_path):
    """Two files, one of them in a subdirectory."""
    root = tmp_path / "corpus"
    (root / "sub").mkdir(parents=True)
    (root / "one.txt").write_text(make_text(1, 6000), encoding="utf-8")
    (root / "sub" / "two.txt").write_text(make_text(2, 4000), encoding="utf-8")
    return root


def corpus_files(root):
    return [str(root / "one.txt"), str(root / "sub" / "two.txt")]


def load(output):
    with open(output, encoding="utf-8") as handle:
        return json.load(handle)


def as_result(document):
    model = document["model"]
    return model["vocab"], [tuple(pair) for pair in model["merges"]]


# ---------------------------------------------------------------------------
# Inputs


def test_directory_input_trains_like_the_library_on_its_files(corpus, tmp_path):
    output = tmp_path / "tok.json"
    result = run_cli(corpus, "-o", output, "--vocab-size", 300)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    vocab, merges = selkbar.train_bpe(corpus_files(corpus), 300)
    assert as_result(load(output)) == (vocab, merges)
    assert len(merges) > 100


def test_directories_are_walked_in_sorted_order_skipping_hidden_entries(tmp_path):
    root = tmp_path / "tree"
    for relative in ["b.txt", "a/z.txt", "a/b/c.txt", "a/a.txt", "B.txt", ".hidden.txt",
                     ".git/config.txt", "c/.secret/x.txt", "c/.dot.txt", "c/d.txt"]:
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("x\n", encoding="utf-8")
    os.mkfifo(root / "c" / "pipe")
    os.symlink(root, root / "c" / "loop")  # a link back up the tree
    os.symlink(root / "b.txt", root / "c" / "link.txt")
    expected = ["B.txt", "a/a.txt", "a/b/c.txt", "a/z.txt", "b.txt", "c/d.txt", "c/link.txt"]
    assert selkbar_cli.expand_inputs([str(root)]) == [str(root / p) for p in expected]
    # Files named on the command line pass as given, between the directories.
    assert selkbar_cli.expand_inputs([str(root / "a" / "b"), "plain.txt", str(root / "a" / "b")]) \
        == [str(root / "a/b/c.txt"), "plain.txt", str(root / "a/b/c.txt")]


def test_hidden_files_do_not_reach_training(tmp_path):
    root = tmp_path / "tree"
    (root / ".cache").mkdir(parents=True)
    (root / "seen.txt").write_text("abc abc abd\n", encoding="utf-8")
    (root / ".hidden.txt").write_text("QQQ\n", encoding="utf-8")
    (root / ".cache" / "data.txt").write_text("WWW\n", encoding="utf-8")
    output = tmp_path / "tok.json"
    result = run_cli(root, "-o", output, "--vocab-size", 100)
    assert result.returncode == 0, result.stderr
    vocab, _ = as_result(load(output))
    assert set(vocab) >= {"a", "b", "c", "d", "ab"}
    assert not {"Q", "W"} & set(vocab)


def test_directory_without_files_is_a_usage_error(tmp_path):
    (tmp_path / "empty" / ".git").mkdir(parents=True)
    (tmp_path / "empty" / ".git" / "x.txt").write_text("x", encoding="utf-8")
    result = run_cli(tmp_path / "empty", "-o", tmp_path / "tok.json", "--vocab-size", 10)
    assert result.returncode == 2
    assert "error: no input files" in result.stderr
    assert not (tmp_path / "tok.json").exists()


# ---------------------------------------------------------------------------
# Options


OPTION_CASES = [
    (["--special-token", "[PAD]", "--special-token", "[CLS]", "--special-token", "[PAD]"],
     {"special_tokens": ["[PAD]", "[CLS]", "[PAD]"]}),
    (["--min-frequency", "200"], {"min_frequency": 200}),
    (["--max-token-length", "3"], {"max_token_length": 3}),
    (["--limit-alphabet", "8"], {"limit_alphabet": 8}),
    (["--pretokenizer", "bytelevel"], {"pretokenizer": "bytelevel"}),
    (["--continuing-subword-prefix", "##"], {"continuing_subword_prefix": "##"}),
    (["--end-of-word-suffix", "</w>"], {"end_of_word_suffix": "</w>"}),
    # An empty prefix is present, not absent: it shows only in the file.
    (["--continuing-subword-prefix", ""], {"continuing_subword_prefix": ""}),
    (["--pretokenizer", "whitespace", "--threads", "1", "--min-frequency", "0"], {}),
]
SAME_RESULT_AS_DEFAULT = ({}, {"continuing_subword_prefix": ""})


@pytest.fixture
def default_result(corpus):
    return selkbar.train_bpe(corpus_files(corpus), 400)


@pytest.mark.parametrize("flags, options", OPTION_CASES,
                         ids=lambda case: " ".join(case) if isinstance(case, list) else "")
def test_each_option_reaches_the_trained_result(corpus, tmp_path, default_result, flags,
                                                 options):
    output = tmp_path / "tok.json"
    result = run_cli(corpus, "-o", output, "--vocab-size", 400, *flags)
    assert result.returncode == 0, result.stderr
    document = load(output)
    expected = selkbar.train_bpe(corpus_files(corpus), 400, **options)
    assert as_result(document) == expected
    # A value that changes the result, or the comparison above could not tell
    # whether the flag was passed on.
    assert (expected == default_result) == (options in SAME_RESULT_AS_DEFAULT)
    model = document["model"]
    for key in ("continuing_subword_prefix", "end_of_word_suffix"):
        assert model[key] == options.get(key)
    specials = [entry["content"] for entry in document["added_tokens"]]
    assert specials == list(dict.fromkeys(options.get("special_tokens", [])))
    expected_pretokenizer = {"whitespace": "WhitespaceSplit", "bytelevel": "ByteLevel"}
    assert document["pre_tokenizer"]["type"] == \
        expected_pretokenizer[options.get("pretokenizer", "whitespace")]


def test_every_keyword_option_of_the_library_has_a_flag():
    keywords = [name for name, parameter
                in inspect.signature(selkbar.train_tokenizer).parameters.items()
                if parameter.kind is inspect.Parameter.KEYWORD_ONLY]
    assert len(keywords) == 13
    help_text = run_cli("--help").stdout
    spelled = {"special_tokens": "--special-token", "tiktoken_output": "--tiktoken"}
    for name in keywords:
        flag = spelled.get(name, "--" + name.replace("_", "-"))
        assert re.search(rf"^  {flag} ", help_text, re.M), name


def test_help_states_every_default():
    result = run_cli("--help")
    assert result.returncode == 0
    # One entry per option: "  -o PATH, --output PATH  help..." up to the next.
    # argparse heads them "optional arguments:" before Python 3.10.
    options_part = re.split(r"^(?:options|optional arguments):$", result.stdout, flags=re.M)[1]
    entries = re.split(r"\n  (?=-)", options_part)
    options = [entry for entry in entries
               if entry.strip() and not entry.lstrip().startswith(("-h", "--version"))]
    flags = [action for action in selkbar_cli.build_parser()._actions
             if action.option_strings and action.dest not in ("help", "version")]
    assert len(options) == len(flags)
    for entry in options:
        text = " ".join(entry.split())
        assert "(default:" in text or "(required)" in text, text


def test_threads_reach_the_pipeline_and_stats_switches_diagnostics_on(corpus, tmp_path):
    output = tmp_path / "tok.json"
    quiet = run_cli(corpus, "-o", output, "--vocab-size", 100, "--threads", 3)
    assert quiet.returncode == 0 and quiet.stderr == ""
    loud = run_cli(corpus, "-o", output, "--vocab-size", 100, "--threads", 3, "--stats")
    assert loud.returncode == 0, loud.stderr
    assert re.search(r"^sizing: .* workers=3 partitions=\d+$", loud.stderr, re.M), loud.stderr
    assert re.search(r"^  phase2 merge loop: ", loud.stderr, re.M)


def test_quiet_prints_nothing_and_v_prints_the_diagnostics(corpus, tmp_path):
    summary = run_cli(corpus, "-o", tmp_path / "a.json", "--vocab-size", 100)
    quiet = run_cli(corpus, "-o", tmp_path / "b.json", "--vocab-size", 100, "-q")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")
    assert (tmp_path / "b.json").read_bytes() == (tmp_path / "a.json").read_bytes()
    # To standard output: the tokenizer alone, and no summary on standard error.
    to_stdout = run_cli(corpus, "-o", "-", "--vocab-size", 100, "--quiet")
    assert (to_stdout.returncode, to_stdout.stderr) == (0, "")
    assert to_stdout.stdout.encode() == (tmp_path / "a.json").read_bytes()
    verbose = run_cli(corpus, "-o", tmp_path / "c.json", "--vocab-size", 100, "-v", "-q")
    assert verbose.returncode == 0 and verbose.stdout == ""
    assert re.search(r"^sizing: ", verbose.stderr, re.M), verbose.stderr
    assert summary.stdout.startswith("trained ")


def test_help_examples_parse(tmp_path):
    help_text = run_cli("--help").stdout
    examples = help_text.split("\nexamples:\n")[1].split("\n\n")[0].replace("\\\n", " ")
    commands = [shlex.split(line) for line in examples.splitlines()
                if line.lstrip().startswith(PROG + " ")]
    assert len(commands) >= 3
    for command in commands:
        args = selkbar_cli.build_parser().parse_args(command[1:])
        selkbar_cli.check_sources(args)


def test_python_m_selkbar_runs_the_command_line(corpus, tmp_path):
    command = [sys.executable, "-m", "selkbar", str(corpus), "-o", str(tmp_path / "m.json"),
               "--vocab-size", "100"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("trained 100 tokens, ")
    run_cli(corpus, "-o", tmp_path / "c.json", "--vocab-size", 100)
    assert (tmp_path / "m.json").read_bytes() == (tmp_path / "c.json").read_bytes()
    usage = subprocess.run([sys.executable, "-m", "selkbar", "--vocab-size", "x"],
                           capture_output=True, text=True, timeout=300)
    assert usage.returncode == 2 and "Traceback" not in usage.stderr


# ---------------------------------------------------------------------------
# Summary line


def test_summary_line_reports_inputs_bytes_time_and_counts(corpus, tmp_path):
    output = tmp_path / "out" / "tok.json"
    output.parent.mkdir()
    result = run_cli(corpus, "-o", output, "--vocab-size", 250)
    assert result.returncode == 0, result.stderr
    match = re.fullmatch(r"trained (\d+) tokens, (\d+) merges from 2 files \((\d+) bytes\) "
                         r"in (\d+\.\d\d)s -> (.+)\n", result.stdout)
    assert match, result.stdout
    vocab, merges = as_result(load(output))
    assert int(match[1]) == len(vocab) == 250
    assert int(match[2]) == len(merges)
    assert int(match[3]) == sum(os.path.getsize(path) for path in corpus_files(corpus))
    assert match[5] == str(output)


def test_summary_counts_a_single_file(corpus, tmp_path):
    result = run_cli("one.txt", "-o", "tok.json", "--vocab-size", 50, cwd=corpus)
    assert result.returncode == 0, result.stderr
    assert " from 1 file (" in result.stdout
    assert result.stdout.endswith("-> tok.json\n")


# ---------------------------------------------------------------------------
# Errors


def assert_clean_error(result, status, message):
    assert result.returncode == status, (result.returncode, result.stderr)
    assert "Traceback" not in result.stderr
    assert f"{PROG}: error: {message}" in result.stderr, result.stderr
    assert result.stdout == ""


def test_missing_input_file_fails_with_the_library_message(corpus, tmp_path):
    output = tmp_path / "tok.json"
    missing = tmp_path / "missing.txt"
    result = run_cli(corpus, missing, "-o", output, "--vocab-size", 100)
    assert_clean_error(result, 1, f"reading {missing}: ")
    assert not output.exists()


def test_text_that_is_not_utf8_fails_training(tmp_path):
    bad = tmp_path / "bad.txt"
    bad.write_bytes(b"good words\nbad \xff\xfe bytes\n")
    result = run_cli(bad, "-o", tmp_path / "tok.json", "--vocab-size", 100)
    assert_clean_error(result, 1, "input is not valid UTF-8")
    assert not (tmp_path / "tok.json").exists()


def test_output_that_cannot_be_written_fails_training(corpus, tmp_path):
    output = tmp_path / ("x" * 300 + ".json")  # longer than a file name may be
    result = run_cli(corpus, "-o", output, "--vocab-size", 100)
    assert_clean_error(result, 1, f"writing {output}: ")


@pytest.mark.parametrize("flags, message", [
    (["--vocab-size", "ten"], "argument --vocab-size: expected a non-negative integer, got 'ten'"),
    (["--vocab-size", "-5"], "argument --vocab-size: expected a non-negative integer, got '-5'"),
    (["--vocab-size", str(1 << 64)], "argument --vocab-size: expected a non-negative integer"),
    (["--vocab-size", "10", "--min-frequency", "1.5"],
     "argument --min-frequency: expected a non-negative integer, got '1.5'"),
    (["--vocab-size", "10", "--threads", "4097"],
     "argument --threads: threads 4097 exceeds the maximum supported (4096)"),
    (["--vocab-size", "10", "--pretokenizer", "bpe"],
     "argument --pretokenizer: invalid choice: 'bpe' (choose from "),
    (["--vocab-size", "10", "--pretokenizer", "ByteLevel"],
     "argument --pretokenizer: invalid choice: 'ByteLevel' (choose from "),
    (["--vocab-size", "10", "--frobnicate"], "unrecognized arguments: --frobnicate"),
    (["--vocab-size", "10", "-q", "--progress"],
     "argument --progress: not allowed with argument -q/--quiet"),
    ([], "the following arguments are required: --vocab-size"),
])
def test_bad_command_lines_exit_2_before_training(corpus, tmp_path, flags, message):
    output = tmp_path / "tok.json"
    result = run_cli(corpus, "-o", output, *flags)
    assert_clean_error(result, 2, message)
    assert result.stderr.startswith("usage: selkbar-train ")
    assert not output.exists()


def test_integer_flags_take_the_library_ranges():
    assert selkbar_cli._threads("4096") == 4096
    assert selkbar_cli._threads("0") == 0
    assert selkbar_cli._count(str((1 << 64) - 1)) == (1 << 64) - 1


def test_missing_output_directory_is_a_usage_error(corpus, tmp_path):
    output = tmp_path / "no" / "such" / "tok.json"
    result = run_cli(corpus, "-o", output, "--vocab-size", 100)
    assert_clean_error(result, 2, f"output directory {output.parent} does not exist")


def test_output_naming_a_directory_is_a_usage_error(corpus, tmp_path):
    result = run_cli(corpus, "-o", tmp_path, "--vocab-size", 100)
    assert_clean_error(result, 2, f"output {tmp_path} is a directory")


def test_paths_and_tokens_that_are_not_utf8_are_usage_errors(tmp_path):
    root = os.fsencode(tmp_path)
    good = tmp_path / "good.txt"
    good.write_text("a b\n", encoding="utf-8")
    bad_name = os.path.join(root, b"caf\xe9.txt")
    with open(bad_name, "wb") as handle:
        handle.write(b"a b\n")
    env = dict(os.environ)
    env.pop("SELKBAR_STATS", None)
    for argv, what in [([bad_name], "input path"),
                       ([os.fsencode(good), b"--special-token", b"\xff"], "special token")]:
        result = subprocess.run([os.fsencode(COMMAND), *argv, b"-o",
                                 os.path.join(root, b"tok.json"), b"--vocab-size", b"10"],
                                env=env, capture_output=True)
        assert result.returncode == 2, result.stderr
        assert f"error: {what} is not valid UTF-8".encode() in result.stderr
        assert b"Traceback" not in result.stderr


# ---------------------------------------------------------------------------
# Ctrl-C


def write_long_corpus(path, words, seed=7):
    """Random 12-letter words: nearly every one distinct, so the merge loop
    has a great many pairs to work through."""
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrst"
    with open(path, "w", encoding="utf-8") as handle:
        for _ in range(words // 16):
            handle.write(" ".join("".join(rng.choices(letters, k=12)) for _ in range(16)))
            handle.write("\n")


def test_ctrl_c_during_training_stops_at_once_leaving_no_output(tmp_path):
    corpus = tmp_path / "long.txt"
    write_long_corpus(corpus, 400_000)
    out_dir = tmp_path / "out"
    out_dir.mkdir()
    env = dict(os.environ, SELKBAR_STATS="1")
    process = subprocess.Popen(
        [str(COMMAND), str(corpus), "-o", str(out_dir / "tok.json"),
         "--vocab-size", "2000000", "--threads", "2"],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=default_ctrl_c)
    try:
        # The lap line shows that phase 1 is over and the merge loop running.
        seen = []
        for line in process.stderr:
            seen.append(line)
            if line.startswith("  phase2 initial pair count:"):
                break
        assert process.poll() is None, ("training ended before the signal", seen)
        process.send_signal(signal.SIGINT)
        sent = time.monotonic()
        process.wait(timeout=10)
        waited = time.monotonic() - sent
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == -signal.SIGINT, (process.returncode, seen)
    assert waited < 2.0, waited
    assert os.listdir(out_dir) == []
    assert process.stdout.read() == ""


def test_an_inherited_ignore_of_ctrl_c_is_kept(tmp_path):
    corpus = tmp_path / "long.txt"
    write_long_corpus(corpus, 100_000)
    output = tmp_path / "tok.json"
    process = subprocess.Popen(
        [str(COMMAND), str(corpus), "-o", str(output), "--vocab-size", "5000", "--stats"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    try:
        assert process.stderr.readline().startswith("sizing: ")
        process.send_signal(signal.SIGINT)
        stdout, _ = process.communicate(timeout=120)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    assert process.returncode == 0
    assert stdout.startswith("trained ")
    assert output.is_file()
