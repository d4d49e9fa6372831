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
    cache.insert_ttl("k", [1], 1.5)
    cache.insert_ttl(key="t", value=None, ttl=10)
    value = cache.get("k")
    found: bool = cache.contains("k") and "k" in cache
    removed: bool = cache.remove("k")
    n: int = cache.len() + len(cache) + cache.size() + cache.limit + other.limit + big.limit
    empty: bool = cache.is_empty()
    cache.clear()
    raw: bytes = cache.get_raw("k")
    cache.insert_raw("k", raw)
    cache.insert_raw("k", bytearray(raw), None)
    cache.insert_raw(key="k", text=memoryview(raw), ttl=None)
    cache.insert_raw("k", "[1]", 2.5)
    cache.insert_raw("k", '{"a": 1}')
    peeked = cache.peek("k")
    keys: list[str] = cache.keys()
    stats = cache.stats(reset=True)
    counts: int = stats.hits + stats.misses + stats.inserts + stats.evictions + stats.expirations + stats[0]
    hits, misses, inserts, evictions, expirations = cache.stats()
    cache.resize(100)
"""

MEMOIZED = """
    import pelm_lib

    cache = pelm_lib.init_cache()

    @cache.memoize
    def area(w: int, h: int = 1) -> float:
        return float(w * h)

    @cache.memoize(prefix="v2", ttl=60)
    def named(user_id: int, filters: dict[str, int]) -> dict[str, int]:
        return filters

    @cache.memoize
    async def fetch(n: int) -> list[int]:
        return [n]

    class Shape:
        def __init__(self, side: int) -> None:
            self.side = side

        @cache.memoize
        def scaled(self, by: int) -> int:
            return self.side * by

        @staticmethod
        @cache.memoize
        def unit(n: int) -> int:
            return n
"""

GOOD_MEMOIZED = """
    a: float = area(2, h=3) + area(w=1)
    k: str | None = area.key(2)
    gone: bool = area.invalidate(2, h=1)
    same: pelm_lib.Cache = area.cache
    d: dict[str, int] = named(1, {"a": 1})
    async def use() -> list[int]:
        return await fetch(1)
    s: int = Shape(2).scaled(3) + Shape.scaled(Shape(1), by=2) + Shape.unit(1)
"""

BAD_MEMOIZED = {
    "argument-type": 'area("2")',
    "missing-argument": "area()",
    "return-type": "x: str = area(1)",
    "key-argument-type": 'area.key(h="1")',
    "method-argument-type": 'Shape(2).scaled("3")',
    "not-awaited-type": "y: list[int] = fetch(1)",
    "prefix-not-str": "cache.memoize(prefix=1)",
    "ttl-not-a-number": 'cache.memoize(ttl="60")',
}

BAD = {
    "key-not-str": "cache.get(5)",
    "limit-not-int": 'pelm_lib.Cache("10")',
    "unknown-method": 'cache.items()',
    "limit-read-only": "cache.limit = 5",
    "insert-returns-none": 'x: int = cache.insert("k", 1)',
    "raw-text-not-int": 'cache.insert_raw("k", 5)',
    "raw-ttl-not-a-number": 'cache.insert_raw("k", "1", ttl="5")',
    "get-raw-is-bytes": 'x: str = cache.get_raw("k")',
    "stats-fields-read-only": "cache.stats().hits = 1",
    "stats-type-not-exported": "pelm_lib.CacheStats",
    "resize-limit-not-str": 'cache.resize("10")',
    "ttl-not-a-number": 'cache.insert_ttl("k", 1, "10")',
    "ttl-missing": 'cache.insert_ttl("k", 1)',
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


def test_memoized_functions_keep_their_parameters(tmp_path):
    result = run_mypy(tmp_path, MEMOIZED + GOOD_MEMOIZED)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("line", list(BAD_MEMOIZED.values()), ids=list(BAD_MEMOIZED))
def test_wrong_memoized_calls_are_flagged(tmp_path, line):
    result = run_mypy(tmp_path, MEMOIZED + "    " + line + "\n")
    assert result.returncode == 1 and "error:" in result.stdout, result.stdout + result.stderr


@pytest.mark.parametrize("line", list(BAD.values()), ids=list(BAD))
def test_wrong_use_is_flagged(tmp_path, line):
    result = run_mypy(tmp_path, "import pelm_lib\ncache = pelm_lib.init_cache()\n" + line + "\n")
    assert result.returncode == 1 and "error:" in result.stdout, result.stdout + result.stderr
