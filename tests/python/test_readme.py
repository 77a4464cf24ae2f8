"""The README's examples work verbatim: every fenced sh and python block runs,
in order, in a directory laid out like the repository after the set-up."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

pytestmark = pytest.mark.subset

REPO = pathlib.Path(__file__).resolve().parents[2]
VENV = pathlib.Path(sys.executable).parents[1]
BLOCK = re.compile(r"^```(sh|python)\n(.*?)^```$", re.M | re.S)


def test_readme_examples_run(tmp_path):
    text = (REPO / "README.md").read_text(encoding="utf-8")
    (tmp_path / "README.md").write_text(text, encoding="utf-8")
    (tmp_path / ".venv").symlink_to(VENV)
    blocks = BLOCK.findall(text)
    assert [language for language, _ in blocks].count("sh") >= 2
    assert [language for language, _ in blocks].count("python") >= 3
    env = {key: value for key, value in os.environ.items() if not key.startswith("SELKBAR_")}
    for language, code in blocks:
        command = ["bash", "-euo", "pipefail", "-c", code] if language == "sh" \
            else [".venv/bin/python", "-c", code]
        result = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True,
                                text=True, timeout=300)
        assert result.returncode == 0, (code, result.stdout, result.stderr)
        assert "Traceback" not in result.stderr
    assert (tmp_path / "tokenizer.json").is_file()
