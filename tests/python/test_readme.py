"""The README's and the docs' examples work verbatim: every fenced sh and
python block of a page runs, in order, in a directory holding the README, with
the venv's commands first on the PATH (as after `source .venv/bin/activate`).
Their links to each other lead to pages and headings that exist."""
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
PAGES = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
# A link that is not an image: [text](target), the target without spaces.
LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")


def run_blocks(page, directory):
    """Runs the page's blocks in directory; returns the languages run."""
    text = page.read_text(encoding="utf-8")
    (directory / "README.md").write_text((REPO / "README.md").read_text(encoding="utf-8"),
                                         encoding="utf-8")
    (directory / ".venv").symlink_to(VENV)
    env = {key: value for key, value in os.environ.items() if not key.startswith("SELKBAR_")}
    env["PATH"] = f"{VENV / 'bin'}{os.pathsep}{env.get('PATH', '')}"
    blocks = BLOCK.findall(text)
    for language, code in blocks:
        command = ["bash", "-euo", "pipefail", "-c", code] if language == "sh" \
            else [str(VENV / "bin" / "python"), "-c", code]
        result = subprocess.run(command, cwd=directory, env=env, capture_output=True,
                                text=True, timeout=300)
        assert result.returncode == 0, (page.name, code, result.stdout, result.stderr)
        assert "Traceback" not in result.stderr
    return [language for language, _ in blocks]


def test_readme_examples_run(tmp_path):
    languages = run_blocks(REPO / "README.md", tmp_path)
    assert languages.count("sh") >= 2 and languages.count("python") >= 3
    assert (tmp_path / "tokenizer.json").is_file()


@pytest.mark.parametrize("page", PAGES[1:], ids=lambda page: page.name)
def test_docs_examples_run(tmp_path, page):
    run_blocks(page, tmp_path)


def anchors(page):
    """The ids a Markdown renderer gives the page's headings, as GitHub does."""
    headings = re.findall(r"^#+ (.+)$", page.read_text(encoding="utf-8"), re.M)
    return {re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-") for heading in headings}


def test_links_between_pages_resolve():
    assert len(PAGES) > 1
    for page in PAGES:
        for target in LINK.findall(page.read_text(encoding="utf-8")):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            assert linked.is_file(), (page.name, target)
            if anchor:
                assert anchor in anchors(linked), (page.name, target)
