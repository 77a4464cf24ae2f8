#!/usr/bin/env python3
"""Writes the text fixtures of the tests under tests/data/.

Two kinds of file (tests/data/README.md lists them with their sources):

  * generated text, a pure function of this script: English prose and
    dialogue, a mix of many scripts, every kind of whitespace and line end,
    very long lines. Rewritten on every run.
  * excerpts of real text: blocks of consecutive lines taken at evenly spread
    places of the larger corpora (man-*.txt, l10n-*.txt). Rewritten only when
    the folder holding those corpora is given with --corpora.

    python scripts/make_fixtures.py                  # the generated files
    python scripts/make_fixtures.py --corpora DIR    # and the excerpts
    python scripts/make_fixtures.py --check [--corpora DIR]
                                                     # compare, write nothing

tests/python/test_fixtures.py checks that the committed files are what this
script writes, so change the files only through it.
"""
import argparse
import os
import random
import sys

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DATA_DIR = os.path.join(REPO_ROOT, "tests", "data")

# Excerpts: file name (the same in the corpora folder and here) -> bytes kept.
EXCERPTS = {
    "man-de.txt": 100_000,
    "man-fr.txt": 100_000,
    "man-ru.txt": 100_000,
    "man-ja.txt": 120_000,
    "man-zh_CN.txt": 120_000,
    "l10n-ar.txt": 60_000,
    "l10n-hi.txt": 60_000,
    "l10n-ko.txt": 60_000,
}
EXCERPT_BLOCKS = 12

# Unicode White_Space: the characters both pretokenizers split on.
ASCII_SPACES = ["\t", "\n", "\x0b", "\x0c", "\r", " "]
UNICODE_SPACES = (["\x85", "\xa0", "\u1680"] + [chr(cp) for cp in range(0x2000, 0x200B)]
                  + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"])
# Characters that look or behave like spaces elsewhere but are not White_Space
# (Python's str.split takes U+001C..U+001F; Unicode dropped U+180E in 6.3).
NEAR_SPACES = ["\u200b", "\u180e", "\ufeff", "\u2060", "\x1c", "\x1d", "\x1e", "\x1f"]

CONTRACTIONS = ["'s", "'t", "'re", "'ve", "'m", "'ll", "'d"]


def zipf(rng, items, skew=2.5):
    """An item of `items`, the first ones far more often than the last."""
    return items[int(len(items) * rng.random() ** skew)]


# ---------------------------------------------------------------------------
# English

EN_NOUNS = """time year people way day man thing woman life child world school state family
student group country problem hand part place case week company system program question work
government number night point home water room mother area money story fact month lot right study
book eye job word business issue side kind head house service friend father power hour game line
end member law car city community name president team minute idea kid body information back
parent face others level office door health person art war history party result change morning
reason research girl guy moment air teacher force education river bridge garden station letter
window village harbour engine island market valley mountain kitchen library museum orchestra
tokenizer vocabulary sentence paragraph corpus merge pair symbol""".split()
EN_ADJECTIVES = """good new first last long great little own other old right big high different
small large next early young important few public bad same able quiet bright narrow distant
ancient modern careful sudden gentle heavy empty crowded northern southern wooden golden broken
hidden frequent rare simple complex final""".split()
EN_VERBS_PAST = """walked found opened closed built carried watched followed crossed painted
reached visited counted merged trained measured repaired described remembered discovered
answered noticed covered started finished changed moved returned""".split()
EN_ADVERBS = """quickly slowly quietly carefully suddenly finally rarely often early late
together again already almost""".split()
EN_PLACES = """London Boston Chicago Denver Seattle Edinburgh Dublin Sydney Toronto Cairo
Lisbon Oslo Madrid Kyoto Lagos Lima Quebec""".split()
EN_NAMES = """Alice Bob Carol David Emma Frank Grace Henry Irene Jack Karen Liam Maria
Noah Olivia Peter Quinn Rosa Sam Tara O'Brien McAllister""".split()
EN_MONTHS = """January February March April May June July August September October
November December""".split()
EN_ACRONYMS = ["NASA", "UNESCO", "U.S.", "U.K.", "FBI", "CPU", "HTTP", "JSON", "A.M.", "Ph.D."]


def en_number(rng):
    kind = rng.randrange(12)
    if kind == 0:
        return f"{rng.randrange(1, 1000):,}"
    if kind == 1:
        return f"{rng.randrange(1000, 10**7):,}"
    if kind == 2:
        return f"{rng.randrange(100)}.{rng.randrange(100):02d}%"
    if kind == 3:
        return f"${rng.randrange(1, 5000):,}.{rng.randrange(100):02d}"
    if kind == 4:
        n = rng.randrange(1, 40)
        suffix = "th" if 10 <= n % 100 <= 20 else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
        return f"{n}{suffix}"
    if kind == 5:
        return f"{rng.randrange(1900, 2030)}-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d}"
    if kind == 6:
        return f"{rng.randrange(1, 29)}/{rng.randrange(1, 13)}/{rng.randrange(1950, 2030)}"
    if kind == 7:
        return f"{rng.randrange(24):02d}:{rng.randrange(60):02d}"
    if kind == 8:
        return f"{rng.randrange(1900, 2000)}\u2013{rng.randrange(2000, 2030)}"
    if kind == 9:
        return f"{rng.randrange(10)}.{rng.randrange(10)}.{rng.randrange(30)}"
    if kind == 10:
        return f"{rng.randrange(1940, 2000) // 10 * 10}s"
    return str(rng.randrange(10 ** rng.randrange(1, 9)))


def en_date(rng):
    month = rng.choice(EN_MONTHS)
    return f"{month} {rng.randrange(1, 29)}, {rng.randrange(1850, 2030)}"


def en_noun_phrase(rng):
    noun = zipf(rng, EN_NOUNS)
    roll = rng.random()
    if roll < 0.3:
        return f"the {zipf(rng, EN_ADJECTIVES)} {noun}"
    if roll < 0.45:
        return f"the {noun}'s {zipf(rng, EN_NOUNS)}"
    if roll < 0.55:
        return f"{en_number(rng)} {noun}s"
    if roll < 0.65:
        return rng.choice(EN_NAMES) + "'s " + noun
    if roll < 0.7:
        return "the " + rng.choice(EN_ACRONYMS) + " " + noun
    return f"a {noun}" if noun[0] not in "aeiou" else f"an {noun}"


def en_sentence(rng):
    roll = rng.random()
    if roll < 0.25:
        text = (f"{en_noun_phrase(rng)} {zipf(rng, EN_VERBS_PAST)} {en_noun_phrase(rng)} "
                f"in {rng.choice(EN_PLACES)} on {en_date(rng)}")
    elif roll < 0.45:
        text = (f"in {rng.randrange(1800, 2030)}, {en_noun_phrase(rng)} {zipf(rng, EN_ADVERBS)} "
                f"{zipf(rng, EN_VERBS_PAST)} {en_number(rng)} {zipf(rng, EN_NOUNS)}s")
    elif roll < 0.6:
        text = (f"{rng.choice(EN_NAMES)} {zipf(rng, EN_VERBS_PAST)} {en_noun_phrase(rng)} "
                f"({en_number(rng)}) and {zipf(rng, EN_VERBS_PAST)} {en_noun_phrase(rng)}")
    elif roll < 0.75:
        text = (f"{en_noun_phrase(rng)} {rng.choice(['isn', 'wasn', 'doesn', 'didn'])}'t "
                f"{zipf(rng, EN_ADJECTIVES)} \u2014 it's {zipf(rng, EN_ADJECTIVES)}, "
                f"and they're {zipf(rng, EN_ADVERBS)} {zipf(rng, EN_VERBS_PAST)}")
    elif roll < 0.85:
        text = (f"at {en_number(rng)} the {zipf(rng, EN_NOUNS)} was \u201c{zipf(rng, EN_ADJECTIVES)}\u201d; "
                f"{en_noun_phrase(rng)} {zipf(rng, EN_VERBS_PAST)} it\u2019s {zipf(rng, EN_NOUNS)}")
    else:
        text = (f"{en_noun_phrase(rng)}, {en_noun_phrase(rng)} and {en_noun_phrase(rng)} "
                f"{zipf(rng, EN_VERBS_PAST)} {zipf(rng, EN_ADVERBS)}")
    end = rng.choice([".", ".", ".", ".", "!", "?", "...", "\u2026", ":"])
    return text[0].upper() + text[1:] + end


def en_prose(rng, size):
    """Narrative lines of one to three sentences: names, places, numbers and
    dates in many formats, possessives, a few contractions."""
    lines, total = [], 0
    while total < size:
        line = " ".join(en_sentence(rng) for _ in range(rng.randint(1, 3)))
        lines.append(line)
        total += len(line.encode()) + 1
    return "\n".join(lines) + "\n"


EN_PRONOUNS = ["I", "you", "we", "they", "he", "she", "it", "that", "there", "who"]
EN_CONTRACTED = {
    "I": ["'m", "'ve", "'ll", "'d"], "you": ["'re", "'ve", "'ll", "'d"],
    "we": ["'re", "'ve", "'ll", "'d"], "they": ["'re", "'ve", "'ll", "'d"],
    "he": ["'s", "'ll", "'d"], "she": ["'s", "'ll", "'d"], "it": ["'s", "'ll", "'d"],
    "that": ["'s", "'ll", "'d"], "there": ["'s", "'re", "'ll", "'d"], "who": ["'s", "'ve", "'ll", "'d"],
}
EN_NEGATIONS = ["don't", "can't", "won't", "isn't", "aren't", "wasn't", "didn't", "shouldn't",
                "couldn't", "wouldn't", "haven't", "hasn't", "ain't"]
EN_ODDITIES = ["rock 'n' roll", "'90s", "ma'am", "y'all", "o'clock", "'til", "goin'", "'em",
               "O'Brien's", "students'", "the Joneses'", "''", "' s", "it 's", "'sup", "n't",
               "'lll", "'S", "'Re", "'vE", "'D'", "\u2018quoted\u2019", "rock\u2019n\u2019roll"]


def en_utterance(rng):
    parts = []
    for _ in range(rng.randint(1, 3)):
        pronoun = rng.choice(EN_PRONOUNS)
        roll = rng.random()
        if roll < 0.45:
            clause = pronoun + rng.choice(EN_CONTRACTED[pronoun]) + " " + zipf(rng, EN_ADVERBS) + " " + \
                zipf(rng, EN_VERBS_PAST) + " " + en_noun_phrase(rng)
        elif roll < 0.75:
            clause = f"{pronoun} {rng.choice(EN_NEGATIONS)} {zipf(rng, EN_VERBS_PAST)} {en_noun_phrase(rng)}"
        elif roll < 0.9:
            clause = (f"{pronoun} said {rng.choice(EN_ODDITIES)} at {en_number(rng)}, "
                      f"didn't {pronoun if pronoun != 'I' else 'you'}")
        else:
            clause = f"let's go to {rng.choice(EN_PLACES)} \u2014 it's {en_date(rng)}"
        clause = clause[0].upper() + clause[1:] + rng.choice([".", "!", "?", "!?", "..."])
        parts.append(clause)
    text = " ".join(parts)
    if rng.random() < 0.15:
        text = text.upper()      # shouting: I'M, DON'T, THEY'RE, WE'VE, SHE'D, IT'LL
    return text


def en_dialogue(rng, size):
    """One utterance per line, mostly quoted speech: every contraction in
    lower case and in capitals, near misses, speaker tags after a tab."""
    lines, total = [], 0
    while total < size:
        speaker = rng.choice(EN_NAMES)
        roll = rng.random()
        if roll < 0.5:
            line = f"\u201c{en_utterance(rng)}\u201d {speaker} said."
        elif roll < 0.8:
            line = f'"{en_utterance(rng)}" asked {speaker}.'
        else:
            line = f"{speaker.upper()}:\t{en_utterance(rng)}"
        lines.append(line)
        total += len(line.encode()) + 1
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------
# Many scripts

# Short phrases in each script; words are joined by spaces except in the
# scripts written without them.
SCRIPT_WORDS = {
    "el": """και το η ο του της να είναι στο με για από θάλασσα ήλιος πόλη άνθρωπος λόγος
        ελευθερία ιστορία γλώσσα Αθήνα Θεσσαλονίκη νερό ψωμί δρόμος σπίτι φίλος καλημέρα
        ευχαριστώ παρακαλώ αύριο σήμερα χθες προϋπόθεση διαΐστημα ΐ ΰ Ελλάδα ΕΛΛΑΔΑ ψυχή
        ωκεανός ήταν θα μπορούσε αγαπώ φως""".split(),
    "latin": """Łódź żółć źdźbło Dvořák příliš žluťoučký kůň úpěl ďábelské ódy Ærøskøbing Þingvellir
        façade naïve café crème brûlée Tiếng Việt Nguyễn phở İstanbul ığdır şoför çalışkan
        Ångström straße Größe Übermut fjörður Smørrebrød Mañana niño señorita açaí coração
        Dobrodošli Ćevapi São Paulo Kraków Göteborg Zürich Łukasz""".split() + [
        "cafe\u0301", "nai\u0308ve", "A\u030angstro\u0308m", "Vie\u0323\u0302t", "n\u0303"],
    "cyrillic": """привет мир Москва Київ Беларусь Србија ђак љубав њива ћерка џеп ёжик Ёлка
        їжак ґанок щука объявление съёмка подъезд ИЗВЕСТИЯ жизнь хорошо спасибо
        пожалуйста завтра вчера Україна""".split(),
    "arabic": """مرحبا كتاب مدينة السلام عليكم شكرا الحاسوب اللغة العربية جامعة القاهرة مكتبة
        كَتَبَ الطَّالِبُ الدَّرْسَ مُحَمَّد إِنْ شَاءَ اللّٰه ٠١٢٣٤٥٦٧٨٩ ١٤٤٥ ۱۲۳ پارسی گفتگو""".split(),
    "devanagari": """नमस्ते भारत हिन्दी किताब विद्यालय धन्यवाद कृपया प्रश्न उत्तर संख्या
        क्षत्रिय ज्ञान श्री पुस्तकालय हिंदुस्तान ०१२३४५६७८९ २०२४ मराठी संस्कृतम्""".split(),
    "hangul": """안녕하세요 한국어 서울 컴퓨터 감사합니다 대한민국 학교 도서관 사랑해요 오늘
        내일 어제 프로그램 토크나이저 ᄒᆞᆫ글 ㄱㄴㄷ 똠방각하""".split(),
    "symbols": """✓ ★ → ⇒ ∑ ∞ ≠ ≤ ½ ¾ ² ³ Ⅻ ⅷ ① ℃ ™ © € £ ¥ ₹ ₩ 🙂 👍🏽 🇫🇷 👨‍👩‍👧
        𝐀𝐁𝐂 𝔘𝔫𝔦𝔠𝔬𝔡𝔢 𠀀𠀁 ％ １２３ ＡＢＣ""".split(),
}
# Written without spaces between words: a line is a run of these.
SCRIPT_PHRASES = {
    "zh": ["我们今天去公园散步。", "这个程序可以训练分词器", "天气很好，我们一起吃饭吧！",
           "北京和上海", "学习中文很有意思", "请问，火车站在哪里？", "二〇二四年六月十六日",
           "数据", "词汇表的大小是三万二千", "《红楼梦》", "——", "１２３"],
    "ja": ["今日はいい天気ですね。", "東京駅で友達に会いました", "このプログラムは文章を単語に分けます",
           "ありがとうございます", "カタカナ", "ｶﾀｶﾅ", "ひらがな", "コンピューター",
           "２０２４年６月１６日", "「こんにちは」と言った", "ー", "々", "〜"],
    "th": ["สวัสดีครับ", "ภาษาไทย", "ขอบคุณมาก", "กรุงเทพมหานคร", "๑๒๓"],
}
SEPARATORS = [" "] * 40 + ["\t"] * 4 + ["  ", "\x0b", "\x0c"] + UNICODE_SPACES + ["\u3000\u3000", " \xa0"]
LINE_ENDS = ["\n"] * 14 + ["\r\n"] * 5 + ["\r"] * 2


def mixed_token(rng, script):
    if script in SCRIPT_PHRASES:
        return "".join(rng.choice(SCRIPT_PHRASES[script]) for _ in range(rng.randint(1, 4)))
    if script == "numbers":
        return en_number(rng)
    if script == "en":
        word = zipf(rng, EN_NOUNS)
        if rng.random() < 0.2:
            word += rng.choice(CONTRACTIONS + [c.upper() for c in CONTRACTIONS])
        return word
    return zipf(rng, SCRIPT_WORDS[script], 1.5)


def mixed_scripts(rng, size):
    """Lines mostly in one script with others mixed in, separated by every
    kind of whitespace, ending in LF, CRLF or a lone CR; no final newline."""
    scripts = list(SCRIPT_WORDS) + list(SCRIPT_PHRASES) + ["numbers", "en"]
    out, total = [], 0
    while total < size:
        main = rng.choice(scripts)
        tokens = []
        for _ in range(rng.randint(1, 25)):
            tokens.append(mixed_token(rng, main if rng.random() < 0.75 else rng.choice(scripts)))
            tokens.append(rng.choice(SEPARATORS))
        if rng.random() < 0.03:
            tokens.append(rng.choice(NEAR_SPACES) + mixed_token(rng, main))
        line = "".join(tokens[:-1]) + rng.choice(LINE_ENDS)
        out.append(line)
        total += len(line.encode())
    return "".join(out).rstrip("\r\n")


# ---------------------------------------------------------------------------
# Whitespace in every position


def whitespace(rng):
    """Every White_Space character alone and in runs: between words, at line
    starts and ends, before contractions, numbers and other scripts, next to
    each other kind; LF, CRLF and lone CR line ends; non-spaces that look like
    spaces. Ends in whitespace without a newline."""
    spaces = ASCII_SPACES + UNICODE_SPACES
    words = ["word", "it", "日本語", "Ελλάδα", "Привет", "مرحبا", "नमस्ते", "한국어", "123", "x"]
    lines = []
    for space in spaces:
        for word in words:
            lines.append(f"{word}{space}{word} {space}{word}{space * 2}{word}{space}")
        lines.append(f"{space}leading and trailing{space}")
        lines.append(f"it{space}'s they{space}'re we{space}'ve I{space}'m you{space}'ll "
                     f"she{space}'d don{space}'t IT{space}'S")
        lines.append(f"{space}'s{space}'T {space}123{space}4.5{space}{space}{space}end")
        lines.append(space * 3)
    for first in spaces:
        lines.append("".join(f"a{first}{second}b" for second in spaces))
    for near in NEAR_SPACES:
        lines.append(f"not{near}a{near}space {near} {near}{near}x")
    for _ in range(300):
        lines.append("".join(rng.choice(words) + rng.choice(spaces) * rng.randint(1, 3)
                             for _ in range(rng.randint(1, 12))))
    out = [line + rng.choice(LINE_ENDS) for line in lines]
    out.append("\r\n\r\n\n\n\r\r \n")            # blank lines of every kind
    out.append("end\u3000 \t")
    return "".join(out)


# ---------------------------------------------------------------------------
# Very long lines


def long_lines(rng):
    """Lines far longer than the readers' batches: prose, one word of 80 000
    letters, a run of whitespace, a run of Chinese and Japanese without a
    space; the file ends in the middle of a long line."""
    parts = []
    parts.append(" ".join(en_sentence(rng) for _ in range(1_600)) + "\n")
    parts.append("short line\n")
    parts.append("".join(rng.choice("abcdefgh") for _ in range(80_000)) + "\n")
    parts.append("".join(rng.choice(UNICODE_SPACES + [" ", "\t"]) for _ in range(8_000)) + "x\r\n")
    parts.append("".join(rng.choice(SCRIPT_PHRASES["zh"] + SCRIPT_PHRASES["ja"]) for _ in range(3_000)) + "\n")
    parts.append("\n")
    parts.append(" ".join(mixed_token(rng, rng.choice(["el", "cyrillic", "hangul", "numbers"]))
                          for _ in range(6_000)))
    return "".join(parts)


GENERATED = {
    "en-prose.txt": lambda: en_prose(random.Random(1001), 180_000),
    "en-dialogue.txt": lambda: en_dialogue(random.Random(1002), 120_000),
    "mixed-scripts.txt": lambda: mixed_scripts(random.Random(1003), 120_000),
    "whitespace.txt": lambda: whitespace(random.Random(1004)),
    "long-lines.txt": lambda: long_lines(random.Random(1005)),
}


# ---------------------------------------------------------------------------
# Excerpts


def excerpt(data, size, blocks=EXCERPT_BLOCKS):
    """Blocks of whole lines starting at evenly spread places of `data`, about
    `size` bytes together; each block starts at a line start."""
    out = []
    per_block = size // blocks
    for i in range(blocks):
        start = len(data) * i // blocks
        if start:
            start = data.find(b"\n", start - 1) + 1
        end = data.find(b"\n", start + per_block)
        end = len(data) if end < 0 else end + 1
        out.append(data[start:end])
    return b"".join(out)


def build(corpora_dir=None):
    """{file name: bytes} of every fixture this run can make."""
    files = {name: make().encode("utf-8") for name, make in GENERATED.items()}
    if corpora_dir:
        for name, size in EXCERPTS.items():
            with open(os.path.join(corpora_dir, name), "rb") as f:
                files[name] = excerpt(f.read(), size)
    return files


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--corpora", help="folder of the larger corpora to take the excerpts from")
    ap.add_argument("--check", action="store_true", help="compare with tests/data, write nothing")
    ap.add_argument("--out", default=DATA_DIR, help="where to write (default tests/data)")
    args = ap.parse_args(argv)
    stale = []
    for name, data in build(args.corpora).items():
        path = os.path.join(args.out, name)
        if args.check:
            try:
                with open(path, "rb") as f:
                    same = f.read() == data
            except OSError:
                same = False
            if not same:
                stale.append(name)
            continue
        with open(path, "wb") as f:
            f.write(data)
        print(f"make_fixtures: {path}: {len(data):,} bytes")
    if stale:
        print("make_fixtures: differs from the script's output: " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
