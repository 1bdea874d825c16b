"""Repeating any call many times, successful or failing, leaks nothing.

Each case runs one operation for up to 10^5 cycles after a warm-up and then requires: the
reference counts of the classes (each instance holds one on its class) and of the arguments
unchanged, Python's allocated blocks flat, and the process's resident memory grown by less than
1 MiB, which is what catches lost C++ vectors. Under AddressSanitizer the memory figures are
meaningless (freed memory sits in quarantine, and Python allocates through malloc), so only the
reference counts are checked there.
"""

import gc
import os
import sys
import time

import pytest

import libkeldrin
from libkeldrin import Error, Init, Ping, Pong, Warning
from support import BORROWED, FREE_THREADED, Index, hidden_classes

with open("/proc/self/maps") as maps:
    SANITIZED = any("asan" in line for line in maps)

MAX_CYCLES = 100_000
MIN_CYCLES = 2_000
WARMUP = 1_000
BUDGET_SECONDS = 0.1
ALLOWED_RSS_GROWTH = 1 << 20
# A few blocks come and go with the interpreter's own caches; a leak of one object per call
# would show up as thousands.
ALLOWED_BLOCK_GROWTH = 200
# A debug interpreter counts every reference it holds, so a reference leaked to any object, even
# one that is not watched below, shows there; elsewhere this counts nothing.
total_references = getattr(sys, "gettotalrefcount", lambda: 0)

# A real message with three records (over 500 value bytes), so a lost record shows in memory.
MESSAGE = bytes.fromhex("0010" "0002" "2200" "0003" "0a2800" "0120") + bytes(32) + (
    bytes.fromhex("0307" "01cb0071072607") + bytes.fromhex("fd0100fd0200") + bytes(512))
MESSAGE_LIST = list(MESSAGE)
MESSAGE_WIRE = Init().wire_decode(MESSAGE).wire()
SHORT = bytes.fromhex("001000020a")
NON_CANONICAL = MESSAGE + bytes.fromhex("01fd0001aa")
OUT_OF_RANGE = [0, 16, 0, 0, 0, 256]
NOT_AN_INT = [0, 16, 0, 0, 0, "0"]


class Iterated:
    """A sequence read through its iterator, whose length is a lie."""

    def __init__(self, data, fail_at=None):
        self.data, self.fail_at = data, fail_at

    def __len__(self):
        return 3

    def __getitem__(self, index):
        return self.data[index]

    def __iter__(self):
        for i, b in enumerate(self.data):
            if i == self.fail_at:
                raise KeyError("stop")
            yield b


class AssignsWhileRead:
    """A sequence whose iteration assigns to the Init reading it: always refused."""

    def __init__(self, message, let_out):
        self.message, self.let_out = message, let_out

    def __len__(self):
        return 6

    def __getitem__(self, index):
        return [0, 16, 0, 0, 0, 0][index]

    def __iter__(self):
        try:
            self.message.ty = 1
        except RuntimeError:
            if self.let_out:
                raise
        yield from [0, 16, 0, 0, 0, 0]


def raises(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{call} did not raise {exc_type.__name__}")


def assign(target, name, value):
    setattr(target, name, value)


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


M = Init()
SEQ_RAISING = Iterated(MESSAGE, fail_at=20)
SEQ_LYING = Iterated(MESSAGE)
ASSIGNS_QUIETLY = AssignsWhileRead(M, let_out=False)
ASSIGNS_LOUDLY = AssignsWhileRead(M, let_out=True)
INDEX = Index(7)
HUGE = 2**64

# (name, operation); every failing one names the exception it must raise.
CASES = [
    ("Init()", lambda: Init()),
    ("wire", lambda: M.wire()),
    ("decode bytes", lambda: M.wire_decode(MESSAGE)),
    ("decode bytearray", lambda: M.wire_decode(bytearray(MESSAGE))),
    ("decode list", lambda: M.wire_decode(MESSAGE_LIST)),
    ("decode by keyword", lambda: M.wire_decode(buff=MESSAGE)),
    ("decode lying sequence", lambda: M.wire_decode(SEQ_LYING)),
    ("decode then wire", lambda: M.wire_decode(MESSAGE).wire()),
    ("decode short", lambda: raises(OSError, M.wire_decode, SHORT)),
    ("decode non-canonical", lambda: raises(OSError, M.wire_decode, NON_CANONICAL)),
    ("decode str", lambda: raises(TypeError, M.wire_decode, "0010")),
    ("decode None", lambda: raises(TypeError, M.wire_decode, None)),
    ("decode item out of range", lambda: raises(OverflowError, M.wire_decode, OUT_OF_RANGE)),
    ("decode item not an int", lambda: raises(TypeError, M.wire_decode, NOT_AN_INT)),
    ("decode iteration raises", lambda: raises(KeyError, M.wire_decode, SEQ_RAISING)),
    ("decode without argument", lambda: raises(TypeError, M.wire_decode)),
    ("decode two arguments", lambda: raises(TypeError, M.wire_decode, MESSAGE, buff=MESSAGE)),
    ("decode unknown keyword", lambda: raises(TypeError, M.wire_decode, data=MESSAGE)),
    ("Init(1)", lambda: raises(TypeError, Init, 1)),
    ("Init(x=1)", lambda: raises(TypeError, Init, x=1)),
    ("Error()", lambda: raises(TypeError, Error)),
    ("assign ty", lambda: assign(M, "ty", 5)),
    ("assign ty __index__", lambda: assign(M, "ty", INDEX)),
    ("assign ty out of range", lambda: raises(OverflowError, assign, M, "ty", 65536)),
    ("assign ty too large for C", lambda: raises(OverflowError, assign, M, "ty", HUGE)),
    ("assign ty not an int", lambda: raises(TypeError, assign, M, "ty", "5")),
    ("assign features", lambda: raises(TypeError, assign, M, "features", MESSAGE)),
    ("assign init_tlvs", lambda: raises(TypeError, assign, M, "init_tlvs", MESSAGE_LIST)),
    ("delete ty", lambda: raises(AttributeError, delattr, M, "ty")),
    ("read ty", lambda: raises(AttributeError, getattr, M, "ty")),
    ("borrow conflict kept inside", lambda: M.wire_decode(ASSIGNS_QUIETLY)),
    ("borrow conflict let out", lambda: raises(RuntimeError, M.wire_decode, ASSIGNS_LOUDLY)),
]

ARGUMENTS = [MESSAGE, MESSAGE_LIST, SHORT, NON_CANONICAL, OUT_OF_RANGE, NOT_AN_INT, SEQ_RAISING,
             SEQ_LYING, ASSIGNS_QUIETLY, ASSIGNS_LOUDLY, INDEX, HUGE, M]


def reference_counts():
    # A free-threaded build counts a class's references from its instances per thread and adds
    # them to what sys.getrefcount says only at times of its own choosing, so the classes are
    # watched there by test_module's check, which runs its instances on a thread of their own.
    classes = [] if FREE_THREADED else [Init, Error, Ping, Pong, Warning, *hidden_classes()]
    # Small ints that wire() lists and nothing else here uses: where they are not immortal
    # (3.11), each item holds a reference of its own, which the list gives back when it is freed.
    return [sys.getrefcount(obj) for obj in [*classes, *ARGUMENTS, 0x22, 0xcb, 0xfd]]


@pytest.mark.parametrize("operation", [op for _, op in CASES], ids=[name for name, _ in CASES])
def test_repeating_leaks_nothing(operation):
    start = time.perf_counter()
    for _ in range(WARMUP):
        operation()
    per_call = (time.perf_counter() - start) / WARMUP
    cycles = max(MIN_CYCLES, min(MAX_CYCLES, int(BUDGET_SECONDS / per_call)))
    gc.collect()
    counts, blocks, memory = reference_counts(), sys.getallocatedblocks(), rss()
    references = total_references()

    for _ in range(cycles):
        operation()

    gc.collect()
    assert reference_counts() == counts
    assert total_references() - references < ALLOWED_BLOCK_GROWTH, f"{cycles} cycles"
    if not SANITIZED:
        assert sys.getallocatedblocks() - blocks < ALLOWED_BLOCK_GROWTH, f"{cycles} cycles"
        assert rss() - memory < ALLOWED_RSS_GROWTH, f"{cycles} cycles"


def test_cases_really_do_what_they_say():
    # The cases above only show no leak if they run the paths they name.
    assert M.wire_decode(MESSAGE).wire() == list(MESSAGE) == MESSAGE_WIRE
    assert M.wire_decode(SEQ_LYING).wire() == MESSAGE_WIRE
    assert len(MESSAGE_WIRE) > 500
    with pytest.raises(OSError, match="not canonical"):
        M.wire_decode(NON_CANONICAL)
    with pytest.raises(RuntimeError, match=BORROWED):
        M.wire_decode(ASSIGNS_LOUDLY)
    with pytest.raises(OverflowError, match="Python int too large"):
        M.ty = HUGE
    # The type check of init_tlvs made the hidden Stream class, whose count is watched too.
    with pytest.raises(TypeError):
        M.init_tlvs = []
    assert [c.__name__ for c in hidden_classes()].count("Stream") == 1
