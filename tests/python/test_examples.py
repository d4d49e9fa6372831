"""Every example runs to completion and prints what it promises."""

import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize(
    "name, expected",
    [
        ("demo.py", "refused: Value for key 'big' (102 bytes) exceeds the cache limit (40 bytes)"),
        ("memoize.py", "6 calls, 3 computed"),
        ("http_responses.py", "3 fetches for 5 requests"),
        ("hit_rate.py", "limit  200000 bytes: hit rate"),
        ("serve_json_bytes.py", '200 {"active":true,"id":1,"name":"Ada Lovelace","roles":["admin","dev"]}\n'
                                "pelm_lib.CacheStats(hits=1, misses=1, inserts=1, evictions=0, expirations=0)"),
        ("expiring_quotes.py", "prices [101, 101, 101] then 102: 2 fetches for 4 requests"),
        ("warm_restart.py", "run 2: loaded 3, computed 1, saved 4"),
    ],
)
def test_example_runs(name, expected):
    result = subprocess.run([sys.executable, str(EXAMPLES / name)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert expected in result.stdout


def test_readme_python_blocks_run():
    readme = (EXAMPLES.parent / "README.md").read_text(encoding="utf-8")
    blocks = [b.split("```", 1)[0] for b in readme.split("```python\n")[1:]]
    assert len(blocks) >= 2
    for block in blocks:
        exec(compile(block, "README.md", "exec"), {})
