#!/usr/bin/env python3
"""`tools/wheel_check.py WORK_DIR PYTHON` (make wheel-check), run by an interpreter with build and
pip: the sdist, a wheel from it built as a user's pip builds it (isolated, so build-system.requires
must be complete) holding what it must, and that wheel importing and passing the Python tests and
stubtest in a fresh venv of PYTHON. tools/dist shares these steps."""

import os
import shutil
import subprocess
import sys
import sysconfig
import time
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CONSTRAINTS = ROOT / "tools/constraints.txt"
times: list[tuple[str, float]] = []
# Each extension module's place in the wheel but for the suffix, by import name.
MODULES = {"libkeldrin": "libkeldrin", "keldrin": "keldrin/__init__"}
# What type checkers read (mypy needs libkeldrin's stub-only package).
TYPING = ["libkeldrin.pyi", "libkeldrin-stubs/__init__.pyi", "keldrin/__init__.pyi",
          "keldrin/py.typed"]
# Run in a venv with the module names: each comes from the venv, and keldrin's version is the
# distribution's.
IMPORT = """
import importlib, importlib.metadata, sys
for name in sys.argv[1:]:
    module = importlib.import_module(name)
    assert module.__file__.startswith(sys.prefix), module.__file__
version = importlib.metadata.version("libkeldrin")
assert sys.modules["keldrin"].__version__ == version, sys.modules["keldrin"].__version__
print("imported", *sys.argv[1:], version)
"""


def check(ok: bool, message: str) -> None:
    if not ok:
        sys.exit(f"{Path(sys.argv[0]).name}: {message}")


def run(what: str, *cmd, **kwargs) -> str:
    """Runs cmd, timed under `what`, and returns (and prints, once it is done, so that runs side
    by side keep their output apart) its output; stops the run if it fails."""
    start = time.monotonic()
    done = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, text=True, **kwargs)
    times.append((what, time.monotonic() - start))
    print(f"=== {what}\n{done.stdout}", end="", flush=True)
    check(not done.returncode, f"{what} failed (exit {done.returncode})")
    return done.stdout


def sdist(out: Path) -> Path:
    run("sdist", sys.executable, "-m", "build", "--sdist", "--outdir", out, ROOT)
    (path,) = out.glob("*.tar.gz")
    return path


def contents(wheel: Path, suffix: str) -> dict[str, str]:
    """Checks that the wheel holds the modules with `suffix`, no other, and the typing files;
    returns each module's file by import name."""
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    files = {name: place + suffix for name, place in MODULES.items()}
    found = sorted(n for n in names if n.endswith(".so"))
    check(found == sorted(files.values()), f"{wheel.name} holds {found}, not {[*files.values()]}")
    missing = [name for name in TYPING if name not in names]
    check(not missing, f"{wheel.name} lacks {missing}")
    return files


def test(python: str, wheel: Path, venv: Path, packages: list[str], env: dict | None = None,
         find_links: Path | None = None) -> str:
    """Installs the wheel and packages into a fresh venv of `python` (with this interpreter's pip,
    from find_links alone if given), imports the modules, runs the Python tests and, with mypy,
    stubtest; returns pytest's summary and what the import printed."""
    what = venv.name
    index = ["--no-index", "--find-links", find_links] if find_links else []
    run(f"venv {what}", python, "-m", "venv", "--without-pip", venv)
    run(f"install into {what}", sys.executable, "-m", "pip", "--python", venv / "bin/python",
        "install", "-q", "-c", CONSTRAINTS, *index, wheel, *packages)
    # From the venv's folder, so that the installed modules are imported, not the tree's stubs,
    # and what a run leaves (hypothesis's examples, mypy's cache) is the venv's own.
    imported = run(f"import {what}", venv / "bin/python", "-c", IMPORT, *MODULES, cwd=venv,
                   env=env)
    summary = run(f"pytest {what}", venv / "bin/python", "-m", "pytest", "-q", "-p",
                  "no:cacheprovider", "--basetemp", venv / "pytest-tmp", ROOT / "tests/python",
                  cwd=venv, env=env)
    if "mypy" in packages:
        run(f"stubtest {what}", venv / "bin/python", "-m", "mypy.stubtest", *MODULES, cwd=venv,
            env=env)
    return f"{summary.strip().splitlines()[-1]}; {imported.strip()}"


def main() -> None:
    work, python = Path(sys.argv[1]).resolve(), sys.argv[2]
    shutil.rmtree(work, ignore_errors=True)
    run("wheel", sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--wheel-dir", work,
        sdist(work))
    (wheel,) = work.glob("*.whl")
    contents(wheel, sysconfig.get_config_var("EXT_SUFFIX"))
    test(python, wheel, work / "venv", ["pytest", "hypothesis", "mypy"])


if __name__ == "__main__":
    main()
