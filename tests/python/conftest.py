"""Shared test helpers: the text the corpus tests run on, and write_text.

The tests that compare selkbar with a reference on real text (parity with the
tokenizers library, the byte-level regex differential) run on the fixtures in
tests/data, which are small and part of the repository. An extended run adds
the *.txt files of the folder named by SELKBAR_CORPORA to the same tests:

    SELKBAR_CORPORA=../shared/corpora bash scripts/test.sh

Without it nothing outside the repository is read, and the extended cases are
reported as skipped, with the reason.
"""
import os
import pathlib
import signal

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
FIXTURES_DIR = REPO / "tests" / "data"
EXTENDED_VARIABLE = "SELKBAR_CORPORA"


def text_files(folder):
    return sorted(str(p) for p in pathlib.Path(folder).glob("*.txt"))


def default_ctrl_c():
    """preexec_fn for a child that is sent Ctrl-C: a shell starts background
    jobs with SIGINT ignored, exec keeps the ignore, and Python (rightly)
    keeps an inherited ignore, so a test run from one would see the signal
    do nothing."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def fixture_files():
    files = text_files(FIXTURES_DIR)
    assert files, f"no fixtures in {FIXTURES_DIR}"
    return files


class CorpusSet:
    """The files of one folder, with a name that appears in the test ids."""

    def __init__(self, name, files):
        self.name = name  # "fixtures" or "corpora"
        self.files = files

    def pick(self, *names):
        """The files of this set with these names; a skip if one is missing."""
        by_name = {os.path.basename(f): f for f in self.files}
        missing = [n for n in names if n not in by_name]
        if missing:
            pytest.skip(f"{self.name}: no {', '.join(missing)} among {EXTENDED_VARIABLE}'s files")
        return [by_name[n] for n in names]


def extended_corpora():
    """(CorpusSet, None) for an extended run, else (None, the reason there is none)."""
    folder = os.environ.get(EXTENDED_VARIABLE, "")
    if not folder:
        return None, f"{EXTENDED_VARIABLE} is not set; set it to a folder of *.txt corpora for the extended run"
    files = text_files(folder)
    if not files:
        return None, f"{EXTENDED_VARIABLE}={folder}: no *.txt files there"
    return CorpusSet("corpora", files), None


def corpus_sets():
    """Parameters: the fixtures, and the extended corpora (skipped without them)."""
    params = [pytest.param(CorpusSet("fixtures", fixture_files()), id="fixtures")]
    extended, reason = extended_corpora()
    if extended is None:
        params.append(pytest.param(None, id="corpora", marks=pytest.mark.skip(reason=reason)))
    else:
        params.append(pytest.param(extended, id="corpora"))
    return params


def corpus_file_params():
    """Parameters: each fixture file, and each file of the extended corpora
    (one skipped parameter without them); ids are "fixtures/NAME", "corpora/NAME"."""
    params = [pytest.param(pathlib.Path(f), id=f"fixtures/{os.path.basename(f)}") for f in fixture_files()]
    extended, reason = extended_corpora()
    if extended is None:
        params.append(pytest.param(None, id="corpora", marks=pytest.mark.skip(reason=reason)))
    else:
        params += [pytest.param(pathlib.Path(f), id=f"corpora/{os.path.basename(f)}") for f in extended.files]
    return params


def has_pcre2():
    """Whether the installed module runs pattern=: a build without PCRE2
    refuses every pattern, before reading anything, naming what to install."""
    import selkbar
    try:
        selkbar.train_bpe([], 0, pretokenizer="bytelevel", pattern="x")
    except ValueError as error:
        if "needs PCRE2" in str(error):
            return False
        raise
    return True


def pytest_collection_modifyitems(config, items):
    """Skips the tests marked pcre2 when the module was built without it."""
    marked = [item for item in items if item.get_closest_marker("pcre2")]
    if marked and not has_pcre2():
        skip = pytest.mark.skip(reason="selkbar was built without PCRE2, so pattern= is refused")
        for item in marked:
            item.add_marker(skip)


@pytest.fixture
def write_text(tmp_path):
    """Writes text (str or bytes) to a new file and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(text, name=None):
        path = tmp_path / (name or f"corpus{next(counter)}.txt")
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        return str(path)

    return write
