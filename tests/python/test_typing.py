"""The stub package: mypy --strict accepts correct use of the whole API and
flags wrong calls."""

import os
import re
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


EXPECT = "  # expect-error"


def case_module():
    """One module holding every case: the correct uses at the top level, and
    each wrong use alone in a function of its own, its line marked EXPECT."""
    parts = [textwrap.dedent(GOOD), textwrap.dedent(MEMOIZED), textwrap.dedent(GOOD_MEMOIZED)]
    for i, line in enumerate([*BAD_MEMOIZED.values(), *BAD.values()]):
        parts.append(f"def wrong_use_{i}() -> None:\n    {line}{EXPECT}\n")
    return "\n".join(parts)


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """mypy --strict run once over the case module: {line number: errors}."""
    pytest.importorskip("mypy")
    tmp_path = tmp_path_factory.mktemp("typing")
    pkg = tmp_path / "stubs" / "pelm_lib"
    pkg.mkdir(parents=True)
    shutil.copy(STUB, pkg / "__init__.pyi")
    src = tmp_path / "case.py"
    src.write_text(case_module())
    env = dict(os.environ, MYPYPATH=str(tmp_path / "stubs"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, str(src)],
        capture_output=True, text=True, env=env, cwd=tmp_path,
    )
    assert result.returncode in (0, 1), result.stdout + result.stderr
    errors = {}
    for found in re.finditer(r"^case\.py:(\d+): error: (.*)$", result.stdout, re.MULTILINE):
        errors.setdefault(int(found.group(1)), []).append(found.group(2))
    lines = src.read_text().splitlines()
    return {n: (lines[n - 1], e) for n, e in errors.items()}


def test_correct_use_type_checks(mypy_errors):
    unexpected = {n: v for n, v in mypy_errors.items() if not v[0].endswith(EXPECT)}
    assert unexpected == {}


@pytest.mark.parametrize("line", [*BAD_MEMOIZED.values(), *BAD.values()], ids=[*BAD_MEMOIZED, *BAD])
def test_wrong_use_is_flagged(mypy_errors, line):
    assert any(text == f"    {line}{EXPECT}" for text, _ in mypy_errors.values()), line
