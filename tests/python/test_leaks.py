"""Repeating any call many times, successful or failing, leaks nothing.

Each case runs one operation for up to 10^5 cycles after a warm-up and then requires: the
reference counts of the classes (each instance holds one on its class) and of the arguments
unchanged, Python's allocated blocks flat, and the process's resident memory grown by less than
1 MiB, which is what catches lost C++ vectors. Under AddressSanitizer the memory figures are
meaningless (freed memory sits in quarantine, and Python allocates through malloc), so only the
reference counts are checked there.
"""

import array
import contextlib
import copy
import gc
import os
import pickle
import sys
import time

import pytest

import keldrin
import libkeldrin
from libkeldrin import Error, Init, Ping, Pong, Warning
from support import BORROWED, FREE_THREADED, HookSeq, Index, Seq, hidden_classes, keldrin_samples

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


class Iterated(Seq):
    """A sequence read through its iterator, whose length is a lie."""

    def __init__(self, items, fail_at=None):
        super().__init__(items)
        self.fail_at = fail_at

    def __len__(self):
        return 3

    def __iter__(self):
        for i, b in enumerate(self.items):
            if i == self.fail_at:
                raise KeyError("stop")
            yield b


def assign_quietly():
    with contextlib.suppress(RuntimeError):
        M.ty = 1


def raises(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{call} did not raise {exc_type.__name__}")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


M = Init()
SEQ_RAISING = Iterated(MESSAGE, fail_at=20)
SEQ_LYING = Iterated(MESSAGE)
# Sequences whose iteration assigns to M, the Init reading them: always refused.
ASSIGNS_QUIETLY = HookSeq([0, 16, 0, 0, 0, 0], assign_quietly)
ASSIGNS_LOUDLY = HookSeq([0, 16, 0, 0, 0, 0], lambda: setattr(M, "ty", 1))
INDEX = Index(7)
# Lists whose items convert through __index__: a decode keeps no reference to them or to the item.
ZERO = Index(0)
INDEXED, INDEXED_SHORT = [0, 16, 0, 0, 0, ZERO, 1, 0], [0, 16, ZERO]
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
    ("decode __index__ items", lambda: M.wire_decode(INDEXED)),
    ("decode __index__ items, short", lambda: raises(OSError, M.wire_decode, INDEXED_SHORT)),
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
    ("assign ty", lambda: setattr(M, "ty", 5)),
    ("assign ty __index__", lambda: setattr(M, "ty", INDEX)),
    ("assign ty out of range", lambda: raises(OverflowError, setattr, M, "ty", 65536)),
    ("assign ty too large for C", lambda: raises(OverflowError, setattr, M, "ty", HUGE)),
    ("assign ty not an int", lambda: raises(TypeError, setattr, M, "ty", "5")),
    ("assign features", lambda: raises(TypeError, setattr, M, "features", MESSAGE)),
    ("assign init_tlvs", lambda: raises(TypeError, setattr, M, "init_tlvs", MESSAGE_LIST)),
    ("delete ty", lambda: raises(AttributeError, delattr, M, "ty")),
    ("read ty", lambda: raises(AttributeError, getattr, M, "ty")),
    ("borrow conflict kept inside", lambda: M.wire_decode(ASSIGNS_QUIETLY)),
    ("borrow conflict let out", lambda: raises(RuntimeError, M.wire_decode, ASSIGNS_LOUDLY)),
]

# keldrin: a message of each class with over 500 bytes of records, its encoding, and strict
# decodes that fail, one for each rule, with a part of the text that names the rule and whether
# a lenient decode waives it.
SAMPLES = keldrin_samples(3, 200)
WIRES = [m.encode() for m in SAMPLES]
SPREAD_WIRE = bytes(x for byte in WIRES[0] for x in (byte, 0xEE))
K_INIT, K_PING = SAMPLES[0], SAMPLES[3]
REFUSED = [
    ("fields short", keldrin, "00100002aa", "2 bytes needed", False),
    ("record short", keldrin, "0010000000000105aabb", "5 bytes needed", False),
    ("not minimal", keldrin, "00100000000001fd0001aa", "not minimally", False),
    ("record length", keldrin, "0010000000000105" + "00" * 5, "not a multiple of 32", False),
    ("wrong type", keldrin.Init, WIRES[3].hex(), "expected 16, got 18", False),
    ("not increasing", keldrin, "00100000000003000100", "strictly increase", True),
    ("unknown even record", keldrin, MESSAGE.hex(), "256 is even", True),
    ("unknown even message", keldrin, "0020", "32 is even", True),
    ("too long", keldrin.Unknown, "0021" + "00" * 65534, "65536 bytes", True),
]
NOT_INCREASING = [(3, b""), (1, b"")]
replace = getattr(copy, "replace", lambda obj, **fields: obj.__replace__(**fields))


def emptied_while_read():
    """Init(tlvs=records), where reading the first record's type empties the list of records."""
    records = [None, (3, bytes(100))]
    records[0] = (Index(1, records.clear), bytes(64))
    return keldrin.Init(tlvs=records)


def decode_hex(decoder, data, strict, waived):
    """Decodes hex `data`: DecodeError, unless lenient and the rule it breaks is waived."""
    if strict or not waived:
        return raises(keldrin.DecodeError, decoder.decode, bytes.fromhex(data), strict=strict)
    return decoder.decode(bytes.fromhex(data), strict=False)


CASES += [(f"decode {type(m).__name__}", lambda w=w: keldrin.decode(w))
          for m, w in zip(SAMPLES, WIRES)]
CASES += [(f"{type(m).__name__}.decode lenient", lambda m=m, w=w: type(m).decode(w, strict=False))
          for m, w in zip(SAMPLES, WIRES)]
CASES += [(f"{'strict' if strict else 'lenient'} {name}",
           lambda d=decoder, h=data, s=strict, w=waived: decode_hex(d, h, s, w))
          for name, decoder, data, _, waived in REFUSED for strict in (True, False)]
CASES += [
    ("keldrin decode memoryview", lambda: keldrin.decode(memoryview(WIRES[0]))),
    ("keldrin decode bytearray", lambda: keldrin.decode(bytearray(WIRES[0]))),
    # Read through a strided buffer request, whose view must be released.
    ("keldrin decode strided", lambda: keldrin.decode(memoryview(SPREAD_WIRE)[::2])),
    ("keldrin decode refused", lambda: (raises(TypeError, keldrin.decode, WIRES[0].hex()),
                                        raises(TypeError, keldrin.decode, WIRES[0], x=1))),
    ("keldrin constructors", lambda: [type(m)(*map(m.__getattribute__, m.__match_args__))
                                      for m in SAMPLES]),
    ("Ping(Index)", lambda: keldrin.Ping(INDEX)),
    ("Init tlvs not increasing", lambda: raises(ValueError, keldrin.Init, tlvs=NOT_INCREASING)),
    ("Init networks length", lambda: raises(ValueError, keldrin.Init, tlvs=[(1, bytes(5))])),
    ("Init tlvs emptied while read", emptied_while_read),
    ("Init tlvs item", lambda: raises(TypeError, keldrin.Init, tlvs=[(1, b""), 2])),
    ("Init tlvs type", lambda: raises(ValueError, keldrin.Init, tlvs=[(HUGE, b"")])),
    ("Init unknown keyword", lambda: raises(TypeError, keldrin.Init, x=1)),
    ("Error channel_id", lambda: raises(ValueError, keldrin.Error, bytes(31))),
    ("Error too long", lambda: raises(ValueError, keldrin.Error, data=bytes(65535))),
    ("Ping num_pong_bytes", lambda: raises(ValueError, keldrin.Ping, 65536)),
    ("PeerStorage blob", lambda: raises(ValueError, keldrin.PeerStorage, bytes(65532))),
    ("Unknown known type", lambda: raises(ValueError, keldrin.Unknown, 16)),
    ("Unknown()", lambda: raises(TypeError, keldrin.Unknown)),
    ("fields", lambda: [getattr(m, f) for m in SAMPLES for f in m.__match_args__]),
    ("tlvs first read", lambda: [keldrin.decode(w).tlvs for w in WIRES[:-1]]),
    ("Init derived", lambda: (K_INIT.networks, K_INIT.remote_addr, K_INIT.feature_bits,
                              keldrin.Init().networks, keldrin.Init().remote_addr)),
    ("pong", lambda: (K_PING.pong(), keldrin.Ping(65532).pong())),
    ("repr", lambda: [repr(m) for m in SAMPLES]),
    ("hash first use", lambda: [hash(keldrin.decode(w)) for w in WIRES]),
    ("equality", lambda: [m == keldrin.decode(w) != m for m, w in zip(SAMPLES, WIRES)]),
    ("encode and bytes", lambda: [(m.encode(), bytes(m)) for m in SAMPLES]),
    ("pickle and copy", lambda: [(pickle.loads(pickle.dumps(m)), copy.deepcopy(m)) for m in SAMPLES]),
    ("replace", lambda: replace(K_INIT, features=b"\x01", tlvs=[(1, bytes(32))])),
    ("replace refused", lambda: raises(ValueError, replace, K_INIT, tlvs=NOT_INCREASING)),
    ("Record", lambda: keldrin.Record(HUGE - 1, bytearray(300))),
    ("Record refused", lambda: (raises(ValueError, keldrin.Record, HUGE, b""),
                                raises(TypeError, keldrin.Record, 1, "x"))),
    ("Record pickle", lambda: pickle.loads(pickle.dumps(K_INIT.tlvs))),
    ("encode_bigsize", lambda: [keldrin.encode_bigsize(n) for n in (0, 253, 2**32, HUGE - 1)]),
    ("encode_bigsize refused", lambda: (raises(ValueError, keldrin.encode_bigsize, HUGE),
                                        raises(TypeError, keldrin.encode_bigsize, "1"))),
    ("decode_bigsize", lambda: keldrin.decode_bigsize(keldrin.encode_bigsize(HUGE - 1))),
    ("decode_bigsize refused", lambda: [raises(keldrin.DecodeError, keldrin.decode_bigsize, data)
                                        for data in (b"\xfd\x00\x01", b"\xfe")]),
    ("encode_tlv_stream", lambda: keldrin.encode_tlv_stream(K_INIT.tlvs)),
    ("encode_tlv_stream refused",
     lambda: raises(ValueError, keldrin.encode_tlv_stream, NOT_INCREASING)),
    # A fresh int each call, which a reference kept to it would keep alive.
    ("decode_tlv_stream", lambda: keldrin.decode_tlv_stream(WIRES[0][10:],
                                                            known=[1, 3, HUGE - 1])),
    ("decode_tlv_stream refused", lambda: (
        raises(keldrin.DecodeError, keldrin.decode_tlv_stream, b"\x02\x00"),
        raises(TypeError, keldrin.decode_tlv_stream, b"", known=5),
        raises(ValueError, keldrin.decode_tlv_stream, b"", known=[-1]))),
]

ARGUMENTS = [MESSAGE, MESSAGE_LIST, SHORT, NON_CANONICAL, OUT_OF_RANGE, NOT_AN_INT, SEQ_RAISING,
             SEQ_LYING, ASSIGNS_QUIETLY, ASSIGNS_LOUDLY, INDEX, ZERO, INDEXED, INDEXED_SHORT, HUGE, M,
             *SAMPLES, *WIRES]
K_CLASSES = [c for c in map(keldrin.__dict__.get, keldrin.__all__) if isinstance(c, type)]


def reference_counts():
    # A free-threaded build counts a class's references from its instances per thread and adds
    # them to what sys.getrefcount says only at times of its own choosing, so the classes are
    # watched there by test_module's check, which runs its instances on a thread of their own.
    classes = [Init, Error, Ping, Pong, Warning, *hidden_classes(), *K_CLASSES]
    classes = [] if FREE_THREADED else classes
    # Small ints that wire() lists and nothing else here uses: where they are not immortal
    # (3.11), each item holds a reference of its own, which the list gives back when it is freed.
    # The counts are kept as C integers: a count kept as an int object equal to one of these
    # would hold a reference to it.
    watched = [*classes, *ARGUMENTS, 0x22, 0xcb, 0xfd]
    return array.array("q", (sys.getrefcount(obj) for obj in watched))


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
    # The records as they were when the constructor began reading them.
    assert emptied_while_read().tlvs == ((1, bytes(64)), (3, bytes(100)))
    # Each strict refusal of keldrin fails by the rule it names; a lenient decode waives those
    # it may.
    for _, decoder, data, text, waived in REFUSED:
        with pytest.raises(keldrin.DecodeError, match=text):
            decoder.decode(bytes.fromhex(data))
        if waived:
            assert decoder.decode(bytes.fromhex(data), strict=False).encode().hex() == data
