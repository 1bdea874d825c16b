"""The keldrin package as its users see it: immutable message values, their keyword constructors,
and decoding by the rules a receiving node applies, strict or lenient."""

import copy
import functools
import importlib.metadata
import pathlib
import pickle
import sys

import pytest

import keldrin
from keldrin import (DecodeError, Error, Init, PeerStorage, PeerStorageRetrieval, Ping, Pong,
                     Record, Unknown)
from support import vectors

CLASSES = (Init, Error, keldrin.Warning, Ping, Pong, PeerStorage, PeerStorageRetrieval, Unknown)
EMPTY_INIT = bytes.fromhex("001000000000")
# A real init as a node sends it: one chain hash (networks) and an IPv4 remote_addr.
REAL_INIT = bytes.fromhex("00100000000001206fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6"
                          "190000000000030701cb0071072607")
HASH_A, HASH_B = bytes(range(32)), bytes(range(32, 64))

# One message of each class, every field set and a record in each extension: its wire form and
# what the constructor makes of the same fields.
MESSAGES = [
    ("0010 0001 02 0002 0800 0120" + HASH_A.hex() + "0302 abcd",
     Init(globalfeatures=b"\x02", features=b"\x08\x00", tlvs=[(1, HASH_A), (3, b"\xab\xcd")])),
    ("0011" + HASH_A.hex() + "0003 626164 0501 78",
     Error(channel_id=HASH_A, data=b"bad", tlvs=[(5, b"x")])),
    ("0001" + HASH_B.hex() + "0002 6869", keldrin.Warning(channel_id=HASH_B, data=b"hi")),
    ("0012 0004 0003 000000 0700", Ping(num_pong_bytes=4, ignored=bytes(3), tlvs=[(7, b"")])),
    ("0013 0002 0000 fd00fd 00", Pong(ignored=bytes(2), tlvs=[(253, b"")])),
    ("0007 0004 626c6f62", PeerStorage(blob=b"blob")),
    ("0009 0001 ff ff0000000100000001 01 01",
     PeerStorageRetrieval(blob=b"\xff", tlvs=[(2**32 + 1, b"\x01")])),
    ("8001 637573746f6d", Unknown(type=32769, payload=b"custom")),
]
MESSAGE_IDS = [type(m).__name__ for _, m in MESSAGES]
WIRES = [bytes.fromhex(h) for h, _ in MESSAGES]
OBJECTS = [m for _, m in MESSAGES]

# Objects that only a lenient decode makes, and that the constructor refuses.
LENIENT = {
    "out of order": EMPTY_INIT + bytes.fromhex("0301aa0100"),
    "unknown even record": EMPTY_INIT + bytes.fromhex("0201aa"),
    "unknown even message": bytes.fromhex("0064ab"),
    "over 65535 bytes": bytes.fromhex("0009fffb") + bytes(65531) + bytes.fromhex("0100"),
}


def test_import_names_version_and_typing_files():
    assert keldrin.__version__ == importlib.metadata.version("libkeldrin")
    assert sorted(keldrin.__all__) == sorted(
        [c.__name__ for c in CLASSES] + ["Record", "DecodeError", "decode", "decode_tlv_stream",
                                         "encode_tlv_stream", "encode_bigsize", "decode_bigsize"])
    assert sorted(keldrin.__all__) == sorted(n for n in vars(keldrin) if not n.startswith("_"))
    folder = pathlib.Path(keldrin.__file__).parent
    assert (folder / "py.typed").is_file() and "class Init" in (folder / "__init__.pyi").read_text()


@pytest.mark.parametrize("message", [*OBJECTS, Record(1, b"x")], ids=[*MESSAGE_IDS, "Record"])
def test_objects_are_immutable_and_final(message):
    cls = type(message)
    for name in [*cls.__match_args__, "type", "networks", "feature_bits", "anything"]:
        with pytest.raises(AttributeError):
            setattr(message, name, getattr(message, name, b""))
        with pytest.raises(AttributeError):
            delattr(message, name)
    assert not hasattr(message, "__dict__")
    # A message is of fixed size: a variable one would have sys.getsizeof read its contents.
    assert cls.__itemsize__ == (tuple.__itemsize__ if cls is Record else 0)
    with pytest.raises(TypeError):
        type("Mine", (cls,), {})


def test_type_on_class_and_instance():
    types = [cls.type for cls in CLASSES[:-1]]
    with pytest.raises(TypeError):
        Init.type = 3
    assert types == [type(m).type for m in OBJECTS[:-1]] == [m.type for m in OBJECTS[:-1]]
    assert types == [16, 17, 1, 18, 19, 7, 9]
    assert (Unknown(101).type, Unknown(32768).type) == (101, 32768)


# (a, b, equal)
EQUALITY = [
    (Init(), Init.decode(EMPTY_INIT), True),
    (Init(tlvs=[(1, HASH_A)]), Init(tlvs=[Record(1, bytearray(HASH_A))]), True),
    (Error(data=b"x"), keldrin.Warning(data=b"x"), False),
    (PeerStorage(blob=b"x"), PeerStorageRetrieval(blob=b"x"), False),
    (Ping(num_pong_bytes=1), Ping(num_pong_bytes=2), False),
    (Init(features=b"\x01"), Init(features=b"\x00\x01"), False),
    (Pong(tlvs=[(1, b"")]), Pong(tlvs=[(3, b"")]), False),
    (Unknown(101, b"x"), Unknown(103, b"x"), False),
    (Init(), EMPTY_INIT, False),
    (Record(1, b"x"), (1, b"x"), True),
]


@pytest.mark.parametrize(("a", "b", "equal"), EQUALITY)
def test_equality_and_hash_by_value(a, b, equal):
    assert (a == b, b == a, a != b) == (equal, equal, not equal)
    if equal:
        assert hash(a) == hash(b)


@pytest.mark.parametrize("message", [*OBJECTS, *map(keldrin.decode, [*WIRES, REAL_INIT]),
                                     Record(2**64 - 1, b"'\"")])
def test_repr_evaluates_back(message):
    again = eval(repr(message), {"keldrin": keldrin})  # noqa: S307 - the repr under test
    assert type(again) is type(message) and again == message


# The fields of each class in wire order, as its constructor takes them positionally.
FIELD_ORDER = {
    Init: "globalfeatures features tlvs", Error: "channel_id data tlvs",
    keldrin.Warning: "channel_id data tlvs", Ping: "num_pong_bytes ignored tlvs",
    Pong: "ignored tlvs", PeerStorage: "blob tlvs", PeerStorageRetrieval: "blob tlvs",
    Unknown: "type payload", Record: "type value",
}


def fields_by_match(message):
    """The fields of a message as a user's handler takes them apart."""
    match message:
        case Ping(num_pong_bytes=n, ignored=ignored, tlvs=tlvs):
            return n, ignored, tlvs
        case Init(a, b, c) | Error(a, b, c) | keldrin.Warning(a, b, c):
            return a, b, c
        case Pong(a, b) | PeerStorage(a, b) | PeerStorageRetrieval(a, b) | Unknown(a, b):
            return a, b
        case Record(a, b):
            return a, b


@pytest.mark.parametrize("message", [*OBJECTS, Record(5, b"x")], ids=[*MESSAGE_IDS, "Record"])
def test_match_args_follow_field_order(message):
    names = tuple(FIELD_ORDER[type(message)].split())
    fields = tuple(getattr(message, name) for name in names)
    assert type(message).__match_args__ == names
    assert fields_by_match(message) == fields
    assert type(message)(*fields) == message == type(message)(**dict(zip(names, fields)))


def test_record_is_a_tuple_of_its_fields():
    kind, value = record = Record(type=5, value=b"x")
    assert (kind, value) == (record.type, record.value) == (5, b"x")


@pytest.mark.parametrize("message", [
    *OBJECTS, *[keldrin.decode(d, strict=False) for d in LENIENT.values()], Record(1, b"x")],
    ids=[*MESSAGE_IDS, *LENIENT, "Record"])
def test_pickle_and_copy_preserve_every_object(message):
    copies = [pickle.loads(pickle.dumps(message, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    for again in [*copies, copy.copy(message), copy.deepcopy(message)]:
        assert type(again) is type(message) and again == message


# (message, changes, the result or the exception class)
REPLACEMENTS = [
    (OBJECTS[3], {"num_pong_bytes": 9}, Ping(num_pong_bytes=9, ignored=bytes(3), tlvs=[(7, b"")])),
    (OBJECTS[0], {"tlvs": ()}, Init(globalfeatures=b"\x02", features=b"\x08\x00")),
    (Unknown(101), {"payload": b"x"}, Unknown(101, b"x")),
    (Init.decode(LENIENT["out of order"], strict=False), {"features": b"\x01"}, ValueError),
    (Error(), {"channel_id": bytes(31)}, ValueError),
    (Unknown(101), {"type": 16}, ValueError),
    (PeerStorage(), {"blob": "text"}, TypeError),
    (Pong(), {"num_pong_bytes": 1}, TypeError),
]


@pytest.mark.skipif(sys.version_info < (3, 13), reason="copy.replace is new in 3.13")
@pytest.mark.parametrize(("message", "changes", "expected"), REPLACEMENTS)
def test_copy_replace_validates_as_the_constructor(message, changes, expected):
    if isinstance(expected, type):
        with pytest.raises(expected):
            copy.replace(message, **changes)
    else:
        assert copy.replace(message, **changes) == expected


@pytest.mark.parametrize(("message", "wire"), [
    (Init(), "001000000000"), (Error(), "0011" + "00" * 32 + "0000"),
    (keldrin.Warning(), "0001" + "00" * 32 + "0000"), (Ping(), "001200000000"),
    (Pong(), "00130000"), (PeerStorage(), "00070000"), (PeerStorageRetrieval(), "00090000"),
    (Unknown(101), "0065")])
def test_defaults_give_the_empty_message(message, wire):
    assert message.encode() == bytes.fromhex(wire)


BYTES_LIKE = {
    "bytes": bytes, "bytearray": bytearray, "memoryview": memoryview,
    "strided memoryview": lambda b: memoryview(bytes(x for c in b for x in (c, 0xEE)))[::2],
}


@pytest.mark.parametrize("convert", BYTES_LIKE.values(), ids=BYTES_LIKE.keys())
@pytest.mark.parametrize(("make", "field", "value"), [
    (Init, "globalfeatures", b"\x01\x02"), (Init, "features", b"\x03"),
    (Error, "channel_id", HASH_A), (keldrin.Warning, "data", b"why"), (Ping, "ignored", b"\x00"),
    (Pong, "ignored", b"ab"), (PeerStorage, "blob", b"xyz"), (PeerStorageRetrieval, "blob", b"z"),
    (functools.partial(Unknown, 101), "payload", b"\x00"),
    (functools.partial(Record, 1), "value", b"v")])
def test_byte_fields_take_any_bytes_like_and_store_bytes(convert, make, field, value):
    stored = getattr(make(**{field: convert(value)}), field)
    assert type(stored) is bytes and stored == value


# Every refusal of a constructor or an encoder: ValueError (OverflowError for a huge int) ...
REFUSED_VALUES = [
    lambda: Error(channel_id=bytes(31)), lambda: keldrin.Warning(channel_id=bytes(33)),
    lambda: Init(features=bytes(65536)), lambda: Pong(ignored=bytes(65536)),
    lambda: PeerStorage(blob=bytes(65532)), lambda: PeerStorageRetrieval(blob=bytes(65532)),
    lambda: Ping(num_pong_bytes=-1), lambda: Ping(num_pong_bytes=65536),
    lambda: Record(-1, b""), lambda: Record(2**64, b""), lambda: Pong(tlvs=[(2**64, b"")]),
    lambda: Init(tlvs=[(3, b""), (1, b"")]), lambda: Error(tlvs=[(5, b""), (5, b"")]),
    lambda: Init(tlvs=[(1, bytes(33))]),
    lambda: Init(features=bytes(65530)), lambda: Error(data=bytes(65535)),
    lambda: Unknown(101, bytes(65534)), lambda: Unknown(65536),
    *[lambda t=cls.type: Unknown(t) for cls in CLASSES[:-1]],
    lambda: keldrin.encode_tlv_stream([(1, b"a"), (1, b"b")]),
    lambda: keldrin.encode_tlv_stream([Record(3, b""), (2, b"")]),
    lambda: keldrin.encode_bigsize(-1), lambda: keldrin.encode_bigsize(2**64),
]
# ... and TypeError.
REFUSED_TYPES = [
    lambda: Init(features="01"), lambda: Error(channel_id=[0] * 32), lambda: Record(1, "x"),
    lambda: Ping(num_pong_bytes=1.0), lambda: Init(tlvs=b"\x01\x00"),
    lambda: Init(tlvs=[(1, b"", 2)]),
    *[lambda decode=decode, data=data: decode(data) for data in ("0010", list(EMPTY_INIT), None)
      for decode in (keldrin.decode, Init.decode, keldrin.decode_tlv_stream,
                     keldrin.decode_bigsize)],
]


class Unreadable:
    """A buffer that refuses every request, the simple one and the strided one alike."""

    def __buffer__(self, flags):
        raise BufferError("no view")


def known_types_then_failure():
    yield 1
    raise ZeroDivisionError("no more types")


class Unbooled:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


# Refused arguments: (call, the exception, its text).
ARGUMENT_ERRORS = {
    "none": (keldrin.decode, TypeError, "decode() missing required argument 'data'"),
    "keyword only": (lambda: Init.decode(strict=False), TypeError,
                     "Init.decode() missing required argument 'data'"),
    "Unknown()": (Unknown, TypeError, "Unknown() missing required argument 'type'"),
    "two positional": (lambda: keldrin.decode(b"", True), TypeError,
                       "decode() takes at most 1 positional argument (2 given)"),
    "four positional": (lambda: Init(b"", b"", (), 1), TypeError,
                        "Init() takes at most 3 positional arguments (4 given)"),
    "replace positional": (lambda: Ping().__replace__(1), TypeError,
                           "Ping.__replace__() takes at most 0 positional arguments (1 given)"),
    "twice": (lambda: Ping.decode(b"", data=b""), TypeError,
              "Ping.decode() got multiple values for argument 'data'"),
    "unexpected": (lambda: keldrin.decode_tlv_stream(b"", sorted=True), TypeError,
                   "decode_tlv_stream() got an unexpected keyword argument 'sorted'"),
    "int data": (lambda: Init.decode(1), TypeError,
                 "Init.decode() argument 'data' must be a bytes-like object, not int"),
    "known int": (lambda: keldrin.decode_tlv_stream(b"", known=5), TypeError,
                  "decode_tlv_stream() argument 'known' must be a collection of int, not int"),
    "known negative": (lambda: keldrin.decode_tlv_stream(b"", known=[-1]), ValueError,
                       "decode_tlv_stream() argument 'known' must be in range "
                       "0..18446744073709551615, not -1"),
    "known failing": (lambda: keldrin.decode_tlv_stream(b"", known=known_types_then_failure()),
                      ZeroDivisionError, "no more types"),
    "strict failing": (lambda: keldrin.decode(EMPTY_INIT, strict=Unbooled()), ZeroDivisionError,
                       "no truth"),
    "tlvs item": (lambda: Init(tlvs=[(1, b""), 2]), TypeError,
                  "Init() argument 'tlvs' item 1 must be a Record or a (type, value) pair, not int"),
    "tlvs item value": (lambda: Init(tlvs=[(1, "x")]), TypeError,
                        "Init() argument 'tlvs' item 0 value must be a bytes-like object, not str"),
    # Before 3.12 a class cannot export a buffer: it is not bytes-like at all.
    "unreadable buffer": (lambda: keldrin.decode(Unreadable()),
                          *((BufferError, "no view") if sys.version_info >= (3, 12) else
                            (TypeError, "decode() argument 'data' must be a bytes-like object, "
                                        "not Unreadable"))),
}


@pytest.mark.parametrize(("call", "error", "text"), ARGUMENT_ERRORS.values(),
                         ids=ARGUMENT_ERRORS.keys())
def test_argument_errors(call, error, text):
    with pytest.raises(error) as raised:
        call()
    assert type(raised.value) is error and str(raised.value) == text


@pytest.mark.parametrize(("make", "error"), [
    *[(make, (ValueError, OverflowError)) for make in REFUSED_VALUES],
    *[(make, TypeError) for make in REFUSED_TYPES]])
def test_refusals(make, error):
    with pytest.raises(error):
        make()


def test_tlvs_take_records_and_pairs_and_read_back_records():
    message = Init(tlvs=iter([Record(1, HASH_A), (3, memoryview(b"ip")), (5, bytearray())]))
    assert message.tlvs == ((1, HASH_A), (3, b"ip"), (5, b""))
    assert type(message.tlvs) is tuple and all(type(r) is Record for r in message.tlvs)


@pytest.mark.parametrize(("ping", "pong"), [
    (Ping(), Pong()), (Ping(num_pong_bytes=3, ignored=b"xyz"), Pong(ignored=bytes(3))),
    (Ping(num_pong_bytes=65531), Pong(ignored=bytes(65531))),
    (Ping(num_pong_bytes=65532), None), (Ping(num_pong_bytes=65535), None)])
def test_pong(ping, pong):
    assert ping.pong() == pong


# (init, networks, remote_addr, feature_bits)
INIT_DERIVED = [
    (Init(), None, None, set()),
    (Init(tlvs=[(1, b""), (3, b"")]), (), b"", set()),
    (Init.decode(REAL_INIT), (REAL_INIT[8:40],), bytes.fromhex("01cb0071072607"), set()),
    (Init.decode(EMPTY_INIT + bytes.fromhex("0120") + HASH_A + bytes.fromhex("0140") + HASH_B * 2
                 + bytes.fromhex("0301aa0300"), strict=False), (HASH_A,), b"\xaa", set()),
    (Init(tlvs=[(1, HASH_A + HASH_B)]), (HASH_A, HASH_B), None, set()),
    (Init(globalfeatures=b"\x01\x00", features=b"\x80"), None, None, {7, 8}),
    (Init(globalfeatures=b"\x02", features=b"\x01\x00\x00"), None, None, {1, 16}),
    (Init(globalfeatures=b"\x03", features=b"\x00\x05"), None, None, {0, 1, 2}),
]


@pytest.mark.parametrize(("init", "networks", "remote_addr", "bits"), INIT_DERIVED)
def test_init_derived_fields(init, networks, remote_addr, bits):
    assert (init.networks, init.remote_addr, init.feature_bits) == (networks, remote_addr, bits)
    assert type(init.feature_bits) is frozenset


@pytest.mark.parametrize("convert", BYTES_LIKE.values(), ids=BYTES_LIKE.keys())
@pytest.mark.parametrize(("wire", "expected"), list(zip(WIRES, OBJECTS)), ids=MESSAGE_IDS)
def test_decode_gives_the_class_the_type_names(convert, wire, expected):
    for strict in (True, False):
        for message in (keldrin.decode(convert(wire), strict=strict),
                        type(expected).decode(data=convert(wire), strict=strict)):
            assert type(message) is type(expected) and message == expected
            assert message.encode() == bytes(message) == wire == expected.encode()


@pytest.mark.parametrize(("cls", "other"), list(zip(CLASSES, WIRES[1:] + WIRES[:1])))
def test_decode_of_another_type_fails(cls, other):
    with pytest.raises(DecodeError) as raised:
        cls.decode(other)
    assert raised.value.offset == 0 and "type: " in str(raised.value)


DECODERS = {cls.__name__.lower(): cls for cls in CLASSES}
DECODERS.update(peer_storage=PeerStorage, peer_storage_retrieval=PeerStorageRetrieval)


@pytest.mark.parametrize("row", vectors("message"),
                         ids=lambda row: f"{row.fields[0]} {row.name}"[:60])
def test_strict_and_lenient_decoding(row):
    """A valid message decodes in either mode and encodes back to itself. Any other fails
    strictly with its text and offset, through its class and, when it is of that class's type,
    through keldrin.decode; leniently it decodes to that class or fails alike, as the row says."""
    data, cls = row.input, DECODERS[row.fields[0]]
    decoders = [cls.decode]
    if row.fields[1:2] != ["wrong-type"] and len(data) >= 2:
        decoders.append(keldrin.decode)
    if len(row.fields) == 1:
        for decode in decoders:
            for strict in (True, False):
                message = decode(data, strict=strict)
                assert type(message) is cls and message.encode() == data
        return
    _, _, offset, text, lenient = row.fields
    for decode in decoders:
        for strict in [True] if lenient == "decodes" else [True, False]:
            with pytest.raises(ValueError) as raised:
                decode(data, strict=strict)
            assert type(raised.value) is DecodeError
            assert (str(raised.value), raised.value.offset) == (text, int(offset))
        if lenient == "decodes":
            message = decode(data, strict=False)
            assert type(message) is cls and message.encode() == data


# (stream, keywords, the records or the failure's text and offset)
TLV_STREAMS = [
    ("0201aa0301bb", {}, ("tlv stream: record at offset 0: type 2 is even and unknown", 0)),
    ("0201aa0301bb", {"known": [4, 2]}, ((2, b"\xaa"), (3, b"\xbb"))),
    ("0201aa0301bb", {"known": (t for t in (2,))}, ((2, b"\xaa"), (3, b"\xbb"))),
    ("0401aa", {"known": range(3)},
     ("tlv stream: record at offset 0: type 4 is even and unknown", 0)),
    ("0201aa0301bb", {"strict": False}, ((2, b"\xaa"), (3, b"\xbb"))),
    ("0301bb0101aa", {}, ("tlv stream: record at offset 3: type 1 follows type 3: types must "
                          "strictly increase", 3)),
    ("0301bb0101aa", {"strict": False}, ((3, b"\xbb"), (1, b"\xaa"))),
    ("0101aa0102", {"strict": False},
     ("tlv stream: record at offset 3: value: 2 bytes needed at offset 5, 0 left", 3)),
    ("", {}, ()),
]


@pytest.mark.parametrize(("wire", "keywords", "expected"), TLV_STREAMS)
def test_decode_tlv_stream(wire, keywords, expected):
    data = bytes.fromhex(wire)
    if expected and isinstance(expected[0], str):
        with pytest.raises(DecodeError) as raised:
            keldrin.decode_tlv_stream(data, **keywords)
        assert (str(raised.value), raised.value.offset) == expected
        return
    records = keldrin.decode_tlv_stream(data, **keywords)
    assert records == expected and all(type(r) is Record for r in records)
    if keywords.get("strict", True):
        assert keldrin.encode_tlv_stream(records) == data


@pytest.mark.parametrize("row", vectors("bigsize"), ids=lambda row: row.name)
def test_bigsize(row):
    data, (expected, read, *error) = row.input, row.fields
    if not error:
        assert keldrin.decode_bigsize(data + b"\xee") == (int(expected), int(read))
        if int(read) == len(data):
            assert keldrin.encode_bigsize(int(expected)) == data
        return
    with pytest.raises(DecodeError) as raised:
        keldrin.decode_bigsize(data)
    assert (str(raised.value), raised.value.offset) == (error[0], 0)


@pytest.mark.parametrize("wire", WIRES, ids=MESSAGE_IDS)
def test_every_prefix_decodes_or_raises_decode_error(wire):
    for end in range(len(wire) + 1):
        for strict in (True, False):
            try:
                message = keldrin.decode(wire[:end], strict=strict)
            except DecodeError:
                continue
            assert isinstance(message, CLASSES) and message.encode() == wire[:end]
