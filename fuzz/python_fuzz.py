#!/usr/bin/env python3
"""Fuzzes the Python surface of libkeldrin with the property tests of the suite: byte 0 of each
input picks a property of tests/python/test_init_properties.py (awkward buffs for wire_decode,
awkward values for assignments), hypothesis reads the rest as the choices that build its case, and
the property's oracle judges the outcome. A failed check raises, which the fuzzer reports as a
crash.

    python fuzz/python_fuzz.py -max_total_time=60 WORK_CORPUS SEED_CORPUS   # under atheris
    python fuzz/python_fuzz.py --random -max_total_time=60 SEED_CORPUS      # without it

Without atheris installed (or with --random) the properties run over random inputs and mutations
of the seeds for the given time, and every Init made along the way must be released.
"""

import contextlib
import gc
import os
import pathlib
import random
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))

try:
    import atheris
except ImportError:
    atheris = None

RANDOM = atheris is None or "--random" in sys.argv
with contextlib.nullcontext() if RANDOM else atheris.instrument_imports(
        include=["model", "strategies", "test_init_properties"]):
    import test_init_properties as properties
from libkeldrin import Init

PROPERTIES = [properties.test_decode_of_any_buff_agrees_with_the_model,
              properties.test_assignment_converts_or_fails_as_documented]


def test_one_input(data: bytes) -> None:
    if data:
        PROPERTIES[data[0] % len(PROPERTIES)].hypothesis.fuzz_one_input(data[1:])


def random_inputs(seed_dirs: list[str], seconds: float) -> int:
    """Random bytes and mutated seeds for `seconds`; returns the number of inputs run."""
    rng = random.Random(int.from_bytes(os.urandom(8), "big"))
    seeds = [p.read_bytes() for d in seed_dirs for p in sorted(pathlib.Path(d).glob("*"))
             if p.is_file()] or [b""]
    runs, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        for _ in range(100):
            data = bytearray(rng.choice(seeds) if rng.random() < 0.5
                             else rng.randbytes(rng.randrange(256)))
            for _ in range(rng.randrange(4)):
                if data and rng.random() < 0.5:
                    data[rng.randrange(len(data))] = rng.randrange(256)
                elif rng.random() < 0.5:
                    data[rng.randrange(len(data) + 1):0] = rng.randbytes(rng.randrange(1, 9))
                else:
                    del data[rng.randrange(len(data) + 1):]
            test_one_input(bytes(data))
            runs += 1
    return runs


def main(argv: list[str]) -> None:
    if not RANDOM:
        atheris.Setup(argv, test_one_input)
        atheris.Fuzz()
    seconds = next((float(a.split("=", 1)[1]) for a in argv
                    if a.startswith("-max_total_time=")), 60)
    dirs = [a for a in argv[1:] if not a.startswith("-")]
    gc.collect()
    instances = sys.getrefcount(Init)
    runs = random_inputs(dirs, seconds)
    gc.collect()
    # Every Init made along the way holds a reference to its class until it is released.
    leaked = sys.getrefcount(Init) - instances
    assert leaked == 0, f"{leaked} Init objects were never released"
    print(f"python_fuzz: random mode, {runs} inputs in {seconds:g} s, no failure, no leak")


if __name__ == "__main__":
    main(sys.argv)
