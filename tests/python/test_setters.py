"""Attribute assignment and deletion on the message classes."""

import ast
import pathlib
import types

import pytest

import libkeldrin
from libkeldrin import Error, Init, Ping, Pong, Warning
from support import (OUT_OF_RANGE, TOO_LARGE, Index, IntSub, Outer, Raises, TypeErrorSub, Unnamed,
                     cannot, index_error_text)

MESSAGE = [0, 16, 0, 1, 170, 0, 2, 1, 2, 1, 2, 171, 205, 3, 0]


def stub_classes():
    """The module's classes as the stub declares them: each one's properties and methods."""
    stub = ast.parse((pathlib.Path(__file__).parents[2] / "stubs/libkeldrin.pyi").read_text())
    classes = {}
    for node in stub.body:
        if isinstance(node, ast.ClassDef) and not any(
                getattr(d, "id", None) == "type_check_only" for d in node.decorator_list):
            functions = [f for f in node.body if isinstance(f, ast.FunctionDef)]
            properties = {f.name for f in functions
                          if any(getattr(d, "id", None) == "property" for d in f.decorator_list)}
            methods = {f.name for f in functions if not f.decorator_list} - {"__new__"}
            classes[node.name] = properties, methods
    return classes


STUB = stub_classes()
ATTRIBUTES = {getattr(libkeldrin, name): properties for name, (properties, _) in STUB.items()}
FIELD_ONLY = [Error, Ping, Pong, Warning]
FIELD_ONLY_IDS = ["Error", "Ping", "Pong", "Warning"]


# The attributes' own test below holds each class's table to the stub's properties.
def test_the_stub_declares_every_class_and_method():
    assert list(STUB) == libkeldrin.__all__
    for name, (_, methods) in STUB.items():
        cls = getattr(libkeldrin, name)
        assert {n for n, v in vars(cls).items() if isinstance(v, types.MethodDescriptorType)} \
            == methods


@pytest.fixture
def message():
    """An Init with every field set, so that a change to any of them shows in wire()."""
    return Init().wire_decode(MESSAGE)


class Unprintable:
    def __init__(self, failure):
        self.failure = failure

    def __str__(self):
        raise self.failure


# --- the attribute tables ---------------------------------------------------------------------


@pytest.mark.parametrize("cls", ATTRIBUTES, ids=["Init", *FIELD_ONLY_IDS])
def test_each_class_has_exactly_its_attributes_for_itself_alone(cls):
    getsets = {n for n, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)}
    assert getsets == ATTRIBUTES[cls]
    for name in getsets:
        assert vars(cls)[name].__doc__ == ""
        # The interpreter checks the receiver before a setter runs: an Init never reaches the
        # setters of another class, whose records have a different layout.
        if cls is not Init:
            with pytest.raises(TypeError):
                vars(cls)[name].__set__(Init(), 0)
            with pytest.raises(TypeError):
                vars(cls)[name].__delete__(Init())


# --- deletion ---------------------------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(ATTRIBUTES[Init]))
def test_deletion_is_refused(message, name):
    for delete in (lambda: delattr(message, name), lambda: vars(Init)[name].__delete__(message)):
        with pytest.raises(AttributeError) as excinfo:
            delete()
        assert type(excinfo.value) is AttributeError
        assert excinfo.value.args == ("can't delete attribute",)
    assert message.wire() == MESSAGE


# --- ty ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("value", [0, 65535, 16, True, False, IntSub(7), Index(7)],
                         ids=["0", "65535", "16", "True", "False", "int subclass", "__index__"])
def test_ty_accepts(message, value):
    message.ty = value
    vars(Init)["ty"].__set__(message, value)
    assert message.wire() == MESSAGE


def prefixed(value):
    return TypeError, "argument 'ty': " + index_error_text(value)


TY_ERRORS = {
    "65536": (65536, OverflowError, OUT_OF_RANGE),
    "-1": (-1, OverflowError, OUT_OF_RANGE),
    "2**32": (1 << 32, OverflowError, OUT_OF_RANGE),
    "2**63-1": ((1 << 63) - 1, OverflowError, OUT_OF_RANGE),
    "-2**63": (-(1 << 63), OverflowError, OUT_OF_RANGE),
    "__index__ -1": (Index(-1), OverflowError, OUT_OF_RANGE),
    "2**63": (1 << 63, OverflowError, TOO_LARGE),
    "2**64": (1 << 64, OverflowError, TOO_LARGE),
    "-2**63-1": (-(1 << 63) - 1, OverflowError, TOO_LARGE),
    "__index__ 2**64": (Index(1 << 64), OverflowError, TOO_LARGE),
    "1.5": (1.5, *prefixed(1.5)),
    "'a'": ("a", *prefixed("a")),
    "None": (None, *prefixed(None)),
    "bytes": (b"\x01", *prefixed(b"\x01")),
    "__index__ str": (Index("x"), *prefixed(Index("x"))),
    "__index__ TypeError": (Raises(TypeError("boom")), TypeError, "argument 'ty': boom"),
    "__index__ TypeError two args": (Raises(TypeError(1, 2)), TypeError, "argument 'ty': (1, 2)"),
    "__index__ TypeError subclass": (Raises(TypeErrorSub("boom")), TypeErrorSub, "boom"),
    "__index__ KeyError": (Raises(KeyError("k")), KeyError, "k"),
    "__index__ ValueError": (Raises(ValueError("v")), ValueError, "v"),
    "__index__ RuntimeError": (Raises(RuntimeError("r")), RuntimeError, "r"),
}


@pytest.mark.parametrize("value, error, text", TY_ERRORS.values(), ids=TY_ERRORS.keys())
def test_ty_refuses(message, value, error, text):
    with pytest.raises(error) as excinfo:
        message.ty = value
    assert type(excinfo.value) is error
    assert excinfo.value.args == (text,)
    assert message.wire() == MESSAGE
    message.ty = 0  # nothing stays borrowed


def test_prefixing_an_error_without_text():
    with pytest.raises(TypeError) as excinfo:
        Init().ty = Raises(TypeError(Unprintable(ValueError("no text"))))
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == ("argument 'ty': <exception str() failed>",)
    # Lack of memory while making the text is no reason to hide it behind a placeholder.
    shortage = MemoryError()
    with pytest.raises(MemoryError) as excinfo:
        Init().ty = Raises(TypeError(Unprintable(shortage)))
    assert excinfo.value is shortage


def test_conversion_may_use_the_object_being_assigned(message):
    seen = []

    def effect():
        seen.append(message.wire())
        seen.append(message.wire_decode([0, 16, 0, 0, 0, 0]).wire())
        message.ty = 3

    message.ty = Index(5, effect)
    assert seen == [MESSAGE, [0, 16, 0, 0, 0, 0]]
    assert message.wire() == MESSAGE


# --- channel_id -------------------------------------------------------------------------------


def test_channel_id_is_read_by_length_then_by_index(run_child):
    # Python code that gives Error and Warning a __new__ makes instances of them; as that changes
    # the classes for good, a child interpreter does it.
    logs = run_child(
        """
    import json
    from libkeldrin import Error, Warning
    from support import Index, Recorder

    logs = []
    for cls, length in [(Error, 32), (Warning, 32), (Error, 31)]:
        cls.__new__ = staticmethod(object.__new__)
        log = []
        try:
            cls().channel_id = Recorder([Index(i, log=log) for i in range(length)], log)
        except ValueError as error:
            log.append(str(error))
        logs.append(log)
    print(json.dumps(logs))
    """
    )
    read = ["len"] + [x for i in range(32) for x in ([i], i)]
    assert logs == [read, read, ["len", "expected a sequence of length 32 (got 31)"]]


# --- BitFlag and Stream fields ----------------------------------------------------------------


# (attribute, value, its type's name as the refusal gives it)
COPY_ERRORS = {
    "features bytes": ("features", b"\x01", "bytes"),
    "features empty bytes": ("features", b"", "bytes"),
    "features list": ("features", [1], "list"),
    "features None": ("features", None, "NoneType"),
    "features int": ("features", 0, "int"),
    "globalfeatures bytearray": ("globalfeatures", bytearray(b"\xaa"), "bytearray"),
    "globalfeatures Init": ("globalfeatures", Init(), "Init"),
    "globalfeatures nested class": ("globalfeatures", Outer.Inner(), "Outer.Inner"),
    "globalfeatures unreadable name": ("globalfeatures", Unnamed(), "<failed to extract type name>"),
    "init_tlvs NUL in the name": ("init_tlvs", type("C", (), {"__qualname__": "A\x00B"})(), "A\x00B"),
    "init_tlvs empty list": ("init_tlvs", [], "list"),
    "init_tlvs None": ("init_tlvs", None, "NoneType"),
    "init_tlvs Init": ("init_tlvs", Init(), "Init"),
    "init_tlvs class": ("init_tlvs", Init, "type"),
    "init_tlvs __index__": ("init_tlvs", Index(1), "Index"),
}


@pytest.mark.parametrize("attribute, value, name", COPY_ERRORS.values(), ids=COPY_ERRORS.keys())
def test_bitflag_and_stream_fields_refuse_other_values(message, attribute, value, name):
    with pytest.raises(TypeError) as excinfo:
        setattr(message, attribute, value)
    assert type(excinfo.value) is TypeError
    assert excinfo.value.args == (cannot(attribute, name, "Stream" if attribute == "init_tlvs"
                                         else "BitFlag"),)
    assert message.wire() == MESSAGE
    message.ty = 0
