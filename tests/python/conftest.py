import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
CORPORA = REPO.parent / "shared" / "corpora"


def corpus_files():
    files = sorted(str(p) for p in CORPORA.glob("*.txt"))
    if not files:
        pytest.skip(f"shared corpora not found at {CORPORA}")
    return files


@pytest.fixture
def write_text(tmp_path):
    """Writes text (str or bytes) to a new file and returns its path as str."""
    counter = iter(range(1_000_000))

    def write(text, name=None):
        path = tmp_path / (name or f"corpus{next(counter)}.txt")
        path.write_bytes(text.encode() if isinstance(text, str) else text)
        return str(path)

    return write
