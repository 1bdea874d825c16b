#!/usr/bin/env python3
"""Mutation testing of the C++ sources: `make mutants` runs this.

A seeded sample of the mutants that universalmutator's C++ rules make of each file is written, one
at a time, into a copy of the tree (an interrupted run leaves the sources untouched), built
incrementally without link-time optimisation and tested by the fast tests most likely to fail
first: the GoogleTest binaries, pytest -x, then a bounded allocation-failure sweep
(faults/sweep.py), the one test of the paths only a failed allocation takes. A mutant is killed
when it builds and a test fails, crashes or times out; it survives when every test passes.

Equivalents are reported apart and left out of the score: mutants whose object files are all the
original's, and survivors listed in tools/mutants-equivalent.txt, matched by file and lines
(whitespace aside; `*` for any replacement), never by line number, so that edits elsewhere keep
them valid; an entry that matches no lines of its file stops the run. The build lock is held per
mutant, so other builds interleave with a long run.
"""

from __future__ import annotations

import argparse
import contextlib
import difflib
import fcntl
import hashlib
import json
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RULES = ROOT / "tools/mutants.rules"
# The codec is every layer below the binding, whatever folders it lives in.
GROUPS = {
    "python": ["src/python"],
    "codec": sorted(f"src/{d.name}" for d in (ROOT / "src").iterdir()
                    if d.is_dir() and d.name != "python"),
    "all": ["src"],
}
# What the build and tests need of the tree: the tests run from the copy, so that editing them
# does not change a run.
TREE_PARTS = ["CMakeLists.txt", "CMakePresets.json", "pyproject.toml", "src", "tests", "stubs",
              "examples", "faults", "README.md", "docs", "CHANGELOG.md", "CONTRIBUTING.md",
              "SECURITY.md", "LICENSE"]
# Slow or unrelated to the binary: the stress sweep, and mypy on the stub (a -k expression; the
# other tests of test_typing.py hold keldrin's signatures to the stub).
SLOW_TESTS = ["test_stress.py"]
NOT_SLOW_CASES = "not test_mypy_verdict"
# Those that fail soonest for a typical mutant first; the leak sweep (seconds) last.
FIRST_TESTS = ["test_init_codec.py", "test_setters.py", "test_module.py"]
LAST_TESTS = ["test_leaks.py"]
SAME_OBJECTS = "every object file is the original's"


@dataclass
class Mutant:
    file: str  # relative to the root
    line: int  # 1-based, of the first original line replaced
    before: list[str]
    after: list[str]
    text: str = field(repr=False)  # the whole mutated file

    @property
    def ident(self) -> str:
        return hashlib.sha1(f"{self.file}\0{self.line}\0{self.after}".encode()).hexdigest()[:12]


def squash(text: str) -> str:
    return re.sub(r"\s+", " ", text).strip()


def load_equivalents(path: Path) -> list[dict]:
    """The entries of `path` (its header says their format); stops at one whose `from` lines are
    not consecutive lines of its file: the code it was written for has changed."""
    entries: list[dict] = [{}]
    for raw in path.read_text().splitlines():
        key, _, value = (part.strip() for part in raw.partition(":"))
        if raw.startswith("#") or not key:
            continue
        if key == "file":
            entries.append({})
        if key in ("from", "to"):
            entries[-1].setdefault(key, []).append(squash(value))
        else:
            entries[-1][key] = value
    for entry in [e for e in entries if e]:
        missing = {"file", "from", "to", "why"} - entry.keys()
        if missing:
            sys.exit(f"{path}: an entry lacks {', '.join(sorted(missing))}: {entry}")
        source = ROOT / entry["file"]
        text = source.read_text() if source.is_file() else ""
        lines = [squash(line) for line in text.splitlines()]
        n = len(entry["from"])
        if not any(lines[i:i + n] == entry["from"] for i in range(len(lines))):
            sys.exit(f"{path}: no line of {entry['file']} reads {' / '.join(entry['from'])!r} "
                     f"(why: {entry['why']})")
    return [e for e in entries if e]


def equivalent_reason(mutant: Mutant, entries: list[dict], version: tuple) -> str | None:
    before, after = ([squash(line) for line in lines] for lines in (mutant.before, mutant.after))
    for entry in entries:
        if (entry["file"] == mutant.file and entry["from"] == before
                and entry["to"] in (after, ["*"])  # `python: 3.12+` limits an entry
                and version >= tuple(map(int, entry.get("python", "0").rstrip("+").split(".")))):
            return entry["why"]
    return None


def mutate_file(rel: str, pool_dir: Path, mutate: str) -> list[Mutant]:
    """Every mutant universalmutator makes of one file, cached by the file's contents."""
    source = (ROOT / rel).read_text()
    digest = hashlib.sha1(source.encode() + RULES.read_bytes()).hexdigest()[:16]
    cache = pool_dir / (rel.replace("/", "__") + f".{digest}.json")
    if cache.exists():
        raw = json.loads(cache.read_text())
    else:
        with tempfile.TemporaryDirectory() as tmp:
            work = Path(tmp)
            shutil.copy(ROOT / rel, work / Path(rel).name)
            (work / "out").mkdir()
            subprocess.run([mutate, Path(rel).name, "cpp", "--only", str(RULES), "--noCheck",
                            "--mutantDir", "out"],
                           cwd=tmp, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            raw = sorted({p.read_text() for p in (work / "out").iterdir()})
        pool_dir.mkdir(parents=True, exist_ok=True)
        cache.write_text(json.dumps(raw))
    old = source.splitlines()
    mutants = []
    for text in raw:
        new = text.splitlines()
        ops = [op for op in difflib.SequenceMatcher(None, old, new, autojunk=False).get_opcodes()
               if op[0] != "equal"]
        if not ops:
            continue
        i1, j1, i2, j2 = ops[0][1], ops[0][3], ops[-1][2], ops[-1][4]
        if i1 == i2:  # a pure insertion: shown as a change of the line before it
            i1, j1 = max(i1 - 1, 0), max(j1 - 1, 0)
        mutants.append(Mutant(rel, i1 + 1, old[i1:i2], new[j1:j2], text))
    mutants.sort(key=lambda m: (m.line, m.after))
    return mutants


def sources(paths: list[str]) -> list[str]:
    """The C++ files among `paths` and under those that are folders."""
    found = [f for p in map(ROOT.joinpath, paths) for f in [p, *sorted(p.rglob("*"))]]
    return [str(p.relative_to(ROOT)) for p in found if p.suffix in (".cpp", ".h") and p.is_file()]


def sync_tree(tree: Path) -> None:
    """Brings the copy up to date (undoing a mutant an interrupted run left), rewriting only files
    whose contents differ so that the build stays incremental."""
    wanted = set()
    for part in TREE_PARTS:
        src = ROOT / part
        paths = [src] if src.is_file() else [p for p in src.rglob("*") if p.is_file()]
        for path in paths:
            if "__pycache__" in path.parts:
                continue
            rel = path.relative_to(ROOT)
            wanted.add(rel)
            dest = tree / rel
            if not dest.exists() or dest.read_bytes() != path.read_bytes():
                dest.parent.mkdir(parents=True, exist_ok=True)
                # A fresh modification time, or the build would keep the objects of a mutant
                # that an interrupted run left newer than the restored source.
                shutil.copyfile(path, dest)
    for path in [p for p in tree.rglob("*") if p.is_file()]:
        if path.relative_to(tree) not in wanted:
            path.unlink()


@contextlib.contextmanager
def lock(path: str):
    """The machine-wide build lock (none for an empty path)."""
    with open(path or os.devnull, "a") as held:
        if path:
            fcntl.flock(held, fcntl.LOCK_EX)
        yield


def run(cmd: list[str], timeout: float | None = None, **kw) -> subprocess.CompletedProcess:
    try:  # errors="replace": a crashing mutant can print any bytes
        return subprocess.run(cmd, capture_output=True, text=True, errors="replace",
                              timeout=timeout, **kw)
    except subprocess.TimeoutExpired as e:  # its output is bytes, whatever `text` asked
        return subprocess.CompletedProcess(cmd, -999, (e.stdout or b"").decode(errors="replace"),
                                           "timed out")


class Runner:
    def __init__(self, args):
        self.lock, self.python = args.lock, args.python
        self.work = Path(args.work).resolve()
        self.tree, self.build, self.applied = (self.work / n for n in ("tree", "build", "applied"))
        self.ninja = str(Path(args.python).parent / "ninja")
        self.timeout = 60.0
        self.objects: dict[str, str] | None = None  # the original's, once the baseline is built
        self.failure_output = ""  # the end of what the last failing test printed

    def configure(self) -> None:
        sync_tree(self.tree)
        # A stopped run's mutant: its objects are newer than the file restored.
        if self.applied.exists():
            (self.tree / self.applied.read_text()).touch()
            self.applied.unlink()
        # Warnings are errors in the preset, as in the Makefile's builds.
        cmd = [str(Path(self.python).parent / "cmake"), "--preset", "mutants", "-S", str(self.tree),
               "-B", str(self.build), f"-DCMAKE_MAKE_PROGRAM={self.ninja}",
               f"-DPython_EXECUTABLE={self.python}"]
        if shutil.which("ccache"):
            cmd.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        else:
            print("mutants: no ccache (Debian package ccache); every build compiles afresh")
        with lock(self.lock):
            proc = run(cmd)
        if proc.returncode != 0:
            sys.exit(f"mutants: configure failed\n{proc.stdout}\n{proc.stderr}")

    def test_commands(self, codec_first: bool) -> list[list[str]]:
        def gtest(name: str, *flags: str) -> list[str]:
            return [str(self.build / f"tests/cpp/keldrin_{name}_tests"), "--gtest_brief=1", *flags]

        codec, binding = gtest("codec", "--gtest_fail_fast"), gtest("binding", "--gtest_fail_fast")
        runtime = gtest("runtime")  # its own process, as it finalises the interpreter
        tests = self.tree / "tests/python"
        order = ([tests / name for name in FIRST_TESTS]
                 + [p for p in sorted(tests.glob("test_*.py"))
                    if p.name not in FIRST_TESTS + LAST_TESTS + SLOW_TESTS]
                 + [tests / name for name in LAST_TESTS])
        pytest = [self.python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                  "-p", "no:randomly", "-k", NOT_SLOW_CASES, *map(str, order)]
        # Last, about ten seconds, paid only by mutants that pass everything else.
        sweep = [self.python, str(self.tree / "faults/sweep.py"), "--bounded",
                 "--shim", str(self.build / "faults/libkeldrin_faultshim.so")]
        fast = [binding, runtime, pytest]
        return ([codec, *fast] if codec_first else [*fast, codec]) + [sweep]

    def object_digests(self) -> dict[str, str]:
        return {str(p): hashlib.sha1(p.read_bytes()).hexdigest() for p in self.build.rglob("*.o")}

    def build_and_test(self, codec_first: bool) -> tuple[str, str]:
        """'nocompile', 'equivalent', 'killed' or 'survived', with what decided it."""
        build = run([self.ninja, "-C", str(self.build)], timeout=600)
        if build.returncode != 0:
            return "nocompile", (build.stdout + build.stderr)[-2000:]
        if self.objects is not None and self.object_digests() == self.objects:
            return "equivalent", SAME_OBJECTS
        modules = list((self.build / "src").glob("libkeldrin*.so"))
        if len(modules) != 1:
            sys.exit(f"mutants: expected one built module in {self.build / 'src'}, found {modules}")
        env = {**os.environ, "PYTHONPATH": str(modules[0].parent), "PYTHONDONTWRITEBYTECODE": "1"}
        for cmd in self.test_commands(codec_first):
            proc = run(cmd, timeout=self.timeout, env=env, cwd=str(self.tree))
            if proc.returncode != 0:
                # The program, or for a Python script (the sweep) the script.
                name = "pytest" if "pytest" in cmd else Path(
                    cmd[1] if cmd[0] == self.python else cmd[0]).name
                why = "timed out" if proc.returncode == -999 else f"exit {proc.returncode}"
                self.failure_output = (proc.stdout + proc.stderr)[-3000:]
                return "killed", f"{name}: {why}"
        return "survived", ""

    def baseline(self) -> None:
        start = time.monotonic()
        with lock(self.lock):
            status, detail = self.build_and_test(codec_first=True)
        if status != "survived":
            sys.exit(f"mutants: the unmutated tree does not pass its tests ({status})\n{detail}\n"
                     f"{self.failure_output}")
        self.objects = self.object_digests()
        # Generous: a mutant that loops forever is killed by the timeout, not waited out.
        self.timeout = max(60.0, 10 * (time.monotonic() - start))

    def test_mutant(self, mutant: Mutant) -> tuple[str, str]:
        target, original = self.tree / mutant.file, (ROOT / mutant.file).read_text()
        self.applied.write_text(mutant.file)
        try:
            target.write_text(mutant.text)
            with lock(self.lock):
                return self.build_and_test(codec_first=not mutant.file.startswith("src/python"))
        finally:
            target.write_text(original)
            self.applied.unlink()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add = parser.add_argument
    add("--python", required=True, help="the venv's interpreter")
    add("--group", default="all", help=f"one of {', '.join(GROUPS)}, or paths")
    add("--mutants", type=int, default=150)
    add("--seed", type=int, default=13)
    add("--work", default=str(ROOT / "build/mutants"))
    add("--lock", default="/tmp/keldrin-build.lock",
        help="flock(2) file taken per mutant; empty for none")
    add("--equivalents", default=str(ROOT / "tools/mutants-equivalent.txt"))
    add("--rerun", action="store_true", help="test again the survivors (not listed as equivalent) "
        "of this seed's last results, keeping the other verdicts (after tests got stronger)")
    add("--resume", action="store_true",
        help="test the mutants of the sample that the last results lack")
    add("--report", action="store_true",
        help="only print the last results again, with the current equivalents")
    args = parser.parse_args()

    dirs = GROUPS.get(args.group, args.group.split())
    mutate, work = str(Path(args.python).parent / "mutate"), Path(args.work).resolve()
    pool = [m for rel in sources(dirs) for m in mutate_file(rel, work / "pool", mutate)]
    sample = random.Random(args.seed).sample(pool, min(args.mutants, len(pool)))
    equivalents = load_equivalents(Path(args.equivalents))
    version = tuple(map(int, subprocess.run(
        [args.python, "-c", "import sys; print(*sys.version_info[:2])"],
        capture_output=True, text=True, check=True).stdout.split()))
    out = work / f"results-{args.group.replace('/', '_').replace(' ', '+')}-{args.seed}.json"
    earlier = {}
    if args.rerun or args.resume or args.report:
        if not out.exists():
            sys.exit(f"no earlier results for this group and seed ({out}): run without "
                     "--rerun, --resume or --report first")
        earlier = {r["id"]: r for r in json.loads(out.read_text())}
    by_id = {m.ident: m for m in sample}

    def judged() -> list[dict]:
        """The results, survivors and equivalents judged again by the current list."""
        for r in earlier.values():
            if (r["status"] in ("survived", "equivalent") and r["id"] in by_id
                    and r["detail"] != SAME_OBJECTS):
                reason = equivalent_reason(by_id[r["id"]], equivalents, version)
                r["status"], r["detail"] = ("equivalent", reason) if reason else ("survived", "")
        return list(earlier.values())

    if args.report:
        return report(judged(), 0.0, dirs)

    def wanted(m: Mutant) -> bool:
        status = earlier.get(m.ident, {}).get("status")
        if status is None:
            return not args.rerun or args.resume
        return (args.rerun and status == "survived"
                and not equivalent_reason(m, equivalents, version))
    # Mutants of one file in a row: the build recompiles the least between them.
    order = sorted(filter(wanted, sample), key=lambda m: (m.file, m.line))
    print(f"mutants: {len(pool)} made from {len(sources(dirs))} files under {' '.join(dirs)}; "
          f"seed {args.seed} picks {len(order)}", flush=True)

    runner = Runner(args)
    runner.configure()
    runner.baseline()
    print(f"mutants: the unmutated tree passes; test timeout {runner.timeout:.0f} s", flush=True)
    started = time.monotonic()
    for n, mutant in enumerate(order, 1):
        t0 = time.monotonic()
        status, detail = runner.test_mutant(mutant)
        reason = status == "survived" and equivalent_reason(mutant, equivalents, version)
        if reason:
            status, detail = "equivalent", reason
        earlier[mutant.ident] = {"id": mutant.ident, "file": mutant.file, "line": mutant.line,
                                 "before": mutant.before, "after": mutant.after,
                                 "status": status, "detail": detail}
        print(f"[{n}/{len(order)}] {status:10} {mutant.file}:{mutant.line} {mutant.ident} "
              f"({time.monotonic() - t0:.1f} s)", flush=True)
        out.write_text(json.dumps(list(earlier.values()), indent=1))  # readable during the run
    sync_tree(runner.tree)
    report(judged(), time.monotonic() - started, dirs, len(order))
    print(f"mutants: results in {out}")


def report(results: list[dict], seconds: float, dirs: list[str], tested: int = 0) -> None:
    def count(rows, status):
        return sum(r["status"] == status for r in rows)

    print()
    for r in results:
        if r["status"] == "survived":
            print(f"SURVIVED {r['file']}:{r['line']} ({r['id']})")
            print("\n".join([f"  -{x}" for x in r["before"]] + [f"  +{x}" for x in r["after"]]))
    equivalent = [r for r in results if r["status"] == "equivalent"]
    if equivalent:
        print()
        for r in equivalent:
            print(f"equivalent {r['file']}:{r['line']}: {r['detail']}")
    print()
    groups = {name: paths for name, paths in GROUPS.items() if name != "all"}
    for name, paths in [("total", dirs)] + list(groups.items()):
        rows = [r for r in results
                if any(r["file"] == p or r["file"].startswith(p + "/") for p in paths)]
        # A group's row only where it differs from the total's.
        if not rows or (name != "total" and len(rows) == len(results) and paths == dirs):
            continue
        killed, survived = count(rows, "killed"), count(rows, "survived")
        scored = killed + survived
        score = f"{100 * killed / scored:.1f}%" if scored else "n/a"
        print(f"{name:6}: {len(rows)} mutants: {killed} killed, {survived} survived, "
              f"{count(rows, 'equivalent')} equivalent, {count(rows, 'nocompile')} did not compile; "
              f"score {score} ({killed}/{scored})")
    if tested:
        print(f"time: {seconds / 60:.1f} min for {tested} mutants, {seconds / tested:.1f} s a mutant")


if __name__ == "__main__":
    main()
