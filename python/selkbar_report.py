"""selkbar.write_report: one self-contained HTML page about a training run.

    rows = selkbar.evaluate(["tok-8000.json", "tok-32000.json"], ["held-out.txt"])
    selkbar.write_report("report.html", {"held-out.txt": rows},
                         tokenizer="tok-32000.json", counts=counts,
                         training={"counting seconds": 3.2}, options={"vocab_size": [8000, 32000]})

The page needs nothing at view time: its charts are PNG images drawn with
matplotlib and embedded as base64 data URIs, its style is inline. It shows
bytes per token against vocabulary size (one line per held-out set), the
token-length histogram of the largest vocabulary on each held-out set, the
table of every figure evaluate returns, the first and last merges of
`tokenizer`, the most frequent words of `counts`, the run's own figures
(`training`, as given) and its exact options (`options`, as given), so the
run can be repeated.

Every figure of the table carries its exact value in a data-value attribute
beside the rounded text, so that a program reading the page (the browser
test) compares the numbers themselves.

matplotlib is an optional dependency (pip install "selkbar[report]");
without it write_report raises MissingExtra, an ImportError naming the
extra, before anything is written. The file is written whole or not at all.
"""

import base64
import html
import io
import json
import os
import tempfile

import selkbar

__all__ = ["write_report", "MissingExtra"]

FIRST_AND_LAST_MERGES = 25
FREQUENT_WORDS = 40


class MissingExtra(ImportError):
    """matplotlib, which draws the report's charts, is not installed."""


def _pyplot():
    try:
        import matplotlib
    except ImportError:
        raise MissingExtra("the report needs matplotlib to draw its charts: "
                           "pip install 'selkbar[report]'") from None
    matplotlib.use("Agg", force=False)
    import matplotlib.pyplot as pyplot
    return pyplot


def _png(figure, pyplot):
    """The figure as a data URI, the figure closed."""
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png", dpi=110, bbox_inches="tight")
    pyplot.close(figure)
    return "data:image/png;base64," + base64.b64encode(buffer.getvalue()).decode("ascii")


def _bytes_per_token_chart(evaluations, pyplot):
    figure, axes = pyplot.subplots(figsize=(7, 4))
    for name, rows in evaluations.items():
        points = sorted((row["vocab_size"], row["bytes_per_token"]) for row in rows)
        axes.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=name)
    sizes = [row["vocab_size"] for rows in evaluations.values() for row in rows]
    if min(sizes) > 0 and max(sizes) >= 4 * min(sizes):
        # A ladder of doublings reads evenly on a log scale.
        axes.set_xscale("log", base=2)
        axes.set_xticks(sorted(set(sizes)), [str(size) for size in sorted(set(sizes))])
        axes.minorticks_off()
    axes.set_xlabel("vocabulary size (tokens)")
    axes.set_ylabel("bytes per token (held-out)")
    axes.set_title("Compression against vocabulary size")
    axes.grid(True, alpha=0.3)
    axes.legend(fontsize="small")
    return _png(figure, pyplot)


def _length_histogram_chart(evaluations, pyplot):
    figure, axes = pyplot.subplots(figsize=(7, 4))
    sets = list(evaluations.items())
    width = 0.8 / max(1, len(sets))
    for k, (name, rows) in enumerate(sets):
        largest = max(rows, key=lambda row: row["vocab_size"])
        histogram = largest["token_length_histogram"]
        tokens = sum(histogram) or 1
        axes.bar([n + k * width for n in range(len(histogram))],
                 [count / tokens for count in histogram], width=width,
                 label=f"{name} (vocabulary {largest['vocab_size']})")
    axes.set_xlabel("token length (bytes of text)")
    axes.set_ylabel("share of token occurrences")
    axes.set_title("Token lengths on held-out text, largest vocabulary")
    axes.legend(fontsize="small")
    return _png(figure, pyplot)


_BYTE_OF_CHAR = None


def _readable(token, byte_level):
    """A token as text: byte-level spelling turned back into the bytes it
    stands for, shown as UTF-8 (bytes that are no UTF-8 as \\x escapes)."""
    global _BYTE_OF_CHAR
    if not byte_level:
        return token
    if _BYTE_OF_CHAR is None:
        _BYTE_OF_CHAR = {char: byte for byte, char in enumerate(selkbar.BYTE_LEVEL_ALPHABET)}
    data = bytes(_BYTE_OF_CHAR.get(char, 0x3F) for char in token)
    return data.decode("utf-8", "backslashreplace")


def _shown(text):
    """Escaped for HTML, with white space made visible."""
    visible = text.replace(" ", "\u2423").replace("\n", "\\n").replace("\t", "\\t")
    return html.escape(visible)


def _figure_cell(key, value):
    if key in ("unused_share", "unknown_share"):
        text = f"{100 * value:.2f}%"
    elif isinstance(value, float):
        text = f"{value:.3f}"
    else:
        text = str(value)
    return f'<td class="num" data-key="{key}" data-value="{html.escape(repr(value))}">{text}</td>'


_FIGURE_COLUMNS = [("vocab_size", "vocabulary"), ("bytes_per_token", "bytes / token"),
                   ("tokens_per_word", "tokens / word"), ("unused_share", "unused vocabulary"),
                   ("unknown_share", "unknown text"), ("longest_token_bytes", "longest token"),
                   ("median_token_bytes", "median token"), ("text_bytes", "text bytes"),
                   ("words", "words"), ("tokens", "tokens")]


def _figures_table(evaluations):
    head = "".join(f"<th>{html.escape(title)}</th>" for _, title in _FIGURE_COLUMNS)
    lines = [f"<table id=\"figures\"><tr><th>held-out set</th><th>tokenizer</th>{head}</tr>"]
    for name, rows in evaluations.items():
        for row in sorted(rows, key=lambda row: row["vocab_size"]):
            cells = "".join(_figure_cell(key, row[key]) for key, _ in _FIGURE_COLUMNS)
            lines.append(f'<tr class="row" data-set="{html.escape(name)}" '
                         f'data-tokenizer="{html.escape(str(row.get("tokenizer", "")))}">'
                         f"<td>{html.escape(name)}</td>"
                         f"<td>{html.escape(os.path.basename(str(row.get('tokenizer', ''))))}"
                         f"</td>{cells}</tr>")
    lines.append("</table>")
    return "\n".join(lines)


def _merges_section(tokenizer):
    if tokenizer is None:
        return ""
    import selkbar_eval
    (model,) = selkbar_eval._models([tokenizer])
    merges = model.merges
    def rows(start, part):
        return "".join(
            f"<tr><td class=\"num\">{start + i}</td><td><code>{_shown(_readable(left, model.byte_level))}"
            f"</code></td><td><code>{_shown(_readable(right, model.byte_level))}</code></td></tr>"
            for i, (left, right) in enumerate(part))
    n = FIRST_AND_LAST_MERGES
    first = rows(0, merges[:n])
    last_start = max(n, len(merges) - n)
    last = rows(last_start, merges[last_start:])
    head = "<tr><th>rank</th><th>left</th><th>right</th></tr>"
    return (f"<h2>Merges of {html.escape(os.path.basename(str(model.name)))}</h2>"
            f"<p>{len(merges)} merges, {len(model.tokens)} tokens.</p>"
            f"<div class=\"pair\"><table id=\"first-merges\"><caption>first</caption>{head}{first}"
            f"</table><table id=\"last-merges\"><caption>last</caption>{head}{last}</table></div>")


def _words_section(counts):
    if counts is None:
        return ""
    byte_level = counts.pretokenizer != "whitespace"
    total = counts.total or 1
    body = "".join(
        f"<tr><td><code>{_shown(_readable(word, byte_level))}</code></td>"
        f"<td class=\"num\">{count}</td><td class=\"num\">{100 * count / total:.3f}%</td></tr>"
        for word, count in counts.most_common(FREQUENT_WORDS))
    return (f"<h2>Most frequent words</h2><p>{len(counts)} distinct words, {counts.total} in "
            f"all, split by the {html.escape(counts.pretokenizer)} pretokenizer.</p>"
            f"<table id=\"words\"><tr><th>word</th><th>count</th><th>share</th></tr>{body}"
            f"</table>")


def _mapping_table(table_id, mapping):
    body = "".join(f"<tr><th>{html.escape(str(key))}</th><td>{html.escape(str(value))}</td></tr>"
                   for key, value in mapping.items() if value is not None)
    return f"<table id=\"{table_id}\">{body}</table>"


_STYLE = """
body { font-family: sans-serif; margin: 2em auto; max-width: 70em; color: #222; }
table { border-collapse: collapse; margin: 0.5em 1em 1em 0; }
th, td { border: 1px solid #ccc; padding: 0.2em 0.5em; text-align: left; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
.pair { display: flex; flex-wrap: wrap; }
img { max-width: 100%; }
pre { background: #f5f5f5; padding: 0.5em; white-space: pre-wrap; }
"""


def write_report(path, evaluations, *, tokenizer=None, counts=None, training=None,
                 options=None, title="selkbar report"):
    """Writes the report to `path` (see the module's documentation).
    evaluations maps each held-out set's name to the rows evaluate returned
    for it; tokenizer (a tokenizer.json path or a (vocab, merges,
    pretokenizer) tuple) supplies the merges shown, counts (a WordCounts)
    the frequent words, training and options are shown as given."""
    pyplot = _pyplot()
    evaluations = {str(name): list(rows) for name, rows in dict(evaluations).items()}
    if not evaluations or not all(evaluations.values()):
        raise ValueError("evaluations must map each held-out set to at least one row")
    charts = [("Bytes per token against vocabulary size", "bytes-per-token",
               _bytes_per_token_chart(evaluations, pyplot)),
              ("Token lengths", "token-lengths", _length_histogram_chart(evaluations, pyplot))]
    parts = [f"<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
             f"<title>{html.escape(title)}</title><style>{_STYLE}</style></head><body>",
             f"<h1>{html.escape(title)}</h1>"]
    for heading, chart_id, uri in charts:
        parts.append(f"<h2>{html.escape(heading)}</h2><img id=\"{chart_id}\" alt=\""
                     f"{html.escape(heading)}\" src=\"{uri}\">")
    parts.append("<h2>Figures on held-out text</h2>" + _figures_table(evaluations))
    parts.append(_merges_section(tokenizer))
    parts.append(_words_section(counts))
    if training:
        parts.append("<h2>Training</h2>" + _mapping_table("training", training))
    if options:
        parts.append("<h2>Options</h2><pre id=\"options\">"
                     + html.escape(json.dumps(options, indent=2, sort_keys=True, default=str))
                     + "</pre>")
    parts.append("</body></html>\n")
    _write_whole(os.fspath(path), "\n".join(parts))


def _write_whole(path, text):
    """Writes beside the target and renames: a reader never sees half a page."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=".report-", suffix=".html", dir=folder)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(temporary, 0o644)  # mkstemp's 0600 is for the half-written page
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
