"""Trains a byte-level BPE tokenizer on the Python standard library's sources.

The interpreter's own sources are on every machine, so this is the quickest
real training run: it writes tokenizer.json and shows that it loads.

    .venv/bin/python scripts/train_stdlib.py [--vocab-size N] [--output PATH]
"""
import argparse
import pathlib
import sysconfig
import time

import selkbar


def utf8_sources():
    root = pathlib.Path(sysconfig.get_paths()["stdlib"])
    for path in sorted(root.rglob("*.py")):
        try:
            path.read_bytes().decode("utf-8")
        except (OSError, UnicodeDecodeError):
            continue  # a few test fixtures are deliberately not UTF-8
        yield str(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vocab-size", type=int, default=16000)
    parser.add_argument("--output", default="build/stdlib-tokenizer.json")
    args = parser.parse_args()
    files = list(utf8_sources())
    size = sum(pathlib.Path(f).stat().st_size for f in files)
    output = pathlib.Path(args.output)
    output.parent.mkdir(parents=True, exist_ok=True)
    start = time.monotonic()
    selkbar.train_tokenizer(files, args.vocab_size, str(output), pretokenizer="bytelevel")
    elapsed = time.monotonic() - start
    print(f"trained on {len(files)} files ({size / 1e6:.1f} MB) in {elapsed:.2f} s")
    print(f"wrote {output.resolve()}")
    try:
        from tokenizers import Tokenizer
    except ImportError:
        return
    tokenizer = Tokenizer.from_file(str(output))
    sample = "def train(files, vocab_size):\n    return selkbar.train_bpe(files, vocab_size)\n"
    encoding = tokenizer.encode(sample)
    print(f"vocabulary {tokenizer.get_vocab_size()}; the sample encodes to {len(encoding.ids)} tokens")


if __name__ == "__main__":
    main()
