"""Generated sources match their generators: the float digits' power-of-ten
table is rebuilt from exact arithmetic and compared byte for byte."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
GENERATOR = ROOT / "scripts" / "gen_pow10_table.py"


@pytest.mark.skipif(not GENERATOR.exists(), reason="run from a copy of the tests without the sources")
def test_pow10_table_is_what_the_generator_writes():
    result = subprocess.run([sys.executable, str(GENERATOR), "--check"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
