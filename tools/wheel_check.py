#!/usr/bin/env python3
"""`tools/wheel_check.py WORK_DIR PYTHON` (make wheel-check), run by an interpreter with build and
pip: the sdist, a wheel from it as a user's pip builds it (isolated, so build-system.requires must
be complete), and that wheel in a fresh venv of PYTHON passing the Python tests and stubtest.
tools/dist takes its sdist and its tests from here."""

import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
times: list[tuple[str, float]] = []


def run(what: str, *cmd, **kwargs) -> str:
    """Runs cmd, stops the whole run if it fails, records its time under `what`; returns its
    standard output, which it also prints."""
    print(f"=== {what}", flush=True)
    start = time.monotonic()
    done = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, text=True, **kwargs)
    times.append((what, time.monotonic() - start))
    print(done.stdout, end="", flush=True)
    if done.returncode:
        sys.exit(f"{Path(sys.argv[0]).name}: {what} failed (exit {done.returncode})")
    return done.stdout


def sdist(out: Path) -> Path:
    run("sdist", sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT)
    (path,) = out.glob("*.tar.gz")
    return path


def test(python: str, wheel: Path, venv: Path, packages: list[str], env: dict | None = None,
         find_links: Path | None = None) -> str:
    """Installs the wheel and packages into a fresh venv of `python` and runs the Python tests,
    and stubtest after them if mypy is among the packages; returns pytest's summary line. The
    venv gets no pip of its own: this interpreter's pip installs into it, from find_links alone
    where given (an interpreter without ssl, or one run under QEMU)."""
    what = venv.name
    index = ["--no-index", "--find-links", find_links] if find_links else []
    run(f"venv {what}", python, "-m", "venv", "--without-pip", venv)
    run(f"install into {what}", sys.executable, "-m", "pip", "--python", venv / "bin/python",
        "install", "-q", *index, wheel, *packages)
    # From the venv's folder, so that the tests import the installed module, not the tree's stub.
    summary = run(f"pytest {what}", venv / "bin/python", "-m", "pytest", "-q", "-p",
                  "no:cacheprovider", ROOT / "tests/python", cwd=venv.parent, env=env)
    if "mypy" in packages:
        run(f"stubtest {what}", venv / "bin/python", "-m", "mypy.stubtest", "libkeldrin",
            cwd=venv.parent, env=dict(env or os.environ, MYPY_CACHE_DIR=str(venv / "mypy-cache")))
    return summary.strip().splitlines()[-1]


def main() -> None:
    work, python = Path(sys.argv[1]).resolve(), sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    run("wheel", sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--wheel-dir", work,
        sdist(work))
    (wheel,) = work.glob("*.whl")
    test(python, wheel, work / "venv", ["pytest", "mypy"])


if __name__ == "__main__":
    main()
