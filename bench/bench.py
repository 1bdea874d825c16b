"""Speed of libkeldrin and of the keldrin package against what a user would otherwise run, and
the targets they are held to: python bench/bench.py [--quick] [--no-callgrind]
[--default-build PYTHON] [--chart SVG]. docs/performance.md describes the table it prints.

References: pyln-proto's Message.read / write with pyln-bolt1's namespace (n/a when not
installed); the pure-Python codec below, written as a user would write it; the interpreter's own
conversions (list(b), bytes(lst), ...); for keldrin's cases, libkeldrin on the same bytes.
"""

import argparse
import gc
import io
import os
import platform
import re
import shutil
import statistics
import struct
import subprocess
import sys
import sysconfig
import threading
import time
import timeit

import keldrin
import libkeldrin

# Loaded by main() only: the callgrind and memory children import this file and must not pay.
PylnMessage = pyln_bolt1 = None

# A real init: no feature bytes, a `networks` record holding the mainnet chain hash, and a
# `remote_addr` record (an IPv4 address and port).
INIT_49 = bytes.fromhex(
    "00100000000001206fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6190000000000"
    "030701cb0071072607"
)
assert len(INIT_49) == 49
EMPTY_INIT = bytes.fromhex("001000000000")
# One record whose declared length is 2^64-1: refused by comparison with what remains, before
# anything is allocated, so it must cost what the empty message costs.
HUGE_LENGTH_INIT = EMPTY_INIT + bytes.fromhex("01ffffffffffffffffff")


def big_message(size: int = 65536, record_type: int = 1) -> bytes:
    """An init of exactly `size` bytes whose one TLV record carries the bulk."""
    header = EMPTY_INIT + bytes((record_type, 0xFD))
    value_len = size - len(header) - 2
    return header + value_len.to_bytes(2, "big") + bytes((i * 131 + 7) % 256
                                                         for i in range(value_len))


def records_message(count: int, size: int = 3) -> bytes:
    """An init and `count` records of `size` bytes: type 1, the length, counting value bytes."""
    value = bytes(range(7, 7 + size - 2))
    return EMPTY_INIT + (bytes((1, len(value))) + value) * count


# --- The pure-Python codec a user would write instead -----------------------------------------


class PyInit:
    __slots__ = ("ty", "globalfeatures", "features", "init_tlvs")

    def __init__(self, ty=16, globalfeatures=b"", features=b"", init_tlvs=None):
        self.ty = ty
        self.globalfeatures = globalfeatures
        self.features = features
        self.init_tlvs = [] if init_tlvs is None else init_tlvs  # [(type, value bytes)]


_U16 = struct.Struct(">H")
_BIGSIZE_BODY = {0xFD: (">H", 3, 0xFD), 0xFE: (">I", 5, 0x10000), 0xFF: (">Q", 9, 0x100000000)}
_SHORT = "failed to fill whole buffer"


class _EndOfInput(Exception):
    pass


def _read_bigsize(b: bytes, pos: int) -> tuple[int, int]:
    """(value, new position); _EndOfInput when cut short, OSError when not the shortest form."""
    if pos >= len(b):
        raise _EndOfInput
    prefix = b[pos]
    if prefix < 0xFD:
        return prefix, pos + 1
    fmt, size, minimum = _BIGSIZE_BODY[prefix]
    if pos + size > len(b):
        raise _EndOfInput
    (value,) = struct.unpack_from(fmt, b, pos + 1)
    if value < minimum:
        raise OSError("decoded bigsize is not canonical")
    return value, pos + size


def _bigsize(v: int) -> bytes:
    if v < 0xFD:
        return bytes((v,))
    if v < 0x10000:
        return b"\xfd" + v.to_bytes(2, "big")
    if v < 0x100000000:
        return b"\xfe" + v.to_bytes(4, "big")
    return b"\xff" + v.to_bytes(8, "big")


def py_decode(buff) -> PyInit:
    if isinstance(buff, str):
        raise TypeError("Can't extract `str` to `Vec`")
    b = bytes(buff)
    n = len(b)
    if n < 4:
        raise OSError(_SHORT)
    ty, gflen = struct.unpack_from(">HH", b, 0)
    pos = 4 + gflen
    if pos + 2 > n:
        raise OSError(_SHORT)
    (flen,) = _U16.unpack_from(b, pos)
    features_at = pos + 2
    pos = features_at + flen
    if pos > n:
        raise OSError(_SHORT)
    records = []
    # A record cut short at the end ends the stream; a non-canonical BigSize fails it all.
    while pos < n:
        try:
            t, pos = _read_bigsize(b, pos)
            length, pos = _read_bigsize(b, pos)
        except _EndOfInput:
            break
        if length > n - pos:
            break
        records.append((t, b[pos : pos + length]))
        pos += length
    return PyInit(ty, b[4 : 4 + gflen], b[features_at : features_at + flen], records)


def py_encode(m: PyInit) -> list[int]:
    out = bytearray(b"\x00\x10")
    out += _U16.pack(len(m.globalfeatures))
    out += m.globalfeatures
    out += _U16.pack(len(m.features))
    out += m.features
    for t, value in m.init_tlvs:
        out += _bigsize(t)
        out += _bigsize(len(value))
        out += value
    return list(out)


def pyln_decode(raw: bytes):
    return PylnMessage.read(pyln_bolt1, io.BytesIO(raw))


def pyln_encode(msg) -> bytes:
    out = io.BytesIO()
    msg.write(out)
    return out.getvalue()


# --- The timed cases ---------------------------------------------------------------------------

# A decode that reads every field and encodes the message again, as a node that checks what it
# received and passes it on does.
KELDRIN_READ = "d = decode(raw); d.globalfeatures; d.features; d.tlvs; d.encode()"
PYLN_READ = ("p = pyln_decode(raw); p.fields['globalfeatures']; p.fields['features']; "
             "p.fields['tlvs']; pyln_encode(p)")
ROUND_TRIP = "m.wire_decode(raw).wire()"


def names(raw: bytes = INIT_49, **extra) -> dict:
    """What every statement may use, a libkeldrin message object of its own, and `extra`."""
    return dict(m=libkeldrin.Init(), raw=raw, Init=libkeldrin.Init, PyInit=PyInit,
                decode=keldrin.decode, py_decode=py_decode, py_encode=py_encode,
                pyln_decode=pyln_decode, pyln_encode=pyln_encode, **extra)


# Each section's inputs are made, and seen to round-trip through every codec, just before its
# groups and dropped after them, so that each is timed with the heap the one before left.
def inputs_49() -> dict:
    env = names(lst=list(INIT_49), py_msg=py_decode(INIT_49), k=keldrin.decode(INIT_49))
    env["d"] = env["m"].wire_decode(INIT_49)
    assert bytes(env["d"].wire()) == INIT_49 == env["k"].encode()
    assert bytes(py_encode(env["py_msg"])) == INIT_49
    if PylnMessage is not None:
        env["pyln_msg"] = pyln_decode(INIT_49)
        assert pyln_encode(env["pyln_msg"]) == INIT_49
    return env


def inputs_64k() -> dict:
    big = big_message()
    env = names(big=big, lst64=list(big), tup64=tuple(big))
    env["d64"] = env["m"].wire_decode(big)
    assert bytes(env["d64"].wire()) == big
    return env


def inputs_records(counts) -> dict:
    env = names(r60=records_message(1000, 60), huge=HUGE_LENGTH_INIT, empty=EMPTY_INIT,
                **{f"r{n}": records_message(n) for n in counts})
    for name in ("r60", *(f"r{n}" for n in counts)):
        assert bytes(env["m"].wire_decode(env[name]).wire()) == env[name]
    assert env["m"].wire_decode(HUGE_LENGTH_INIT).wire() == list(EMPTY_INIT)
    return env


def inputs_keldrin() -> dict:
    # One 65,000-byte remote_addr record (type 3, whose length the codec leaves free), and 1,000
    # empty records of one type, which only a lenient decode takes.
    one_record = big_message(6 + 4 + 65000, record_type=3)
    env = names(one_record=one_record, copy=bytearray(one_record),
                empty_records=records_message(1000, 2))
    scratch = dict(env)
    exec(KELDRIN_READ, scratch)
    assert scratch["d"].encode() == INIT_49 and len(scratch["d"].tlvs) == 2
    assert len(keldrin.decode(one_record).tlvs[0].value) == 65000
    assert len(keldrin.decode(env["empty_records"], strict=False).tlvs) == 1000
    if PylnMessage is not None:
        exec(PYLN_READ, scratch)
    return env


def groups(counts) -> list:
    """(warm_up, {key: statement}): each group's statements are timed in turns with each other;
    a function between them makes the names of the groups that follow. The 49-byte groups also
    time keldrin, for the chart; Init() goes with the decode from bytes, its comparison."""
    return [
        inputs_49,
        (False, {"dec": "m.wire_decode(raw)", "pyln dec": "pyln_decode(raw)",
                 "py dec": "py_decode(raw)", "k dec": "decode(raw)", "Init": "Init()",
                 "PyInit": "PyInit()"}),
        (False, {"dec lst": "m.wire_decode(lst)", "pyln dec lst": "pyln_decode(bytes(lst))",
                 "py dec lst": "py_decode(lst)"}),
        (False, {"wire": "d.wire()", "pyln wire": "pyln_encode(pyln_msg)",
                 "py wire": "py_encode(py_msg)", "k wire": "k.encode()"}),
        (False, {"rt": ROUND_TRIP, "pyln rt": "pyln_encode(pyln_decode(raw))",
                 "py rt": "py_encode(py_decode(raw))", "k rt": "decode(raw).encode()"}),
        inputs_64k,
        (False, {"64 wire": "d64.wire()", "list(b)": "list(big)"}),
        (False, {"64 dec": "m.wire_decode(big)", "bytearray(b)": "bytearray(big)"}),
        (False, {"64 lst": "m.wire_decode(lst64)", "bytes(lst)": "bytes(lst64)"}),
        (False, {"64 tup": "m.wire_decode(tup64)", "bytes(tup)": "bytes(tup64)"}),
        lambda: inputs_records(counts),
        # The sizes are interleaved, and each sample follows a warm-up decode of its own size: a
        # million-record decode frees 70 MiB, glibc gives most of it back to the kernel, and the
        # next decode of another size would pay page faults that no steady stream of messages
        # does. The slow pure-Python references go apart, so as not to cut the module's repeats.
        (True, {f"rec {n}": f"m.wire_decode(r{n})" for n in counts}),
        (False, {f"py rec {n}": f"py_decode(r{n})" for n in counts}),
        (False, {"60 per": "m.wire_decode(r60)", "60": "m.wire_decode(r60)", "60 Init": "Init()",
                 "60 copy": "bytearray(r60)"}),
        (False, {"huge": "m.wire_decode(huge)", "empty": "m.wire_decode(empty)"}),
        inputs_keldrin,
        (False, {"k 49": "decode(raw)", "k 49 lib": "m.wire_decode(raw)"}),
        (False, {"k read": KELDRIN_READ, "k read lib": "bytes(m.wire_decode(raw).wire())",
                 "k read pyln": PYLN_READ}),
        (False, {"k 65000": "decode(one_record)", "k 65000 copy": "bytes(copy)"}),
        (False, {"k empty": "decode(empty_records, strict=False).tlvs", "k empty Init": "Init()"}),
    ]


def rows(counts) -> list[tuple[str, str, str, str]]:
    """(case, key of ours, reference's name, key of the reference), in the table's order."""
    table = []
    for op, key in (("decode bytes", "dec"), ("decode list", "dec lst"), ("wire()", "wire"),
                    ("decode+encode", "rt")):
        table += [(f"49 B init: {op}", key, "pyln-proto", f"pyln {key}"),
                  (f"49 B init: {op}", key, "pure Python", f"py {key}")]
    table.append(("Init()", "Init", "pure Python PyInit()", "PyInit"))
    table += [(f"64 KiB init: {op}", key, ref, ref) for op, key, ref in (
        ("wire()", "64 wire", "list(b)"), ("decode bytes", "64 dec", "bytearray(b)"),
        ("decode list", "64 lst", "bytes(lst)"), ("decode tuple", "64 tup", "bytes(tup)"))]
    table += [(f"{short(n)} records: decode, per record", f"rec {n}", "pure Python",
               f"py rec {n}") for n in counts]
    return table + [
        ("1e3 records of 60 B: decode, per record", "60 per", "Init()", "60 Init"),
        ("1e3 records of 60 B: decode", "60", "bytearray(msg)", "60 copy"),
        ("declared length 2^64-1: decode", "huge", "empty init decode", "empty"),
        ("keldrin: 49 B init: decode", "k 49", "libkeldrin wire_decode", "k 49 lib"),
        ("keldrin: 49 B init: decode, read, encode", "k read", "libkeldrin, bytes(wire())",
         "k read lib"),
        ("keldrin: 65,000 B record: decode", "k 65000", "bytes(bytearray)", "k 65000 copy"),
        ("keldrin: 1e3 empty records: decode, tlvs, per record", "k empty", "libkeldrin Init()",
         "k empty Init"),
        ("keldrin: 49 B init: decode, read, encode", "k read", "pyln-proto", "k read pyln"),
    ]


# (target, key, key or None, limit): the ratio of the first key's value to the second's must be
# >= or <= the limit as the text says; "faster" targets put the reference's key first.
TARGETS = [
    ("49 B decode+encode >= 120x faster than pyln-proto", "pyln rt", "rt", 120),
    ("49 B decode+encode >= 18x faster than pure Python", "py rt", "rt", 18),
    ("49 B decode(bytes) <= 1.8x Init()", "dec", "Init", 1.8),
    ("64 KiB wire() <= 0.6x list(b)", "64 wire", "list(b)", 0.6),
    ("64 KiB decode(list) <= 0.3x bytes(lst)", "64 lst", "bytes(lst)", 0.3),
    ("64 KiB decode(bytes) <= 1.5x bytearray(b)", "64 dec", "bytearray(b)", 1.5),
    ("1e3 records of 60 B: decode per record <= 0.25x Init()", "60 per", "60 Init", 0.25),
    ("1e3 records of 60 B: decode <= 8x bytearray(msg)", "60", "60 copy", 8),
    ("16 MiB of 3 B records: peak memory growth <= 10x the input", "growth", None, 10),
    ("declared length 2^64-1 within 1.5x of the empty init", "huge", "empty", 1.5),
    ("time per record flat within 1.5x over {counts} records", "spread", None, 1.5),
    ("keldrin: 49 B decode <= 1.5x libkeldrin's", "k 49", "k 49 lib", 1.5),
    ("keldrin: 49 B decode, read, encode <= 1.2x libkeldrin's decode, bytes(wire())", "k read",
     "k read lib", 1.2),
    ("keldrin: 65,000 B record decode <= 3x bytes(bytearray)", "k 65000", "k 65000 copy", 3),
    ("keldrin: 1e3 empty records, decode and tlvs per record <= 1.5x libkeldrin Init()",
     "k empty", "k empty Init", 1.5),
    ("keldrin: 49 B decode, read, encode >= 150x faster than pyln-proto", "k read pyln",
     "k read", 150),
    ("keldrin: 16 MiB of empty records, tlvs unread: peak memory growth <= 3x input",
     "k growth", None, 3),
]
MISSING = {"pyln": "pyln-proto not installed", "growth": "no peak reset"}


def short(count: int) -> str:
    return f"{count:.0e}".replace("e+0", "e")


def measure(env: dict, stmts: list[str], repeats: int, target: float,
            warm_up: bool = False) -> list[float]:
    """Median seconds a call of each statement, sampled in turns, the order reversed every other
    round; a repeat lasts about `target` s. With `warm_up`, each sample follows one untimed run
    of its own statement, which leaves the allocator as that case leaves it."""
    timers = [timeit.Timer(s, globals=env) for s in stmts]
    numbers = []
    for timer in timers:
        number = 1
        while (elapsed := timer.timeit(number)) < target and number < 1 << 24:
            number = max(number * 2, int(number * target / max(elapsed, 1e-9) * 1.1))
        numbers.append(number)
    rounds = 3 if max(timer.timeit(1) for timer in timers) > 0.25 else repeats
    samples = [[] for _ in timers]
    for round_number in range(rounds):
        order = range(len(timers))
        for i in order if round_number % 2 == 0 else reversed(order):
            if warm_up:
                timers[i].timeit(1)
            samples[i].append(timers[i].timeit(numbers[i]) / numbers[i])
    return [statistics.median(s) for s in samples]


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "n/a"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def timed_row(case: str, ours: float | None, ref_name: str, ref: float | None) -> tuple:
    """The ratio is the reference's time over ours: how many times faster the module is."""
    ratio = "n/a" if ours is None or ref is None else f"{ref / ours:.2f}x"
    return case, fmt_time(ours), ref_name, fmt_time(ref), ratio


def print_report(table: list[tuple], targets: list[tuple[str, str, bool | None]]) -> None:
    head = ("case", "ours", "reference", "ref time", "ref/ours")
    widths = [max(len(r[i]) for r in [head, *table]) for i in range(5)]
    for r in [head, None, *table]:
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|" if r is None else
              "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |")
    print("\nTargets:")
    for text, measured, met in targets:
        print(f"  [{'n/a ' if met is None else 'MET ' if met else 'MISS'}] {text}: {measured}")


# --- Peak memory, instruction counts, threads ---------------------------------------------------

# Run in a child of its own, so that nothing the benchmark did before shapes the heap. The peak
# resident size is reset just before the decode; the growth is the peak during the decode (with
# its result still held, and keldrin's records not read) over the resident size before it.
MEMORY_CHILD = """
import sys, bench
env = bench.names(bench.records_message(int(sys.argv[1]), int(sys.argv[2])))
decode = compile(sys.argv[3], "<memory>", "eval")
def kib(field):
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith(field + ":"))
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")
before = kib("VmRSS")
decoded = eval(decode, env)
print((kib("VmHWM") - before) * 1024, len(env["raw"]))
"""
# Only a large input measures well: a small decode may reuse pages that are already resident.
MEMORY_CASES = [("growth", "16 MiB of 3 B records", "m.wire_decode(raw)", (16 << 20) // 3, 3),
                ("k growth", "keldrin: 16 MiB of empty records, tlvs unread",
                 "decode(raw, strict=False)", (16 << 20) // 2, 2)]


def child_env() -> dict:
    return dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))


def bench_memory(table: list, values: dict) -> None:
    for key, name, stmt, count, size in MEMORY_CASES:
        proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(count), str(size), stmt],
                              capture_output=True, text=True, env=child_env())
        if proc.returncode != 0:  # no /proc/self/clear_refs to reset the peak
            table.append((f"{name}: peak memory growth", "n/a", "input size", "n/a", "n/a"))
            continue
        growth, size_in = map(int, proc.stdout.split())
        table.append((f"{name}: peak memory growth", f"{growth / 2**20:.3g} MiB", "input size",
                      f"{size_in / 2**20:.3g} MiB", f"{growth / size_in:.2f}x (ours/ref)"))
        values[key] = growth / size_in


CALLGRIND_CASES = [  # (case, statement, reference's name, its statement)
    ("49 B init: decode bytes", "m.wire_decode(raw)", "pure Python", "py_decode(raw)"),
    ("49 B init: decode+encode", ROUND_TRIP, "pure Python", "py_encode(py_decode(raw))"),
    ("keldrin: 49 B init: decode", "decode(raw)", "libkeldrin", "m.wire_decode(raw)"),
    ("keldrin: 49 B init: decode, read, encode", KELDRIN_READ,
     "libkeldrin", "bytes(m.wire_decode(raw).wire())"),
]


def callgrind_child(stmt: str, loops: int) -> None:
    env = names()
    exec(stmt, env)  # warm every cache the statement fills on first use
    exec(compile(f"for _ in range({loops}):\n    {stmt}\n", "<callgrind>", "exec"), env)


def per_call_instructions(stmt: str, loops: int = 2000) -> float:
    """Instructions of a run of the child with `loops` calls less those of one with none, which
    cancels start-up, import and set-up; deterministic for a given build."""
    counts = []
    for n in (loops, 0):
        cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
               os.path.abspath(__file__), "--callgrind-child", stmt, str(n)]
        stderr = subprocess.run(cmd, capture_output=True, text=True, check=True,
                                env=dict(child_env(), PYTHONHASHSEED="0")).stderr
        match = re.search(r"Collected\s*:\s*(\d+)", stderr)
        if match is None:
            raise RuntimeError("callgrind printed no instruction count:\n" + stderr[-2000:])
        counts.append(int(match.group(1)))
    return (counts[0] - counts[1]) / loops


def bench_callgrind(table: list) -> None:
    have = shutil.which("valgrind") is not None
    for name, ours_stmt, ref_name, ref_stmt in CALLGRIND_CASES:
        row = (f"{name}: instructions (callgrind)", "n/a", ref_name, "n/a", "n/a")
        if have:
            ours = per_call_instructions(ours_stmt)
            ref = per_call_instructions(ref_stmt)
            row = (row[0], f"{ours:,.0f} Ir", ref_name, f"{ref:,.0f} Ir", f"{ref / ours:.2f}x")
        table.append(row)


def throughput(threads: int, stmt: str, loops: int) -> float:
    """Calls a second of `stmt` run `loops` times on each of `threads` threads at once. Each
    thread has its own message object and its own copy of the input, as a server has its own
    received messages: an object shared between threads pays for atomic reference counts."""
    code = compile(f"for _ in range({loops}):\n    {stmt}\n", "<threads>", "exec")
    start = threading.Barrier(threads + 1)

    def work():
        env = names(raw=bytes(bytearray(INIT_49)))
        start.wait()
        exec(code, env)

    workers = [threading.Thread(target=work) for _ in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join()
    return threads * loops / (time.perf_counter() - began)


def one_thread_round_trip() -> float:
    return timeit.Timer(ROUND_TRIP, globals=names()).timeit(200_000) / 200_000


def bench_threads(table: list, targets: list, repeats: int, default_build: str | None) -> None:
    """Two threads against one, for libkeldrin and for the pure-Python codec as a control: the
    control shows what two threads give on this machine at this moment (two vCPUs may share a
    core). Both are sampled in turns, round after round."""
    cases = [("libkeldrin", ROUND_TRIP, 20_000), ("pure Python", "py_encode(py_decode(raw))", 2000)]
    ratios = {name: [] for name, *_ in cases}
    for round_number in range(repeats):
        for name, stmt, loops in cases if round_number % 2 == 0 else reversed(cases):
            one = throughput(1, stmt, loops)
            ratios[name].append(throughput(2, stmt, loops) / one)
    ours, control = (statistics.median(r) for r in ratios.values())
    table.append(("49 B decode+encode: 2 threads over 1 (throughput)", f"{ours:.2f}x",
                  "pure Python, same", f"{control:.2f}x", f"{ours / control:.2f} (ours/control)"))
    targets.append(("49 B decode+encode on 2 threads >= 1.8x the throughput of 1",
                    f"{ours:.2f}x (pure Python: {control:.2f}x)", ours >= 1.8))
    text = "49 B decode+encode on one thread within 1.3x of the default build"
    if not default_build:
        targets.append((text, "n/a (no --default-build)", None))
        return
    # Interleaved with this build's own runs, so that a busy spell hits both.
    here, there = [], []
    for _ in range(5):
        here.append(one_thread_round_trip())
        out = subprocess.run([default_build, os.path.abspath(__file__), "--round-trip-child"],
                             capture_output=True, text=True, env=child_env(), check=True).stdout
        there.append(float(out.split()[-1]))
    here, there = statistics.median(here), statistics.median(there)
    table.append(timed_row("49 B decode+encode, one thread", here, "default build", there))
    targets.append((text, f"{here / there:.2f}x", here / there <= 1.3))


# --- The chart --------------------------------------------------------------------------------

CHART_CODECS = {"keldrin": "#1b6ca8", "libkeldrin": "#7fb3d5", "pyln-proto": "#c0392b",
                "pure Python": "#999999"}
CHART_KEYS = {"decode": ("k dec", "dec", "pyln dec", "py dec"),
              "encode": ("k wire", "wire", "pyln wire", "py wire"),
              "round trip": ("k rt", "rt", "pyln rt", "py rt")}


def write_chart(values: dict, path: str, caption: str) -> None:
    """The 49-byte init's decode, encode and round trip for each codec, as bars on a log scale,
    into the SVG file `path`."""
    try:
        import matplotlib
    except ImportError:
        print("bench: no matplotlib; no chart written")
        return
    matplotlib.use("svg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    # Text stays text, and element ids and the file carry no date or random salt, so that a new
    # run changes the file where its numbers change.
    plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "bench", "font.size": 10})
    figure, axes = plt.subplots(figsize=(8, 4.2))
    width = 0.2
    for i, (codec, colour) in enumerate(CHART_CODECS.items()):
        for j, keys in enumerate(CHART_KEYS.values()):
            seconds, x = values.get(keys[i]), j + (i - 1.5) * width
            if seconds is None:
                axes.text(x, 1, "n/a", ha="center", va="bottom", fontsize=8)
                continue
            axes.bar(x, seconds * 1e9, width, color=colour, label=codec if j == 0 else None)
            axes.text(x, seconds * 1e9 * 1.08, fmt_time(seconds).replace("us", "µs"),
                      ha="center", va="bottom", fontsize=7)
    axes.set_yscale("log")
    axes.set_ylim(top=axes.get_ylim()[1] * 3)
    axes.yaxis.set_major_locator(matplotlib.ticker.FixedLocator([10.0**k for k in range(10)]))
    axes.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(
        lambda ns, _: fmt_time(ns * 1e-9).replace("us", "µs")))
    axes.set_xticks(range(len(CHART_KEYS)), CHART_KEYS)
    axes.set_ylabel("time per call (log scale)")
    axes.set_title("A 49-byte init message: time per call, lower is faster")
    axes.legend(ncols=4, loc="upper center", frameon=False, fontsize=9)
    axes.spines[["top", "right"]].set_visible(False)
    figure.text(0.01, 0.01, caption, fontsize=7, wrap=True, va="bottom")
    figure.tight_layout(rect=(0, 0.09, 1, 1))
    figure.savefig(path, format="svg", metadata={"Date": None, "Creator": None})
    plt.close(figure)
    print(f"bench: chart written to {path}")


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        model = re.search(r"Model name:\s*(.+)", out).group(1).strip()
    except (OSError, AttributeError):
        pass
    return (f"{model}, {os.cpu_count()} CPUs; CPython {platform.python_version()}; "
            f"pyln-proto {'present' if PylnMessage else 'not installed: its rows are n/a'}")


def main() -> None:
    global PylnMessage, pyln_bolt1
    if sys.argv[1:2] == ["--callgrind-child"]:
        return callgrind_child(sys.argv[2], int(sys.argv[3]))
    if sys.argv[1:2] == ["--round-trip-child"]:  # for --default-build
        return print(one_thread_round_trip())
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats, up to 1e5 records")
    parser.add_argument("--no-callgrind", action="store_true")
    parser.add_argument("--default-build", metavar="PYTHON",
                        help="on a free-threaded interpreter: the default build of its series")
    parser.add_argument("--chart", metavar="SVG",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                             "docs", "bench.svg"),
                        help="where the bar chart goes (default: docs/bench.svg; '' for none)")
    args = parser.parse_args()
    try:
        from pyln.proto.message import Message as PylnMessage
        from pyln.spec.bolt1 import namespace as pyln_bolt1
    except ImportError:  # the comparison package is optional; its rows say n/a
        pass
    # Many short repeats rather than a few long ones: a busy spell of a shared machine then
    # spoils a few samples of every case instead of the whole of one.
    repeats, target = (5, 0.003) if args.quick else (31, 0.005)
    counts = (10**3, 10**4, 10**5) if args.quick else (10**3, 10**4, 10**5, 10**6)

    print(f"libkeldrin benchmark: {machine()}")
    print(f"medians of {repeats} interleaved repeats (3 for cases slower than 0.25 s a call)\n")
    gc.disable()  # as timeit does: the collector's pauses would land on whichever case ran
    values = {}
    for group in groups(counts):
        if callable(group):
            env = group()
            continue
        warm_up, stmts = group
        stmts = {k: s for k, s in stmts.items() if PylnMessage or "pyln" not in s}
        values.update(zip(stmts, measure(env, list(stmts.values()), repeats, target, warm_up)))
    # The rows per record: a median over the records in the message.
    for key, per in {"60 per": 1000, "k empty": 1000,
                     **{f"{p}rec {n}": n for n in counts for p in ("", "py ")}}.items():
        values[key] /= per
    per_record = [values[f"rec {n}"] for n in counts]
    values["spread"] = max(per_record) / min(per_record)
    table = [timed_row(case, values.get(ours), ref_name, values.get(ref))
             for case, ours, ref_name, ref in rows(counts)]
    targets = []
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        bench_threads(table, targets, 9 if args.quick else 21, args.default_build)
    gc.enable()
    bench_memory(table, values)
    if not args.no_callgrind:
        bench_callgrind(table)
    for text, a, b, limit in TARGETS:
        text = text.format(counts=", ".join(map(short, counts)))
        missing = next((why for key, why in MISSING.items() if key in a + str(b)), None)
        if a not in values or (b and b not in values):
            targets.append((text, f"n/a ({missing})", None))
            continue
        ratio = values[a] / values[b] if b else values[a]
        targets.append((text, f"{ratio:.1f}x" if "faster" in text else f"{ratio:.2f}x",
                        ratio >= limit if " >= " in text else ratio <= limit))
    print_report(table, targets)
    if args.chart:
        caption = (f"One run of make bench on {machine().split(';')[0]}, CPython "
                   f"{platform.python_version()}: medians of {repeats} repeats, the codecs taking "
                   "turns. Read the bars as ratios within this one run: absolute times move by up "
                   "to 1.7x between runs on a shared machine. keldrin and pyln-proto encode to "
                   "bytes; libkeldrin and the pure-Python codec to a list of ints.")
        write_chart(values, os.path.normpath(args.chart), caption)


if __name__ == "__main__":
    main()
