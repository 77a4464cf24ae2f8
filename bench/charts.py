"""Charts of a bench/run.py run, drawn with matplotlib (a development
dependency, imported on first use):

    time.png     wall time per trainer and case (log scale: the trainers
                 are up to two orders of magnitude apart)
    memory.png   peak resident set per trainer and case
    size.png     wall time against corpus size, one panel per mix and mode,
                 when more than one size ran

Every function takes the result dicts of run.run_case: {"case": Case,
"impls": {trainer: {"wall_s", "peak_rss_mb", ...}}, "not_run": {trainer:
reason}}. A trainer the run's options left out of a case is labelled "not
run" at its place in the bar charts, and the charts carry a footnote saying
which trainers ran at which sizes, so that a missing bar or a line that stops
early does not read as a failure.
"""

import os

import gen_corpus

COLORS = {"selkbar": "#1f77b4", "tokenizers": "#ff7f0e", "sentencepiece": "#2ca02c",
          "rustbpe": "#d62728", "bpeasy": "#9467bd"}
# The vocabulary the size chart prefers, the one of the headline comparison.
PREFERRED_VOCAB = 32000


def per_case(results, impls, metric):
    """(case ids, {trainer: [value or None per case]}) for one metric."""
    ids = [res["case"].id for res in results]
    values = {impl: [(res["impls"].get(impl) or {}).get(metric) for res in results] for impl in impls}
    return ids, {impl: v for impl, v in values.items() if any(x is not None for x in v)}


def not_run_labels(results, impls):
    """{(case id, trainer): label} for every trainer the run left out of a case
    or that gave no figure there."""
    labels = {}
    for res in results:
        for impl in impls:
            if impl in res["impls"]:
                continue
            why = res.get("not_run", {}).get(impl)
            labels[(res["case"].id, impl)] = f"{impl}: not run ({why})" if why else f"{impl}: failed"
    return labels


def coverage_note(results, impls):
    """One line naming the corpus sizes of each trainer that did not run at
    every size of the run; empty when all did."""
    all_sizes = sorted({res["case"].size for res in results}, key=gen_corpus.parse_size)
    parts = []
    for impl in impls:
        sizes = sorted({res["case"].size for res in results if impl in res["impls"]}, key=gen_corpus.parse_size)
        if sizes and sizes != all_sizes:
            parts.append(f"{impl} at {', '.join(sizes)}")
    return ("Ran only at some sizes: " + "; ".join(parts) + f" (selkbar at {', '.join(all_sizes)})") \
        if parts else ""


def by_size(results, impls):
    """(panels, vocab, threads): panels is {(mix, mode): {trainer: [(corpus
    bytes, wall s), ...] by size}} for the cases at the most threads run and
    the vocabulary nearest PREFERRED_VOCAB, only those with two sizes or more."""
    if not results:
        return {}, None, None
    threads = max(res["case"].threads for res in results)
    vocab = min({res["case"].vocab for res in results}, key=lambda v: (abs(v - PREFERRED_VOCAB), v))
    panels = {}
    for res in results:
        c = res["case"]
        if c.threads != threads or c.vocab != vocab:
            continue
        for impl in impls:
            r = res["impls"].get(impl)
            if r is not None:
                panels.setdefault((c.mix, c.mode), {}).setdefault(impl, []).append(
                    (gen_corpus.parse_size(c.size), r["wall_s"]))
    out = {}
    for key, lines in panels.items():
        lines = {impl: sorted(points) for impl, points in lines.items()}
        if any(len(points) >= 2 for points in lines.values()):
            out[key] = lines
    return out, vocab, threads


def _pyplot():
    import matplotlib
    matplotlib.use("Agg")           # files only, no display needed
    import matplotlib.pyplot as plt
    return plt


def _bar_chart(plt, ids, values, xlabel, title, path, log, labels=None, note=""):
    from matplotlib.transforms import blended_transform_factory
    bar = 0.8 / max(len(values), 1)
    fig, ax = plt.subplots(figsize=(9, 1.2 + 0.22 * len(ids) * max(len(values), 1) + (0.3 if note else 0)))
    at_left = blended_transform_factory(ax.transAxes, ax.transData)
    for k, (impl, vals) in enumerate(values.items()):
        ys = [i + (k - (len(values) - 1) / 2) * bar for i in range(len(ids))]
        xs = [v if v is not None else 0 for v in vals]
        ax.barh(ys, xs, height=bar, label=impl, color=COLORS.get(impl))
        for case_id, y, v in zip(ids, ys, vals):
            if v is None and labels and (case_id, impl) in labels:
                ax.text(0.005, y, labels[(case_id, impl)], transform=at_left, va="center", fontsize=6,
                        color="dimgray")
    ax.set_yticks(range(len(ids)))
    ax.set_yticklabels(ids, fontsize=8)
    ax.invert_yaxis()
    if log:
        ax.set_xscale("log")
    ax.set_xlabel(xlabel)
    ax.set_title(title)
    ax.grid(axis="x", alpha=0.3)
    ax.legend(loc="lower right", fontsize=8)
    if note:
        fig.text(0.01, 0.005, note, fontsize=7, color="dimgray", va="bottom")
    fig.tight_layout(rect=(0, 0.03 if note else 0, 1, 1))
    fig.savefig(path, dpi=100)
    plt.close(fig)


def _size_chart(plt, panels, vocab, threads, path, note=""):
    keys = sorted(panels)
    fig, axes = plt.subplots(1, len(keys), figsize=(4.5 * len(keys), 4), squeeze=False)
    for ax, key in zip(axes[0], keys):
        for impl, points in panels[key].items():
            ax.plot([b / 1e9 for b, _ in points], [w for _, w in points], marker="o", label=impl,
                    color=COLORS.get(impl))
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("corpus GB")
        ax.set_ylabel("wall s")
        ax.set_title(f"{key[0]}, {key[1]}")
        ax.grid(alpha=0.3, which="both")
    axes[0][0].legend(fontsize=8)
    fig.suptitle(f"Time against corpus size (vocab {vocab}, threads {threads})")
    if note:
        fig.text(0.01, 0.005, note, fontsize=7, color="dimgray", va="bottom")
    fig.tight_layout(rect=(0, 0.05 if note else 0, 1, 1))
    fig.savefig(path, dpi=100)
    plt.close(fig)


def draw(results, impls, out_dir):
    """Writes the charts into out_dir; returns [(title, path)] of those written.
    Raises ImportError when matplotlib is missing."""
    plt = _pyplot()
    os.makedirs(out_dir, exist_ok=True)
    written = []
    labels, note = not_run_labels(results, impls), coverage_note(results, impls)
    ids, walls = per_case(results, impls, "wall_s")
    if walls:
        path = os.path.join(out_dir, "time.png")
        _bar_chart(plt, ids, walls, "wall s (log scale)", "Training wall time per trainer and case",
                   path, log=True, labels=labels, note=note)
        written.append(("Wall time per trainer and case", path))
    ids, peaks = per_case(results, impls, "peak_rss_mb")
    if peaks:
        path = os.path.join(out_dir, "memory.png")
        _bar_chart(plt, ids, peaks, "peak MB", "Peak memory per trainer and case", path, log=False,
                   labels=labels, note=note)
        written.append(("Peak memory per trainer and case", path))
    panels, vocab, threads = by_size(results, impls)
    if panels:
        path = os.path.join(out_dir, "size.png")
        _size_chart(plt, panels, vocab, threads, path, note=note)
        written.append(("Wall time against corpus size", path))
    return written
