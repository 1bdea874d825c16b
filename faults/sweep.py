"""Allocation-failure sweep of libkeldrin and keldrin: `make faults`.

Every public operation runs once to count the allocations it makes. Then, for each of them, it
runs again with that allocation failing: once only, and from there on. Failures come from two
places: the preloaded shim (faults/shim.cpp), which fails malloc and its relatives and operator
new, with PYTHONMALLOC=malloc so that the interpreter's objects go through it too; and the
interpreter's own allocator hook, _testcapi.set_nomemory, where the interpreter has it.

Each point runs in a child forked from this process, which imports neither module itself, so
operations that depend on the first use in a process (import, the first type check of BitFlag and
Stream) start from a fresh state every time, and an abort kills only the child. At every point the
rule is: the operation gives its correct result, or MemoryError, or the exception it documents;
afterwards the object it worked on is unchanged and its borrow is free, the reference counts of
the objects involved are where they were, no C++ block is left over, and nothing was printed. An
operation that depends on first use must then succeed when run again.

Exit status 1 if any point breaks the rule.
"""

import argparse
import ctypes
import functools
import gc
import json
import operator
import os
import pickle
import signal
import sys
import tempfile
import time
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

from support import Seq, hidden_classes, keldrin_samples

CHILD_SECONDS = 60

# ---- Inputs, built before any fork --------------------------------------------------------------


def message(records, value_size):
    """An init message with short feature fields and `records` TLV records of `value_size` bytes."""
    head = bytes.fromhex("0010" "0002" "2200" "0003" "0a2800")
    body = b"".join(bytes([i % 200, value_size]) + bytes([i % 256]) * value_size
                    for i in range(records))
    return head + body


EMPTY = b""
SMALL = message(1, 36)  # 49 bytes, one record
LARGE = message(5000, 12)  # 70,011 bytes, 5,000 records
NON_CANONICAL = SMALL + bytes.fromhex("01fd0001aa")


class LenFails(Seq):
    def __len__(self):
        raise ValueError("no length")


SHAPES = {
    "bytes": bytes,
    "bytearray": bytearray,
    "list": list,
    "tuple": tuple,
    "custom": lambda b: Seq(list(b)),
}
SIZES = {"0": EMPTY, "49": SMALL, "70k": LARGE}
BUFFERS = {(shape, size): make(data) for shape, make in SHAPES.items() for size, data in SIZES.items()}

# ---- What a child can see of the module ----------------------------------------------------------


def lib():
    import libkeldrin

    return libkeldrin


def hidden_class(name):
    """BitFlag or Stream: made by a failed assignment, found among the subclasses of object."""
    m = lib().Init()
    for attribute, value in (("features", b""), ("init_tlvs", [])):
        try:
            setattr(m, attribute, value)
        except TypeError:
            pass
    (cls,) = hidden_classes(name)
    return cls


def patched(cls):
    """The class, made callable by Python code: its __new__ is now object.__new__ itself."""
    cls.__new__ = staticmethod(object.__new__)
    return cls


def instance(cls):
    """A default instance of a class without a constructor, through object.__new__."""
    return patched(cls)()


def raw(obj):
    """The record and borrow counter of an instance: its memory after the object header, whose
    size (larger on free-threaded and debug builds) is object's own."""
    return ctypes.string_at(id(obj), type(obj).__basicsize__)[object.__basicsize__:]


def wire_digest(m):
    return [len(m.wire()), zlib.crc32(bytes(m.wire())), raw(m)[:2].hex()]


# ---- The operations -------------------------------------------------------------------------------


class Op:
    """One operation: `prepare` runs in the child before arming and returns the state; `run` gives
    the call that is the operation itself, as a callable with its positional and keyword arguments;
    `digest` turns a result into something comparable across children.
    `target` names the object that must be unchanged after a failure, `watch` the objects whose
    reference counts must not move. `first_use` operations are run again after a failure, by
    `again(state)` where the same call cannot show it (a failed exec leaves its module for good)."""

    def __init__(self, name, prepare, run, digest=None, *, mutates=False, first_use=False,
                 again=None):
        self.name, self.prepare, self.run = name, prepare, run
        self.digest = digest or (lambda state, result: None)
        self.mutates, self.first_use, self.again = mutates, first_use, again


def import_state():
    """The module's import entry, called as the interpreter calls it. What the interpreter does
    around it (finding the file, mapping it, and in 3.13 copying a single-phase module's dict,
    which crashes there when that allocation fails) is the interpreter's own."""
    import importlib.util

    entry = ctypes.PyDLL(importlib.util.find_spec("libkeldrin").origin).PyInit_libkeldrin
    entry.argtypes, entry.restype = [], ctypes.py_object
    return dict(entry=entry)


def init_state(data=None, **extra):
    m = lib().Init() if data is None else lib().Init().wire_decode(data)
    return dict(target=m, watch=[m, lib().Init], **extra)


def setter_ops():
    ops = []

    def valid(name, cls_name, attribute, make_value, target_data=None):
        def prepare():
            value = make_value()
            if cls_name == "Init":
                state = init_state(target_data)
            else:
                target = instance(getattr(lib(), cls_name))
                state = dict(target=target, watch=[target, type(target)])
            state["value"] = value
            state["watch"].append(value)
            return state

        digest = ((lambda s, r: wire_digest(s["target"])) if cls_name == "Init"
                  else (lambda s, r: raw(s["target"]).hex()))
        ops.append(Op(name, prepare, lambda s: (setattr, (s["target"], attribute, s["value"])),
                      digest, mutates=True))

    def invalid(name, cls_name, attribute, value, delete=False):
        def prepare():
            if cls_name == "Init":
                state = init_state(SMALL)
            else:
                target = instance(getattr(lib(), cls_name))
                state = dict(target=target, watch=[target, type(target)])
            if not delete:
                state["value"] = value()
                state["watch"].append(state["value"])
            # The hidden classes exist already: their first check is an operation of its own.
            hidden_class("Stream")
            return state

        run = ((lambda s: (delattr, (s["target"], attribute))) if delete
               else (lambda s: (setattr, (s["target"], attribute, s["value"]))))
        ops.append(Op(name, prepare, run))

    bitflag = lambda: instance(hidden_class("BitFlag"))
    stream = lambda: instance(hidden_class("Stream"))
    valid("Init.ty = 7", "Init", "ty", lambda: 7)
    valid("Init.ty = 7 (decoded)", "Init", "ty", lambda: 7, SMALL)
    valid("Init.globalfeatures = BitFlag", "Init", "globalfeatures", bitflag, SMALL)
    valid("Init.features = BitFlag", "Init", "features", bitflag, SMALL)
    valid("Init.init_tlvs = Stream", "Init", "init_tlvs", stream, SMALL)
    valid("Init.init_tlvs = Stream (5000 records)", "Init", "init_tlvs", stream, LARGE)
    valid("Error.ty = 3", "Error", "ty", lambda: 3)
    valid("Error.channel_id = bytes", "Error", "channel_id", lambda: bytes(range(32)))
    valid("Error.channel_id = list", "Error", "channel_id", lambda: list(range(32)))
    valid("Error.channel_id = custom", "Error", "channel_id", lambda: Seq(list(range(32))))
    valid("Error.data = BitFlag", "Error", "data", bitflag)
    valid("Warning.channel_id = tuple", "Warning", "channel_id", lambda: tuple(range(32)))
    valid("Warning.data = BitFlag", "Warning", "data", bitflag)
    valid("Ping.num_pong_bytes = 3", "Ping", "num_pong_bytes", lambda: 3)
    valid("Ping.ignored = BitFlag", "Ping", "ignored", bitflag)
    valid("Pong.ignored = BitFlag", "Pong", "ignored", bitflag)
    invalid("Init.ty = 1.5", "Init", "ty", lambda: 1.5)
    invalid("Init.ty = 65536", "Init", "ty", lambda: 65536)
    invalid("Init.ty = 2**70", "Init", "ty", lambda: 2**70)
    invalid("Init.features = bytes", "Init", "features", lambda: b"")
    invalid("Init.init_tlvs = list", "Init", "init_tlvs", lambda: [])
    invalid("del Init.ty", "Init", "ty", None, delete=True)
    invalid("Error.channel_id = 31 bytes", "Error", "channel_id", lambda: bytes(31))
    invalid("Error.channel_id = 5", "Error", "channel_id", lambda: 5)
    invalid("Error.channel_id = 32 str", "Error", "channel_id", lambda: "x" * 32)
    invalid("Ping.num_pong_bytes = -1", "Ping", "num_pong_bytes", lambda: -1)
    invalid("Pong.ignored = None", "Pong", "ignored", lambda: None)
    return ops


def operations():
    ops = [
        Op("import", import_state, lambda s: (s["entry"], ()),
           lambda s, m: [list(m.__all__), m.Init().wire()], first_use=True),
        Op("first BitFlag check", lambda: init_state(), lambda s: (setattr, (s["target"], "features", b"")),
           first_use=True),
        Op("first Stream check", lambda: init_state(), lambda s: (setattr, (s["target"], "init_tlvs", [])),
           first_use=True),
        Op("Init()", lambda: dict(watch=[lib().Init]), lambda s: (lib().Init, ()), lambda s, r: raw(r).hex()),
        Op("Init(1)", lambda: dict(watch=[lib().Init]), lambda s: (lib().Init, (1,))),
        Op("Init(x=1)", lambda: dict(watch=[lib().Init]), lambda s: (lib().Init, (), {"x": 1})),
        Op("Error()", lambda: dict(watch=[lib().Error]), lambda s: (lib().Error, ())),
    ]
    for name in ("Error", "Ping", "Pong", "Warning"):
        ops.append(Op(f"{name} through object.__new__",
                      lambda name=name: dict(cls=patched(getattr(lib(), name))),
                      lambda s: (s["cls"], ()), lambda s, r: raw(r).hex()))
    for name in ("BitFlag", "Stream"):
        ops.append(Op(f"{name} through object.__new__",
                      lambda name=name: dict(cls=patched(hidden_class(name))),
                      lambda s: (s["cls"], ()), lambda s, r: raw(r).hex()))
    for size, data in (("default", None), ("49", SMALL), ("70k", LARGE)):
        ops.append(Op(f"wire() {size}", lambda data=data: init_state(data), lambda s: (s["target"].wire, ()),
                      lambda s, r: [len(r), zlib.crc32(bytes(r))]))
    for (shape, size), buff in BUFFERS.items():
        ops.append(Op(f"wire_decode({shape}, {size})",
                      lambda buff=buff: init_state(SMALL, buff=buff, watch_extra=buff),
                      lambda s: (s["target"].wire_decode, (s["buff"],)),
                      lambda s, r: wire_digest(r)))
    for name, buff in (("str", "abc"), ("5", 5), ("256", [0, 16, 0, 0, 0, 256]),
                       ("'0'", [0, 16, 0, 0, 0, "0"]), ("non-canonical", NON_CANONICAL),
                       ("failing len", LenFails(list(SMALL)))):
        ops.append(Op(f"wire_decode({name})", lambda buff=buff: init_state(SMALL, buff=buff),
                      lambda s: (s["target"].wire_decode, (s["buff"],)), lambda s, r: wire_digest(r)))
    ops.append(Op("wire_decode(buf=)", lambda: init_state(SMALL),
                  lambda s: (s["target"].wire_decode, (), {"buf": SMALL})))
    return ops + setter_ops() + keldrin_ops()


def keldrin():
    import keldrin

    return keldrin


def keldrin_module():
    """A new keldrin module, made as an import makes it but not yet executed: executing it makes
    everything the module holds (import_state's counterpart for a module of several phases)."""
    import _imp
    import importlib.util

    spec = importlib.util.find_spec("keldrin")
    return dict(spec=spec, module=_imp.create_dynamic(spec))


def exec_again(state):
    """A failed exec leaves its module for good, as an import drops it: the next import makes and
    executes a new one."""
    import _imp

    state.update(keldrin_module())
    return _imp.exec_dynamic(state["module"])


def keldrin_op(name, make, *, first_read=False):
    """A keldrin operation: `make()` gives the call and its arguments. keldrin's objects hold no
    borrow counter and change only by making their records' tuple and hash on first read: its
    result, the counts of its arguments and of keldrin's classes, and the C++ blocks are judged.
    The records of the messages among the arguments are read beforehand, unless the operation
    is that first read: its Records stay in the message, and must then be read when run again."""

    def prepare():
        call, *args = make()
        k = keldrin()
        for arg in args if not first_read else ():
            getattr(arg, "tlvs", None)
        classes = [c for c in vars(k).values() if isinstance(c, type)]
        return dict(call=call, args=args,
                    watch=[*args, *(c for c in classes if not first_read or c is not k.Record)])

    return Op(name, prepare, lambda s: (s["call"], tuple(s["args"])),
              lambda s, r: zlib.crc32(repr(r).encode()), first_use=first_read)


def keldrin_ops():
    import _imp

    ops = [Op("keldrin exec", keldrin_module, lambda s: (_imp.exec_dynamic, (s["module"],)),
              lambda s, r: [r, s["module"].__all__, s["module"].Init().encode().hex()],
              first_use=True, again=exec_again)]
    sample = lambda i, records=1, size=8: keldrin_samples(records, size)[i]
    fresh = lambda i: keldrin().decode(bytes(sample(i)))
    names = ["Init", "Error", "Warning", "Ping", "Pong", "PeerStorage", "PeerStorageRetrieval",
             "Unknown"]
    for i, name in enumerate(names):
        fields = lambda i=i: operator.attrgetter(*sample(i).__match_args__)
        ops += [
            keldrin_op(f"keldrin.decode({name}, small)", lambda i=i: (keldrin().decode, bytes(sample(i)))),
            keldrin_op(f"keldrin.decode({name}, 64k)",
                       lambda i=i: (keldrin().decode, bytes(sample(i, 4000, 12)))),
            keldrin_op(f"keldrin.{name}(...)", lambda i=i: (type(sample(i)), *fields(i)(sample(i)))),
            keldrin_op(f"keldrin.{name} fields", lambda i=i: (fields(i), sample(i))),
            keldrin_op(f"keldrin.{name} repr", lambda i=i: (repr, sample(i))),
            keldrin_op(f"keldrin.{name} first hash", lambda i=i: (hash, fresh(i)), first_read=True),
            keldrin_op(f"keldrin.{name} pickle.dumps", lambda i=i: (pickle.dumps, sample(i))),
            keldrin_op(f"keldrin.{name} pickle.loads", lambda i=i: (pickle.loads, pickle.dumps(sample(i)))),
        ]
        if name != "Unknown":
            ops.append(keldrin_op(f"keldrin.{name}.tlvs first read",
                                  lambda i=i: (operator.attrgetter("tlvs"), fresh(i)), first_read=True))
    init_tlvs = lambda: bytes(sample(0))[10:]
    partial = functools.partial
    return ops + [
        keldrin_op("keldrin.Init derived", lambda: (
            operator.attrgetter("networks", "remote_addr", "feature_bits"), sample(0))),
        keldrin_op("keldrin.Ping.pong()", lambda: (sample(3).pong,)),
        keldrin_op("keldrin.Init.__replace__", lambda: (
            partial(sample(0).__replace__, features=b"\x01"),)),
        keldrin_op("keldrin.Init(tlvs out of order)", lambda: (
            partial(keldrin().Init, tlvs=[(3, b""), (1, b"")]),)),
        keldrin_op("keldrin.Error(31 bytes)", lambda: (keldrin().Error, bytes(31))),
        keldrin_op("keldrin.Unknown(16)", lambda: (keldrin().Unknown, 16)),
        keldrin_op("keldrin.decode(not minimal)", lambda: (
            keldrin().decode, bytes.fromhex("00100000000001fd0001aa"))),
        keldrin_op("keldrin.Init.decode(a ping)", lambda: (keldrin().Init.decode, bytes(sample(3)))),
        keldrin_op("keldrin.decode(even type, lenient)", lambda: (
            partial(keldrin().decode, strict=False), b"\x00\x20")),
        keldrin_op("keldrin.Record", lambda: (keldrin().Record, 2**64 - 1, bytearray(b"abc"))),
        keldrin_op("keldrin.Record(2**64)", lambda: (keldrin().Record, 2**64, b"")),
        keldrin_op("keldrin.encode_bigsize", lambda: (keldrin().encode_bigsize, 2**64 - 1)),
        keldrin_op("keldrin.decode_bigsize", lambda: (keldrin().decode_bigsize, b"\xfe\x00\x01\x00\x00")),
        keldrin_op("keldrin.decode_bigsize(short)", lambda: (keldrin().decode_bigsize, b"\xfe\x00")),
        keldrin_op("keldrin.encode_tlv_stream", lambda: (keldrin().encode_tlv_stream, sample(0).tlvs)),
        keldrin_op("keldrin.decode_tlv_stream", lambda: (
            partial(keldrin().decode_tlv_stream, known=[1, 3]), init_tlvs())),
        keldrin_op("keldrin.decode_tlv_stream(strict)", lambda: (
            keldrin().decode_tlv_stream, init_tlvs())),
    ]


# ---- One point, in a child ---------------------------------------------------------------------


class Faults:
    """The two ways to fail allocations. Arming and disarming allocate nothing."""

    def __init__(self, shim_path):
        shim = ctypes.CDLL(shim_path)
        self.arm_shim = shim.keldrin_fault_arm
        self.arm_shim.argtypes, self.arm_shim.restype = [ctypes.c_longlong, ctypes.c_int], None
        self.disarm_shim = shim.keldrin_fault_disarm
        self.disarm_shim.argtypes, self.disarm_shim.restype = [], ctypes.c_longlong
        self.injected = shim.keldrin_fault_injected
        self.injected.argtypes, self.injected.restype = [], ctypes.c_longlong
        self.live_new = shim.keldrin_fault_live_new
        self.live_new.argtypes, self.live_new.restype = [], ctypes.c_longlong
        self.backtrace = shim.keldrin_fault_backtrace
        try:
            import _testcapi
        except ImportError:
            _testcapi = None
        self.testcapi = _testcapi if hasattr(_testcapi, "set_nomemory") else None

    def allocators(self):
        return ["malloc", "pymem"] if self.testcapi else ["malloc"]


def run_point(faults, op, allocator, fail_at, persistent):
    """Runs one point and returns its report (a dict)."""
    state = op.prepare()
    target = state.get("target")
    watch = state.get("watch", []) + ([state["watch_extra"]] if "watch_extra" in state else [])
    if sys.version_info < (3, 12):
        # 3.11 counts the references of None and the small ints, which the sweep's own numbers
        # (allocation counts, the report) share with the values watched; from 3.12 they are
        # immortal and their counts stay put.
        watch = [o for o in watch if not (o is None or type(o) is int and -5 <= o <= 256)]
    # The operation is called from this frame, with no Python frame of the sweep in between,
    # and this frame's own frame object made beforehand: the interpreter makes frame objects
    # lazily while an exception passes, and 3.12 loses the exception when that allocation fails.
    call, args, kwargs = (op.run(state) + ({},))[:3]
    sys._getframe()
    counts = [sys.getrefcount(o) for o in watch]
    before = raw(target) if target is not None else None
    live = faults.live_new()
    result = error = None
    if allocator == "malloc":
        arm, disarm = (lambda: faults.arm_shim(fail_at, persistent)), faults.disarm_shim
    else:
        capi = faults.testcapi
        stop = 0 if persistent else fail_at + 1
        arm = lambda: (faults.arm_shim(-1, 0), capi.set_nomemory(fail_at, stop))
        disarm = capi.remove_mem_hooks
    # The interpreter's own collector stays out of the window: 3.12 can run it from the eval
    # breaker with the operation's exception still set, and then prints that as unraisable.
    gc.disable()
    try:
        arm()
        result = call(*args, **kwargs)
        disarm()
    except BaseException as e:  # noqa: B036 - KeyboardInterrupt from a lost signal counts too
        disarm()
        error = e
    gc.enable()
    counted = faults.disarm_shim()
    report = {"count": counted, "injected": faults.injected() if allocator == "malloc" else None}
    problems = []
    if error is not None:
        if isinstance(error, MemoryError):
            report["kind"] = "memory"
        else:
            report["kind"] = "exception"
            report["exception"] = [type(error).__qualname__, str(error)]
        error.__traceback__ = None
    else:
        report["kind"] = "result"
        report["digest"] = op.digest(state, result)
    del result, error
    if target is not None:
        after = raw(target)
        if after[-8:] != bytes(8):
            problems.append("borrow counter not free: " + after[-8:].hex())
        if after != before and not (op.mutates and report["kind"] == "result"):
            problems.append("object changed")
    counts_after = [sys.getrefcount(o) for o in watch]
    moved = [(repr(o)[:40], c, d) for o, c, d in zip(watch, counts, counts_after) if c != d]
    if moved:
        problems.append(f"reference counts moved: {moved}")
    report["live_new"] = faults.live_new() - live
    if op.first_use and (report["kind"] == "memory" or report["kind"] == "exception"):
        try:
            result = op.again(state) if op.again else call(*args, **kwargs)
            report["retry"] = ["result", op.digest(state, result)]
        except BaseException as e:  # noqa: B036
            report["retry"] = ["exception", [type(e).__qualname__, str(e)]]
    report["problems"] = problems
    return report


def trace_writes(faults):
    """With KELDRIN_FAULT_BACKTRACE set, the C stack of the first write to sys.stderr goes there
    too: what printed a traceback during an operation."""

    class Traced:
        def __init__(self, stream):
            self.stream, self.done = stream, False

        def write(self, text):
            if not self.done:
                self.done = True
                self.stream.flush()
                faults.backtrace()
            return self.stream.write(text)

        def __getattr__(self, name):
            return getattr(self.stream, name)

    sys.stderr = Traced(sys.stderr)


def fork_point(faults, op, allocator, fail_at, persistent, errfile):
    """Runs a point in a forked child; the report, or a crash report when the child died."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 0
        try:
            os.close(read_end)
            fd = os.open(errfile, os.O_WRONLY | os.O_TRUNC)
            os.dup2(fd, 2)
            # A point that hangs counts as a crash.
            signal.alarm(CHILD_SECONDS)
            if os.environ.get("KELDRIN_FAULT_BACKTRACE"):
                trace_writes(faults)
            report = run_point(faults, op, allocator, fail_at, persistent)
            sys.stderr.flush()
            report["stderr"] = os.fstat(2).st_size
            if report["stderr"]:
                with open(errfile, errors="replace") as f:
                    report["stderr_text"] = f.read()[:4000]
            os.write(write_end, json.dumps(report).encode())
        except BaseException:  # noqa: B036
            status = 3
        os._exit(status)
    os.close(write_end)
    chunks = []
    while chunk := os.read(read_end, 1 << 16):
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    data = b"".join(chunks)
    if status != 0 or not data:
        with open(errfile, errors="replace") as f:
            tail = f.read()[-6000:]
        return {"kind": "crash", "status": status, "stderr_text": tail, "problems": ["child died"]}
    return json.loads(data)


# ---- The sweep -------------------------------------------------------------------------------------


def inside_interpreter(crash_text):
    """Whether a crash's stack, from the faulting frame down to the first frame of the module,
    is the interpreter's alone: a crash inside one of its own calls, which the module made
    correctly (3.13.0 crashes in PyType_FromSpec when a dict resize inside it fails)."""
    if "keldrin-fault-crash" not in crash_text:
        return False
    frames = crash_text.split("keldrin-fault-crash", 1)[1].split()
    frames = [f for f in frames if "faultshim" not in f and "/libc.so" not in f]
    inside = 0
    for frame in frames:
        if "libkeldrin" in frame or "/keldrin/__init__." in frame:
            return inside > 0
        if "libpython" not in frame:
            return False
        inside += 1
    return False


def judge(reference, report):
    """The problems of a point against the operation's reference run."""
    problems = list(report["problems"])
    kind = report["kind"]
    if kind == "crash":
        if os.WIFSIGNALED(report["status"]) and inside_interpreter(report["stderr_text"]):
            report["kind"] = "interpreter"
            return []
        return problems + [f"status {report['status']}: {report['stderr_text'].strip()[-600:]}"]
    if report.get("stderr"):
        problems.append("printed to stderr: " + report["stderr_text"])
    if kind == "result":
        if reference["kind"] != "result" or report["digest"] != reference["digest"]:
            problems.append(f"wrong result {report['digest']!r:.120}")
    elif kind == "exception":
        if reference["kind"] != "exception" or report["exception"] != reference["exception"]:
            problems.append(f"wrong exception {report['exception']!r:.200}")
    if not 0 <= report["live_new"] <= reference["live_new"]:
        problems.append(f"C++ blocks left over: {report['live_new'] - reference['live_new']}")
    if "retry" in report:
        expected = [reference["kind"], reference.get("digest", reference.get("exception"))]
        if report["retry"] != expected:
            problems.append(f"broken after failure: {report['retry']!r:.200}")
    return problems


def points(count, bounded):
    if not bounded or count <= 48:
        return range(count)
    step = (count - 16) / 32
    return sorted(set(range(16)) | {16 + int(i * step) for i in range(32)} | {count - 1})


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--shim", required=True, help="path of libkeldrin_faultshim.so")
    parser.add_argument("--bounded", action="store_true", help="sample about 50 points an operation")
    parser.add_argument("--only", default="", help="only operations whose name contains this")
    args = parser.parse_args()
    shim = os.path.abspath(args.shim)
    if os.environ.get("LD_PRELOAD") != shim or os.environ.get("PYTHONMALLOC") != "malloc":
        env = dict(os.environ, LD_PRELOAD=shim, PYTHONMALLOC="malloc")
        os.execve(sys.executable, [sys.executable, *sys.argv], env)
    if {"libkeldrin", "keldrin"} & sys.modules.keys():
        sys.exit("sweep: neither module may be imported before the children fork")

    faults = Faults(shim)
    errfile = tempfile.NamedTemporaryFile(prefix="keldrin-faults-", delete=False).name
    started = time.monotonic()
    totals = {"points": 0, "result": 0, "memory": 0, "exception": 0, "interpreter": 0, "failed": 0}
    failures = []
    excused = {}
    ops = [op for op in operations() if args.only in op.name]
    print(f"{'operation':44} {'allocs':>6} {'points':>7} {'result':>7} {'Memory':>7} {'document':>8} "
          "interp fail")
    for op in ops:
        reference = fork_point(faults, op, "malloc", -1, False, errfile)
        if reference["kind"] == "crash" or reference["problems"] or reference.get("stderr"):
            failures.append((op.name, "reference", judge(reference, reference) or ["bad reference"]))
            print(f"{op.name:44} reference run failed")
            continue
        row = {"points": 0, "result": 0, "memory": 0, "exception": 0, "interpreter": 0, "failed": 0}
        for allocator in faults.allocators():
            # The shim's count bounds the interpreter's allocations, which are a part of them:
            # the hook's sweep ends at the first point from which failing everything changes
            # nothing, as the operation makes no interpreter allocation after it.
            end = reference["count"]
            for persistent in (True, False):
                for n in points(end, args.bounded):
                    report = fork_point(faults, op, allocator, n, persistent, errfile)
                    problems = judge(reference, report)
                    row["points"] += 1
                    if problems:
                        row["failed"] += 1
                        failures.append((op.name, f"{allocator} {'from' if persistent else 'at'} {n}",
                                         problems))
                    else:
                        row[report["kind"]] += 1
                    if report["kind"] == "interpreter":
                        excused.setdefault(op.name, []).append(
                            f"{allocator} {'from' if persistent else 'at'} {n}")
                    if (allocator == "pymem" and persistent and not problems
                            and report["kind"] == reference["kind"] == "result"):
                        end = n + 1
                        break
        for key in totals:
            totals[key] += row[key]
        print(f"{op.name:44} {reference['count']:6} {row['points']:7} {row['result']:7} "
              f"{row['memory']:7} {row['exception']:8} {row['interpreter']:6} {row['failed']}", flush=True)
    os.unlink(errfile)
    elapsed = time.monotonic() - started
    print(f"{len(ops)} operations, {totals['points']} points in {elapsed:.0f} s: "
          f"{totals['result']} correct results, {totals['memory']} MemoryError, "
          f"{totals['exception']} documented exceptions, {totals['interpreter']} crashes inside "
          f"the interpreter's own calls, {totals['failed']} failed "
          f"(allocators: {', '.join(faults.allocators())}; Python {sys.version.split()[0]})")
    for name, wheres in excused.items():
        print(f"interpreter crash, {name} [{', '.join(wheres[:6])}]: stack from the fault to the "
              "module's call is the interpreter's own")
    # One line for each distinct problem of an operation, with the points that showed it.
    seen = {}
    for name, where, problems in failures:
        for problem in problems:
            seen.setdefault((name, problem), []).append(where)
    for (name, problem), wheres in seen.items():
        more = f" and {len(wheres) - 3} more" if len(wheres) > 3 else ""
        print(f"FAIL {name} [{', '.join(wheres[:3])}{more}]: {problem}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
