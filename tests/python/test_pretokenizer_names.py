"""The pretokenizer names have one source, the library's _PRETOKENIZERS:
every entry point takes exactly those, the command line offers them, and
the type stubs (which cannot read them) list the same ones."""
import ast
import pathlib

import pytest

import selkbar
import selkbar_cli

STUBS = pathlib.Path(__file__).parents[2] / "python" / "selkbar-stubs" / "__init__.pyi"


def test_every_entry_point_takes_exactly_the_listed_names(tmp_path):
    names = selkbar._PRETOKENIZERS
    assert isinstance(names, tuple) and len(set(names)) == len(names) >= 4
    corpus = tmp_path / "c.txt"
    corpus.write_text("a b a b\n")
    for name in names:
        assert selkbar.count_words([str(corpus)], pretokenizer=name).pretokenizer == name
        assert selkbar.count_words_from_iterator(["a b"], pretokenizer=name).pretokenizer == name
        assert selkbar.WordCounts.from_items({}, pretokenizer=name).pretokenizer == name
        selkbar.train_bpe_from_iterator(["a b"], 10, pretokenizer=name)
    want = ", ".join(f'"{name}"' for name in names[:-1]) + f' or "{names[-1]}"'
    for name in ("Whitespace", "", "custom"):
        with pytest.raises(ValueError) as info:
            selkbar.count_words([str(corpus)], pretokenizer=name)
        assert str(info.value) == f'unknown pretokenizer "{name}" (want {want})'


def test_the_command_line_offers_the_listed_names():
    parser = selkbar_cli.build_parser()
    action = next(a for a in parser._actions if "--pretokenizer" in a.option_strings)
    assert tuple(action.choices) == selkbar._PRETOKENIZERS


def test_the_stubs_list_the_same_names():
    tree = ast.parse(STUBS.read_text(encoding="utf-8"))
    declared = next(node for node in tree.body if isinstance(node, ast.AnnAssign)
                    and getattr(node.target, "id", None) == "_PRETOKENIZERS")
    literal = next(node for node in ast.walk(declared.annotation) if isinstance(node, ast.Subscript)
                   and getattr(node.value, "id", None) == "Literal")
    elements = literal.slice.elts if isinstance(literal.slice, ast.Tuple) else [literal.slice]
    assert tuple(element.value for element in elements) == selkbar._PRETOKENIZERS
