"""Allocation-failure sweep of libkeldrin and keldrin: `make faults`.

Every operation runs once to count its allocations, then once for each of them with that one
failing, alone and from there on, through the preloaded shim (faults/shim.cpp, with
PYTHONMALLOC=malloc) and through _testcapi.set_nomemory where the interpreter has it. Each point
runs in a child forked from this process, which imports neither module, so first uses start fresh
every time. A point passes with the correct result, MemoryError or the documented exception, its
object unchanged with its borrow free, reference counts unmoved, no C++ block left over, nothing
printed, and a first use that works when run again. Exit status 1 if any point fails.
"""

import argparse
import collections
import ctypes
from functools import partial
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
lib, keldrin = partial(__import__, "libkeldrin"), partial(__import__, "keldrin")
# `prepare()` runs in the child before arming and gives the state: `target` must be unchanged
# after a failure, the reference counts of `watch` must not move. `run(state)` gives the call as
# (callable, args[, kwargs]); `digest(state, result)` makes a result comparable across children.
# A `first_use` operation runs again after a failure, by `again(state)` if the call cannot show it.
Op = collections.namedtuple("Op", "name prepare run digest mutates first_use again",
                            defaults=(lambda state, result: None, False, False, None))


def message(records, value_size):
    """An init message with short feature fields and `records` TLV records of `value_size` bytes."""
    return bytes.fromhex("0010" "0002" "2200" "0003" "0a2800") + b"".join(
        bytes([i % 200, value_size]) + bytes([i % 256]) * value_size for i in range(records))


SMALL, LARGE = message(1, 36), message(5000, 12)  # 49 bytes and one record; 70,011 and 5,000


class LenFails(Seq):
    def __len__(self):
        raise ValueError("no length")


def lib_class(name):
    """A libkeldrin class; BitFlag and Stream, unexported, are made by failed assignments."""
    if name not in ("BitFlag", "Stream"):
        return getattr(lib(), name)
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


def raw(obj):
    """An instance's record and borrow counter: its memory past the object header, whose size
    (larger on free-threaded and debug builds) is object's own."""
    return ctypes.string_at(id(obj), type(obj).__basicsize__)[object.__basicsize__:]


def wire_digest(m):
    return [len(m.wire()), zlib.crc32(bytes(m.wire())), raw(m)[:2].hex()]


def libkeldrin_ops():
    def import_state():
        # The module's import entry, called as the interpreter calls it. What the interpreter does
        # around it (finding the file, mapping it, and in 3.13 copying a single-phase module's
        # dict, which crashes there when that allocation fails) is the interpreter's own.
        import importlib.util

        entry = ctypes.PyDLL(importlib.util.find_spec("libkeldrin").origin).PyInit_libkeldrin
        entry.argtypes, entry.restype = [], ctypes.py_object
        return dict(entry=entry)

    def init_state(data=None, *also_watched, **extra):
        m = lib().Init() if data is None else lib().Init().wire_decode(data)
        return dict(target=m, watch=[m, lib().Init, *also_watched], **extra)

    def setter(statement, make_value, data, valid):
        """An assignment, or a deletion, to the class and attribute that `statement` names; an Init
        target is decoded from `data` (a default one when None)."""
        delete = statement.startswith("del ")
        cls_name, attribute = statement.removeprefix("del ").split(" ")[0].split(".")

        def prepare():
            value = make_value() if valid else None
            if cls_name == "Init":
                state = init_state(data)
            else:
                target = patched(lib_class(cls_name))()
                state = dict(target=target, watch=[target, type(target)])
            if not delete:
                state["value"] = value if valid else make_value()
                state["watch"].append(state["value"])
            if not valid:
                lib_class("Stream")  # the first type checks are operations of their own
            return state

        run = ((lambda s: (delattr, (s["target"], attribute))) if delete
               else (lambda s: (setattr, (s["target"], attribute, s["value"]))))
        return Op(statement, prepare, run, lambda s, r: (
            wire_digest(s["target"]) if cls_name == "Init" else raw(s["target"]).hex()), mutates=valid)

    # Assignments: the statement, what makes the value, and the message an Init target comes from.
    bitflag, stream = (lambda: patched(lib_class("BitFlag"))()), (lambda: patched(lib_class("Stream"))())
    valid = [
        ("Init.ty = 7", lambda: 7, None), ("Init.ty = 7 (decoded)", lambda: 7, SMALL),
        ("Init.globalfeatures = BitFlag", bitflag, SMALL), ("Init.features = BitFlag", bitflag, SMALL),
        ("Init.init_tlvs = Stream", stream, SMALL),
        ("Init.init_tlvs = Stream (5000 records)", stream, LARGE),
        ("Error.ty = 3", lambda: 3, None), ("Error.channel_id = bytes", lambda: bytes(range(32)), None),
        ("Error.channel_id = list", lambda: list(range(32)), None),
        ("Error.channel_id = custom", lambda: Seq(list(range(32))), None),
        ("Error.data = BitFlag", bitflag, None),
        ("Warning.channel_id = tuple", lambda: tuple(range(32)), None),
        ("Warning.data = BitFlag", bitflag, None), ("Ping.num_pong_bytes = 3", lambda: 3, None),
        ("Ping.ignored = BitFlag", bitflag, None), ("Pong.ignored = BitFlag", bitflag, None),
    ]
    invalid = [
        ("Init.ty = 1.5", lambda: 1.5, SMALL), ("Init.ty = 65536", lambda: 65536, SMALL),
        ("Init.ty = 2**70", lambda: 2**70, SMALL), ("Init.features = bytes", lambda: b"", SMALL),
        ("Init.init_tlvs = list", lambda: [], SMALL), ("del Init.ty", None, SMALL),
        ("Error.channel_id = 31 bytes", lambda: bytes(31), None),
        ("Error.channel_id = 5", lambda: 5, None), ("Error.channel_id = 32 str", lambda: "x" * 32, None),
        ("Ping.num_pong_bytes = -1", lambda: -1, None), ("Pong.ignored = None", lambda: None, None),
    ]
    shapes = {"bytes": bytes, "bytearray": bytearray, "list": list, "tuple": tuple,
              "custom": lambda b: Seq(list(b))}
    arguments = {f"{shape}, {size}": make(data) for shape, make in shapes.items()
                 for size, data in (("0", b""), ("49", SMALL), ("70k", LARGE))}
    arguments.update({"str": "abc", "5": 5, "256": [0, 16, 0, 0, 0, 256], "'0'": [0, 16, 0, 0, 0, "0"],
                      "non-canonical": SMALL + bytes.fromhex("01fd0001aa"),
                      "failing len": LenFails(list(SMALL))})
    made = lambda s, r: raw(r).hex()
    return [
        Op("import", import_state, lambda s: (s["entry"], ()),
           lambda s, m: [list(m.__all__), m.Init().wire()], first_use=True),
        Op("first BitFlag check", init_state, lambda s: (setattr, (s["target"], "features", b"")),
           first_use=True),
        Op("first Stream check", init_state, lambda s: (setattr, (s["target"], "init_tlvs", [])),
           first_use=True),
        Op("Init()", lambda: dict(watch=[lib().Init]), lambda s: (lib().Init, ()), made),
        Op("Init(1)", lambda: dict(watch=[lib().Init]), lambda s: (lib().Init, (1,))),
        Op("Init(x=1)", lambda: dict(watch=[lib().Init]), lambda s: (lib().Init, (), {"x": 1})),
        Op("Error()", lambda: dict(watch=[lib().Error]), lambda s: (lib().Error, ())),
        *(Op(f"{name} through object.__new__", partial(lambda n: dict(cls=patched(lib_class(n))), name),
             lambda s: (s["cls"], ()), made)
          for name in ("Error", "Ping", "Pong", "Warning", "BitFlag", "Stream")),
        *(Op(f"wire() {size}", partial(init_state, data), lambda s: (s["target"].wire, ()),
             lambda s, r: [len(r), zlib.crc32(bytes(r))])
          for size, data in (("default", None), ("49", SMALL), ("70k", LARGE))),
        *(Op(f"wire_decode({name})", partial(init_state, SMALL, argument, argument=argument),
             lambda s: (s["target"].wire_decode, (s["argument"],)), lambda s, r: wire_digest(r))
          for name, argument in arguments.items()),
        Op("wire_decode(buf=)", partial(init_state, SMALL),
           lambda s: (s["target"].wire_decode, (), {"buf": SMALL})),
        *(setter(*row, True) for row in valid),
        *(setter(*row, False) for row in invalid),
    ]


def keldrin_ops():
    import _imp

    sample = lambda i, records=1, size=8: keldrin_samples(records, size)[i]
    fresh = lambda k, i: k.decode(bytes(sample(i)))  # its records not read yet
    fields = lambda i: operator.attrgetter(*sample(i).__match_args__)
    tlvs = lambda: bytes(sample(0))[10:]  # init's TLV stream

    def op(name, make, first_read=False):
        """keldrin's objects hold no borrow counter and change only by making their records' tuple
        and hash on first read, so the messages among the arguments have theirs read beforehand,
        unless the operation is that first read (whose Records then stay in the message)."""

        def prepare():
            call, *args = make(keldrin())
            for arg in args if not first_read else ():
                getattr(arg, "tlvs", None)
            classes = [c for c in vars(keldrin()).values()
                       if isinstance(c, type) and not (first_read and c is keldrin().Record)]
            return dict(call=call, args=args, watch=[*args, *classes])

        return Op(name, prepare, lambda s: (s["call"], tuple(s["args"])),
                  lambda s, r: zlib.crc32(repr(r).encode()), first_use=first_read)

    def new_module():
        import importlib.util

        spec = importlib.util.find_spec("keldrin")  # made as an import makes it, not executed yet
        return dict(spec=spec, module=_imp.create_dynamic(spec))

    def exec_again(state):
        # A failed exec leaves its module for good, as an import drops it: the next import makes
        # and executes a new one.
        state.update(new_module())
        return _imp.exec_dynamic(state["module"])

    # Each class's operations: the name, the call and its arguments from the module and the class's
    # index among the samples, and whether it is the first read; then the other calls.
    each_class = [
        ("keldrin.decode({}, small)", lambda k, i: (k.decode, bytes(sample(i)))),
        ("keldrin.decode({}, 64k)", lambda k, i: (k.decode, bytes(sample(i, 4000, 12)))),
        ("keldrin.{}(...)", lambda k, i: (type(sample(i)), *fields(i)(sample(i)))),
        ("keldrin.{} fields", lambda k, i: (fields(i), sample(i))),
        ("keldrin.{} repr", lambda k, i: (repr, sample(i))),
        ("keldrin.{} first hash", lambda k, i: (hash, fresh(k, i)), True),
        ("keldrin.{} pickle.dumps", lambda k, i: (pickle.dumps, sample(i))),
        ("keldrin.{} pickle.loads", lambda k, i: (pickle.loads, pickle.dumps(sample(i)))),
        ("keldrin.{}.tlvs first read", lambda k, i: (operator.attrgetter("tlvs"), fresh(k, i)), True),
    ]
    calls = [
        ("keldrin.Init derived",
         lambda k: (operator.attrgetter("networks", "remote_addr", "feature_bits"), sample(0))),
        ("keldrin.Ping.pong()", lambda k: (sample(3).pong,)),
        ("keldrin.Init.__replace__", lambda k: (partial(sample(0).__replace__, features=b"\x01"),)),
        ("keldrin.Init(tlvs out of order)", lambda k: (partial(k.Init, tlvs=[(3, b""), (1, b"")]),)),
        ("keldrin.Error(31 bytes)", lambda k: (k.Error, bytes(31))),
        ("keldrin.Unknown(16)", lambda k: (k.Unknown, 16)),
        ("keldrin.decode(not minimal)", lambda k: (k.decode, bytes.fromhex("00100000000001fd0001aa"))),
        ("keldrin.Init.decode(a ping)", lambda k: (k.Init.decode, bytes(sample(3)))),
        ("keldrin.decode(even type, lenient)", lambda k: (partial(k.decode, strict=False), b"\x00\x20")),
        ("keldrin.Record", lambda k: (k.Record, 2**64 - 1, bytearray(b"abc"))),
        ("keldrin.Record(2**64)", lambda k: (k.Record, 2**64, b"")),
        ("keldrin.encode_bigsize", lambda k: (k.encode_bigsize, 2**64 - 1)),
        ("keldrin.decode_bigsize", lambda k: (k.decode_bigsize, b"\xfe\x00\x01\x00\x00")),
        ("keldrin.decode_bigsize(short)", lambda k: (k.decode_bigsize, b"\xfe\x00")),
        ("keldrin.encode_tlv_stream", lambda k: (k.encode_tlv_stream, sample(0).tlvs)),
        ("keldrin.decode_tlv_stream", lambda k: (partial(k.decode_tlv_stream, known=[1, 3]), tlvs())),
        ("keldrin.decode_tlv_stream(strict)", lambda k: (k.decode_tlv_stream, tlvs())),
    ]
    classes = "Init Error Warning Ping Pong PeerStorage PeerStorageRetrieval Unknown".split()
    return [
        Op("keldrin exec", new_module, lambda s: (_imp.exec_dynamic, (s["module"],)),
           lambda s, r: [r, s["module"].__all__, s["module"].Init().encode().hex()],
           first_use=True, again=exec_again),
        *(op(template.format(name), partial(make, i=i), *first_read)
          for i, name in enumerate(classes) for template, make, *first_read in each_class
          if name != "Unknown" or ".tlvs" not in template),
        *(op(name, make) for name, make in calls),
    ]


class Faults:
    """The shim's controls, and the interpreter's hook where it has one. Arming and disarming
    allocate nothing."""

    def __init__(self, shim_path):
        shim = ctypes.CDLL(shim_path)
        self.arm_shim, self.disarm_shim = shim.keldrin_fault_arm, shim.keldrin_fault_disarm
        self.live_new, self.backtrace = shim.keldrin_fault_live_new, shim.keldrin_fault_backtrace
        self.arm_shim.argtypes, self.arm_shim.restype = [ctypes.c_longlong, ctypes.c_int], None
        self.disarm_shim.restype = self.live_new.restype = ctypes.c_longlong
        try:
            import _testcapi
        except ImportError:
            _testcapi = None
        self.capi = _testcapi if hasattr(_testcapi, "set_nomemory") else None
        self.allocators = ["malloc", "pymem"] if self.capi else ["malloc"]


def run_point(faults, op, allocator, fail_at, persistent):
    """Runs one point in this process and returns its report."""
    state = op.prepare()
    target, watch = state.get("target"), state.get("watch", [])
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
    before, live = (raw(target) if target is not None else None), faults.live_new()
    result = error = None
    if allocator == "malloc":
        arm, disarm = (lambda: faults.arm_shim(fail_at, persistent)), faults.disarm_shim
    else:
        stop = 0 if persistent else fail_at + 1
        arm = lambda: (faults.arm_shim(-1, 0), faults.capi.set_nomemory(fail_at, stop))
        disarm = faults.capi.remove_mem_hooks
    # The interpreter's own collector stays out of the window: 3.12 can run it from the eval
    # breaker with the operation's exception still set, and then prints that as unraisable.
    gc.disable()
    try:
        arm()
        result = call(*args, **kwargs)
        disarm()
    except BaseException as e:  # noqa: B036 - KeyboardInterrupt from a lost signal counts too
        disarm()
        e.__traceback__ = None
        error = e
    gc.enable()
    report = {"count": faults.disarm_shim(), "kind": "result", "problems": []}
    if error is None:
        report["digest"] = op.digest(state, result)
    elif isinstance(error, MemoryError):
        report["kind"] = "memory"
    else:
        report.update(kind="exception", exception=[type(error).__qualname__, str(error)])
    del result, error
    if target is not None:
        after = raw(target)
        if after[-8:] != bytes(8):
            report["problems"].append("borrow counter not free: " + after[-8:].hex())
        if after != before and not (op.mutates and report["kind"] == "result"):
            report["problems"].append("object changed")
    counts_after = [sys.getrefcount(o) for o in watch]
    if moved := [(repr(o)[:40], c, d) for o, c, d in zip(watch, counts, counts_after) if c != d]:
        report["problems"].append(f"reference counts moved: {moved}")
    report["live_new"] = faults.live_new() - live
    if op.first_use and report["kind"] != "result":
        try:
            result = op.again(state) if op.again else call(*args, **kwargs)
            report["retry"] = ["result", op.digest(state, result)]
        except BaseException as e:  # noqa: B036
            report["retry"] = ["exception", [type(e).__qualname__, str(e)]]
    return report


class TracedStderr:
    """sys.stderr, whose first write also prints the C stack (KELDRIN_FAULT_BACKTRACE): what
    printed a traceback during an operation."""

    def __init__(self, stream, backtrace):
        self.stream, self.backtrace = stream, backtrace

    def write(self, text):
        if self.backtrace:
            self.stream.flush()
            self.backtrace()
            self.backtrace = None
        return self.stream.write(text)

    def __getattr__(self, name):
        return getattr(self.stream, name)


def fork_point(faults, op, allocator, fail_at, persistent, errfile):
    """Runs a point in a forked child: its report, or a crash report when the child died."""
    read_end, write_end = os.pipe()
    if (pid := os.fork()) == 0:
        status = 3
        try:
            os.close(read_end)
            os.dup2(os.open(errfile, os.O_WRONLY | os.O_TRUNC), 2)
            signal.alarm(CHILD_SECONDS)  # a point that hangs counts as a crash
            if os.environ.get("KELDRIN_FAULT_BACKTRACE"):
                sys.stderr = TracedStderr(sys.stderr, faults.backtrace)
            report = run_point(faults, op, allocator, fail_at, persistent)
            sys.stderr.flush()
            if report.setdefault("stderr", os.fstat(2).st_size):
                with open(errfile, errors="replace") as f:
                    report["stderr_text"] = f.read()[:4000]
            os.write(write_end, json.dumps(report).encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    status = os.waitpid(pid, 0)[1]
    if status == 0 and data:
        return json.loads(data)
    with open(errfile, errors="replace") as f:
        tail = f.read()[-6000:]
    return {"kind": "crash", "status": status, "stderr_text": tail, "problems": ["child died"]}


def inside_interpreter(crash_text):
    """Whether a crash's stack, from the faulting frame down to the module's first frame, is the
    interpreter's alone: a crash inside one of its own calls, which the module made correctly
    (3.13.0 crashes in PyType_FromSpec when a dict resize inside it fails)."""
    frames = [f for f in crash_text.partition("keldrin-fault-crash")[2].split()
              if "faultshim" not in f and "/libc.so" not in f]
    for inside, frame in enumerate(frames):
        if "libkeldrin" in frame or "/keldrin/__init__." in frame:
            return inside > 0
        if "libpython" not in frame:
            return False
    return False


def judge(reference, report):
    """The problems of a point against the operation's reference run."""
    problems, kind = list(report["problems"]), report["kind"]
    if kind == "crash":
        if os.WIFSIGNALED(report["status"]) and inside_interpreter(report["stderr_text"]):
            report["kind"] = "interpreter"
            return []
        return problems + [f"status {report['status']}: {report['stderr_text'].strip()[-600:]}"]
    if report.get("stderr"):
        problems.append("printed to stderr: " + report["stderr_text"])
    outcome = lambda r: [r["kind"], r.get("digest", r.get("exception"))]
    if kind in ("result", "exception") and outcome(report) != outcome(reference):
        problems.append(f"wrong {kind} {outcome(report)[1]!r:.200}")
    if not 0 <= report["live_new"] <= reference["live_new"]:
        problems.append(f"C++ blocks left over: {report['live_new'] - reference['live_new']}")
    if report.get("retry", outcome(reference)) != outcome(reference):
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
    faults, started = Faults(shim), time.monotonic()
    errfile = tempfile.NamedTemporaryFile(prefix="keldrin-faults-", delete=False).name
    totals, excused = collections.Counter(), collections.defaultdict(list)
    failures = collections.defaultdict(list)  # (operation, problem): the points that showed it
    ops = [op for op in libkeldrin_ops() + keldrin_ops() if args.only in op.name]
    print(f"{'operation':44} {'allocs':>6} {'points':>7} {'result':>7} {'Memory':>7} {'document':>8} "
          "interp fail")
    for op in ops:
        reference = fork_point(faults, op, "malloc", -1, False, errfile)
        if reference["kind"] == "crash" or reference["problems"] or reference.get("stderr"):
            for problem in judge(reference, reference) or ["bad reference"]:
                failures[op.name, problem].append("reference")
            print(f"{op.name:44} reference run failed")
            continue
        row = collections.Counter()
        for allocator in faults.allocators:
            # The shim's count bounds the interpreter's allocations, which are a part of them:
            # the hook's sweep ends at the first point from which failing everything changes
            # nothing, as the operation makes no interpreter allocation after it.
            end = reference["count"]
            for persistent in (True, False):
                for n in points(end, args.bounded):
                    report = fork_point(faults, op, allocator, n, persistent, errfile)
                    problems = judge(reference, report)
                    where = f"{allocator} {'from' if persistent else 'at'} {n}"
                    row["points"] += 1
                    row["failed" if problems else report["kind"]] += 1
                    for problem in problems:
                        failures[op.name, problem].append(where)
                    if report["kind"] == "interpreter":
                        excused[op.name].append(where)
                    if (allocator == "pymem" and persistent and not problems
                            and report["kind"] == reference["kind"] == "result"):
                        end = n + 1
                        break
        totals.update(row)
        print(f"{op.name:44} {reference['count']:6} {row['points']:7} {row['result']:7} "
              f"{row['memory']:7} {row['exception']:8} {row['interpreter']:6} {row['failed']}", flush=True)
    os.unlink(errfile)
    print(f"{len(ops)} operations, {totals['points']} points in {time.monotonic() - started:.0f} s: "
          f"{totals['result']} correct results, {totals['memory']} MemoryError, "
          f"{totals['exception']} documented exceptions, {totals['interpreter']} crashes inside "
          f"the interpreter's own calls, {totals['failed']} failed "
          f"(allocators: {', '.join(faults.allocators)}; Python {sys.version.split()[0]})")
    for name, wheres in excused.items():
        print(f"interpreter crash, {name} [{', '.join(wheres[:6])}]: stack from the fault to the "
              "module's call is the interpreter's own")
    for (name, problem), wheres in failures.items():
        more = f" and {len(wheres) - 3} more" if len(wheres) > 3 else ""
        print(f"FAIL {name} [{', '.join(wheres[:3])}{more}]: {problem}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
