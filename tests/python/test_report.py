"""The HTML report: self-contained, every figure the one evaluate returned,
and, in a real headless browser (Debian's chromium) when there is one,
every image loading and the page's figures equal evaluate's."""
import html
import html.parser
import json
import os
import shutil
import subprocess
import sys

import pytest

import selkbar
from conftest import FIXTURES_DIR

TRAIN = [str(FIXTURES_DIR / n) for n in ("en-prose.txt", "man-de.txt", "man-fr.txt")]
HELD_OUT = {"en-dialogue": [str(FIXTURES_DIR / "en-dialogue.txt")],
            "man-ru": [str(FIXTURES_DIR / "man-ru.txt")]}
SIZES = [600, 1200, 2400]


def make_report(folder):
    """A report of a ladder trained on the fixtures; returns (path, evaluations)."""
    pytest.importorskip("matplotlib")
    template = str(folder / "tok-{vocab_size}.json")
    selkbar.train_tokenizer(TRAIN, SIZES, template, pretokenizer="gpt4")
    paths = [template.replace("{vocab_size}", str(size)) for size in SIZES]
    evaluations = {name: selkbar.evaluate(paths, files) for name, files in HELD_OUT.items()}
    counts = selkbar.count_words(TRAIN, pretokenizer="gpt4")
    path = folder / "report.html"
    selkbar.write_report(path, evaluations, tokenizer=paths[-1], counts=counts,
                         training={"distinct words": len(counts)},
                         options={"vocab_size": SIZES, "pretokenizer": "gpt4"})
    return path, evaluations


class _Figures(html.parser.HTMLParser):
    """The figures table's rows, {(set, vocab_size): {key: (value, text)}},
    and the sources of the images."""

    def __init__(self):
        super().__init__()
        self.rows, self.images, self._row, self._cell = {}, [], None, None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "img":
            self.images.append(attrs)
        elif tag == "tr" and "data-set" in attrs:
            self._row = (attrs["data-set"], {})
        elif tag == "td" and self._row is not None and "data-key" in attrs:
            self._cell = [attrs["data-key"], attrs["data-value"], ""]

    def handle_data(self, data):
        if self._cell is not None:
            self._cell[2] += data

    def handle_endtag(self, tag):
        if tag == "td" and self._cell is not None:
            key, value, text = self._cell
            self._row[1][key] = (float(value), text)
            self._cell = None
        elif tag == "tr" and self._row is not None:
            name, cells = self._row
            self.rows[(name, int(cells["vocab_size"][0]))] = cells
            self._row = None


def assert_figures_equal(page_rows, evaluations):
    expected = {(name, row["vocab_size"]): row for name, rows in evaluations.items()
                for row in rows}
    assert set(page_rows) == set(expected)
    for key, cells in page_rows.items():
        for field, (value, text) in cells.items():
            assert value == expected[key][field], (key, field)
        assert cells["bytes_per_token"][1] == f"{expected[key]['bytes_per_token']:.3f}"


def test_report_is_self_contained_and_holds_evaluates_figures(tmp_path):
    path, evaluations = make_report(tmp_path)
    text = path.read_text(encoding="utf-8")
    parsed = _Figures()
    parsed.feed(text)
    assert_figures_equal(parsed.rows, evaluations)
    assert [image["id"] for image in parsed.images] == ["bytes-per-token", "token-lengths"]
    assert all(image["src"].startswith("data:image/png;base64,") for image in parsed.images)
    # Nothing is fetched at view time.
    assert "http://" not in text and "https://" not in text
    for section in ("first-merges", "last-merges", "words", "training", "options"):
        assert f'id="{section}"' in text


def test_without_matplotlib_the_error_names_the_extra(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # import fails
    rows = selkbar.evaluate([({"a": 0}, [], "whitespace")], ["a a"])
    with pytest.raises(ImportError, match=r"pip install 'selkbar\[report\]'"):
        selkbar.write_report(tmp_path / "r.html", {"x": rows})
    monkeypatch.undo()
    pytest.importorskip("matplotlib")
    with pytest.raises(ValueError, match="at least one row"):
        selkbar.write_report(tmp_path / "r.html", {"x": []})
    assert os.listdir(tmp_path) == []


# What the browser reports back: the script runs in the page once it has
# loaded and writes what it found into the DOM that --dump-dom prints.
PROBE = """<script>
window.addEventListener("load", () => {
  const found = {images: [], rows: []};
  for (const img of document.images) {
    found.images.push({id: img.id, complete: img.complete, width: img.naturalWidth});
  }
  for (const tr of document.querySelectorAll("#figures tr[data-set]")) {
    const cells = {};
    for (const td of tr.querySelectorAll("td[data-key]")) {
      cells[td.dataset.key] = [Number(td.dataset.value), td.textContent];
    }
    found.rows.push([tr.dataset.set, cells]);
  }
  const out = document.createElement("pre");
  out.id = "probe";
  out.textContent = JSON.stringify(found);
  document.body.appendChild(out);
});
</script>"""


def _chromium():
    for name in ("chromium", "chromium-browser"):
        found = shutil.which(name)
        if found:
            return found
    return None


@pytest.mark.skipif(_chromium() is None,
                    reason="no chromium on the PATH (scripts/setup.sh installs Debian's when "
                           "it can): the report is not opened in a browser")
def test_report_in_a_headless_browser(tmp_path):
    path, evaluations = make_report(tmp_path)
    probed = tmp_path / "probed.html"
    probed.write_text(path.read_text(encoding="utf-8").replace("</body>", PROBE + "</body>"),
                      encoding="utf-8")
    result = subprocess.run(
        [_chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         f"--user-data-dir={tmp_path / 'profile'}", "--virtual-time-budget=10000",
         "--dump-dom", probed.as_uri()],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    start = result.stdout.index('<pre id="probe">') + len('<pre id="probe">')
    found = json.loads(html.unescape(result.stdout[start:result.stdout.index("</pre>", start)]))
    assert [image["id"] for image in found["images"]] == ["bytes-per-token", "token-lengths"]
    for image in found["images"]:
        assert image["complete"] and image["width"] > 100, image
    page_rows = {(name, int(cells["vocab_size"][0])): {k: tuple(v) for k, v in cells.items()}
                 for name, cells in found["rows"]}
    assert_figures_equal(page_rows, evaluations)
