"""Hypothesis strategies that the property tests and the Python fuzz target share: damaged init
messages, and awkward objects to carry them (integers that convert through __index__, fail or
call back into the module; sequences that lie about their length or fail part way). Importing
this loads the tests' profile: derandomized, with no example database on disk."""

import contextlib

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import model
from libkeldrin import Init
from support import BORROWED, BytesSub, Index, IntSub, Raises

settings.register_profile("keldrin", derandomize=True, database=None, deadline=None,
                          max_examples=100, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("keldrin")

# ---- Messages ---------------------------------------------------------------------------------

DEFAULT = [0, 16, 0, 0, 0, 0]
# The first and last value of each BigSize form.
TYPE_EDGES = sorted(e for _, low in [(0, 1), *model.LONG_FORMS.values()] for e in (low - 1, low))
# Bytes that start a long BigSize form, and their neighbours, written over a byte of a message.
PREFIXES = sorted([0, 1, 0xFC, *model.LONG_FORMS])
# Endings that leave a last record cut or not minimally encoded.
TAILS = [[0xFD, 0, 0xFC], [0xFE, 0, 0, 0, 1], [1], [1, 0xFD], [2, 3, 1], [1, 0xFE, 0, 0, 0, 1],
         [7, 0xFD]]

# Strategies are made once, here: one made during a draw costs more than the draw.
byte_values = st.integers(0, 255)
record_types = st.sampled_from(TYPE_EDGES) | st.integers(0, 2**64 - 1)
short_values = st.binary(min_size=7, max_size=7)


@st.composite
def records(draw, lengths):
    """One TLV record as byte values; values longer than 7 bytes count up from the type, so that a
    long stream costs hypothesis two choices per record."""
    ty, n = draw(record_types), draw(lengths)
    value = draw(short_values)[:n] if n < 8 else bytes((ty + i) % 256 for i in range(n))
    return model.bigsize(ty) + model.bigsize(n) + list(value)


@st.composite
def damaged(draw, data, start):
    """`data` as it is, cut, with a byte at or after `start` changed, or with a bad ending."""
    how = draw(st.integers(0, 3))
    if how == 1 and len(data) > start:
        return data[: draw(st.integers(start, len(data)))]
    if how == 2 and len(data) > start:
        data[draw(st.integers(start, len(data) - 1))] = draw(changed_bytes)
    if how == 3:
        data += draw(tails)
    return data


changed_bytes = st.sampled_from(PREFIXES) | byte_values
tails = st.sampled_from(TAILS)
feature_lengths = st.sampled_from([0, 1, 2, 7])
short_records = st.lists(records(st.sampled_from([0, 1, 3, 253])), max_size=3)
long_records = st.lists(records(st.sampled_from([0, 1, 2, 5, 300, 2049, 4100])), max_size=15)


@st.composite
def init_messages(draw):
    """Any type, two feature fields of a few bytes, up to three short records; perhaps damaged."""
    data = [draw(byte_values), draw(byte_values)]
    for _ in range(2):
        n = draw(feature_lengths)
        data += [n >> 8, n & 0xFF, *draw(short_values)[:n]]
    for record in draw(short_records):
        data += record
    return draw(damaged(data, 0))


@st.composite
def init_streams(draw):
    """The default fixed fields and up to 15 records of large types and values; perhaps damaged
    after the fixed fields."""
    data = DEFAULT + [b for record in draw(long_records) for b in record]
    return draw(damaged(data, len(DEFAULT)))


# ---- Awkward objects --------------------------------------------------------------------------

# The one Init the awkward objects call back into; a property that uses them must leave it as it
# was and unborrowed (check_shared). Its failed assignments make the hidden classes exist.
SHARED = Init().wire_decode(bytes.fromhex("00100001aa000103ab02017e"))
SHARED_WIRE = SHARED.wire()
for field in ("init_tlvs", "features"):
    with contextlib.suppress(TypeError):
        setattr(SHARED, field, None)
# What went wrong inside a conversion: raised there, it would become the call's own exception.
problems: list[str] = []


def check_shared() -> None:
    seen, problems[:] = problems[:], []
    assert not seen, seen
    assert SHARED.wire() == SHARED_WIRE, "the shared message changed"
    SHARED.ty = 16  # no borrow is left behind


class Fault(Exception):
    """Raised by the objects below on purpose; the module must pass it through unchanged."""


class Reenter:
    """An integer whose conversion first calls back into the module on SHARED: an assignment, a
    read, a nested decode, a refused conversion, or a decode on another Init. `borrowed` says
    whether the call converting it holds a borrow of SHARED (a decode) or not (an assignment
    converts before it borrows)."""

    def __init__(self, value, action, borrowed):
        self.value, self.action, self.borrowed = value, action, borrowed

    def __repr__(self):
        return f"Reenter({self.value}, {self.action}, {self.borrowed})"

    def __index__(self):
        try:
            self._act()
        except Exception as error:  # noqa: BLE001 - any surprise is a finding
            problems.append(f"re-entrant action {self.action} raised {error!r}")
        return self.value

    def _act(self):
        if self.action == 0:
            try:
                SHARED.ty = 1
            except RuntimeError as error:
                if not self.borrowed or str(error) != BORROWED:
                    raise
            else:
                if self.borrowed:
                    problems.append("assignment inside wire_decode of the same object succeeded")
        elif self.action == 1:
            if SHARED.wire() != SHARED_WIRE:
                problems.append("wire() inside a conversion changed")
        elif self.action == 2:
            if SHARED.wire_decode(b"\x00\x10\x00\x00\x00\x00").wire() != DEFAULT:
                problems.append("nested wire_decode gave a wrong message")
        elif self.action == 3:
            # This conversion fails before any borrow is asked for, borrowed or not.
            with contextlib.suppress(TypeError):
                SHARED.init_tlvs = []
                problems.append("init_tlvs took a list")
        else:
            other = Init()
            other.ty = 2
            other.wire_decode(SHARED.wire())


# Exception classes the objects raise; each draw makes a fresh instance.
RAISED = [KeyError, TypeError, ValueError, Fault, OverflowError]


def int_likes(borrowed):
    """Functions that turn a value into an object that converts to it: the value itself, a bool
    (for 0 and 1), an int subclass, an __index__ object or a Reenter."""
    plain = [lambda value: value, lambda value: bool(value) if value < 2 else value, IntSub, Index]
    reentering = st.integers(0, 4).map(lambda action: lambda value: Reenter(value, action, borrowed))
    return st.one_of(*map(st.just, plain), reentering)


# Objects that fail a conversion to a byte: out of its range or of a C long, not integers, or
# whose __index__ raises.
not_integers = st.one_of(
    st.sampled_from([-1, 256, 65536, 2**31, 2**63 - 1, -(2**63)]),
    st.sampled_from([2**63, 2**64, -(2**63) - 1, 2**100]),
    st.sampled_from([1.5, "a", None, b"x", [], (), object(), 1j]),
    st.sampled_from(RAISED).map(lambda error: Raises(error("index"))))

# Functions that turn a byte into an awkward item.
awkward_items = int_likes(borrowed=True) | not_integers.map(lambda item: lambda value: item)
# A value for an assignment of ty: one that converts to a value in range, or not.
ty_values = st.builds(lambda make, value: make(value), int_likes(borrowed=False),
                      st.integers(0, 65535)) | not_integers


class IndexedSequence:
    """A sequence without __iter__: iterated through __getitem__ until IndexError."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class LyingSequence(IndexedSequence):
    """A sequence whose length is whatever it is told and whose iteration may fail at `fail_at`."""

    def __init__(self, items, length, fail_at, error):
        self.items, self.length, self.fail_at, self.error = items, length, fail_at, error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __iter__(self):
        yield from self.items[: self.fail_at]
        if self.fail_at <= len(self.items):
            raise self.error


messages_or_bytes = init_messages() | st.lists(byte_values, max_size=24)
plain_containers = st.sampled_from([
    bytes, bytearray, list, tuple, memoryview, BytesSub, IndexedSequence,
    lambda data: [IntSub(b) for b in data],
    lambda data: tuple(bool(b) if b < 2 else b for b in data),
])
awkward_containers = st.sampled_from([list, tuple, IndexedSequence, None])
# None: the true length.
lengths = (st.sampled_from([None, 0, 2, 2**40, -1, 2**70])
           | st.sampled_from([ValueError, Fault]).map(lambda error: error("len")))
raised = st.sampled_from(RAISED)


@st.composite
def buffs(draw):
    """(buff, events): a message or arbitrary bytes in a container of some kind, and what iterating
    it yields in order, items and then perhaps an exception. Either every byte is a plain one in
    a container the module reads directly, or up to four of them are awkward_items in a list, a
    tuple or a sequence that may lie and fail."""
    data = bytes(draw(messages_or_bytes))
    if not data or draw(st.integers(0, 3)) == 0:
        return draw(plain_containers)(data), list(data)
    items = list(data)
    for at in draw(st.lists(st.integers(0, len(items) - 1), min_size=1, max_size=4)):
        items[at] = draw(awkward_items)(data[at])
    container = draw(awkward_containers)
    if container:
        return container(items), items
    length = draw(lengths)
    length = len(items) if length is None else length
    fail_at = draw(st.just(len(items) + 1) | st.integers(0, len(items)))  # the first: no failure
    error = draw(raised)("iteration")
    events = items[:fail_at] + [error] * (fail_at <= len(items))
    return LyingSequence(items, length, fail_at, error), events
