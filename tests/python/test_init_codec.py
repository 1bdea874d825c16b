"""Init: wire(), wire_decode(buff), their arguments, and the conversion of buff and of values
assigned.

The codec's shortcuts (bytes read in place, an exact list or tuple of small ints copied directly,
records copied as one block, wire() from a stack buffer and cached ints) must be invisible: every
input gives what a plain Python sequence gives, with the same exceptions and the same calls."""

import array
import collections.abc
import ctypes
import sys
import traceback

import pytest

import model
from libkeldrin import Init
from support import (BORROWED, EOF, NOT_CANONICAL, OUT_OF_RANGE, TOO_LARGE, BytearraySub, BytesSub,
                     HookSeq, Index, IntSub, ListSub, Outer, Raises, Recorder, Seq, TypeErrorSub,
                     Unnamed, cannot, index_error_text, vector_bytes, vectors)

DEFAULT = [0, 16, 0, 0, 0, 0]
RECEIVER = Init()


def decode(*args, **kwargs):
    """wire_decode on one Init, which must take an assignment after every call: no borrow outlives
    the call, whatever it raised."""
    try:
        return RECEIVER.wire_decode(*args, **kwargs)
    finally:
        RECEIVER.ty = 0


def outcome(buff):
    """wire() of the Init decoded from `buff`, or the type and args of what the decode raised."""
    try:
        return decode(buff).wire()
    except Exception as e:
        return type(e), e.args


TupleSub = type("TupleSub", (tuple,), {})
StrSub = type("StrSub", (str,), {})


class Renamed(str):
    """A keyword name whose str() is not its text, or raises TypeError for the name "!"."""

    def __str__(self):
        if self == "!":
            raise TypeError("no name")
        return "renamed"


def records(*pairs):
    """The wire form of (type, value length) records whose values are counting bytes."""
    return [b for ty, n in pairs
            for b in model.bigsize(ty) + model.bigsize(n) + [(ty + i) % 256 for i in range(n)]]


# --- encoding and decoding --------------------------------------------------------------------


INIT_VECTORS = vectors("init")
INIT_ROWS = {row.name: list(row.input) for row in INIT_VECTORS}
FULL = INIT_ROWS["features and records"]  # every field set, so a change to any shows in wire()


@pytest.mark.parametrize("row", INIT_VECTORS, ids=[row.name for row in INIT_VECTORS])
def test_vectors(row):
    expected = row.fields[0]
    for buff in (list(row.input), row.input):
        if expected not in (EOF, NOT_CANONICAL):
            decoded = decode(buff)
            assert type(decoded) is Init
            items = decoded.wire()
            assert items == decoded.wire() == list(vector_bytes(expected))
            assert type(items) is list and all(type(i) is int for i in items)
            continue
        with pytest.raises(OSError) as excinfo:
            decode(buff)
        error = excinfo.value
        assert (type(error), error.args, str(error)) == (OSError, (expected,), expected)
        assert error.errno is None and error.strerror is None


# --- objects and ownership --------------------------------------------------------------------


def test_decode_and_wire_make_new_objects_that_share_nothing():
    data = bytearray(FULL)
    a = decode(data)
    data[:] = bytes(len(data))
    b, c = a.wire_decode(DEFAULT), a.wire_decode(DEFAULT)
    assert b is not a and c is not b and type(b) is Init
    first, second = a.wire(), a.wire()
    assert first is not second
    first[0] = 99
    first.append(1)
    # Neither the input, nor the decodes it received, nor its lists changed the message.
    assert a.wire() == FULL


# --- arguments --------------------------------------------------------------------------------

S = "a str would fail the conversion: the arguments are checked first"
W, N = "Init.wire_decode()", "Init.__new__()"
UNEXPECTED = "got an unexpected keyword argument"
W_TAKES = f"{W} takes 1 positional arguments but"


# (call, the TypeError's text, or None where only its class is checked)
ARGUMENT_ERRORS = {
    "Init(1)": (lambda: Init(1), f"{N} takes 0 positional arguments but 1 was given"),
    "Init(1, 2)": (lambda: Init(1, 2), f"{N} takes 0 positional arguments but 2 were given"),
    "Init(x=1)": (lambda: Init(x=1), f"{N} {UNEXPECTED} 'x'"),
    "Init(1, x=1)": (lambda: Init(1, x=1), f"{N} takes 0 positional arguments but 1 was given"),
    "Init(x, y)": (lambda: Init(x=1, y=2), f"{N} {UNEXPECTED} 'x'"),
    "Init(surrogate)": (lambda: Init(**{"\udc80": 1}), f"{N} {UNEXPECTED} '\udc80'"),
    "Init(str subclass)": (lambda: Init(**{Renamed("x"): 1}), f"{N} {UNEXPECTED} 'renamed'"),
    "Init(unprintable)": (lambda: Init(**{Renamed("!"): 1}), "no name"),
    # Its __str__ runs with the failed UTF-8 conversion cleared: a debug build asserts that.
    "Init(surrogate str subclass)": (lambda: Init(**{Renamed("\udc80"): 1}),
                                     f"{N} {UNEXPECTED} 'renamed'"),
    "no argument": (decode, f"{W} missing 1 required positional argument: 'buff'"),
    "two": (lambda: decode(S, S), f"{W_TAKES} 2 were given"),
    "three": (lambda: decode(1, 2, 3), f"{W_TAKES} 3 were given"),
    "two and buff": (lambda: decode(S, S, buff=S), f"{W_TAKES} 2 were given"),
    "two and data": (lambda: decode(S, S, data=S), f"{W_TAKES} 2 were given"),
    "one and buff": (lambda: decode(S, buff=S), f"{W} got multiple values for argument 'buff'"),
    "data": (lambda: decode(data=S), f"{W} {UNEXPECTED} 'data'"),
    "one and data": (lambda: decode(S, data=S), f"{W} {UNEXPECTED} 'data'"),
    "buff and data": (lambda: decode(buff=S, data=S), f"{W} {UNEXPECTED} 'data'"),
    "data and buff": (lambda: decode(data=S, buff=S), f"{W} {UNEXPECTED} 'data'"),
    "surrogate keyword": (lambda: decode(buff=S, **{"\udc80": 1}), f"{W} {UNEXPECTED} '\udc80'"),
    "str subclass keyword": (lambda: decode(buff=S, **{Renamed("x"): 1}),
                             f"{W} {UNEXPECTED} 'renamed'"),
    "wire(1)": (lambda: Init().wire(1), None),
    "wire(x=1)": (lambda: Init().wire(x=1), None),
    # The methods need an Init to run on.
    "unbound wire_decode": (lambda: Init.wire_decode(DEFAULT), None),
    "unbound wire_decode(buff=)": (lambda: Init.wire_decode(buff=DEFAULT), None),
    "unbound wire": (lambda: Init.wire(object()), None),
}


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS.values(), ids=ARGUMENT_ERRORS.keys())
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    if message is not None:
        assert type(excinfo.value) is TypeError
        assert excinfo.value.args == (message,)


def test_buff_by_keyword_and_the_receiver_as_first_argument():
    assert Init().wire_decode(buff=FULL).wire() == FULL
    assert Init.wire_decode(Init(), DEFAULT).wire() == DEFAULT
    with pytest.raises(OSError) as excinfo:
        Init().wire_decode(buff=[0, 16])
    assert (type(excinfo.value), excinfo.value.args) == (OSError, (EOF,))


# --- conversion of buff and of assigned values ------------------------------------------------

# (where the value goes, the value, its type's name as the refusal gives it; None for a str buff,
# which has a text of its own)
OTHER_TYPES = {
    "str": ("buff", "\x00\x10\x00\x00\x00\x00", None),
    "empty str": ("buff", "", None),
    "str subclass": ("buff", StrSub("\x00\x10\x00\x00\x00\x00"), None),
    "None": ("buff", None, "NoneType"),
    "int": ("buff", 5, "int"),
    "dict": ("buff", {0: 0}, "dict"),
    "set": ("buff", set(DEFAULT), "set"),
    "frozenset": ("buff", frozenset(), "frozenset"),
    "iterator": ("buff", iter(DEFAULT), "list_iterator"),
    "generator": ("buff", (b for b in DEFAULT), "generator"),
    "Init": ("buff", Init(), "Init"),
    "nested class": ("buff", Outer.Inner(), "Outer.Inner"),
    "unreadable name": ("buff", Unnamed(), "<failed to extract type name>"),
    "NUL in the name": ("buff", type("C", (), {"__qualname__": "A\x00B"})(), "A\x00B"),
    "features bytes": ("features", b"\x01", "bytes"),
    "features empty bytes": ("features", b"", "bytes"),
    "features list": ("features", [1], "list"),
    "features None": ("features", None, "NoneType"),
    "features int": ("features", 0, "int"),
    "globalfeatures bytearray": ("globalfeatures", bytearray(b"\xaa"), "bytearray"),
    "globalfeatures Init": ("globalfeatures", Init(), "Init"),
    "globalfeatures nested class": ("globalfeatures", Outer.Inner(), "Outer.Inner"),
    "globalfeatures unreadable": ("globalfeatures", Unnamed(), "<failed to extract type name>"),
    "init_tlvs NUL in name": ("init_tlvs", type("C", (), {"__qualname__": "A\x00B"})(), "A\x00B"),
    "init_tlvs empty list": ("init_tlvs", [], "list"),
    "init_tlvs None": ("init_tlvs", None, "NoneType"),
    "init_tlvs Init": ("init_tlvs", Init(), "Init"),
    "init_tlvs class": ("init_tlvs", Init, "type"),
    "init_tlvs __index__": ("init_tlvs", Index(1), "Index"),
}
TARGETS = {"buff": "Sequence", "features": "BitFlag", "globalfeatures": "BitFlag",
           "init_tlvs": "Stream"}


@pytest.mark.parametrize("name, value, type_name", OTHER_TYPES.values(), ids=OTHER_TYPES.keys())
def test_values_of_other_types_are_refused(name, value, type_name):
    m = decode(FULL)
    with pytest.raises(TypeError) as excinfo:
        decode(value) if name == "buff" else setattr(m, name, value)
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == (cannot(name, type_name, TARGETS[name]) if type_name else
                                  "argument 'buff': Can't extract `str` to `Vec`",)
    assert m.wire() == FULL
    m.ty = 0


def not_an_integer(value):
    return TypeError, "argument '{name}': " + index_error_text(value)


# Items of buff and values of ty that do not convert: (value, exception, its text with {name} for
# the argument's name).
BAD_INTEGERS = {
    "65536": (65536, OverflowError, OUT_OF_RANGE),
    "-1": (-1, OverflowError, OUT_OF_RANGE),
    "2**40": (1 << 40, OverflowError, OUT_OF_RANGE),
    "2**63-1": ((1 << 63) - 1, OverflowError, OUT_OF_RANGE),
    "-2**63": (-(1 << 63), OverflowError, OUT_OF_RANGE),
    "__index__ -1": (Index(-1), OverflowError, OUT_OF_RANGE),
    "2**63": (1 << 63, OverflowError, TOO_LARGE),
    "2**64": (1 << 64, OverflowError, TOO_LARGE),
    "-2**63-1": (-(1 << 63) - 1, OverflowError, TOO_LARGE),
    "__index__ 2**64": (Index(1 << 64), OverflowError, TOO_LARGE),
    "1.5": (1.5, *not_an_integer(1.5)),
    "0.0": (0.0, *not_an_integer(0.0)),
    "str": ("a", *not_an_integer("a")),
    "None": (None, *not_an_integer(None)),
    "bytes": (b"\x00", *not_an_integer(b"\x00")),
    "__index__ str": (Index("x"), *not_an_integer(Index("x"))),
    "__index__ TypeError": (Raises(TypeError("no")), TypeError, "argument '{name}': no"),
    "__index__ TypeError 2 args": (Raises(TypeError(1, 2)), TypeError, "argument '{name}': (1, 2)"),
    "__index__ TypeError subclass": (Raises(TypeErrorSub("no")), TypeErrorSub, "no"),
    "__index__ KeyError": (Raises(KeyError("k")), KeyError, "k"),
    "__index__ ValueError": (Raises(ValueError("v")), ValueError, "v"),
    "__index__ RuntimeError": (Raises(RuntimeError("r")), RuntimeError, "r"),
}
BAD_BYTES = {"256": (256, OverflowError, OUT_OF_RANGE),  # ty takes these
             "__index__ 256": (Index(256), OverflowError, OUT_OF_RANGE)}


@pytest.mark.parametrize("name, value, error, text", [
    pytest.param(name, *row, id=f"{name} {key}") for name, table in
    [("buff", BAD_INTEGERS | BAD_BYTES), ("ty", BAD_INTEGERS)] for key, row in table.items()])
def test_values_that_are_not_a_byte_or_a_type_are_refused(name, value, error, text):
    m = decode(FULL)
    # [value] * 6: a fast path that refuses one item at a time must refuse each bad one too.
    buffs = [make([0, 16, 0, 0, 0, value]) for make in (list, tuple, ListSub, Seq)] + [[value] * 6]
    for call in ([lambda: setattr(m, "ty", value)] if name == "ty" else
                 [lambda buff=buff: decode(buff) for buff in buffs]):
        with pytest.raises(error) as excinfo:
            call()
        assert type(excinfo.value) is error
        assert excinfo.value.args == (text.format(name=name),)
    assert m.wire() == FULL
    m.ty = 0


@pytest.mark.parametrize("name, convert", [
    ("buff", lambda item: decode([0, 16, 0, 0, 0, item])),
    ("ty", lambda item: setattr(Init(), "ty", item))])
def test_failed_conversions_keep_their_cause_and_traceback(name, convert):
    cause = KeyError("why")

    def fail():
        raise TypeError("no") from cause

    with pytest.raises(TypeError) as excinfo:
        convert(Index(0, fail))
    # The prefixed TypeError replaces the original: its cause stays, the original is no context.
    assert excinfo.value.args == (f"argument '{name}': no",)
    assert excinfo.value.__cause__ is cause and excinfo.value.__context__ is None
    # Anything else passes unchanged, with the frame that raised it, where the failure began.
    error = KeyError("k")
    with pytest.raises(KeyError) as excinfo:
        convert(Raises(error))
    assert excinfo.value is error
    assert traceback.extract_tb(error.__traceback__)[-1].name == "__index__"


# --- the shortcuts against the general path --------------------------------------------------

MANY = [(i, i % 3) for i in range(1, 21)]

# Messages that exercise every branch of the decoder, among them values of many sizes and streams
# of few and many records: the vectors short enough to run often, and these.
MESSAGES = {
    **{name: data for name, data in INIT_ROWS.items() if len(data) < 1000},
    "real init": list(bytes.fromhex(
        "00100000000001206fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6190000000000"
        "030701cb0071072607")),
    "features": [0, 16, 0, 2, 1, 2, 0, 1, 3],
    "message": [0, 16, 0, 1, 170, 0, 0, 1, 2, 171, 205],
    "features cut": [0, 16, 0, 0, 0, 3, 1],
    "not canonical": DEFAULT + [1, 0xFD, 0, 1, 0],
    "value 2047": DEFAULT + records((1, 2047)),
    "value 2048": DEFAULT + records((1, 2048)),
    "value 2049": DEFAULT + records((1, 2049)),
    "value 4097": DEFAULT + records((1, 4097)),
    "value 65526": DEFAULT + records((1, 65526)),
    "large value cut": DEFAULT + records((1, 5000))[:-1],
    "7 records": DEFAULT + records(*MANY[:7]),
    "8 records": DEFAULT + records(*MANY[:8]),
    "9 records": DEFAULT + records(*MANY[:9]),
    "20 records": DEFAULT + records(*MANY),
    "20 records, last cut": DEFAULT + records(*MANY)[:-1],
    "9 records, large values": DEFAULT + records(*[(i, 3000) for i in range(9)]),
    "not canonical 8th": DEFAULT + records(*MANY[:7]) + [0xFD, 0, 1, 0],
    "not canonical 9th": DEFAULT + records(*MANY[:8]) + [1, 0xFD, 0, 2],
    "not canonical 20th": DEFAULT + records(*MANY[:19]) + [0xFE, 0, 0, 0, 9, 0],
    "huge length 10th": DEFAULT + records(*MANY[:9]) + [1] + [0xFF] * 9,
}

BYTE_SEQUENCES = {
    "bytes": bytes,
    "bytes subclass": BytesSub,
    "bytearray": bytearray,
    "bytearray subclass": BytearraySub,
    "list": list,
    "list subclass": ListSub,
    "tuple": tuple,
    "tuple subclass": TupleSub,
    "memoryview": lambda items: memoryview(bytes(items)),
    "array": lambda items: array.array("B", items),
    "list of int subclass": lambda items: [IntSub(i) for i in items],
    "list of __index__": lambda items: [Index(i) for i in items],
    "tuple of bools": lambda items: tuple(True if i == 1 else i for i in items),
}


@pytest.mark.parametrize("make", BYTE_SEQUENCES.values(), ids=BYTE_SEQUENCES.keys())
@pytest.mark.parametrize("data", MESSAGES.values(), ids=MESSAGES.keys())
def test_any_byte_sequence_decodes_alike(data, make):
    assert outcome(make(data)) == outcome(Seq(data))


# Items that an exact list or tuple cannot copy directly: the general path takes over from the
# first one, so the result and the exception are those of the iteration.
ODD_ITEMS = {"True": True, "False": False, "int subclass": IntSub(7), "__index__": Index(9),
             "256": 256, "-1": -1, "2**40": 1 << 40, "-(2**40)": -(1 << 40), "2**64": 1 << 64,
             "float": 1.5, "str": "a", "None": None}


def with_item(item, at):
    data = DEFAULT + records((1, 3))
    data[at] = item
    return data


ITEM_ROWS = {
    "bool": [0, 16, 0, True, 170, 0, False],
    "int subclass": [0, IntSub(16), 0, 0, 0, 0],
    "__index__": [0, Index(16), 0, 0, 0, 0, Index(1), 0],
    "str": [0, 16, "a", 0, 0, 0],
    "str, 256": [0, 16, "x", 256, 0, 0],
    "256, str": [0, 16, 256, "x", 0, 0],
    "2**64, str": [0, 16, 1 << 64, "x", 0, 0],
    **{f"{name} at {at}": with_item(item, at)
       for name, item in ODD_ITEMS.items() for at in (0, 3, 6, 9)},
}


@pytest.mark.parametrize("container", [list, tuple, ListSub], ids=["list", "tuple", "list subclass"])
@pytest.mark.parametrize("items", ITEM_ROWS.values(), ids=ITEM_ROWS.keys())
def test_fast_paths_agree_with_the_general_path(items, container):
    assert outcome(container(items)) == outcome(Seq(items))


def test_the_first_failing_item_decides_and_index_is_called_once_per_item_in_order():
    assert outcome(ITEM_ROWS["256, str"])[0] is OverflowError
    assert outcome(ITEM_ROWS["str, 256"])[0] is TypeError
    for container in (list, tuple, Seq):
        log = []
        data = [0, 16, 0, 0, 0, 2] + [Index(i, log=log) for i in (1, 2)] + [1, 1, Index(7, log=log)]
        assert outcome(container(data)) == [0, 16, 0, 0, 0, 2, 1, 2, 1, 1, 7]
        # Items after the first bad one are not converted.
        assert outcome(container([0, 16, 256, Index(0, log=log), 0, 0]))[0] is OverflowError
        assert log == [1, 2, 7]


def test_iteration_decides_the_bytes():
    class Lying(Seq):
        def __getitem__(self, i):
            return 99

        def __iter__(self):
            return iter(DEFAULT)

    class Reversed(ListSub):
        def __iter__(self):
            return reversed(self[:])

    class Iterates(BytesSub):
        def __iter__(self):
            return iter(DEFAULT + [1, 1, 0xAA])

    class IteratesArray(BytearraySub):
        def __iter__(self):
            return iter(DEFAULT + [2, 0])

    assert outcome(Lying(DEFAULT)) == DEFAULT
    data = DEFAULT + records((1, 2))
    assert outcome(Reversed(reversed(data))) == outcome(data) == data
    assert outcome(Iterates(b"\x00")) == DEFAULT + [1, 1, 0xAA]
    assert outcome(IteratesArray(b"\x00")) == DEFAULT + [2, 0]


LENGTHS = {"raises": RuntimeError("no length"), "raises TypeError": TypeError("no length"),
           "raises ValueError": ValueError("no length"), "0": 0, "1": 1, "2": 2, "10": 10,
           "negative": -1, "maxsize": sys.maxsize, "too big": 1 << 100}


@pytest.mark.parametrize("base", [Seq, ListSub], ids=["Sequence", "list subclass"])
@pytest.mark.parametrize("length", LENGTHS.values(), ids=LENGTHS.keys())
def test_reported_length_does_not_matter(length, base):
    class Lying(base):
        def __len__(self):
            if isinstance(length, BaseException):
                raise length
            return length

    data = INIT_ROWS["one record"]
    assert decode(Lying(data)).wire() == data


@pytest.mark.parametrize("stop", [KeyboardInterrupt(), SystemExit(3)], ids=["KeyboardInterrupt", "SystemExit"])
def test_a_stop_from_len_propagates_before_any_item_is_read(stop):
    class Stopping(HookSeq):
        def __len__(self):
            raise stop

    read = []
    with pytest.raises(type(stop)):
        decode(Stopping(DEFAULT, lambda: read.append("iter")))
    assert read == []


def test_buff_is_asked_its_length_once_then_iterated():
    # A list subclass takes no shortcut: its own __len__ and __iter__ answer, and each item is
    # converted as the iterator hands it out.
    log = []
    assert decode(Recorder([Index(b, log=log) for b in DEFAULT], log)).wire() == DEFAULT
    assert log == ["len", "iter"] + [x for b in DEFAULT for x in ("next", b)]


@pytest.mark.parametrize("error, expected", [
    (KeyError("k"), (KeyError, ("k",))), (TypeError("no"), (TypeError, ("argument 'buff': no",))),
    (TypeErrorSub("no"), (TypeErrorSub, ("no",)))], ids=["KeyError", "TypeError", "TypeError subclass"])
def test_errors_of_the_sequence_itself(error, expected):
    def hook():
        raise error

    def items():
        yield from DEFAULT[:3]
        raise error

    class FailingGetitem(Seq):
        __iter__ = collections.abc.Sequence.__iter__

        def __getitem__(self, i):
            if i == 3:
                raise error
            return DEFAULT[i]

    class FailingIter(Seq):
        def __iter__(self):
            return items()

    assert outcome(HookSeq(DEFAULT, hook)) == expected
    assert outcome(FailingGetitem(DEFAULT)) == expected
    assert outcome(FailingIter(DEFAULT)) == expected


# Lists with an __index__ item that changes the list while the decoder reads it: (the list, where
# the item goes, its value, what it does to the list), and the outcome that iteration gives.
MUTATIONS = {
    "later item made 300": ((DEFAULT + [1, 1, 0], 2, 0, lambda d: d.__setitem__(8, 300)),
                            (OverflowError, (OUT_OF_RANGE,))),
    "later item changed": ((DEFAULT + [1, 1, 0], 2, 0, lambda d: d.__setitem__(8, 0xEE)),
                           DEFAULT + [1, 1, 0xEE]),
    "earlier item changed": ((DEFAULT + [1, 1, 0], 7, 1, lambda d: d.__setitem__(0, 300)),
                             DEFAULT + [1, 1, 0]),
    "items appended": ((DEFAULT, 5, 0, lambda d: d.extend([3, 1, 0xCC])), DEFAULT + [3, 1, 0xCC]),
    "grown by the first item": ((DEFAULT[:5], 0, 0, lambda d: d.extend([0, 1, 0])), DEFAULT + [1, 0]),
    "list cut short": ((DEFAULT + [1, 1, 0xAA], 1, 16, lambda d: d.__delitem__(slice(4, None))),
                       (OSError, (EOF,))),
    "list emptied": ((DEFAULT, 2, 0, list.clear), (OSError, (EOF,))),
}


@pytest.mark.parametrize("kind", [list, ListSub], ids=["list", "list subclass"])
@pytest.mark.parametrize("case, expected", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_items_changed_during_the_read_are_seen_as_iteration_sees_them(case, expected, kind):
    items, at, value, change = case
    data = kind(items)
    data[at] = Index(value, lambda: change(data))
    assert outcome(data) == expected


# --- re-entry during a conversion -------------------------------------------------------------


# An assignment to the receiver of a decode is refused (the tests below), one to the Init whose ty
# is being converted is not: a setter converts its value before it asks for the borrow.
@pytest.mark.parametrize("convert, refused", [
    (lambda m, hook: m.wire_decode(HookSeq(DEFAULT, hook)), [BORROWED]),
    (lambda m, hook: setattr(m, "ty", Index(5, hook)), [])], ids=["buff", "ty"])
def test_conversion_may_read_the_receiver_and_use_other_inits(convert, refused):
    m, other = decode(FULL), Init()
    seen = []

    def hook():
        seen.append(m.wire())
        seen.append(m.wire_decode([0, 16, 0, 1, 170, 0, 0]).wire())
        other.ty = 1
        other.ty = 65535
        with pytest.raises(TypeError) as excinfo:
            m.features = b""
        seen.append(str(excinfo.value))
        try:
            m.ty = 3
        except RuntimeError as error:
            seen.append(str(error))

    convert(m, hook)
    assert seen == [FULL, [0, 16, 0, 1, 170, 0, 0], cannot("features", "bytes", "BitFlag"),
                    *refused]
    assert m.wire() == FULL


def test_assignment_to_the_receiver_while_converting_is_refused():
    m = decode(FULL)
    refusals = []

    def refused():
        with pytest.raises(RuntimeError) as excinfo:
            m.ty = 1
        refusals.append((type(excinfo.value), excinfo.value.args))

    def hook():
        refused()
        # Borrows nest: the decode and the wire() inside this one give back only their own.
        m.wire_decode(HookSeq(DEFAULT, refused))
        m.wire()
        refused()

    assert m.wire_decode(HookSeq(DEFAULT, hook)).wire() == DEFAULT
    assert refusals == [(RuntimeError, (BORROWED,))] * 3

    def assign():
        m.ty = 1

    # Uncaught, the refusal escapes the decode unchanged, and the message is as it was.
    for buff in (HookSeq(DEFAULT, assign), [0, 16, Index(0, assign), 0, 0, 0]):
        with pytest.raises(RuntimeError) as excinfo:
            m.wire_decode(buff)
        assert type(excinfo.value) is RuntimeError
        assert excinfo.value.args == (BORROWED,)
    assert m.wire() == FULL
    m.ty = 2  # the borrow ended with the call


def borrow_counter(m):
    """The borrow counter of an instance: the last word of its memory."""
    size = ctypes.sizeof(ctypes.c_size_t)
    return ctypes.c_size_t.from_address(id(m) + type(m).__basicsize__ - size)


# Each borrow as another thread holds it mid-call, set directly rather than by winning a race:
# an exclusive borrow refuses every read and every assignment, a shared one every assignment.
@pytest.mark.parametrize(("held", "call", "text"), [
    (-1, lambda m: m.wire(), "Already mutably borrowed"),
    (-1, lambda m: m.wire_decode(DEFAULT), "Already mutably borrowed"),
    (-1, lambda m: setattr(m, "ty", 1), BORROWED),
    (1, lambda m: setattr(m, "ty", 1), BORROWED),
])
def test_a_held_borrow_refuses_what_it_must(held, call, text):
    m = Init(**{})
    counter = borrow_counter(m)
    counter.value = held % 2**(8 * ctypes.sizeof(ctypes.c_size_t))
    try:
        with pytest.raises(RuntimeError, match=f"^{text}$"):
            call(m)
    finally:
        counter.value = 0
    assert m.wire() == DEFAULT
