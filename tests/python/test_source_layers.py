"""The source folders are layers: support, codec, snapshot, engine, py, convert,
cache, memoize, module.
A file includes only its own layer or those listed before it, and the layers
below py never see Python, so the codec and the engine build and test alone."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
# A copy of the tests run against an installed wheel has no sources to check;
# skipped rather than passed, so an empty tree never counts as well layered.
pytestmark = pytest.mark.skipif(not (ROOT / "src").is_dir(), reason="run from a copy of the tests without the sources")
LAYERS = ["support", "codec", "snapshot", "engine", "py", "convert", "cache", "memoize", "module"]
INCLUDE = re.compile(r'#include [<"]([^>"]+)[>"]')


def test_includes_point_down_the_layers():
    wrong = []
    for path in sorted((ROOT / "src").rglob("*.[ch]pp")):
        layer = path.relative_to(ROOT / "src").parts[0]
        for target in INCLUDE.findall(path.read_text()):
            top = target.split("/")[0]
            above = top in LAYERS and LAYERS.index(top) > LAYERS.index(layer)
            python_below_py = target == "Python.h" and LAYERS.index(layer) < LAYERS.index("py")
            if above or python_below_py:
                wrong.append(f"{path.relative_to(ROOT)} includes {target}")
    assert wrong == []


def test_every_source_folder_is_a_layer():
    folders = sorted(p.name for p in (ROOT / "src").iterdir() if p.is_dir())
    assert folders == sorted(LAYERS)
