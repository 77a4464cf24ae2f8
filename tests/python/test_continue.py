"""Training that continues from a base tokenizer (base=), truncate_bpe, and
superword tokenizers, against the training they must equal, the library as
the consumer of the files, and a reference trainer written from the rules."""
import heapq
import json
import os
import subprocess
import sys

import pytest
from tokenizers import Tokenizer, models, pre_tokenizers, trainers

import selkbar
import selkbar_superword
from conftest import fixture_files

DATA = os.path.join(os.path.dirname(__file__), "..", "data")
ENGLISH = [os.path.join(DATA, name) for name in ("en-dialogue.txt", "en-prose.txt")]
KOREAN = [os.path.join(DATA, "l10n-ko.txt")]


def lines_of(files):
    texts = []
    for path in files:
        with open(path, encoding="utf-8", newline="\n") as file:
            texts += file.readlines()
    return texts


OPTION_SETS = [
    dict(),
    dict(special_tokens=["<s>", "</s>"], min_frequency=3),
    dict(max_token_length=5, limit_alphabet=60, special_tokens=["<pad>"]),
    dict(continuing_subword_prefix="##", end_of_word_suffix="</w>", min_frequency=2),
]


@pytest.mark.parametrize("pretokenizer", ["whitespace", "gpt4"])
@pytest.mark.parametrize("options", OPTION_SETS, ids=["plain", "special", "limits", "decorated"])
def test_continuing_a_shorter_run_gives_the_longer_run(pretokenizer, options, tmp_path):
    files = fixture_files()
    if pretokenizer == "gpt4" and ("continuing_subword_prefix" in options):
        pytest.skip("byte-level words take no word decorations")
    # Sizes above the alphabet, which the decorations multiply.
    start = len(selkbar.train_bpe(files, 1, pretokenizer=pretokenizer, **options)[0])
    size = start + 1500
    expected = selkbar.train_bpe(files, size, pretokenizer=pretokenizer, **options)
    for smaller in (start + 500, size - 1):
        base = selkbar.truncate_bpe(*expected, smaller,
                                    continuing_subword_prefix=options.get("continuing_subword_prefix"),
                                    end_of_word_suffix=options.get("end_of_word_suffix"))
        assert base == selkbar.train_bpe(files, smaller, pretokenizer=pretokenizer, **options)
        assert selkbar.train_bpe(files, size, pretokenizer=pretokenizer, base=base,
                                 **options) == expected
    # The same through a tokenizer.json, counts and an iterator.
    path = tmp_path / "base.json"
    selkbar.train_tokenizer(files, start + 700, path, pretokenizer=pretokenizer, **options)
    counts = selkbar.count_words(files, pretokenizer=pretokenizer)
    assert selkbar.train_bpe_from_counts(counts, size, base=path, **options) == expected
    # A ladder of sizes continues from a base as each size alone does.
    assert selkbar.train_bpe(files, [start + 900, size], pretokenizer=pretokenizer, base=path,
                             **options) == \
        {start + 900: selkbar.train_bpe(files, start + 900, pretokenizer=pretokenizer, **options),
         size: expected}
    texts = lines_of(files)
    assert selkbar.train_bpe_from_iterator(texts, size, pretokenizer=pretokenizer, base=path,
                                           **options) == \
        selkbar.train_bpe_from_iterator(texts, size, pretokenizer=pretokenizer, **options)


def test_a_base_from_the_library_continues_as_one_of_ours(tmp_path):
    tokenizer = Tokenizer(models.BPE())
    tokenizer.pre_tokenizer = pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)
    tokenizer.train(ENGLISH, trainers.BpeTrainer(vocab_size=600, show_progress=False,
                                                 special_tokens=["<|end|>"], initial_alphabet=[]))
    tokenizer.save(str(tmp_path / "library.json"))
    options = dict(pretokenizer="bytelevel", special_tokens=["<|end|>"])
    assert selkbar.train_bpe(ENGLISH, 1400, base=tmp_path / "library.json", **options) == \
        selkbar.train_bpe(ENGLISH, 1400, **options)


def test_extending_to_another_corpus_keeps_every_id_and_every_text(tmp_path):
    base_path, extended_path = tmp_path / "base.json", tmp_path / "extended.json"
    selkbar.train_tokenizer(ENGLISH, 800, base_path, pretokenizer="gpt4")
    selkbar.train_tokenizer(KOREAN, 1600, extended_path, pretokenizer="gpt4", base=base_path,
                            limit_alphabet=400)
    base = Tokenizer.from_file(str(base_path))
    extended = Tokenizer.from_file(str(extended_path))
    base_vocab = base.get_vocab()
    assert {token: extended.get_vocab()[token] for token in base_vocab} == base_vocab
    assert extended.get_vocab_size() == 1600
    for text in lines_of(ENGLISH)[:300]:
        assert extended.decode(extended.encode(text).ids) == base.decode(base.encode(text).ids)
    korean = "".join(lines_of(KOREAN))
    ids = extended.encode(korean).ids
    assert extended.decode(ids) == korean
    assert base.decode(base.encode(korean).ids) != korean  # the base lacks the Korean bytes


def test_bad_bases_are_refused_before_any_work(tmp_path):
    files = fixture_files()[:1]
    vocab, merges = selkbar.train_bpe(files, 400)
    for sizes in (400, [900, 400]):
        with pytest.raises(ValueError, match="vocab_size 400 is not above the base's 400 tokens"):
            selkbar.train_bpe(files, sizes, base=(vocab, merges))
    bad = list(merges)
    bad[5] = ("no-such", "token")
    with pytest.raises(ValueError, match=r"merges\[5\] .*no-such"):
        selkbar.train_bpe(files, 500, base=(vocab, bad))
    with pytest.raises(ValueError, match="ids"):
        selkbar.train_bpe(files, 500, base=({**vocab, "extra": 10_000}, merges))
    with pytest.raises(TypeError, match="argument 'base'"):
        selkbar.train_bpe(files, 500, base=42)
    wordpiece = Tokenizer(models.WordPiece({"[UNK]": 0, "a": 1}, unk_token="[UNK]"))
    wordpiece.save(str(tmp_path / "wordpiece.json"))
    with pytest.raises(ValueError, match="the model is WordPiece, not BPE"):
        selkbar.train_bpe(files, 500, base=tmp_path / "wordpiece.json")
    with pytest.raises(FileNotFoundError):
        selkbar.train_bpe(files, 500, base=tmp_path / "missing.json")
    with pytest.raises(ValueError, match="below"):
        selkbar.truncate_bpe(vocab, merges, 3)


def test_the_command_line_continues_from_a_base(tmp_path):
    files = fixture_files()[:2]
    selkbar.train_tokenizer(files, 500, tmp_path / "base.json")
    subprocess.run([sys.executable, "-m", "selkbar", *files, "-o", str(tmp_path / "cli.json"),
                    "--vocab-size", "900", "--base", str(tmp_path / "base.json"), "-q"],
                   check=True)
    selkbar.train_tokenizer(files, 900, tmp_path / "api.json")
    assert (tmp_path / "cli.json").read_bytes() == (tmp_path / "api.json").read_bytes()


# ---------------------------------------------------------------------------
# Superwords against a reference trainer

def reference_segment(word, ids, ranks, merged):
    """The base's merges applied by rank, the lowest-ranked pair first and,
    among its occurrences, the leftmost."""
    symbols = [ids[ch] for ch in word if ch in ids]
    while len(symbols) > 1:
        best = min(range(len(symbols) - 1),
                   key=lambda i: ranks.get((symbols[i], symbols[i + 1]), float("inf")))
        pair = (symbols[best], symbols[best + 1])
        if pair not in ranks:
            break
        symbols[best:best + 2] = [merged[pair]]
    return symbols


def reference_train(counts, vocab_size, base=None):
    """BPE from word counts: the most frequent pair first, ties to the
    smaller left id, then the smaller right id; from `base`, its tokens and
    merges first and every word spelled by its merges."""
    tokens, pairs = (list(base[0]), [tuple(p) for p in base[1]]) if base else ([], [])
    ids = {token: i for i, token in enumerate(tokens)}
    words = [(word, count) for word, count in counts.items()]
    for ch in sorted({ch for word, _ in words for ch in word} - set(ids)):
        ids[ch] = len(tokens)
        tokens.append(ch)
    ranks = {(ids[a], ids[b]): rank for rank, (a, b) in enumerate(pairs)}
    merged = {(ids[a], ids[b]): ids[a + b] for a, b in pairs}
    spelled = [reference_segment(word, ids, ranks, merged) for word, _ in words]
    weights = [count for _, count in words]
    pair_count, where = {}, {}

    def account(w, sign):
        symbols = spelled[w]
        for pair in zip(symbols, symbols[1:]):
            pair_count[pair] = pair_count.get(pair, 0) + sign * weights[w]
            where.setdefault(pair, set()).add(w)
            heapq.heappush(heap, (-pair_count[pair], pair))

    heap = []
    for w in range(len(spelled)):
        account(w, +1)
    while len(tokens) < vocab_size and heap:
        count, pair = heapq.heappop(heap)
        if -count != pair_count.get(pair) or count == 0:
            continue
        text = tokens[pair[0]] + tokens[pair[1]]
        if text not in ids:
            ids[text] = len(tokens)
            tokens.append(text)
        new = ids[text]
        pairs.append((tokens[pair[0]], tokens[pair[1]]))
        for w in sorted(where.pop(pair)):
            account(w, -1)
            symbols, out, i = spelled[w], [], 0
            while i < len(symbols):
                if i + 1 < len(symbols) and (symbols[i], symbols[i + 1]) == pair:
                    out.append(new)
                    i += 2
                else:
                    out.append(symbols[i])
                    i += 1
            spelled[w] = out
            account(w, +1)
    return {token: i for i, token in enumerate(tokens)}, pairs


def test_superwords_match_the_reference_and_round_trip(tmp_path):
    files = ENGLISH[:1]
    words = dict(selkbar.count_words(files, pretokenizer="gpt4").items())
    lines = dict(selkbar.count_words(files, pretokenizer="bytelevel",
                                     pattern=selkbar.SUPERWORD_PATTERN).items())
    texts = lines_of(files)
    plain_tokens = []
    for transition in (300, 500, 700):
        stage1 = reference_train(words, transition)
        expected = reference_train(lines, 1000, base=stage1)
        path = tmp_path / f"superword-{transition}.json"
        selkbar.train_superword_tokenizer(files, 1000, path, transition=transition)
        model = json.loads(path.read_text(encoding="utf-8"))["model"]
        assert model["vocab"] == expected[0]
        assert [tuple(m) for m in model["merges"]] == expected[1]
        tokenizer = Tokenizer.from_file(str(path))
        encoded = [tokenizer.encode(text).ids for text in texts]
        assert [tokenizer.decode(ids) for ids in encoded] == texts
        plain_tokens.append(sum(map(len, encoded)))
    plain = tmp_path / "plain.json"
    selkbar.train_tokenizer(files, 1000, plain, pretokenizer="gpt4")
    tokenizer = Tokenizer.from_file(str(plain))
    assert max(plain_tokens) < sum(len(tokenizer.encode(text).ids) for text in texts)


def test_superword_entry_points_agree(tmp_path):
    files = ENGLISH[:1]
    selkbar.train_superword_tokenizer(files, 900, tmp_path / "files.json", transition=500)
    counts = selkbar.count_words(files, pretokenizer="gpt4")
    lines = selkbar.count_words(files, pretokenizer="bytelevel", pattern=selkbar.SUPERWORD_PATTERN)
    selkbar.train_superword_tokenizer_from_counts(counts, lines, 900, tmp_path / "counts.json",
                                                  transition=500)
    selkbar.train_superword_tokenizer_from_iterator(lines_of(files), 900, tmp_path / "texts.json",
                                                    transition=500)
    first = (tmp_path / "files.json").read_bytes()
    assert (tmp_path / "counts.json").read_bytes() == first
    assert (tmp_path / "texts.json").read_bytes() == first
    with pytest.raises(TypeError, match="iterated again"):
        selkbar.train_superword_tokenizer_from_iterator(iter(lines_of(files)), 900,
                                                        tmp_path / "x.json", transition=500)
    with pytest.raises(ValueError, match="transition"):
        selkbar.train_superword_tokenizer(files, 900, tmp_path / "x.json", transition=900)
    assert not (tmp_path / "x.json").exists()
