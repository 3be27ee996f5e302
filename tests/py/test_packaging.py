"""The package as users get it.

Type information: the stubs against the built module (stubtest), the package
under mypy's strict mode.  The wheel scripts/test.sh builds and repairs for the
running interpreter (found in $VANTRIC_WHEELHOUSE): its tags and files, and the
wheel alone in a fresh virtual environment serving a request over loopback and
type-checking a user's program.  One version everywhere.
"""

from __future__ import annotations

import importlib.metadata
import os
import re
import subprocess
import sys
import sysconfig
import venv
import zipfile
from pathlib import Path

import pytest
from packaging.utils import parse_wheel_filename
from packaging.version import Version

import vantric
from serving import CHILD_ENV

pytestmark = pytest.mark.packaging

ROOT = Path(__file__).resolve().parents[2]
TAG = f"cp{sys.version_info.major}{sys.version_info.minor}"


def run(*command: str | Path, cwd: Path, env: dict[str, str] | None = None, timeout: float = 300):
    return subprocess.run(
        [str(part) for part in command],
        cwd=cwd,
        capture_output=True,
        text=True,
        timeout=timeout,
        env=CHILD_ENV | (env or {}),
    )


# ---- type information -----------------------------------------------------------------


def test_stubs_match_the_built_module(tmp_path):
    # MYPYPATH puts the source tree's stubs first; the module stubtest imports
    # is the installed one (the source tree is not on sys.path from tmp_path).
    done = run(
        sys.executable,
        "-m",
        "mypy.stubtest",
        "vantric._vantric",
        cwd=tmp_path,
        env={"MYPYPATH": str(ROOT / "python")},
    )
    assert done.returncode == 0, done.stdout + done.stderr


def test_package_passes_mypy_strict(tmp_path):
    # The configuration is pyproject.toml's: strict, over python/vantric.
    done = run(sys.executable, "-m", "mypy", "--cache-dir", tmp_path, cwd=ROOT)
    assert done.returncode == 0, done.stdout + done.stderr


# ---- one version ------------------------------------------------------------------------


def test_one_version_everywhere():
    source = re.search(r'kVersionText = "([^"]+)"', (ROOT / "src/core/version.h").read_text())
    assert source is not None
    version = Version(source.group(1))
    assert Version(vantric.__version__) == version  # the module's spelling of it
    assert Version(importlib.metadata.version("vantric")) == version  # the installed metadata
    latest = re.search(r"^## (\S+)", (ROOT / "CHANGELOG.md").read_text(), re.MULTILINE)
    assert latest is not None and Version(latest.group(1)) == version, (
        "the newest CHANGELOG.md entry names another version"
    )


# ---- the wheel ---------------------------------------------------------------------------

SMOKE = """\
import asyncio
import sys

import vantric
from vantric import _vantric
from vantric.client import Client
from vantric.server import Request, Response, serve

assert vantric.__file__.startswith(sys.prefix), vantric.__file__
assert not hasattr(_vantric, "_testing"), "the shipped build carries the test hooks"

head = _vantric.H1Codec().receive_request_head(b"GET /smoke HTTP/1.1\\r\\nHost: localhost\\r\\n\\r\\n")
assert head is not None and (head.method, head.target) == ("GET", "/smoke")


async def app(request: Request) -> Response:
    return Response(200, [("content-type", "text/plain")], request.target.encode())


async def main() -> None:
    server = await serve(app, "127.0.0.1", 0)
    async with Client(proxy=None) as client:
        response = await client.get(f"http://127.0.0.1:{server.port}/over-loopback")
        assert (response.status, await response.read()) == (200, b"/over-loopback")
    await server.shutdown()


asyncio.run(main())
print("served", vantric.__version__)
"""


@pytest.fixture(scope="module")
def wheel() -> Path:
    house = os.environ.get("VANTRIC_WHEELHOUSE")
    if not house:
        pytest.skip("VANTRIC_WHEELHOUSE is not set (scripts/test.sh builds the wheels and sets it)")
    version = Version(vantric.__version__)
    found = [
        path
        for path in Path(house).glob("vantric-*.whl")
        if parse_wheel_filename(path.name)[1] == version
        and any(tag.interpreter == TAG for tag in parse_wheel_filename(path.name)[3])
    ]
    assert len(found) == 1, f"expected one {TAG} wheel of vantric {version} in {house}: {found}"
    return found[0]


@pytest.fixture(scope="module")
def fresh_python(wheel: Path, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The interpreter of a new virtual environment holding the wheel and nothing else."""
    home = tmp_path_factory.mktemp("fresh")
    venv.EnvBuilder(with_pip=False).create(home / "env")
    python = home / "env" / "bin" / "python"
    done = run(
        sys.executable,
        "-m",
        "pip",
        "--python",
        python,
        "install",
        "--quiet",
        "--no-index",
        "--no-deps",
        "--no-cache-dir",
        wheel,
        cwd=home,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    return python


def test_wheel_tags_and_files(wheel: Path):
    name, _, _, tags = parse_wheel_filename(wheel.name)
    assert name == "vantric"
    machine = sysconfig.get_platform().rpartition("-")[2]
    for tag in tags:
        assert (tag.interpreter, tag.abi) == (TAG, TAG), tag
        assert re.fullmatch(rf"manylinux_\d+_\d+_{machine}", tag.platform), tag
    shown = run(sys.executable, "-m", "auditwheel", "show", wheel, cwd=wheel.parent)
    assert shown.returncode == 0, shown.stderr
    consistent = re.search(
        r'consistent with the following platform tag: "([^"]+)"', " ".join(shown.stdout.split())
    )
    assert consistent is not None and consistent.group(1) in {tag.platform for tag in tags}, shown.stdout

    with zipfile.ZipFile(wheel) as archive:
        files = [f for f in archive.namelist() if not f.endswith("/")]
        metadata = archive.read(next(f for f in files if f.endswith(".dist-info/METADATA"))).decode()
    package = {f.removeprefix("vantric/") for f in files if f.startswith("vantric/")}
    modules = {p.name for p in (ROOT / "python/vantric").glob("*.py")}
    extension = f"_vantric.{sysconfig.get_config_var('SOABI')}.so"
    assert package - modules == {"py.typed", "_vantric.pyi", extension}
    assert modules <= package
    strays = [f for f in files if not f.startswith(("vantric/", "vantric.libs/", "vantric-"))]
    assert not strays
    # The interpreter this wheel is for is one the classifiers claim.
    minor = f"{sys.version_info.major}.{sys.version_info.minor}"
    assert f"Classifier: Programming Language :: Python :: {minor}\n" in metadata
    assert "Classifier: Typing :: Typed\n" in metadata


def test_fresh_environment_holds_the_wheel_alone(fresh_python: Path, tmp_path):
    done = run(
        fresh_python,
        "-I",
        "-c",
        "import importlib.metadata as m; print(sorted(d.name for d in m.distributions()))",
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "['vantric']"


def test_wheel_serves_a_request_over_loopback(fresh_python: Path, tmp_path):
    (tmp_path / "smoke.py").write_text(SMOKE)
    done = run(fresh_python, "-I", "smoke.py", cwd=tmp_path, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout == f"served {vantric.__version__}\n"
    assert done.stderr == ""


def test_wheel_gives_a_users_program_its_types(fresh_python: Path, tmp_path):
    # mypy finds vantric in the fresh environment only through the wheel's
    # py.typed marker, and vantric._vantric only through its stubs.
    (tmp_path / "smoke.py").write_text(SMOKE)
    (tmp_path / "mypy.ini").write_text("[mypy]\nstrict = true\n")
    done = run(
        sys.executable,
        "-m",
        "mypy",
        "--no-incremental",
        "--config-file",
        "mypy.ini",
        "--python-executable",
        fresh_python,
        "smoke.py",
        cwd=tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr
