"""train_tokenizer: the tokenizer.json text and how it is written."""
import json
import os
import stat
import subprocess
import sys
import textwrap

import pytest
import tokenizers

import selkbar

WORKED_EXAMPLE = """\
{
  "version": "1.0",
  "truncation": null,
  "padding": null,
  "added_tokens": [
    {"id": 0, "content": "[PAD]", "single_word": false, "lstrip": false, "rstrip": false, "normalized": false, "special": true}
  ],
  "normalizer": null,
  "pre_tokenizer": {"type": "WhitespaceSplit"},
  "post_processor": null,
  "decoder": null,
  "model": {
    "type": "BPE",
    "dropout": null,
    "unk_token": null,
    "continuing_subword_prefix": null,
    "end_of_word_suffix": null,
    "fuse_unk": false,
    "byte_fallback": false,
    "ignore_merges": false,
    "vocab": {
      "[PAD]": 0,
      "a": 1,
      "b": 2,
      "c": 3,
      "ab": 4,
      "abc": 5
    },
    "merges": [
      ["a", "b"],
      ["ab", "c"]
    ]
  }
}
"""


def train_text(tmp_path, corpus, vocab_size, **options):
    out = tmp_path / "tokenizer.json"
    selkbar.train_tokenizer([corpus], vocab_size, str(out), **options)
    text = out.read_text(encoding="utf-8")
    json.loads(text)
    tokenizers.Tokenizer.from_file(str(out))
    return text


@pytest.mark.subset
def test_worked_example_byte_for_byte(tmp_path, write_text):
    assert train_text(tmp_path, write_text("abc"), 6, special_tokens=["[PAD]"]) == WORKED_EXAMPLE


def test_empty_added_tokens_and_no_merges(tmp_path, write_text):
    text = train_text(tmp_path, write_text("a b"), 2)
    assert '\n  "added_tokens": [],\n  "normalizer": null,\n' in text
    assert '    "merges": [\n    ]\n  }\n}\n' in text


def test_added_tokens_are_deduplicated_and_missing_ones_left_out(tmp_path, write_text):
    text = train_text(tmp_path, write_text("ab"), 5, special_tokens=["[PAD]", "[PAD]", "[CLS]"])
    assert (
        '  "added_tokens": [\n'
        '    {"id": 0, "content": "[PAD]", "single_word": false, "lstrip": false, "rstrip": false, "normalized": false, "special": true},\n'
        '    {"id": 1, "content": "[CLS]", "single_word": false, "lstrip": false, "rstrip": false, "normalized": false, "special": true}\n'
        '  ],\n'
    ) in text


def test_bytelevel_blocks(tmp_path, write_text):
    text = train_text(tmp_path, write_text("hello world\n"), 300, pretokenizer="bytelevel")
    assert (
        '  "pre_tokenizer": {"type": "ByteLevel", "add_prefix_space": false, "trim_offsets": true, "use_regex": true},\n'
        '  "post_processor": {"type": "ByteLevel", "add_prefix_space": true, "trim_offsets": true, "use_regex": true},\n'
        '  "decoder": {"type": "ByteLevel", "add_prefix_space": true, "trim_offsets": true, "use_regex": true},\n'
    ) in text
    assert '"\u0120world"' in text or '"\u0120w"' in text


def test_prefix_and_suffix_lines(tmp_path, write_text):
    text = train_text(tmp_path, write_text("abc"), 10, continuing_subword_prefix="##", end_of_word_suffix="")
    assert '    "continuing_subword_prefix": "##",\n    "end_of_word_suffix": "",\n' in text


def test_escaping(tmp_path, write_text):
    corpus = write_text('q"q b\\b t\tx u\x1fu v\x7fv')
    text = train_text(tmp_path, corpus, 100, pretokenizer="bytelevel")
    json.loads(text)
    # Whitespace mode keeps raw characters in tokens, so the escapes show.
    text = train_text(tmp_path, write_text('q"q b\\b u\x1fu \x0b v\x7fv'), 100)
    for escaped in ('"\\""', '"\\\\"', '"\\u001f"', '"\x7f"'):
        assert escaped in text, escaped
    vocab = json.loads(text)["model"]["vocab"]
    assert {'"', "\\", "\x1f", "\x7f"} <= set(vocab)


def test_existing_file_replaced_keeping_permissions(tmp_path, write_text):
    out = tmp_path / "tok.json"
    out.write_text("old contents that are longer than the new ones" * 1000)
    os.chmod(out, 0o640)
    selkbar.train_tokenizer([write_text("ab")], 5, str(out))
    assert json.loads(out.read_text())["model"]["vocab"] == {"a": 0, "b": 1, "ab": 2}
    assert stat.S_IMODE(os.stat(out).st_mode) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["tok.json", "corpus0.txt"])


@pytest.mark.subset
def test_missing_directory_raises_after_training_and_creates_nothing(tmp_path, write_text):
    out = tmp_path / "missing" / "tok.json"
    with pytest.raises(OSError) as info:
        selkbar.train_tokenizer([write_text("ab")], 5, str(out))
    assert str(info.value).startswith(f"writing {out}: ")
    assert not (tmp_path / "missing").exists()


@pytest.mark.subset
def test_training_failure_leaves_output_untouched(tmp_path):
    out = tmp_path / "tok.json"
    with pytest.raises(ValueError):
        selkbar.train_tokenizer([str(tmp_path / "nope.txt")], 5, str(out))
    assert not out.exists()


def test_character_device_is_written_in_place(write_text):
    selkbar.train_tokenizer([write_text("ab")], 5, "/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


@pytest.mark.subset
def test_failed_write_keeps_the_existing_tokenizer(tmp_path, write_text):
    # A child process with a small file-size limit: the write fails with EFBIG
    # (SIGXFSZ ignored) after training. The old file must survive intact and
    # no temporary file may be left behind.
    out = tmp_path / "tok.json"
    out.write_text("precious")
    corpus = write_text(" ".join(f"w{i}" for i in range(3000)))
    script = textwrap.dedent(f"""
        import resource, signal, selkbar
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            selkbar.train_tokenizer([{corpus!r}], 3000, {str(out)!r})
        except OSError as e:
            print("OSError:", e)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.startswith(f"OSError: writing {out}: File too large"), result.stdout + result.stderr
    assert out.read_text() == "precious"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["tok.json", "corpus0.txt"])
