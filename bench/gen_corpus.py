#!/usr/bin/env python3
"""Deterministic benchmark corpus generator.

Builds a UTF-8 corpus of a requested size into bench/data/, seeded from the
text files of a seed folder: by default the test fixtures in tests/data, which
come with the repository; --seed-dir names another folder, such as a copy of
the larger corpora the fixtures were excerpted from, which gives text closer to
real text at large sizes. A seed folder holds one file per source (SOURCES).

Why not just repeat the source text: a trainer's cost on a real corpus is
driven by its number of distinct words, and repeated text stops adding new
words after a few tens of megabytes. Real text keeps coining new forms (names,
numbers, compounds, typos) at a rate that falls off slowly with size (Heaps'
law), so this generator does the same:

  * Text is made of "documents": runs of 4 to 40 consecutive source lines,
    each taken from one language, chosen at random with the fixed byte shares
    of the selected mix (MIXES below). Line structure is the source's own.
  * After every block, the distinct whitespace-word count is topped up to
    V(b) = HEAPS_K * b ** HEAPS_BETA (b = bytes written so far) by inserting
    new word forms, each coined from pieces of that document's language
    (prefix of one source word + suffix of another for alphabetic scripts,
    two to four 1-3 character n-grams for Chinese/Japanese, and a share of
    numbers and identifiers). Every coined word is also reused later with a
    skewed (Zipf-like) choice, so new words recur as they do in real text.
    With the constants below, V(1 GB) is 3.0 million, V(100 MB) 0.6 million,
    V(10 MB) 119 thousand and V(10 GB) 15 million.

The distinct count is exact: every word is kept in a set (words are split on
Unicode White_Space, which is what str.split() does once the four control
characters U+001C..U+001F are removed from the sources; they do not occur in
them today). Output is a pure function of (mix, size, seed).

Usage:
    python bench/gen_corpus.py --size 100M --mix multi
    python bench/gen_corpus.py --size 1G --mix cjk --out /tmp/cjk-1G.txt
    python bench/gen_corpus.py --size 1G --mix en --seed-dir /path/to/corpora
"""

import argparse
import hashlib
import json
import os
import random
import re
import sys
import time

# Bump on any change to the output, so cached corpora in bench/data are rebuilt.
GENERATOR_VERSION = 1

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_SEED_DIR = os.path.join(REPO_ROOT, "tests", "data")
DATA_DIR = os.path.join(REPO_ROOT, "bench", "data")

# Languages whose words are not separated by spaces: new forms are built from
# character n-grams rather than from word prefixes and suffixes.
NGRAM_LANGS = {"ja", "zh"}

# Per source: its language and the names its file may have in a seed folder,
# tried in order. The test fixtures have the larger corpora's names, except
# for English, where generated text stands in for the two English corpora.
SOURCES = {
    "en-brown": ("en", ("en-brown.txt", "en-prose.txt")),
    "en-sentences": ("en", ("en-sentences.txt", "en-dialogue.txt")),
    "de": ("de", ("man-de.txt",)),
    "fr": ("fr", ("man-fr.txt",)),
    "ru": ("ru", ("man-ru.txt",)),
    "ja": ("ja", ("man-ja.txt",)),
    "zh": ("zh", ("man-zh_CN.txt",)),
    "ar": ("ar", ("l10n-ar.txt",)),
    "hi": ("hi", ("l10n-hi.txt",)),
    "ko": ("ko", ("l10n-ko.txt",)),
}

# Byte shares in percent of each mix; each mix sums to 100.
MIXES = {
    "multi": {"en-brown": 15, "en-sentences": 15, "de": 12, "fr": 10, "ru": 10,
              "ja": 12, "zh": 10, "ar": 6, "hi": 5, "ko": 5},
    "en": {"en-brown": 50, "en-sentences": 50},
    "cjk": {"ja": 45, "zh": 40, "ko": 5, "en-brown": 5, "en-sentences": 5},
}

HEAPS_BETA = 0.7
HEAPS_K = 3.0e6 / (1e9 ** HEAPS_BETA)   # V(1e9 bytes) = 3.0 million distinct words

BLOCK_BYTES = 8 << 20
DOC_MIN_LINES, DOC_MAX_LINES = 4, 40
REUSES_PER_NEW_WORD = 1.0        # later occurrences of coined words, per coined word
NUMBER_SHARE = 0.12              # share of coined words that are numbers/identifiers

_CONTROL_RE = re.compile("[\x1c-\x1f]")
# Characters that make a source word unsuitable as material for new forms:
# ASCII punctuation and digits, general punctuation, CJK and full-width punctuation.
_NOT_MATERIAL_RE = re.compile(
    "[\x00-\x40\x5b-\x60\x7b-\x7f\u2000-\u206f\u3000-\u303f\uff00-\uff20\uff3b-\uff40\uff5b-\uff65]")

SIZE_RE = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([kKmMgGtT]?)[bB]?\s*$")
SIZE_UNITS = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9, "t": 10**12}


def parse_size(text):
    """'100M' -> 100_000_000 (decimal units, as disk sizes are quoted)."""
    m = SIZE_RE.match(text)
    if not m:
        raise ValueError(f"bad size {text!r} (want e.g. 10M, 100M, 1G)")
    return int(float(m.group(1)) * SIZE_UNITS[m.group(2).lower()])


def heaps_target(nbytes):
    return int(HEAPS_K * nbytes ** HEAPS_BETA)


def source_path(key, seed_dir):
    """The file of source `key` in seed_dir; FileNotFoundError naming what is missing."""
    names = SOURCES[key][1]
    for name in names:
        path = os.path.join(seed_dir, name)
        if os.path.isfile(path):
            return path
    raise FileNotFoundError(f"seed folder {seed_dir} has no {' or '.join(names)} (source {key})")


def seed_files(mix, seed_dir):
    """{source key: path} of the seed files the mix reads."""
    return {key: source_path(key, seed_dir) for key in MIXES[mix]}


def seed_digest(paths):
    """SHA-256 over the names and contents of the seed files, in source order."""
    digest = hashlib.sha256()
    for key, path in paths.items():
        digest.update(f"{key}\0{os.path.basename(path)}\0".encode())
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
    return digest.hexdigest()


class Source:
    """One source file: its text, line offsets (chars and bytes), and word material."""

    def __init__(self, key, path):
        self.key, self.lang = key, SOURCES[key][0]
        filename = os.path.basename(path)
        with open(path, encoding="utf-8") as f:
            text = _CONTROL_RE.sub("", f.read())
        if not text.endswith("\n"):
            text += "\n"
        lines = text.split("\n")[:-1]
        self.text = text
        self.char_off = [0]
        self.byte_off = [0]
        c = b = 0
        for line in lines:
            c += len(line) + 1
            b += len(line.encode("utf-8")) + 1
            self.char_off.append(c)
            self.byte_off.append(b)
        self.line_count = len(lines)
        self.avg_doc_bytes = b / self.line_count * (DOC_MIN_LINES + DOC_MAX_LINES) / 2
        # Sorted so that the material does not depend on set iteration order.
        words = sorted({w for w in text.split() if not _NOT_MATERIAL_RE.search(w)})
        if self.lang in NGRAM_LANGS:
            words = [w for w in words if len(w) >= 2]
        else:
            words = [w for w in words if 2 <= len(w) <= 20]
        if not words:
            raise ValueError(f"{filename}: no word material")
        self.material = words

    def document(self, rng):
        """Returns (text, byte_length) of a run of consecutive lines."""
        n = rng.randint(DOC_MIN_LINES, DOC_MAX_LINES)
        start = rng.randrange(0, max(1, self.line_count - n + 1))
        end = min(self.line_count, start + n)
        return (self.text[self.char_off[start]:self.char_off[end]],
                self.byte_off[end] - self.byte_off[start])

    def coin(self, rng):
        """A new word form in this source's language (may already exist)."""
        if rng.random() < NUMBER_SHARE:
            return _coin_number(rng)
        mat = self.material
        if self.lang in NGRAM_LANGS:
            parts = []
            for _ in range(rng.randint(2, 4)):
                w = mat[rng.randrange(len(mat))]
                k = rng.randint(1, min(3, len(w)))
                i = rng.randrange(len(w) - k + 1)
                parts.append(w[i:i + k])
            return "".join(parts)
        a = mat[rng.randrange(len(mat))]
        b = mat[rng.randrange(len(mat))]
        return a[:rng.randint(1, len(a))] + b[rng.randrange(len(b)):]


def _coin_number(rng):
    kind = rng.randrange(5)
    if kind == 0:
        return str(rng.randrange(10**rng.randint(2, 7)))
    if kind == 1:
        return f"{rng.randrange(1000)}.{rng.randrange(10**rng.randint(1, 4))}"
    if kind == 2:
        return f"{rng.randrange(24):02d}:{rng.randrange(60):02d}:{rng.randrange(60):02d}"
    if kind == 3:
        return f"v{rng.randrange(10)}.{rng.randrange(30)}.{rng.randrange(100)}"
    return f"0x{rng.getrandbits(rng.choice((16, 24, 32))):x}"


def insert_word(doc, word, rng):
    """Inserts ' word' at a whitespace boundary of doc, so no existing word is
    altered (the distinct count only ever grows by the inserted word)."""
    pos = rng.randrange(len(doc))
    sp = doc.find(" ", pos)
    nl = doc.find("\n", pos)
    if sp < 0 or (0 <= nl < sp):
        sp = nl
    if sp < 0:          # documents end with a line feed, so this only guards
        sp = len(doc) - 1
    return doc[:sp] + " " + word + doc[sp:]


def default_out(mix, size_text):
    return os.path.join(DATA_DIR, f"{mix}-{size_text.strip().upper()}.txt")


def stats_path(out):
    return out + ".stats.json"


def load_stats(out):
    """The stats sidecar of a previously generated corpus, or None."""
    try:
        with open(stats_path(out), encoding="utf-8") as f:
            stats = json.load(f)
        if os.path.getsize(out) != stats["bytes"]:
            return None
        return stats
    except (OSError, ValueError, KeyError):
        return None


def generate(size, mix, out, seed=1, log=sys.stderr, seed_dir=DEFAULT_SEED_DIR):
    """Writes the corpus to out and its stats to out + '.stats.json'; returns the stats."""
    t0 = time.monotonic()
    shares = MIXES[mix]
    keys = list(shares)
    paths = seed_files(mix, seed_dir)
    sources = {k: Source(k, paths[k]) for k in keys}
    # Choosing a source per document with weight share/avg_doc_bytes gives the
    # stated byte shares in expectation.
    weights = [shares[k] / sources[k].avg_doc_bytes for k in keys]
    rng = random.Random(f"selkbar-bench/{GENERATOR_VERSION}/{mix}/{seed}")
    seen = set()
    coined = {k: [] for k in keys}   # per source, so reuses stay in their language
    coined_total = 0
    lang_bytes = dict.fromkeys(keys, 0)
    total = lines = 0
    # Bytes per inserted word including its space, first from a sample of
    # coined words (own generator, so the output stream is not disturbed),
    # then from what was actually inserted. It only steers how much source
    # text goes into a block, so that blocks end near their byte budget.
    probe = random.Random(0)
    probe_keys = probe.choices(keys, weights, k=400)
    avg_insert = 1 + sum(len(sources[k].coin(probe).encode()) for k in probe_keys) / len(probe_keys)
    inserted_bytes = inserted_words = 0
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    tmp = out + ".part"
    with open(tmp, "wb") as f:
        while total < size:
            budget = min(BLOCK_BYTES, size - total)
            target = heaps_target(total + budget)
            docs, doc_src = [], []
            block = 0
            # Add documents until they and the words still to be inserted fill
            # the budget; every document lowers the number still missing.
            while True:
                missing = max(0, target - len(seen))
                if block + missing * (1 + REUSES_PER_NEW_WORD) * avg_insert >= budget and docs:
                    break
                k = rng.choices(keys, weights)[0]
                text, nbytes = sources[k].document(rng)
                docs.append(text)
                doc_src.append(k)
                seen.update(text.split())
                block += nbytes
                lang_bytes[k] += nbytes
            n_new = max(0, target - len(seen))
            n_reuse = int(n_new * REUSES_PER_NEW_WORD)
            # Each insertion picks a document, coins or reuses a word, and
            # inserts it there. Coined words are unique by construction.
            ins = [True] * n_new + [False] * n_reuse
            rng.shuffle(ins)
            for is_new in ins:
                d = rng.randrange(len(docs))
                src = sources[doc_src[d]]
                own = coined[src.key]
                if is_new or not own:
                    w = src.coin(rng)
                    while w in seen:
                        w = src.coin(rng) + (src.coin(rng) if rng.random() < 0.5 else "")
                    seen.add(w)
                    own.append(w)
                    coined_total += 1
                else:
                    # Skewed towards early words: they become the frequent ones.
                    w = own[int(len(own) * rng.random() ** 3)]
                docs[d] = insert_word(docs[d], w, rng)
            data = "".join(docs).encode("utf-8")
            if ins:
                extra = len(data) - block
                inserted_bytes += extra
                inserted_words += len(ins)
                avg_insert = inserted_bytes / inserted_words
            f.write(data)
            total += len(data)
            lines += data.count(b"\n")
            if log:
                print(f"gen_corpus: {total / 1e6:9.1f} MB  distinct {len(seen):>10,}  "
                      f"{time.monotonic() - t0:6.1f}s", file=log, flush=True)
    os.replace(tmp, out)
    src_total = sum(lang_bytes.values()) or 1
    stats = {
        "generator_version": GENERATOR_VERSION,
        "mix": mix,
        "seed": seed,
        "seed_dir": os.path.abspath(seed_dir),
        "seed_files": {k: os.path.basename(p) for k, p in paths.items()},
        "seed_digest": seed_digest(paths),
        "requested_bytes": size,
        "bytes": total,
        "lines": lines,
        "distinct_words": len(seen),
        "coined_words": coined_total,
        "inserted_word_bytes": inserted_bytes,
        # Shares of the source text only; inserted words are not attributed.
        "source_shares_percent": {k: round(100 * v / src_total, 2) for k, v in lang_bytes.items()},
        "seconds": round(time.monotonic() - t0, 1),
    }
    with open(stats_path(out), "w", encoding="utf-8") as f:
        json.dump(stats, f, indent=1)
        f.write("\n")
    return stats


def ensure(size_text, mix, out=None, seed=1, log=sys.stderr, seed_dir=DEFAULT_SEED_DIR):
    """Returns (path, stats), generating the corpus unless an identical one
    exists: same generator, mix, seed, size and seed files (by content)."""
    size = parse_size(size_text)
    out = out or default_out(mix, size_text)
    stats = load_stats(out)
    if (stats and stats.get("generator_version") == GENERATOR_VERSION and stats.get("mix") == mix
            and stats.get("seed") == seed and stats.get("requested_bytes") == size
            and stats.get("seed_digest") == seed_digest(seed_files(mix, seed_dir))):
        return out, stats
    return out, generate(size, mix, out, seed, log, seed_dir)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--size", required=True, help="corpus size, decimal units: 10M, 100M, 1G, 5G")
    ap.add_argument("--mix", choices=sorted(MIXES), default="multi",
                    help="multi: all nine languages at fixed shares; en: English only; "
                         "cjk: Chinese/Japanese-heavy")
    ap.add_argument("--out", help="output path (default bench/data/MIX-SIZE.txt)")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--seed-dir", default=DEFAULT_SEED_DIR,
                    help="folder of the source texts (default: the test fixtures in tests/data)")
    ap.add_argument("--force", action="store_true", help="regenerate even if an identical corpus exists")
    ap.add_argument("--quiet", action="store_true", help="no progress lines")
    args = ap.parse_args(argv)
    log = None if args.quiet else sys.stderr
    size = parse_size(args.size)
    out = args.out or default_out(args.mix, args.size)
    try:
        if args.force:
            stats = generate(size, args.mix, out, args.seed, log, args.seed_dir)
        else:
            out, stats = ensure(args.size, args.mix, out, args.seed, log, args.seed_dir)
    except FileNotFoundError as e:
        ap.error(str(e))
    print(f"corpus {out}")
    print(f"  size {stats['bytes']:,} bytes ({stats['bytes'] / 1e6:.1f} MB)")
    print(f"  lines {stats['lines']:,}")
    print(f"  distinct whitespace words {stats['distinct_words']:,} "
          f"(of which coined {stats['coined_words']:,})")
    shares = ", ".join(f"{k} {v}%" for k, v in stats["source_shares_percent"].items())
    print(f"  source text shares (mix {stats['mix']}): {shares}")
    print(f"  seeds from {stats['seed_dir']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
