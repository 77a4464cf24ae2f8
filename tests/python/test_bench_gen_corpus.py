"""The benchmark corpus generator: determinism, valid text, exact statistics."""

import os
import re
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
import gen_corpus  # noqa: E402

# Unicode White_Space, spelled out so the reference does not share str.split's rules.
WHITE_SPACE_RE = re.compile(
    "[\t\n\x0b\x0c\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")


def reference_words(text):
    return [w for w in WHITE_SPACE_RE.split(text) if w]


@pytest.fixture(scope="module")
def multi_2m(tmp_path_factory):
    out = str(tmp_path_factory.mktemp("corpus") / "multi.txt")
    stats = gen_corpus.generate(2_000_000, "multi", out, seed=7, log=None)
    with open(out, "rb") as f:
        return out, stats, f.read()


def test_same_seed_gives_same_bytes_and_other_seed_differs(multi_2m, tmp_path):
    _, _, data = multi_2m
    again = str(tmp_path / "again.txt")
    gen_corpus.generate(2_000_000, "multi", again, seed=7, log=None)
    with open(again, "rb") as f:
        assert f.read() == data
    other = str(tmp_path / "other.txt")
    gen_corpus.generate(2_000_000, "multi", other, seed=8, log=None)
    with open(other, "rb") as f:
        assert f.read() != data


def test_output_is_utf8_lines_of_the_requested_size(multi_2m):
    _, stats, data = multi_2m
    text = data.decode("utf-8")          # raises on invalid UTF-8
    assert text.endswith("\n")
    assert stats["bytes"] == len(data)
    assert abs(len(data) - 2_000_000) < 20_000
    assert stats["lines"] == text.count("\n")
    lengths = [len(line.encode()) for line in text.split("\n")[:-1]]
    assert 20 < sum(lengths) / len(lengths) < 200
    assert max(lengths) < 10_000


def test_distinct_word_count_is_exact_under_white_space(multi_2m):
    _, stats, data = multi_2m
    assert stats["distinct_words"] == len(set(reference_words(data.decode("utf-8"))))


def test_distinct_words_reach_the_growth_target(tmp_path):
    # Past the first blocks the source words are used up and coined words
    # must carry the count; 20 MB is where that starts to dominate.
    out = str(tmp_path / "en.txt")
    stats = gen_corpus.generate(20_000_000, "en", out, log=None)
    assert stats["coined_words"] > 0
    assert stats["distinct_words"] >= gen_corpus.heaps_target(stats["bytes"]) * 0.99
    with open(out, encoding="utf-8") as f:
        assert stats["distinct_words"] == len(set(reference_words(f.read())))


def test_mixes_keep_their_scripts(tmp_path):
    en = str(tmp_path / "en.txt")
    gen_corpus.generate(1_000_000, "en", en, log=None)
    with open(en, encoding="utf-8") as f:
        text = f.read()
    # The English sources quote a few foreign words; nothing else may leak in.
    foreign = re.findall("[\u0400-\u04ff\u0600-\u06ff\u0900-\u097f\u3040-\u30ff\u4e00-\u9fff\uac00-\ud7af]",
                         text)
    assert len(foreign) < len(text) / 2000
    cjk = str(tmp_path / "cjk.txt")
    stats = gen_corpus.generate(1_000_000, "cjk", cjk, log=None)
    with open(cjk, encoding="utf-8") as f:
        text = f.read()
    han_kana = len(re.findall("[\u3040-\u30ff\u4e00-\u9fff]", text))
    assert han_kana * 3 > 0.5 * stats["bytes"]     # most bytes are Chinese/Japanese
    shares = stats["source_shares_percent"]
    assert shares["ja"] + shares["zh"] > 70


def test_ensure_reuses_an_identical_corpus_and_regenerates_a_changed_one(tmp_path):
    out = str(tmp_path / "c.txt")
    _, first = gen_corpus.ensure("500K", "en", out, log=None)
    mtime = os.path.getmtime(out)
    _, again = gen_corpus.ensure("500K", "en", out, log=None)
    assert again == first and os.path.getmtime(out) == mtime
    with open(out, "ab") as f:          # a truncated or edited file is not trusted
        f.write(b"x\n")
    _, redone = gen_corpus.ensure("500K", "en", out, log=None)
    assert redone["bytes"] == os.path.getsize(out) == first["bytes"]


def test_parse_size_uses_decimal_units():
    assert gen_corpus.parse_size("100M") == 100_000_000
    assert gen_corpus.parse_size("1G") == 1_000_000_000
    assert gen_corpus.parse_size("1.5g") == 1_500_000_000
    assert gen_corpus.parse_size("64k") == 64_000
    with pytest.raises(ValueError):
        gen_corpus.parse_size("lots")


def test_seeds_come_from_the_fixtures_or_the_given_folder(tmp_path):
    seeds = tmp_path / "seeds"
    seeds.mkdir()
    # A folder with the larger corpora's names: those are taken first.
    (seeds / "en-brown.txt").write_text("alpha beta gamma delta\n" * 50, encoding="utf-8")
    (seeds / "en-sentences.txt").write_text("one two three four five\n" * 50, encoding="utf-8")
    (seeds / "en-prose.txt").write_text("never read\n", encoding="utf-8")
    out = str(tmp_path / "c.txt")
    _, own = gen_corpus.ensure("200K", "en", out, log=None, seed_dir=str(seeds))
    assert own["seed_files"] == {"en-brown": "en-brown.txt", "en-sentences": "en-sentences.txt"}
    with open(out, encoding="utf-8") as f:
        assert "never" not in f.read()
    # The default is the fixtures; a corpus made from other seeds is not reused.
    _, default = gen_corpus.ensure("200K", "en", out, log=None)
    assert default["seed_dir"] == os.path.abspath(gen_corpus.DEFAULT_SEED_DIR)
    assert default["seed_files"] == {"en-brown": "en-prose.txt", "en-sentences": "en-dialogue.txt"}
    assert default["seed_digest"] != own["seed_digest"]
    # Changed seed text is a different corpus too.
    (seeds / "en-brown.txt").write_text("alpha beta gamma epsilon\n" * 50, encoding="utf-8")
    _, changed = gen_corpus.ensure("200K", "en", out, log=None, seed_dir=str(seeds))
    assert changed["seed_digest"] not in (own["seed_digest"], default["seed_digest"])


def test_a_missing_seed_file_is_named(tmp_path, capsys):
    with pytest.raises(FileNotFoundError, match="has no en-brown.txt or en-prose.txt"):
        gen_corpus.seed_files("en", str(tmp_path))
    with pytest.raises(SystemExit) as info:
        gen_corpus.main(["--size", "1M", "--mix", "cjk", "--seed-dir", str(tmp_path),
                         "--out", str(tmp_path / "x.txt")])
    assert info.value.code == 2
    assert f"seed folder {tmp_path} has no man-ja.txt" in capsys.readouterr().err
    assert not os.path.exists(tmp_path / "x.txt")
