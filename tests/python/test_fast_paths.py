"""The shortcuts of the codec must be invisible: every input that takes one (an exact bytes or
bytearray read in place, an exact list or tuple of small ints copied directly, a stream's records
copied as one block, wire() encoded into a stack buffer and filled from cached ints) gives
exactly what the general path gives for the same items, with the same exceptions and the same
Python calls."""

import array
import random

import pytest

from libkeldrin import Init
from support import BytearraySub, BytesSub, Index, IntSub, Seq

EOF = "failed to fill whole buffer"
NOT_CANONICAL = "decoded bigsize is not canonical"
OUT_OF_RANGE = "out of range integral type conversion attempted"
HEADER = [0, 16, 0, 0, 0, 0]


def outcome(buff):
    """wire() of the decoded message, or the type and args of what the decode raised."""
    try:
        return Init().wire_decode(buff).wire()
    except Exception as e:
        return type(e), e.args


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


def bigsize(value):
    for prefix, width, low in ((0xFF, 8, 1 << 32), (0xFE, 4, 0x10000), (0xFD, 2, 0xFD)):
        if value >= low:
            return [prefix, *value.to_bytes(width, "big")]
    return [value]


def records(*pairs):
    """The wire form of (type, value length) records whose values are counting bytes."""
    out = []
    for ty, length in pairs:
        out += bigsize(ty) + bigsize(length) + [(ty + i) % 256 for i in range(length)]
    return out


MANY = [(i, i % 3) for i in range(1, 21)]

# Messages that exercise every branch of the decoder, among them values of many sizes and streams
# of few and many records.
MESSAGES = {
    "default": HEADER,
    "real init": list(bytes.fromhex(
        "00100000000001206fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6190000000000"
        "030701cb0071072607")),
    "features": [0, 16, 0, 2, 1, 2, 0, 1, 3],
    "too short": [0, 16, 0],
    "features cut": [0, 16, 0, 0, 0, 3, 1],
    "value 2047": HEADER + records((1, 2047)),
    "value 2048": HEADER + records((1, 2048)),
    "value 2049": HEADER + records((1, 2049)),
    "value 4097": HEADER + records((1, 4097)),
    "value 65526": HEADER + records((1, 65526)),
    "large value cut": HEADER + records((1, 5000))[:-1],
    "7 records": HEADER + records(*MANY[:7]),
    "8 records": HEADER + records(*MANY[:8]),
    "9 records": HEADER + records(*MANY[:9]),
    "20 records": HEADER + records(*MANY),
    "20 records, last cut": HEADER + records(*MANY)[:-1],
    "9 records, large values": HEADER + records(*[(i, 3000) for i in range(9)]),
    "not canonical 8th": HEADER + records(*MANY[:7]) + [0xFD, 0, 1, 0],
    "not canonical 9th": HEADER + records(*MANY[:8]) + [1, 0xFD, 0, 2],
    "not canonical 20th": HEADER + records(*MANY[:19]) + [0xFE, 0, 0, 0, 9, 0],
    "huge length 10th": HEADER + records(*MANY[:9]) + [1] + [0xFF] * 9,
}

FORMS = {
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


@pytest.mark.parametrize("form", FORMS.values(), ids=FORMS.keys())
@pytest.mark.parametrize("data", MESSAGES.values(), ids=MESSAGES.keys())
def test_every_form_decodes_like_the_general_path(data, form):
    assert outcome(form(data)) == outcome(Seq(data))


# Items that an exact list or tuple cannot copy directly: the general path takes over from the
# first item, so the result and the exception are those of the iteration.
ODD_ITEMS = {
    "True": True,
    "False": False,
    "int subclass": IntSub(7),
    "__index__": Index(9),
    "256": 256,
    "-1": -1,
    "2**40": 1 << 40,
    "-(2**40)": -(1 << 40),
    "2**64": 1 << 64,
    "float": 1.5,
    "str": "a",
    "None": None,
}


@pytest.mark.parametrize("container", [list, tuple, ListSub], ids=["list", "tuple", "list subclass"])
@pytest.mark.parametrize("at", [0, 3, 6, 9])
@pytest.mark.parametrize("item", ODD_ITEMS.values(), ids=ODD_ITEMS.keys())
def test_an_odd_item_anywhere_gives_what_iteration_gives(item, at, container):
    data = HEADER + records((1, 3))
    data[at] = item
    assert outcome(container(data)) == outcome(Seq(data))


def test_the_first_failing_item_decides_the_exception():
    for data in ([0, 16, "x", 256, 0, 0], [0, 16, 256, "x", 0, 0], [0, 16, 1 << 64, "x", 0, 0]):
        assert outcome(list(data)) == outcome(tuple(data)) == outcome(Seq(data))
    assert outcome([0, 16, 256, "x", 0, 0])[0] is OverflowError
    assert outcome([0, 16, "x", 256, 0, 0])[0] is TypeError


def test_index_is_called_once_per_item_in_order():
    for container in (list, tuple, Seq):
        log = []
        data = [0, 16, 0, 0, 0, 2] + [Index(i, log=log) for i in (1, 2)] + [1, 1, Index(7, log=log)]
        assert outcome(container(data)) == [0, 16, 0, 0, 0, 2, 1, 2, 1, 1, 7]
        assert log == [1, 2, 7]


def test_a_list_subclass_is_read_through_its_own_iteration():
    class Reversed(list):
        def __iter__(self):
            return reversed(self[:])

    data = HEADER + records((1, 2))
    assert outcome(Reversed(reversed(data))) == outcome(data) == data


def test_subclass_iteration_wins_over_the_stored_bytes():
    class Iterates(BytesSub):
        def __iter__(self):
            return iter(HEADER + [1, 1, 0xAA])

    class IteratesArray(BytearraySub):
        def __iter__(self):
            return iter(HEADER + [2, 0])

    assert outcome(Iterates(b"\x00")) == HEADER + [1, 1, 0xAA]
    assert outcome(IteratesArray(b"\x00")) == HEADER + [2, 0]


def test_a_length_that_fails_or_lies_changes_nothing():
    class BadLen(ListSub):
        def __len__(self):
            raise ValueError("no length")

    class ShortLen(ListSub):
        def __len__(self):
            return 1

    data = HEADER + records((5, 4))
    assert outcome(BadLen(data)) == outcome(ShortLen(data)) == outcome(data) == data


def mutating_cases():
    """Lists whose __index__ items change the list while the decoder reads it, each made by
    a function of the list type, with the outcome iteration gives."""

    def later_out_of_range(kind):
        data = kind(HEADER + [1, 1, 0])
        data[2] = Index(0, effect=lambda: data.__setitem__(8, 300))
        return data

    def later_changed(kind):
        data = kind(HEADER + [1, 1, 0])
        data[2] = Index(0, effect=lambda: data.__setitem__(8, 0xEE))
        return data

    def earlier_changed(kind):
        data = kind(HEADER + [1, 1, 0])
        data[7] = Index(1, effect=lambda: data.__setitem__(0, 300))
        return data

    def appended(kind):
        data = kind(HEADER)
        data[5] = Index(0, effect=lambda: data.extend([3, 1, 0xCC]))
        return data

    def truncated(kind):
        data = kind(HEADER + [1, 1, 0xAA])
        data[1] = Index(16, effect=lambda: data.__delitem__(slice(4, None)))
        return data

    return {
        "later item made 300": (later_out_of_range, (OverflowError, (OUT_OF_RANGE,))),
        "later item changed": (later_changed, HEADER + [1, 1, 0xEE]),
        "earlier item changed": (earlier_changed, HEADER + [1, 1, 0]),
        "items appended": (appended, HEADER + [3, 1, 0xCC]),
        "list cut short": (truncated, (OSError, (EOF,))),
    }


MUTATIONS = mutating_cases()


@pytest.mark.parametrize("kind", [list, ListSub], ids=["list", "list subclass"])
@pytest.mark.parametrize("make, expected", MUTATIONS.values(), ids=MUTATIONS.keys())
def test_items_changed_during_the_read_are_seen_as_iteration_sees_them(make, expected, kind):
    assert outcome(make(kind)) == expected


# --- the stream decoder against a one-pass model ----------------------------------------------


def model_stream_end(data, pos):
    """Where a correct stream decoder stops (the end of the last whole record), or raises
    ValueError for a BigSize that is not in its shortest form."""

    def read(at):
        if at >= len(data):
            return None
        prefix = data[at]
        if prefix < 0xFD:
            return prefix, at + 1
        width, low = {0xFD: (2, 0xFD), 0xFE: (4, 0x10000), 0xFF: (8, 1 << 32)}[prefix]
        if at + 1 + width > len(data):
            return None
        value = int.from_bytes(bytes(data[at + 1 : at + 1 + width]), "big")
        if value < low:
            raise ValueError
        return value, at + 1 + width

    while (ty := read(pos)) is not None and (ln := read(ty[1])) is not None:
        if ln[0] > len(data) - ln[1]:
            break
        pos = ln[1] + ln[0]
    return pos


def random_stream(rng):
    pairs = [(rng.choice([0, 1, 252, 253, 65536, 1 << 32, rng.randrange(1 << 64)]),
              rng.choice([0, 0, 1, 2, 5, 5, 300, 2049, 4100])) for _ in range(rng.randrange(16))]
    data = HEADER + records(*pairs)
    mutation = rng.randrange(4)
    if mutation == 1 and len(data) > 6:
        data = data[: rng.randrange(6, len(data))]
    elif mutation == 2 and len(data) > 6:
        data[rng.randrange(6, len(data))] = rng.choice([0xFD, 0xFE, 0xFF, 0])
    elif mutation == 3:
        data += rng.choice([[0xFD, 0, 0xFC], [1, 0xFE, 0, 0, 0, 1], [1], [7, 0xFD]])
    return data


def test_stream_decoder_agrees_with_a_one_pass_model():
    rng = random.Random(7)
    for _ in range(400):
        data = random_stream(rng)
        try:
            expected = data[:model_stream_end(data, 6)]
        except ValueError:
            expected = (OSError, (NOT_CANONICAL,))
        assert outcome(bytes(data)) == expected
        assert outcome(data) == expected


# --- wire() -----------------------------------------------------------------------------------


@pytest.mark.parametrize("data", [MESSAGES[k] for k in ("default", "real init", "value 65526")],
                         ids=["6 bytes", "49 bytes", "64 KiB"])
def test_wire_items_are_plain_ints(data):
    items = Init().wire_decode(bytes(data)).wire()
    assert type(items) is list
    assert all(type(i) is int for i in items)
    assert items == data


def test_wire_covers_every_byte_value():
    value = list(range(256)) * 3
    data = HEADER + [1, 0xFD, 3, 0] + value
    m = Init().wire_decode(data)
    for _ in range(3):
        assert m.wire() == data
