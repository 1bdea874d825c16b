"""What the tests and the fuzz and fault scripts share: the module's error texts, its hidden
classes, the known-answer vectors, and Python objects of every awkward kind to feed it."""

import operator
import pathlib
import sysconfig
import threading
from typing import NamedTuple

EOF = "failed to fill whole buffer"
NOT_CANONICAL = "decoded bigsize is not canonical"
OUT_OF_RANGE = "out of range integral type conversion attempted"
TOO_LARGE = "Python int too large to convert to C long"
BORROWED = "Already borrowed"


VECTORS_FILE = pathlib.Path(__file__).resolve().parent.parent / "vectors.txt"


class Vector(NamedTuple):
    name: str  # the comment after the row, or its input as written
    input: bytes
    fields: list[str]  # the fields after the input


def vector_bytes(text):
    """Bytes as vectors.txt writes them: hex, spaces anywhere between bytes, "xy*n" for n copies
    of the bytes xy."""
    out = bytearray()
    for word in text.split():
        pattern, star, copies = word.partition("*")
        out += bytes.fromhex(pattern) * (int(copies) if star else 1)
    return bytes(out)


def vectors(table):
    """The rows of one table of tests/vectors.txt (its format is described at its top)."""
    rows = []
    for line in VECTORS_FILE.read_text().splitlines():
        row, _, name = line.partition("#")
        if not row.strip():
            continue
        fields = [field.strip() for field in row.split("|")]
        if fields[0] == table:
            rows.append(Vector(name.strip() or fields[1], vector_bytes(fields[1]), fields[2:]))
    if not rows:
        raise LookupError(f"no table {table} in {VECTORS_FILE}")
    return rows


# No interpreter lock: calls on one object from several threads really overlap.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def on_a_thread_of_its_own(body):
    """Runs body() on a new thread, waits for it and raises what it raised. A free-threaded
    build counts a class's references from new instances per thread and adds them to what
    sys.getrefcount says when that thread ends, so counts read around this call are exact."""
    raised = []

    def run():
        try:
            body()
        except BaseException as error:  # noqa: BLE001 - raised again on the caller's thread
            raised.append(error)

    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    if raised:
        raise raised[0]


def keldrin_samples(records=2, size=8):
    """One message of each keldrin class, in __all__ order, each extension holding `records`
    records of `size` bytes (init's after its networks and remote_addr). keldrin is imported on
    the first call, so that the fault sweep's children each import it for themselves."""
    import keldrin

    tlvs = [(5 + 2 * i, bytes([i % 256]) * size) for i in range(records)]
    return [
        keldrin.Init(b"\x22", b"\x0a\x28\x00", [(1, bytes(64)), (3, bytes(range(6))), *tlvs]),
        keldrin.Error(bytes(range(32)), b"failed", tlvs),
        keldrin.Warning(bytes(32), b"careful", tlvs),
        keldrin.Ping(4, bytes(size), tlvs),
        keldrin.Pong(bytes(size), tlvs),
        keldrin.PeerStorage(bytes(size), tlvs),
        keldrin.PeerStorageRetrieval(bytes(size), tlvs),
        keldrin.Unknown(33, bytes(size * records)),
    ]


def hidden_classes(*names):
    """The module's unexported classes (all, or those named): found only as subclasses of object."""
    names = names or ("Stream", "BitFlag")
    return [c for c in object.__subclasses__()
            if getattr(c, "__module__", None) == "builtins" and c.__name__ in names]


def cannot(attribute, type_name, target):
    """The module's text for an assignment or argument of a type it cannot convert."""
    return f"argument '{attribute}': '{type_name}' object cannot be converted to '{target}'"


def index_error_text(value):
    """The interpreter's own text for a value that is not an integer."""
    try:
        operator.index(value)
    except TypeError as error:
        return str(error)
    raise AssertionError(f"{value!r} is an integer")


class Seq:
    """A plain Python sequence: read through __len__ and __iter__, never through a C fast path.
    Its iterator is the list's own: ending a Python __getitem__ with IndexError needs a frame, and
    3.12 loses that exception when the frame's allocation fails under the fault sweep."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


class HookSeq(Seq):
    """A sequence that runs `hook` when iteration starts."""

    def __init__(self, items, hook):
        super().__init__(items)
        self.hook = hook

    def __iter__(self):
        self.hook()
        return iter(self.items)


class Index:
    """An integer-like object: counts its __index__ calls, logs its value to `log`, and runs
    `effect` (which may raise or change other objects) before answering."""

    def __init__(self, value=None, effect=None, *, log=None):
        self.value = value
        self.effect = effect
        self.log = log
        self.calls = 0

    def __index__(self):
        self.calls += 1
        if self.log is not None:
            self.log.append(self.value)
        if self.effect is not None:
            self.effect()
        return self.value


class Raises:
    """An integer-like object whose __index__ raises `error`."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


# Subclasses, which no shortcut for the exact type may take.
IntSub = type("IntSub", (int,), {})
ListSub = type("ListSub", (list,), {})
BytesSub = type("BytesSub", (bytes,), {})
BytearraySub = type("BytearraySub", (bytearray,), {})
TypeErrorSub = type("TypeErrorSub", (TypeError,), {})


class Outer:
    class Inner:
        pass


class Unnamed:
    pass


Unnamed.__qualname__ = "\udc80"  # not encodable as UTF-8


class Recorder(list):
    """A list subclass that logs to `log` every call it gets: "len", "iter", "next" for each item
    its iterator hands out, and [i] for each item read by index. Items that log their own
    __index__ calls to the same list show where each conversion falls."""

    def __init__(self, items, log):
        super().__init__(items)
        self.log = log

    def __len__(self):
        self.log.append("len")
        return super().__len__()

    def __getitem__(self, i):
        self.log.append([i])
        return super().__getitem__(i)

    def __iter__(self):
        self.log.append("iter")
        for item in list.__iter__(self):
            self.log.append("next")
            yield item
