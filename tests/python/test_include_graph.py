"""scripts/include_graph.py: finds what breaks the layering of src/."""
import pathlib
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
SCRIPT = REPO / "scripts" / "include_graph.py"


def run(root):
    done = subprocess.run([sys.executable, str(SCRIPT), "--root", str(root)],
                          capture_output=True, text=True, check=False)
    return done.returncode, done.stdout


def plant(root, files):
    for rel, includes in files.items():
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("".join(f"#include {name}\n" for name in includes))


def section(out, title):
    """The indented lines under `title:`."""
    lines = out.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title + ":"))
    items = []
    for line in lines[start + 1:]:
        if not line.startswith("  "):
            break
        items.append(line.strip())
    return items


def test_the_engine_is_layered():
    code, out = run(REPO / "src")
    assert code == 0, out
    assert section(out, "cycles") == []


def test_a_clean_tree_passes(tmp_path):
    plant(tmp_path, {
        "base/status.h": ["<string>"],
        "config.h": ['"base/status.h"'],
        "counts/table.h": ['"config.h"'],
        "counting/pipeline.cpp": ['"counts/table.h"', '"base/status.h"'],
        "training/trainer.cpp": ['"counts/table.h"'],
        "binding/module.cpp": ["<Python.h>", '"training/trainer.h"', '"counting/pipeline.h"'],
    })
    code, out = run(tmp_path)
    assert code == 0, out


@pytest.mark.parametrize("files, title, expected", [
    # A module cycle through a .cpp: config.cpp -> stats.h -> config.h.
    ({"config.h": [], "config.cpp": ['"config.h"', '"stats.h"'], "stats.h": ['"config.h"']},
     "cycles", ["config -> stats -> config"]),
    # A longer cycle inside one layer, written with an include beside the file.
    ({"base/a.h": ['"b.h"'], "base/b.h": ['"base/c.h"'], "base/c.h": ['"base/a.h"']},
     "cycles", ["base/a -> base/b -> base/c -> base/a"]),
    ({"base/a.h": ['"unicode/utf8.h"'], "unicode/utf8.h": []},
     "includes pointing back up a layer", ["base/a.h:1 -> unicode/utf8.h"]),
    ({"counts/t.h": [], "counting/p.cpp": ['"counts/t.h"', '"training/w.h"'], "training/w.h": []},
     "includes between counting and training", ["counting/p.cpp:2 -> training/w.h"]),
    ({"unicode/u.cpp": ['<vector>', '<Python.h>']}, "Python.h outside binding", ["unicode/u.cpp"]),
])
def test_finds_a_planted_fault(tmp_path, files, title, expected):
    plant(tmp_path, files)
    code, out = run(tmp_path)
    assert code == 1, out
    assert section(out, title) == expected
