"""Load, concurrency and scale: many threads on shared objects, a 16 MiB message of a million
records, and declared lengths near 2^64."""

import functools
import pickle
import random
import sys
import threading
import time

import pytest

import keldrin
from libkeldrin import Init
from support import BORROWED, EOF, FREE_THREADED, HookSeq, Index, Seq, cannot, keldrin_samples

HEADER = bytes.fromhex("001000000000")
MESSAGE = bytes.fromhex("0010" "0001" "22" "0002" "0a28" "0120") + bytes(range(32)) + bytes.fromhex(
    "0307" "01cb0071072607" "fd0100" "40") + bytes(range(64))
SHORT = bytes.fromhex("0010ffff00")
# What hands the interpreter lock to other threads.
YIELD = functools.partial(time.sleep, 0)


class Yielding(Seq):
    """Hands the interpreter lock to other threads every few items while it is read."""

    def __iter__(self):
        for i, b in enumerate(self.items):
            if i % 16 == 0:
                YIELD()
            yield b


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(interval)


# With the interpreter lock only an assignment can meet a decode in progress on another thread;
# without it a read can also meet an assignment in progress.
READ_REFUSALS = [(RuntimeError, "Already mutably borrowed")] if FREE_THREADED else []


def outcome(call, *args):
    """What the call returns, or the type and text of what it raises."""
    try:
        return call(*args)
    except Exception as error:  # noqa: BLE001 - compared with what is allowed
        return type(error), str(error)


def race(workers, mutate):
    """Runs each worker on a thread of its own, and `mutate` over and over on one more until they
    have all ended."""
    stop = threading.Event()

    def mutator():
        while not stop.is_set():
            mutate()

    threads = [threading.Thread(target=mutator)]
    threads += [threading.Thread(target=worker) for worker in workers]
    for thread in threads:
        thread.start()
    for thread in threads[1:]:
        thread.join(timeout=120)
    stop.set()
    threads[0].join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)


def test_threads_agree_with_a_single_threaded_run(fast_switching):
    # Two messages of different lengths, so that a mutator flipping a shared input between them
    # resizes its storage, and the outcome of each (its re-encoding or its error) computed here
    # first, on one thread.
    messages = [MESSAGE, HEADER + bytes.fromhex("0103aabbcc"), SHORT]
    expected = {m: outcome(lambda m=m: Init().wire_decode(m).wire()) for m in messages}
    flipped = [expected[m] for m in messages[:2]]
    shared_bytes, shared_list = bytearray(messages[0]), list(messages[0])
    shared = Init().wire_decode(MESSAGE)
    failures = []

    def check(what, call, allowed):
        if (got := outcome(call)) not in allowed:
            failures.append((what, got))

    def flip():
        for m in messages[:2]:
            shared_bytes[:] = m
            shared_list[:] = m

    def worker(seed):
        rng, own = random.Random(seed), Init()
        for _ in range(2000):
            op, m, ty = rng.randrange(8), rng.choice(messages), rng.randrange(65536)
            if op == 0:
                check("private decode", lambda: own.wire_decode(m).wire(), [expected[m]])
            elif op == 1:
                check("shared bytearray", lambda: own.wire_decode(shared_bytes).wire(), flipped)
            elif op == 2:
                check("shared list", lambda: own.wire_decode(shared_list).wire(), flipped)
            elif op == 3:
                check("shared wire", shared.wire, [expected[MESSAGE], *READ_REFUSALS])
            elif op == 4:
                check("shared decode", lambda: shared.wire_decode(m).wire(),
                      [expected[m], *READ_REFUSALS])
            elif op == 5:
                # Holds a shared borrow of `shared` across many thread switches.
                check("shared long decode", lambda: shared.wire_decode(Yielding(MESSAGE)).wire(),
                      [expected[MESSAGE], *READ_REFUSALS])
            elif op == 6:
                value = Index(ty, YIELD) if rng.randrange(2) else ty
                check("shared assignment", lambda: setattr(shared, "ty", value),
                      [None, (RuntimeError, BORROWED)])
            else:
                check("shared refused assignment", lambda: setattr(shared, "features", []),
                      [(TypeError, cannot("features", "list", "BitFlag")), *READ_REFUSALS])

    race([functools.partial(worker, seed) for seed in range(4)], flip)
    assert failures == []
    # Every borrow was given back: the object is free and unchanged.
    shared.ty = 16
    assert shared.wire() == expected[MESSAGE]


def test_assignment_from_another_thread_during_a_decode_is_refused():
    shared = Init()
    inside, assigned = threading.Event(), threading.Event()
    outcome = []

    def pause():
        inside.set()
        assert assigned.wait(timeout=60)

    def assign():
        assert inside.wait(timeout=60)
        try:
            shared.ty = 7
        except RuntimeError as error:
            outcome.append(str(error))
        assigned.set()

    other = threading.Thread(target=assign)
    other.start()
    decoded = shared.wire_decode(HookSeq(HEADER, pause))
    other.join(timeout=60)
    assert outcome == [BORROWED]
    assert decoded.wire() == list(HEADER)
    shared.ty = 7


# 2^20 records of 16 bytes: type 2^32 (9 bytes), length 6 (1 byte), 6 value bytes.
LARGE_CHILD = """
import json, resource, sysconfig
import libkeldrin

count = 1 << 20
# Grown in place (a large realloc moves no bytes), so that no second copy of the input raises the
# peak above what the decode's growth would reach.
data = bytearray.fromhex("001000000000")
chunk = (bytes.fromhex("ff000000010000000006") + bytes(6)) * 1024
for _ in range(count // 1024):
    data += chunk
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
decoded = libkeldrin.Init().wire_decode(data)
growth = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024
with open("/proc/self/maps") as maps:
    sanitized = any("asan" in line for line in maps)
# ThreadSanitizer is linked into such an interpreter, and shadows every byte it touches.
sanitized = sanitized or "--with-thread-sanitizer" in sysconfig.get_config_var("CONFIG_ARGS")
print(json.dumps([len(data), growth, bytes(decoded.wire()) == data, sanitized]))
"""


def test_sixteen_mebibytes_of_a_million_records(run_child):
    size, growth, same, sanitized = run_child(LARGE_CHILD)
    assert size == 6 + 16 * 2**20
    assert same
    if not sanitized:
        # The stream keeps one copy of its records' bytes, about the input's size; the input is
        # viewed in place, not copied. Per-record allocations would cost several times more.
        assert growth < 2 * size, (size, growth)


# Another process rewrites two bytes of a shared mapping while this one decodes it: a record's
# length (fitting, or running past the end) and the next record's type (odd, or even and
# unknown). Every decode must give what one state of the mapping gives; a stream that kept other
# bytes than those it checked could hold a record that cannot be read back, or an even type.
REWRITTEN_CHILD = """
import json, mmap, os
import keldrin

wire = bytes.fromhex("0010000000000120") + bytes(32) + bytes.fromhex("0502aabb")
states = [(length, type) for length in (0x20, 0x40) for type in (5, 6)]

def outcome(data):
    try:
        message = keldrin.decode(data)
        return repr((message.encode(), message.tlvs))
    except keldrin.DecodeError as error:
        return str(error)

expected = set()
for length, type in states:
    state = bytearray(wire)
    state[7], state[40] = length, type
    expected.add(outcome(state))
shared = mmap.mmap(-1, len(wire))
shared[:] = wire
parent = os.getpid()
writer = os.fork()
if writer == 0:
    while os.getppid() == parent:
        for length, type in states * 1000:
            shared[7], shared[40] = length, type
    os._exit(0)
seen = {outcome(shared) for _ in range(100_000)}
os.kill(writer, 9)
os.waitpid(writer, 0)
print(json.dumps([len(seen), sorted(seen - expected)]))
"""


def test_decode_of_a_buffer_another_process_rewrites(run_child):
    seen, unexpected = run_child(REWRITTEN_CHILD)
    assert unexpected == []
    assert seen > 1


# (message, what survives of it, or None where the decode fails)
HOSTILE = {
    "length 2^64-1": (HEADER + bytes.fromhex("01" + "ff" * 9), HEADER),
    "length 2^63 after a record": (HEADER + bytes.fromhex("0102aabb" "03ff8000000000000000")
                                   + bytes(64), HEADER + bytes.fromhex("0102aabb")),
    "type and length 2^64-1": (HEADER + bytes.fromhex("ff" * 18) + bytes(256), HEADER),
    "length 2^32-1": (HEADER + bytes.fromhex("01feffffffff") + bytes(1000), HEADER),
    "length one past the input": (HEADER + bytes.fromhex("0105") + bytes(4), HEADER),
    "globalfeatures length 65535": (bytes.fromhex("0010ffff") + bytes(100), None),
    "features length 65535": (HEADER[:4] + bytes.fromhex("ffff"), None),
}


@pytest.mark.parametrize(("data", "kept"), HOSTILE.values(), ids=HOSTILE.keys())
def test_declared_lengths_beyond_the_input(data, kept):
    message = Init()
    # Repeated, so an allocation sized by the declared length would exhaust memory at once.
    for _ in range(1000):
        if kept is None:
            with pytest.raises(OSError, match=f"^{EOF}$"):
                message.wire_decode(data)
        else:
            assert message.wire_decode(data).wire() == list(kept)


def test_keldrin_threads_agree_with_a_single_threaded_run(fast_switching):
    # Each round gives the threads messages whose records and hash nobody has read, so that their
    # first reads race: each must be made once, the same object or value for every thread. A fifth
    # thread keeps resizing a bytearray that the others decode.
    wires = [m.encode() for m in keldrin_samples(4, 16)]
    rounds = [[keldrin.decode(w) for w in wires] for _ in range(200)]
    hashes = [hash(keldrin.decode(w)) for w in wires]
    flips = [wires[0], wires[3][:-1]]  # an init, and a ping cut short
    allowed = {outcome(lambda w=w: keldrin.decode(w).encode()) for w in flips}
    shared_bytes = bytearray(flips[0])
    start = threading.Barrier(4)
    seen, failures = [], []

    def flip():
        for data in flips:
            shared_bytes[:] = data

    def worker():
        try:
            for messages in rounds:
                start.wait(timeout=60)
                seen.append([(id(getattr(m, "tlvs", None)), hash(m)) for m in messages])
                for m, w in zip(messages, wires):
                    assert m.encode() == w and keldrin.decode(w) == m
                    assert pickle.loads(pickle.dumps(m)) == m
                assert outcome(lambda: keldrin.decode(shared_bytes).encode()) in allowed
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)
            start.abort()

    race([worker] * 4, flip)
    assert failures == []
    for i, messages in enumerate(rounds):
        made = [(id(getattr(m, "tlvs", None)), hash(m)) for m in messages]
        assert [h for _, h in made] == hashes
        assert seen[4 * i:4 * i + 4] == [made] * 4
        assert all(m.tlvs is m.tlvs for m in messages[:-1])
