#!/usr/bin/env python3
"""Fuzzes the Python surface of libkeldrin with arbitrary bytes and awkward Python objects.

Each input drives one operation on a shared `Init`: `wire_decode` of the bytes in every kind of
container, of lists whose items are odd (bools, int subclasses, `__index__` objects that raise or
call back into the module, out-of-range and non-integer values), of sequences whose `__len__`
lies or raises and whose iteration fails part way, assignments and deletions of attributes, and
misuse of the classes and descriptors. Every outcome is checked against an oracle: a decode
against the tests' reference model (tests/python/model.py), a failure against the exact exception the module
documents. Afterwards the shared `Init` must encode as before and take an assignment (no borrow
is left behind). Any other outcome raises, which the fuzzer reports as a crash.

    python fuzz/python_fuzz.py -max_total_time=60 WORK_CORPUS SEED_CORPUS   # under atheris
    python fuzz/python_fuzz.py --random -max_total_time=60 SEED_CORPUS      # without it

Without atheris installed (or with --random) the same checks run over random inputs and
mutations of the seeds for the given time. The input format: byte 0 chooses the operation, byte
1 its variant, the rest is the message or feeds the object builders.
"""

import gc
import operator
import os
import pathlib
import random
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "python"))

import libkeldrin
import model
from support import (BORROWED, EOF, NOT_CANONICAL, OUT_OF_RANGE, TOO_LARGE, Index, IntSub, Raises,
                     hidden_classes)

Init = libkeldrin.Init


# ---- Awkward objects --------------------------------------------------------------------------

problems: list[str] = []
target: Init  # the shared message every operation works on; set in main()
target_wire: list[int]


class Fault(Exception):
    """Raised by the objects below on purpose; the module must pass it through unchanged."""


class Reenter:
    """An integer whose conversion calls back into the module on the shared `target`.

    `borrowed` says whether the module holds a borrow of `target` while it converts this item
    (inside `wire_decode`) or not (an assignment converts before it borrows)."""

    def __init__(self, value, action, borrowed):
        self.value, self.action, self.borrowed = value, action, borrowed

    def __index__(self):
        try:
            self._act()
        except Exception as error:  # noqa: BLE001 - any surprise is a finding
            problems.append(f"re-entrant action {self.action} raised {error!r}")
        return self.value

    def _act(self):
        if self.action == 0:
            try:
                target.ty = 1
            except RuntimeError as error:
                if not self.borrowed or str(error) != BORROWED:
                    raise
            else:
                if self.borrowed:
                    problems.append("assignment inside wire_decode of the same object succeeded")
        elif self.action == 1:
            if target.wire() != target_wire:
                problems.append("wire() inside a conversion changed")
        elif self.action == 2:
            if target.wire_decode(b"\x00\x10\x00\x00\x00\x00").wire() != [0, 16, 0, 0, 0, 0]:
                problems.append("nested wire_decode gave a wrong message")
        elif self.action == 3:
            # The conversion fails before any borrow is asked for, borrowed or not.
            try:
                target.init_tlvs = []
            except TypeError:
                pass
            else:
                problems.append("init_tlvs took a list")
        else:
            other = Init()
            other.ty = 2
            other.wire_decode(target.wire())


def expected_conversion(item, bound: int, name: str):
    """(value, None) for an item the integer conversion accepts, else (None, (type, text))."""
    prefix = f"argument '{name}': "
    if isinstance(item, Raises):
        exc = item.error
        if type(exc) is TypeError:
            return None, (TypeError, prefix + str(exc))
        return None, (type(exc), str(exc))
    if isinstance(item, (Index, Reenter)):
        value = item.value
    else:
        try:
            value = operator.index(item)
        except TypeError as error:
            return None, (TypeError, prefix + str(error))
    if not -(2**63) <= value < 2**63:
        return None, (OverflowError, TOO_LARGE)
    if not 0 <= value < bound:
        return None, (OverflowError, OUT_OF_RANGE)
    return value, None


class Source:
    """Reads choices off the input bytes; zeros once they run out."""

    def __init__(self, data: bytes):
        self.data, self.pos = data, 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def pick(self, options):
        return options[self.byte() % len(options)]

    def rest(self) -> bytes:
        rest, self.pos = self.data[self.pos:], len(self.data)
        return rest


BIG = [2**63, 2**64, -(2**63) - 1, 2**100]
OUT = [-1, 256, 65536, 2**31, 2**63 - 1, -(2**63)]
NON_INT = [1.5, "a", None, b"x", [], (), object(), 1j]
# Exception classes to raise from Python code the module runs; each raise makes a fresh instance.
RAISES = [KeyError, TypeError, ValueError, Fault, OverflowError]


INVALID_RATES = [0.0, 0.002, 0.02, 0.2, 1.0]


def wrap(value: int, rng: random.Random, invalid_rate: float, borrowed: bool):
    """`value` as some object that converts to it, or, at `invalid_rate`, one that doesn't."""
    if rng.random() < invalid_rate:
        return rng.choice([
            lambda: rng.choice(OUT),
            lambda: rng.choice(NON_INT),
            lambda: Raises(rng.choice(RAISES)("index")),
            lambda: rng.choice(BIG),
        ])()
    kind = rng.randrange(8)
    if kind == 0 and value < 2:
        return bool(value)
    if kind == 1:
        return IntSub(value)
    if kind == 2:
        return Index(value)
    if kind == 3:
        return Reenter(value, rng.randrange(5), borrowed)
    return value


def item_maker(src: Source, borrowed: bool):
    """A wrap() whose choices are seeded from the input, so every input replays exactly."""
    rng = random.Random(src.byte() << 8 | src.byte())
    rate = src.pick(INVALID_RATES)
    return lambda value: wrap(value, rng, rate, borrowed)


class LyingSequence:
    """A sequence whose length is whatever it is told and whose iteration may fail part way."""

    def __init__(self, items, length, fail_at, exc):
        self.items, self.length, self.fail_at, self.exc = items, length, fail_at, exc

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_at:
                raise self.exc
            yield item
        if self.fail_at == len(self.items):
            raise self.exc


class IndexedSequence:
    """A sequence without __iter__: iterated through __getitem__ until IndexError."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


# ---- Operations ---------------------------------------------------------------------------------

def check_decode(buff, events) -> None:
    """Decodes `buff`; `events` are what its iteration yields (items or exceptions), in order."""
    values = []
    expected_error = None
    for event in events:
        if isinstance(event, BaseException):
            text = str(event)
            expected_error = (type(event), "argument 'buff': " + text if type(event) is TypeError else text)
            break
        value, expected_error = expected_conversion(event, 256, "buff")
        if expected_error:
            break
        values.append(value)
    try:
        result = target.wire_decode(buff)
    except OSError as error:
        got = (OSError, error)
    except (TypeError, OverflowError, ValueError, KeyError, Fault, RuntimeError) as error:
        got = (type(error), error)
    else:
        got = None
    if expected_error:
        want_type, want_text = expected_error
        assert got is not None, f"decode of {buff!r} succeeded, expected {expected_error}"
        assert got[0] is want_type, f"{got[1]!r} instead of {expected_error}"
        assert want_text is None or str(got[1]) == want_text, f"{got[1]!r} instead of {want_text!r}"
        return
    expected = model.decode_init(bytes(values))
    if isinstance(expected, tuple):
        assert got is not None and got[0] is OSError, f"{got} instead of {expected!r}"
        assert got[1].args == expected[1] and got[1].errno is None, repr(got[1])
        return
    assert got is None, f"decode of {bytes(values).hex()} raised {got[1]!r}"
    assert type(result) is Init and result is not target
    assert result.wire() == expected, f"{bytes(values).hex()}: {result.wire()} != {expected}"


def op_containers(src: Source) -> None:
    kind = src.byte() % 9
    raw = src.rest()
    containers = [
        bytes, bytearray, list, tuple, memoryview,
        lambda b: type("BytesSub", (bytes,), {})(b),
        lambda b: IndexedSequence(list(b)),
        lambda b: [IntSub(x) for x in b],
        lambda b: tuple(bool(x) if x < 2 else x for x in b),
    ]
    check_decode(containers[kind](raw), list(raw))


def op_awkward_list(src: Source) -> None:
    container = src.pick([list, tuple, IndexedSequence])
    make = item_maker(src, borrowed=True)
    items = [make(b) for b in src.rest()]
    check_decode(container(items), items)


def op_lying_sequence(src: Source) -> None:
    length_choice = src.byte()
    fail_choice = src.byte()
    exc = src.pick(RAISES)("iteration")
    make = item_maker(src, borrowed=True)
    items = [make(b) for b in src.rest()]
    length = [len(items), 0, 2, 2**40, -1, 2**70, ValueError("len"), Fault("len")][length_choice % 8]
    # Half the inputs iterate to the end; the others fail somewhere along the way.
    fail_at = len(items) + 1 if fail_choice >= 128 else fail_choice * (len(items) + 1) // 128
    events = items[:fail_at] + ([exc] if fail_at <= len(items) else [])
    check_decode(LyingSequence(items, length, fail_at, exc), events)


def op_assign(src: Source) -> None:
    name = src.pick(["ty", "globalfeatures", "features", "init_tlvs"])
    if src.byte() % 8 == 0:
        try:
            delattr(target, name)
        except AttributeError as error:
            assert str(error) == "can't delete attribute", repr(error)
        else:
            raise AssertionError(f"deleting {name} succeeded")
        return
    value = item_maker(src, borrowed=False)(src.byte() << 8 | src.byte())
    try:
        setattr(target, name, value)
    except (TypeError, OverflowError, ValueError, KeyError, Fault, RuntimeError) as error:
        got = error
    else:
        got = None
    if name != "ty":
        target_name = "Stream" if name == "init_tlvs" else "BitFlag"
        assert type(got) is TypeError, f"{name} = {value!r}: {got!r}"
        assert str(got) == (f"argument '{name}': '{type(value).__qualname__}' object cannot be "
                            f"converted to '{target_name}'"), str(got)
        return
    _, expected_error = expected_conversion(value, 65536, "ty")
    if expected_error is None:
        assert got is None, f"ty = {value!r} raised {got!r}"
        return
    assert type(got) is expected_error[0], f"ty = {value!r}: {got!r} instead of {expected_error}"
    assert expected_error[1] is None or str(got) == expected_error[1], f"{got!r}"


def expect_type_error(call, text=None) -> None:
    try:
        call()
    except TypeError as error:
        assert text is None or str(error) == text, f"{error!r} instead of {text!r}"
    else:
        raise AssertionError(f"{call} did not raise TypeError")


def op_misuse(src: Source) -> None:
    args = tuple(range(src.byte() % 3))
    which = src.byte() % 10
    raw = src.rest()
    if which == 0:
        plural = "was" if len(args) == 1 else "were"
        expect_type_error(lambda: Init(*args, **({"x": 1} if not args else {})),
                          f"Init.__new__() takes 0 positional arguments but {len(args)} {plural} given"
                          if args else "Init.__new__() got an unexpected keyword argument 'x'")
    elif which == 1:
        expect_type_error(lambda: target.wire_decode(*args, *([raw] if len(args) == 1 else [])))
    elif which == 2:
        expect_type_error(lambda: target.wire_decode(raw, buff=raw),
                          "Init.wire_decode() got multiple values for argument 'buff'")
    elif which == 3:
        expect_type_error(lambda: Init.wire_decode(src.pick([None, object(), raw, 1]), raw))
    elif which == 4:
        expect_type_error(lambda: Init.wire(src.pick([None, object(), raw, Init])))
    elif which == 5:
        expect_type_error(lambda: Init.__dict__["ty"].__set__(src.pick([object(), 1, raw]), 5))
    elif which == 6:
        for cls in hidden_classes():
            expect_type_error(cls, f"No constructor defined for {cls.__name__}")
            expect_type_error(lambda: cls.__new__(cls), f"No constructor defined for {cls.__name__}")
            expect_type_error(lambda: Init.__new__(cls))
            expect_type_error(lambda: setattr(target, "init_tlvs", cls))
    elif which == 7:
        try:
            getattr(target, src.pick(["ty", "features", "init_tlvs", "globalfeatures"]))
        except AttributeError:
            pass
        else:
            raise AssertionError("a write-only attribute was read")
    elif which == 8:
        import pickle
        expect_type_error(lambda: pickle.dumps(target, protocol=len(args) + 2))
    else:
        decoded = target.wire_decode(raw) if model.decode_init(raw) != (OSError, (EOF,)) else None
        if isinstance(decoded, Init):
            again = decoded.wire_decode(decoded.wire())
            assert again.wire() == decoded.wire()


OPERATIONS = [op_containers, op_awkward_list, op_lying_sequence, op_assign, op_misuse]


def test_one_input(data: bytes) -> None:
    src = Source(data)
    op = OPERATIONS[src.byte() % len(OPERATIONS)]
    try:
        op(src)
    except OSError as error:
        if op is not op_misuse or error.args not in ((EOF,), (NOT_CANONICAL,)):
            raise
    # Nothing above may change the shared message or leave it borrowed.
    assert target.wire() == target_wire, "the shared message changed"
    target.ty = 16
    if problems:
        raise AssertionError("; ".join(problems))


# ---- Drivers ---------------------------------------------------------------------------------

def random_inputs(seed_dirs: list[str], seconds: float) -> int:
    """Random bytes and mutated seeds for `seconds`; returns the number of inputs run."""
    rng = random.Random(int.from_bytes(os.urandom(8), "big"))
    seeds = [p.read_bytes() for d in seed_dirs for p in sorted(pathlib.Path(d).glob("*"))
             if p.is_file()] or [b""]
    runs, deadline = 0, time.monotonic() + seconds
    while time.monotonic() < deadline:
        for _ in range(200):
            data = bytearray(rng.choice(seeds)) if rng.random() < 0.7 else bytearray(
                rng.randbytes(rng.randrange(64)))
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
    global target, target_wire
    target = Init().wire_decode(bytes.fromhex("00100001aa000103ab02017e"))
    target_wire = target.wire()
    # Makes the Stream type exist, so the misuse operations can find it.
    try:
        target.init_tlvs = None
    except TypeError:
        pass
    try:
        import atheris
    except ImportError:
        atheris = None
    if atheris is None or "--random" in argv:
        seconds = next((float(a.split("=", 1)[1]) for a in argv if a.startswith("-max_total_time=")), 60)
        dirs = [a for a in argv[1:] if not a.startswith("-")]
        gc.collect()
        instances = sys.getrefcount(Init)
        runs = random_inputs(dirs, seconds)
        gc.collect()
        # Every Init made along the way holds a reference to its class until it is released.
        leaked = sys.getrefcount(Init) - instances
        assert leaked == 0, f"{leaked} Init objects were never released"
        print(f"python_fuzz: random mode, {runs} inputs in {seconds:g} s, no failure, no leak")
        return
    for function in (test_one_input, check_decode, expected_conversion, model.decode_init,
                     wrap, *OPERATIONS):
        atheris.instrument_func(function)
    atheris.Setup(argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main(sys.argv)
