"""Speed of libkeldrin and of the keldrin package against what a user would otherwise run, and
the targets they are held to.

Prints one table: every case timed for the module (libkeldrin, or keldrin where the case says so)
and, in the same process, for its reference, with the ratio, then the targets and whether each is
met. Times are medians over repeats, the repeats of a case and of its reference interleaved so
that a slow spell of a shared machine hits both. With valgrind on PATH the table ends with instruction counts under callgrind, which do not
depend on how busy the machine is.

    python bench/bench.py [--quick] [--no-callgrind] [--default-build PYTHON] [--chart SVG]

With matplotlib installed it also draws the 49-byte decode, encode and round trip of keldrin,
libkeldrin, pyln-proto and the pure-Python codec as a bar chart, written to docs/bench.svg unless
--chart names another file ('' for none).

On a free-threaded interpreter it also times the 49-byte round trip on one thread and on two,
and with --default-build (the same series built with the GIL, with libkeldrin installed) the
single-thread round trip there too, in the same run.

References:
  pyln     pyln-proto's Message.read / Message.write with the BOLT #1 namespace of pyln-bolt1
           (rows print n/a when it is not installed);
  python   the pure-Python codec below, written as a user would write it;
  builtin  the interpreter's own conversion of the same data (list(b), bytes(lst), ...);
  libkeldrin  for keldrin's cases: the legacy module's decode of the same bytes, whose speed the
           package must keep close to.
"""

from __future__ import annotations

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

# Loaded by main() only: the callgrind children import this file and must not pay for it.
PylnMessage = None
pyln_bolt1 = None


def load_pyln() -> None:
    global PylnMessage, pyln_bolt1
    try:
        from pyln.proto.message import Message
        from pyln.spec.bolt1 import namespace
    except ImportError:  # the comparison package is optional; its rows say n/a
        return
    PylnMessage, pyln_bolt1 = Message, namespace

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
    value = bytes((i * 131 + 7) % 256 for i in range(value_len))
    return header + value_len.to_bytes(2, "big") + value


def records_message(count: int, size: int = 3) -> bytes:
    """An init followed by `count` records of `size` bytes each: type 1, then the length, then
    counting value bytes. Three bytes are the smallest record that carries a value, two an empty
    one."""
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
_NOT_CANONICAL = "decoded bigsize is not canonical"


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
        raise OSError(_NOT_CANONICAL)
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


# --- pyln-proto -------------------------------------------------------------------------------


def pyln_decode(raw: bytes):
    return PylnMessage.read(pyln_bolt1, io.BytesIO(raw))


def pyln_encode(msg) -> bytes:
    out = io.BytesIO()
    msg.write(out)
    return out.getvalue()


# --- Timing -----------------------------------------------------------------------------------


class Case:
    """One timed statement; `per` divides its time (records per message, for per-record rows)."""

    def __init__(self, stmt: str, env: dict, per: int = 1):
        self.timer = timeit.Timer(stmt, globals=env)
        self.stmt = stmt
        self.per = per
        self.number = 1
        self.samples: list[float] = []

    def calibrate(self, target: float) -> None:
        # Grow the loop count until one repeat takes `target` seconds.
        number = 1
        while True:
            elapsed = self.timer.timeit(number)
            if elapsed >= target or number >= 1 << 24:
                break
            number = max(number * 2, int(number * target / max(elapsed, 1e-9) * 1.1))
        self.number = number

    def sample(self, warm_up: bool = False) -> None:
        if warm_up:
            self.timer.timeit(1)
        self.samples.append(self.timer.timeit(self.number) / self.number / self.per)

    @property
    def median(self) -> float:
        return statistics.median(self.samples)


def measure(cases: list[Case | None], repeats: int, target: float, warm_up: bool = False) -> None:
    """Samples the cases in turn, round after round. With `warm_up`, each sample follows one
    untimed run of its own statement, which leaves the allocator as that case leaves it."""
    live = [c for c in cases if c is not None]
    for c in live:
        c.calibrate(target)
    # Slow cases get fewer repeats, so a full run stays within a couple of minutes.
    slowest = max(c.timer.timeit(1) for c in live)
    rounds = 3 if slowest > 0.25 else repeats
    for round_number in range(rounds):
        # Alternate the order, so that no case always runs in the wake of the same other one.
        for c in live if round_number % 2 == 0 else reversed(live):
            c.sample(warm_up)


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return "n/a"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


class Report:
    def __init__(self):
        self.rows: list[tuple[str, str, str, str, str]] = []
        self.targets: list[tuple[str, str, bool | None]] = []

    def row(self, case: str, ours: float | None, ref_name: str, ref: float | None):
        """The ratio is the reference's time over ours: how many times faster the module is."""
        shown = "n/a" if ours is None or ref is None else f"{ref / ours:.2f}x"
        self.rows.append((case, fmt_time(ours), ref_name, fmt_time(ref), shown))

    def raw_row(self, case: str, ours: str, ref_name: str, ref: str, ratio: str):
        self.rows.append((case, ours, ref_name, ref, ratio))

    def target(self, text: str, measured: str, met: bool | None):
        self.targets.append((text, measured, met))

    def print(self) -> None:
        head = ("case", "ours", "reference", "ref time", "ref/ours")
        widths = [max(len(r[i]) for r in [head, *self.rows]) for i in range(5)]
        line = lambda r: "| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |"
        print(line(head))
        print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
        for r in self.rows:
            print(line(r))
        print()
        print("Targets:")
        for text, measured, met in self.targets:
            mark = "n/a " if met is None else ("MET " if met else "MISS")
            print(f"  [{mark}] {text}: {measured}")


def bench_49(report: Report, repeats: int, target: float) -> dict:
    """{case: (libkeldrin, pyln-proto or None, pure Python)}, "Init()", and under "keldrin" the
    keldrin package's time of the cases that the chart shows, timed in the same turns."""
    m = libkeldrin.Init()
    lst = list(INIT_49)
    decoded = m.wire_decode(INIT_49)
    py_msg = py_decode(INIT_49)
    env = dict(m=m, raw=INIT_49, lst=lst, d=decoded, Init=libkeldrin.Init, PyInit=PyInit,
               py_decode=py_decode, py_encode=py_encode, py_msg=py_msg,
               pyln_decode=pyln_decode, pyln_encode=pyln_encode, bytes=bytes,
               decode=keldrin.decode, k=keldrin.decode(INIT_49))
    # Every codec must agree on the bytes before its speed means anything.
    assert bytes(decoded.wire()) == INIT_49 == env["k"].encode()
    assert bytes(py_encode(py_msg)) == INIT_49
    have_pyln = PylnMessage is not None
    if have_pyln:
        env["pyln_msg"] = pyln_decode(INIT_49)
        assert pyln_encode(env["pyln_msg"]) == INIT_49

    def pyln(stmt):
        return Case(stmt, env) if have_pyln else None

    groups = {
        "decode bytes": (Case("m.wire_decode(raw)", env),
                         pyln("pyln_decode(raw)"), Case("py_decode(raw)", env)),
        "decode list": (Case("m.wire_decode(lst)", env),
                        pyln("pyln_decode(bytes(lst))"), Case("py_decode(lst)", env)),
        "wire()": (Case("d.wire()", env),
                   pyln("pyln_encode(pyln_msg)"), Case("py_encode(py_msg)", env)),
        "decode+encode": (Case("m.wire_decode(raw).wire()", env),
                          pyln("pyln_encode(pyln_decode(raw))"),
                          Case("py_encode(py_decode(raw))", env)),
    }
    kel = {"decode bytes": Case("decode(raw)", env), "wire()": Case("k.encode()", env),
           "decode+encode": Case("decode(raw).encode()", env)}
    # Init() is timed with the decode from bytes, the case it is compared with.
    ctor, py_ctor = Case("Init()", env), Case("PyInit()", env)
    results = {"keldrin": {}}
    for name, (ours, ref_pyln, ref_py) in groups.items():
        extra = [ctor, py_ctor] if name == "decode bytes" else []
        measure([ours, ref_pyln, ref_py, kel.get(name), *extra], repeats, target)
        pyln_t = ref_pyln.median if ref_pyln else None
        report.row(f"49 B init: {name}", ours.median, "pyln-proto", pyln_t)
        report.row(f"49 B init: {name}", ours.median, "pure Python", ref_py.median)
        results[name] = (ours.median, pyln_t, ref_py.median)
        if name in kel:
            results["keldrin"][name] = kel[name].median
    report.row("Init()", ctor.median, "pure Python PyInit()", py_ctor.median)
    results["Init()"] = ctor.median
    return results


# --- The chart --------------------------------------------------------------------------------

CHART_OPERATIONS = {"decode": "decode bytes", "encode": "wire()", "round trip": "decode+encode"}
CHART_CODECS = ("keldrin", "libkeldrin", "pyln-proto", "pure Python")


def write_chart(r49: dict, path: str, caption: str) -> None:
    """Draws bench_49's decode, encode and round trip of the 49-byte init for each codec as bars
    on a log scale, into the SVG file `path`."""
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
    times = {op: dict(zip(CHART_CODECS[1:], r49[case]), keldrin=r49["keldrin"][case])
             for op, case in CHART_OPERATIONS.items()}
    figure, axes = plt.subplots(figsize=(8, 4.2))
    width = 0.2
    colours = ("#1b6ca8", "#7fb3d5", "#c0392b", "#999999")
    for i, (codec, colour) in enumerate(zip(CHART_CODECS, colours)):
        for j, op in enumerate(CHART_OPERATIONS):
            seconds = times[op][codec]
            x = j + (i - 1.5) * width
            if seconds is None:
                axes.text(x, 1, "n/a", ha="center", va="bottom", fontsize=8)
                continue
            axes.bar(x, seconds * 1e9, width, color=colour, label=codec if j == 0 else None)
            axes.text(x, seconds * 1e9 * 1.08, fmt_time(seconds).replace("us", "µs"),
                      ha="center", va="bottom", fontsize=7)
    axes.set_yscale("log")
    axes.set_ylim(top=axes.get_ylim()[1] * 3)
    decades = [10.0**k for k in range(0, 10)]
    axes.yaxis.set_major_locator(matplotlib.ticker.FixedLocator(decades))
    axes.yaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(
        lambda ns, _: fmt_time(ns * 1e-9).replace("us", "µs")))
    axes.set_xticks(range(len(CHART_OPERATIONS)), CHART_OPERATIONS)
    axes.set_ylabel("time per call (log scale)")
    axes.set_title("A 49-byte init message: time per call, lower is faster")
    axes.legend(ncols=4, loc="upper center", frameon=False, fontsize=9)
    for side in ("top", "right"):
        axes.spines[side].set_visible(False)
    figure.text(0.01, 0.01, caption, fontsize=7, wrap=True, va="bottom")
    figure.tight_layout(rect=(0, 0.09, 1, 1))
    figure.savefig(path, format="svg", metadata={"Date": None, "Creator": None})
    plt.close(figure)
    print(f"bench: chart written to {path}")


def bench_64k(report: Report, repeats: int, target: float) -> dict:
    big = big_message()
    lst, tup = list(big), tuple(big)
    m = libkeldrin.Init()
    decoded = m.wire_decode(big)
    assert bytes(decoded.wire()) == big
    env = dict(m=m, big=big, lst=lst, tup=tup, d=decoded, bytes=bytes, bytearray=bytearray,
               list=list)
    pairs = {
        "wire()": ("d.wire()", "list(b)", "list(big)"),
        "decode bytes": ("m.wire_decode(big)", "bytearray(b)", "bytearray(big)"),
        "decode list": ("m.wire_decode(lst)", "bytes(lst)", "bytes(lst)"),
        "decode tuple": ("m.wire_decode(tup)", "bytes(tup)", "bytes(tup)"),
    }
    results = {}
    for name, (ours_stmt, ref_name, ref_stmt) in pairs.items():
        ours, ref = Case(ours_stmt, env), Case(ref_stmt, env)
        measure([ours, ref], repeats, target)
        report.row(f"64 KiB init: {name}", ours.median, ref_name, ref.median)
        results[name] = (ours.median, ref.median)
    return results


def bench_records(report: Report, repeats: int, target: float, counts) -> dict:
    m = libkeldrin.Init()
    ours, refs = [], []
    for count in counts:
        raw = records_message(count)
        assert bytes(m.wire_decode(raw).wire()) == raw
        env = dict(m=m, raw=raw, py_decode=py_decode)
        ours.append(Case("m.wire_decode(raw)", env, per=count))
        refs.append(Case("py_decode(raw)", env, per=count))
    # The sizes are interleaved, so that a busy spell of the machine spoils a few samples of each
    # rather than all of one, and each sample follows a warm-up decode of its own size: a
    # million-record decode frees 70 MiB, glibc gives most of it back to the kernel, and the next
    # decode of another size would pay page faults that no steady stream of messages does. The
    # slow pure-Python references go apart, so that they do not cut the module's repeats.
    measure(ours, repeats, target, warm_up=True)
    measure(refs, repeats, target)
    results = {}
    for count, case, ref in zip(counts, ours, refs):
        report.row(f"{count:.0e} records: decode, per record".replace("e+0", "e"), case.median,
                   "pure Python", ref.median)
        results[count] = case.median
    return results


def bench_records_60(report: Report, repeats: int, target: float) -> dict:
    """1,000 records of 60 bytes, timed beside Init() and the copy of the whole message that
    bytearray() makes: the floors of a decode of many records."""
    raw = records_message(1000, 60)
    m = libkeldrin.Init()
    assert bytes(m.wire_decode(raw).wire()) == raw
    env = dict(m=m, raw=raw, Init=libkeldrin.Init, bytearray=bytearray)
    per, whole = Case("m.wire_decode(raw)", env, per=1000), Case("m.wire_decode(raw)", env)
    ctor, copy = Case("Init()", env), Case("bytearray(raw)", env)
    measure([per, whole, ctor, copy], repeats, target)
    report.row("1e3 records of 60 B: decode, per record", per.median, "Init()", ctor.median)
    report.row("1e3 records of 60 B: decode", whole.median, "bytearray(msg)", copy.median)
    return dict(per=per.median, whole=whole.median, ctor=ctor.median, copy=copy.median)


# Run in a child of its own, so that nothing the benchmark did before shapes the heap. The peak
# resident size is reset just before the decode; the growth is the peak during the decode (with
# its result still held, and keldrin's records not read) over the resident size before it.
MEMORY_CHILD = """
import sys, keldrin, libkeldrin, bench
raw = bench.records_message(int(sys.argv[1]), int(sys.argv[2]))
m = libkeldrin.Init()
decode = {"libkeldrin": m.wire_decode,
          "keldrin": lambda raw: keldrin.decode(raw, strict=False)}[sys.argv[3]]
def kib(field):
    with open("/proc/self/status") as status:
        return next(int(l.split()[1]) for l in status if l.startswith(field + ":"))
with open("/proc/self/clear_refs", "w") as refs:
    refs.write("5")
before = kib("VmRSS")
decoded = decode(raw)
print((kib("VmHWM") - before) * 1024, len(raw))
"""


def peak_growth(module: str, count: int, size: int) -> tuple[int, int] | None:
    """(bytes of peak memory growth, input bytes), or None where the kernel offers no reset."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
    proc = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(count), str(size), module],
                          capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        return None
    growth, size_in = map(int, proc.stdout.split())
    return growth, size_in


def bench_memory(report: Report) -> dict:
    results = {}
    # Only a large input measures well: a small decode may reuse pages that are already resident.
    for name, module, count, size in (
            ("16 MiB of 3 B records", "libkeldrin", (16 << 20) // 3, 3),
            ("keldrin: 16 MiB of empty records, tlvs unread", "keldrin", (16 << 20) // 2, 2)):
        measured = peak_growth(module, count, size)
        if measured is None:
            report.raw_row(f"{name}: peak memory growth", "n/a", "input size", "n/a", "n/a")
            continue
        growth, size_in = measured
        report.raw_row(f"{name}: peak memory growth", f"{growth / 2**20:.3g} MiB", "input size",
                       f"{size_in / 2**20:.3g} MiB", f"{growth / size_in:.2f}x (ours/ref)")
        results[name] = growth / size_in
    return results


def bench_huge_length(report: Report, repeats: int, target: float) -> tuple[float, float]:
    m = libkeldrin.Init()
    assert m.wire_decode(HUGE_LENGTH_INIT).wire() == list(EMPTY_INIT)
    env = dict(m=m, huge=HUGE_LENGTH_INIT, empty=EMPTY_INIT)
    huge, empty = Case("m.wire_decode(huge)", env), Case("m.wire_decode(empty)", env)
    measure([huge, empty], repeats, target)
    report.row("declared length 2^64-1: decode", huge.median, "empty init decode",
               empty.median)
    return huge.median, empty.median


# --- The keldrin package ---------------------------------------------------------------------

# A decode that reads every field and encodes the message again, as a node that checks what it
# received and passes it on does.
KELDRIN_READ = "d = decode(raw); d.globalfeatures; d.features; d.tlvs; d.encode()"
PYLN_READ = ("p = pyln_decode(raw); p.fields['globalfeatures']; p.fields['features']; "
             "p.fields['tlvs']; pyln_encode(p)")


def bench_keldrin(report: Report, repeats: int, target: float) -> dict:
    """keldrin against libkeldrin, pyln-proto and a copy of the input, each group in turns:
    {case: (ours, reference)}, and pyln-proto's time of the round trip as "pyln"."""
    # One 65,000-byte remote_addr record (type 3, whose length the codec leaves free), and 1,000
    # empty records of one type, which only a lenient decode takes.
    one_record = big_message(6 + 4 + 65000, record_type=3)
    empty_records = records_message(1000, 2)
    env = dict(decode=keldrin.decode, m=libkeldrin.Init(), Init=libkeldrin.Init, raw=INIT_49,
               one_record=one_record, copy=bytearray(one_record), empty_records=empty_records,
               pyln_decode=pyln_decode, pyln_encode=pyln_encode, bytes=bytes)
    exec(KELDRIN_READ, env)
    assert env["d"].encode() == INIT_49 and len(env["d"].tlvs) == 2
    assert len(keldrin.decode(one_record).tlvs[0].value) == 65000
    assert len(keldrin.decode(empty_records, strict=False).tlvs) == 1000
    pyln = None
    if PylnMessage is not None:
        exec(PYLN_READ, env)
        pyln = Case(PYLN_READ, env)
    groups = {  # case: (reference's name, ours, reference, others timed in the same turns)
        "49 B init: decode": ("libkeldrin wire_decode", Case("decode(raw)", env),
                              Case("m.wire_decode(raw)", env)),
        "49 B init: decode, read, encode": ("libkeldrin, bytes(wire())", Case(KELDRIN_READ, env),
                                            Case("bytes(m.wire_decode(raw).wire())", env), pyln),
        "65,000 B record: decode": ("bytes(bytearray)", Case("decode(one_record)", env),
                                    Case("bytes(copy)", env)),
        "1e3 empty records: decode, tlvs, per record": (
            "libkeldrin Init()", Case("decode(empty_records, strict=False).tlvs", env, per=1000),
            Case("Init()", env)),
    }
    results = {}
    for name, (ref_name, ours, ref, *others) in groups.items():
        measure([ours, ref, *others], repeats, target)
        report.row(f"keldrin: {name}", ours.median, ref_name, ref.median)
        results[name] = (ours.median, ref.median)
    results["pyln"] = pyln.median if pyln else None
    report.row("keldrin: 49 B init: decode, read, encode",
               results["49 B init: decode, read, encode"][0], "pyln-proto", results["pyln"])
    return results


# --- Instruction counts under callgrind --------------------------------------------------------

CALLGRIND_SETUP = {
    "libkeldrin": "import libkeldrin; m = libkeldrin.Init(); d = m.wire_decode(raw)",
    "keldrin": "import keldrin; decode = keldrin.decode",
    "python": "import bench; py_decode = bench.py_decode; py_encode = bench.py_encode",
}
CALLGRIND_CASES = [  # (case, setup, statement, reference's name, its setup, its statement)
    ("49 B init: decode bytes", "libkeldrin", "m.wire_decode(raw)",
     "pure Python", "python", "py_decode(raw)"),
    ("49 B init: decode+encode", "libkeldrin", "m.wire_decode(raw).wire()",
     "pure Python", "python", "py_encode(py_decode(raw))"),
    ("keldrin: 49 B init: decode", "keldrin", "decode(raw)",
     "libkeldrin", "libkeldrin", "m.wire_decode(raw)"),
    ("keldrin: 49 B init: decode, read, encode", "keldrin", KELDRIN_READ,
     "libkeldrin", "libkeldrin", "bytes(m.wire_decode(raw).wire())"),
]


def callgrind_child(setup_key: str, stmt: str, loops: int) -> None:
    env = {"raw": INIT_49}
    exec(CALLGRIND_SETUP[setup_key], env)
    exec(stmt, env)  # warm every cache the statement fills on first use
    code = compile(f"for _ in range({loops}):\n    {stmt}\n", "<callgrind>", "exec")
    exec(code, env)


def instructions(setup_key: str, stmt: str, loops: int) -> int:
    """Instructions executed by one whole run of the child; deterministic for a given build."""
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null",
           sys.executable, os.path.abspath(__file__), "--callgrind-child", setup_key, stmt,
           str(loops)]
    env = dict(os.environ, PYTHONHASHSEED="0", PYTHONPATH=os.path.dirname(__file__))
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env, check=True)
    match = re.search(r"Collected\s*:\s*(\d+)", proc.stderr)
    if match is None:
        raise RuntimeError("callgrind printed no instruction count:\n" + proc.stderr[-2000:])
    return int(match.group(1))


def per_call_instructions(setup_key: str, stmt: str, loops: int = 2000) -> float:
    # The difference of two runs cancels start-up, import and set-up.
    return (instructions(setup_key, stmt, loops) - instructions(setup_key, stmt, 0)) / loops


def bench_callgrind(report: Report) -> dict:
    results = {}
    if shutil.which("valgrind") is None:
        for name, _, _, ref_name, *_ in CALLGRIND_CASES:
            report.raw_row(f"{name}: instructions (callgrind)", "n/a", ref_name, "n/a", "n/a")
        return results
    for name, ours_key, ours_stmt, ref_name, ref_key, ref_stmt in CALLGRIND_CASES:
        ours = per_call_instructions(ours_key, ours_stmt)
        ref = per_call_instructions(ref_key, ref_stmt)
        report.raw_row(f"{name}: instructions (callgrind)", f"{ours:,.0f} Ir", ref_name,
                       f"{ref:,.0f} Ir", f"{ref / ours:.2f}x")
        results[name] = ours
    return results


# --- Threads (free-threaded builds) ------------------------------------------------------------

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
ROUND_TRIP = "m.wire_decode(raw).wire()"


def throughput(threads: int, stmt: str, loops: int) -> float:
    """Calls a second of `stmt` run `loops` times on each of `threads` threads at once. Each
    thread has its own message object and its own copy of the input, as a server has its own
    received messages: an object shared between threads pays for atomic reference counts."""
    code = compile(f"for _ in range({loops}):\n    {stmt}\n", "<threads>", "exec")
    start = threading.Barrier(threads + 1)

    def work():
        env = {"m": libkeldrin.Init(), "raw": bytes(bytearray(INIT_49)),
               "py_decode": py_decode, "py_encode": py_encode}
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
    case = Case(ROUND_TRIP, {"m": libkeldrin.Init(), "raw": INIT_49})
    return case.timer.timeit(200_000) / 200_000


def round_trip_child() -> None:
    """Prints the single-thread time of the round trip, for --default-build."""
    print(one_thread_round_trip())


def bench_threads(report: Report, repeats: int, default_build: str | None) -> dict:
    """Two threads against one, for libkeldrin and for the pure-Python codec as a control: the
    control shows what two threads give on this machine at this moment (two vCPUs may share a
    core), and both are sampled in turns, round after round."""
    cases = {"libkeldrin": (ROUND_TRIP, 20_000),
             "pure Python": ("py_encode(py_decode(raw))", 2_000)}
    ratios = {name: [] for name in cases}
    for round_number in range(repeats):
        order = list(cases.items())
        for name, (stmt, loops) in order if round_number % 2 == 0 else reversed(order):
            one = throughput(1, stmt, loops)
            ratios[name].append(throughput(2, stmt, loops) / one)
    results = {name: statistics.median(r) for name, r in ratios.items()}
    ours, control = results["libkeldrin"], results["pure Python"]
    report.raw_row("49 B decode+encode: 2 threads over 1 (throughput)", f"{ours:.2f}x",
                   "pure Python, same", f"{control:.2f}x", f"{ours / control:.2f} (ours/control)")
    if default_build:
        # Interleaved with this build's own runs, so that a busy spell hits both.
        here, there = [], []
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(__file__)))
        for _ in range(5):
            here.append(one_thread_round_trip())
            out = subprocess.run([default_build, os.path.abspath(__file__), "--round-trip-child"],
                                 capture_output=True, text=True, env=env, check=True).stdout
            there.append(float(out.split()[-1]))
        results["here"], results["default"] = statistics.median(here), statistics.median(there)
        report.row("49 B decode+encode, one thread", results["here"], "default build",
                   results["default"])
    return results


# --- Targets ----------------------------------------------------------------------------------


def check_targets(report: Report, r49: dict, r64: dict, rec: dict, r60: dict, memory: dict,
                  huge: tuple, threads: dict | None, kel: dict) -> None:
    if threads is not None:
        report.target("49 B decode+encode on 2 threads >= 1.8x the throughput of 1",
                      f"{threads['libkeldrin']:.2f}x (pure Python: {threads['pure Python']:.2f}x)",
                      threads["libkeldrin"] >= 1.8)
        if "default" in threads:
            ratio = threads["here"] / threads["default"]
            report.target("49 B decode+encode on one thread within 1.3x of the default build",
                          f"{ratio:.2f}x", ratio <= 1.3)
        else:
            report.target("49 B decode+encode on one thread within 1.3x of the default build",
                          "n/a (no --default-build)", None)
    ours, pyln_t, py_t = r49["decode+encode"]
    if pyln_t is None:
        report.target("49 B decode+encode >= 120x faster than pyln-proto",
                      "n/a (pyln-proto not installed)", None)
    else:
        report.target("49 B decode+encode >= 120x faster than pyln-proto",
                      f"{pyln_t / ours:.1f}x", pyln_t / ours >= 120)
    report.target("49 B decode+encode >= 18x faster than pure Python", f"{py_t / ours:.1f}x",
                  py_t / ours >= 18)
    dec = r49["decode bytes"][0]
    report.target("49 B decode(bytes) <= 1.8x Init()", f"{dec / r49['Init()']:.2f}x",
                  dec / r49["Init()"] <= 1.8)
    for name, text, limit in (("wire()", "64 KiB wire() <= 0.6x list(b)", 0.6),
                              ("decode list", "64 KiB decode(list) <= 0.3x bytes(lst)", 0.3),
                              ("decode bytes", "64 KiB decode(bytes) <= 1.5x bytearray(b)", 1.5)):
        a, b = r64[name]
        report.target(text, f"{a / b:.2f}x", a / b <= limit)
    report.target("1e3 records of 60 B: decode per record <= 0.25x Init()",
                  f"{r60['per'] / r60['ctor']:.2f}x", r60["per"] / r60["ctor"] <= 0.25)
    report.target("1e3 records of 60 B: decode <= 8x bytearray(msg)",
                  f"{r60['whole'] / r60['copy']:.2f}x", r60["whole"] / r60["copy"] <= 8)
    growth = memory.get("16 MiB of 3 B records")
    report.target("16 MiB of 3 B records: peak memory growth <= 10x the input",
                  "n/a (no peak reset)" if growth is None else f"{growth:.2f}x",
                  None if growth is None else growth <= 10)
    h, e = huge
    report.target("declared length 2^64-1 within 1.5x of the empty init", f"{h / e:.2f}x",
                  h / e <= 1.5)
    per = list(rec.values())
    spread = max(per) / min(per)
    counts = ", ".join(f"{c:.0e}".replace("e+0", "e") for c in rec)
    report.target(f"time per record flat within 1.5x over {counts} records", f"{spread:.2f}x",
                  spread <= 1.5)
    check_keldrin_targets(report, kel, memory)


def check_keldrin_targets(report: Report, kel: dict, memory: dict) -> None:
    for name, text, limit in (
            ("49 B init: decode", "keldrin: 49 B decode <= 1.5x libkeldrin's", 1.5),
            ("49 B init: decode, read, encode",
             "keldrin: 49 B decode, read, encode <= 1.2x libkeldrin's decode, bytes(wire())", 1.2),
            ("65,000 B record: decode", "keldrin: 65,000 B record decode <= 3x bytes(bytearray)",
             3),
            ("1e3 empty records: decode, tlvs, per record",
             "keldrin: 1e3 empty records, decode and tlvs per record <= 1.5x libkeldrin Init()",
             1.5)):
        ours, ref = kel[name]
        report.target(text, f"{ours / ref:.2f}x", ours / ref <= limit)
    text = "keldrin: 49 B decode, read, encode >= 150x faster than pyln-proto"
    if kel["pyln"] is None:
        report.target(text, "n/a (pyln-proto not installed)", None)
    else:
        speedup = kel["pyln"] / kel["49 B init: decode, read, encode"][0]
        report.target(text, f"{speedup:.1f}x", speedup >= 150)
    growth = memory.get("keldrin: 16 MiB of empty records, tlvs unread")
    report.target("keldrin: 16 MiB of empty records, tlvs unread: peak memory growth <= 3x input",
                  "n/a (no peak reset)" if growth is None else f"{growth:.2f}x",
                  None if growth is None else growth <= 3)


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
    if len(sys.argv) > 1 and sys.argv[1] == "--callgrind-child":
        callgrind_child(sys.argv[2], sys.argv[3], int(sys.argv[4]))
        return
    if len(sys.argv) > 1 and sys.argv[1] == "--round-trip-child":
        round_trip_child()
        return
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
    load_pyln()
    # Many short repeats rather than a few long ones: a busy spell of a shared machine then
    # spoils a few samples of every case instead of the whole of one.
    repeats, target = (5, 0.003) if args.quick else (31, 0.005)
    counts = (10**3, 10**4, 10**5) if args.quick else (10**3, 10**4, 10**5, 10**6)

    print(f"libkeldrin benchmark: {machine()}")
    print(f"medians of {repeats} interleaved repeats (3 for cases slower than 0.25 s a call)\n")
    gc.disable()  # as timeit does: the collector's pauses would land on whichever case ran
    report = Report()
    r49 = bench_49(report, repeats, target)
    r64 = bench_64k(report, repeats, target)
    rec = bench_records(report, repeats, target, counts)
    r60 = bench_records_60(report, repeats, target)
    huge = bench_huge_length(report, repeats, target)
    kel = bench_keldrin(report, repeats, target)
    threads = None
    if FREE_THREADED:
        threads = bench_threads(report, 9 if args.quick else 21, args.default_build)
    gc.enable()
    memory = bench_memory(report)
    if not args.no_callgrind:
        bench_callgrind(report)
    check_targets(report, r49, r64, rec, r60, memory, huge, threads, kel)
    report.print()
    if args.chart:
        write_chart(r49, os.path.normpath(args.chart), chart_caption(repeats))


def chart_caption(repeats: int) -> str:
    return (f"One run of make bench on {machine().split(';')[0]}, CPython "
            f"{platform.python_version()}: medians of {repeats} repeats, the codecs taking turns. "
            "Read the bars as ratios within this one run: absolute times move by up to 1.7x "
            "between runs on a shared machine. keldrin and pyln-proto encode to bytes; "
            "libkeldrin and the pure-Python codec to a list of ints.")


if __name__ == "__main__":
    main()
