"""Writes the sample tokenizers that scripts/test.sh compares across Python
versions: the same inputs and options must give the same bytes on every
interpreter. Usage: python tests/python/write_samples.py OUTPUT_DIR

The inputs are files of the repository (text in many scripts, whitespace
cases, Python source), so every interpreter of one test run reads the same text.
"""
import pathlib
import sys

import selkbar

REPO = pathlib.Path(__file__).resolve().parents[2]
INPUTS = [str(REPO / "tests" / "data" / name) for name in ("mixed-scripts.txt", "whitespace.txt")]
INPUTS.append(str(REPO / "python" / "selkbar_cli.py"))

SAMPLES = {
    "whitespace": {"special_tokens": ["[UNK]", "[PAD]"]},
    "bytelevel": {"pretokenizer": "bytelevel", "special_tokens": ["<|endoftext|>"]},
    "gpt4": {"pretokenizer": "gpt4"},
    "o200k": {"pretokenizer": "o200k"},
    "decorated": {"continuing_subword_prefix": "##", "end_of_word_suffix": "</w>",
                  "min_frequency": 2, "max_token_length": 6, "limit_alphabet": 80},
}


def main(argv):
    if len(argv) != 2:
        print("usage: write_samples.py OUTPUT_DIR", file=sys.stderr)
        return 2
    out = pathlib.Path(argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for name, options in SAMPLES.items():
        selkbar.train_tokenizer(INPUTS, 1500, str(out / f"{name}.json"), threads=2, **options)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
