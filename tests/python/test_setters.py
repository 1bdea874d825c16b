"""The message classes' attributes against the stub, their deletion, and what ty accepts (the
refusals of assigned values are tested with those of buff's items, in test_init_codec)."""

import ast
import pathlib
import types

import pytest

import libkeldrin
from libkeldrin import Init
from support import Index, IntSub, Raises

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


class Unprintable:
    def __init__(self, failure):
        self.failure = failure

    def __str__(self):
        raise self.failure


@pytest.fixture
def message():
    """An Init with every field set, so that a change to any of them shows in wire()."""
    return Init().wire_decode(MESSAGE)


# --- the attribute tables ---------------------------------------------------------------------


@pytest.mark.parametrize("name", list(STUB))
def test_each_class_has_exactly_the_stubs_methods_and_attributes_for_itself_alone(name):
    assert list(STUB) == libkeldrin.__all__
    cls, (properties, methods) = getattr(libkeldrin, name), STUB[name]
    assert {n for n, v in vars(cls).items() if isinstance(v, types.MethodDescriptorType)} == methods
    getsets = {n for n, v in vars(cls).items() if isinstance(v, types.GetSetDescriptorType)}
    assert getsets == properties
    for attribute in getsets:
        assert vars(cls)[attribute].__doc__ == ""
        # The interpreter checks the receiver before a setter runs: an Init never reaches the
        # setters of another class, whose records have a different layout.
        if cls is not Init:
            with pytest.raises(TypeError):
                vars(cls)[attribute].__set__(Init(), 0)
            with pytest.raises(TypeError):
                vars(cls)[attribute].__delete__(Init())


# --- deletion ---------------------------------------------------------------------------------


@pytest.mark.parametrize("name", sorted(STUB["Init"][0]))
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
