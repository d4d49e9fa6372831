"""The release path a user takes: an sdist that builds alone, a wheel that
installs into a fresh virtual environment, imports, and carries its stubs."""

import os
import subprocess
import sys
import tarfile
import venv
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(
    os.environ.get("PELM_SANITIZED") == "1", reason="builds a release wheel; the sanitized run tests the code"
)

QUICK_START = """
import importlib.metadata, pathlib, pelm_lib
cache = pelm_lib.init_cache()
cache.insert("user:1", {"name": "Ada", "langs": ["en", "fr"]})
assert cache.get("user:1") == {"langs": ["en", "fr"], "name": "Ada"}
assert cache.size() == len('{"langs":["en","fr"],"name":"Ada"}')
site = pathlib.Path(pelm_lib.__file__).parent
assert (site / "pelm_lib-stubs" / "__init__.pyi").is_file()
assert (site / "pelm_redis" / "__init__.py").is_file() and (site / "pelm_redis" / "py.typed").is_file()
meta = importlib.metadata.metadata("pelm_lib")
assert meta["Requires-Python"] == ">=3.11" and "MIT License" in (meta["License"] or "")
# The long description is the message body before 3.15, a field from then on.
assert "byte-capped" in meta["Summary"] and "## Set-up" in (meta["Description"] or meta.get_payload())
assert "redis" in meta.get_all("Provides-Extra") and any('extra == "redis"' in r for r in meta.get_all("Requires-Dist"))
print(importlib.metadata.version("pelm_lib"))
"""


def run(*cmd, **kw):
    result = subprocess.run(cmd, capture_output=True, text=True, **kw)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    return result.stdout


def sdist_and_wheel(tmp_path):
    """The sdist of the checkout and the wheel built from it alone: the ones
    scripts/test built and installed for this run (PELM_TESTED_SDIST and
    PELM_TESTED_WHEEL), so the project is not compiled once more, or else
    made here."""
    given = os.environ.get("PELM_TESTED_SDIST"), os.environ.get("PELM_TESTED_WHEEL")
    if all(given):
        return Path(given[0]), Path(given[1])
    dist = tmp_path / "dist"
    # Run from elsewhere: the checkout's build/ folder would shadow the package.
    run(sys.executable, "-m", "build", "--sdist", "--outdir", str(dist), str(ROOT), cwd=tmp_path)
    (sdist,) = dist.glob("pelm_lib-*.tar.gz")
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "-w", str(dist), str(sdist), cwd=tmp_path)
    (wheel,) = dist.glob("pelm_lib-*.whl")
    return sdist, wheel


def test_sdist_builds_a_wheel_that_installs_and_imports(tmp_path):
    sdist, wheel = sdist_and_wheel(tmp_path)
    with tarfile.open(sdist) as tar:
        names = tar.getnames()
    for needed in ("pyproject.toml", "CMakeLists.txt", "src/module/module.cpp", "src/memoize/async_shim.py",
                   "cmake/async_shim.hpp.in", "stubs/pelm_lib-stubs/__init__.pyi", "pelm_redis/__init__.py",
                   "pelm_redis/py.typed"):
        assert any(n.endswith(needed) for n in names), needed

    tag = f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert f"-{tag}-{tag}-" in wheel.name and "linux" in wheel.name

    env_dir = tmp_path / "env"
    venv.create(env_dir, with_pip=True)
    py = env_dir / "bin" / "python"
    run(str(py), "-m", "pip", "install", "-q", "--no-deps", str(wheel))
    clean_env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}
    version = run(str(py), "-c", QUICK_START, cwd=tmp_path, env=clean_env).strip()
    assert version == "0.1.0"
