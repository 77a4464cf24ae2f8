import importlib
import sys

import pytest

import selkbar

pytestmark = pytest.mark.subset


def test_version_and_all():
    assert selkbar.__version__ == "0.1.0"
    assert selkbar.__all__[0] == "__version__"


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("selkbar")
    again = importlib.import_module("selkbar")
    assert again is first
