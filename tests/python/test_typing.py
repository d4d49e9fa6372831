"""The stub package: mypy --strict accepts correct use of the whole API and
flags wrong calls."""

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

STUB = Path(__file__).resolve().parents[2] / "stubs" / "pelm_lib-stubs" / "__init__.pyi"

GOOD = """
    import pelm_lib

    cache: pelm_lib.Cache = pelm_lib.init_cache()
    other = pelm_lib.Cache(limit=10)
    big = pelm_lib.init_cache(None)
    cache.insert("k", {"a": [1, 2.5, None, True, "s"]})
    cache.insert(key="t", value=(1, 2))
    value = cache.get("k")
    found: bool = cache.contains("k") and "k" in cache
    removed: bool = cache.remove("k")
    n: int = cache.len() + len(cache) + cache.size() + cache.limit + other.limit + big.limit
    empty: bool = cache.is_empty()
    cache.clear()
"""

BAD = {
    "key-not-str": "cache.get(5)",
    "limit-not-int": 'pelm_lib.Cache("10")',
    "unknown-method": 'cache.items()',
    "limit-read-only": "cache.limit = 5",
    "insert-returns-none": 'x: int = cache.insert("k", 1)',
}


def run_mypy(tmp_path, body):
    pkg = tmp_path / "stubs" / "pelm_lib"
    pkg.mkdir(parents=True, exist_ok=True)
    shutil.copy(STUB, pkg / "__init__.pyi")
    src = tmp_path / "case.py"
    src.write_text(textwrap.dedent(body))
    env = dict(os.environ, MYPYPATH=str(tmp_path / "stubs"))
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, str(src)],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )


pytest.importorskip("mypy")


def test_whole_api_type_checks(tmp_path):
    result = run_mypy(tmp_path, GOOD)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("line", list(BAD.values()), ids=list(BAD))
def test_wrong_use_is_flagged(tmp_path, line):
    result = run_mypy(tmp_path, "import pelm_lib\ncache = pelm_lib.init_cache()\n" + line + "\n")
    assert result.returncode == 1 and "error:" in result.stdout, result.stdout + result.stderr
