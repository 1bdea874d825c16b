"""Init under awkward Python objects: decodes of messages carried by every kind of sequence and of
items that are odd, fail or call back into the module, assignments of such items, and misuse of
the class. Every outcome is held to an oracle: a decode to the reference model, a failure to the
exact exception the module documents; afterwards the shared Init must encode as before and take
an assignment. fuzz/python_fuzz.py feeds the same properties raw bytes under atheris."""

import operator
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model
import strategies
from libkeldrin import Init
from strategies import SHARED, Reenter, check_shared
from support import OUT_OF_RANGE, TOO_LARGE, Index, Raises, cannot, hidden_classes


@pytest.mark.parametrize("messages", [strategies.init_messages(), strategies.init_streams()],
                         ids=["messages", "streams"])
@settings(max_examples=300)
@given(data=st.data())
def test_decoder_agrees_with_a_reference_model(messages, data):
    message = data.draw(messages)
    expected = model.decode_init(message)
    for buff in (message, bytes(message), *([expected] if isinstance(expected, list) else [])):
        try:
            got = Init().wire_decode(buff).wire()
        except Exception as e:  # noqa: BLE001 - compared with what was expected
            got = type(e), e.args
        assert got == expected


def passed_on(error, name):
    """(type, text) of what the module raises for `error` from Python code it ran: a TypeError
    gains the argument's name, anything else passes unchanged."""
    if type(error) is TypeError:
        return TypeError, f"argument '{name}': {error}"
    return type(error), str(error)


def expected_conversion(item, bound, name):
    """(value, None) for an item the integer conversion accepts, else (None, (type, text))."""
    if isinstance(item, Raises):
        return None, passed_on(item.error, name)
    try:
        value = item.value if isinstance(item, (Index, Reenter)) else operator.index(item)
    except TypeError as error:
        return None, passed_on(error, name)
    if not -(2**63) <= value < 2**63:
        return None, (OverflowError, TOO_LARGE)
    if not 0 <= value < bound:
        return None, (OverflowError, OUT_OF_RANGE)
    return value, None


def expected_decode(events):
    """wire() of what decoding a buff whose iteration yields `events` gives, or (type, text) of
    the failure: the first exception or failed conversion, else the model's."""
    values = []
    for event in events:
        if isinstance(event, BaseException):
            return passed_on(event, "buff")
        value, error = expected_conversion(event, 256, "buff")
        if error:
            return error
        values.append(value)
    expected = model.decode_init(bytes(values))
    return (expected[0], *expected[1]) if isinstance(expected, tuple) else expected


@settings(max_examples=300)
@given(strategies.buffs())
def test_decode_of_any_buff_agrees_with_the_model(case):
    buff, events = case
    expected = expected_decode(events)
    try:
        result = SHARED.wire_decode(buff)
    except Exception as error:  # noqa: BLE001 - compared with what was expected
        assert (type(error), str(error)) == expected
        assert type(error) is not OSError or (error.args, error.errno) == (expected[1:], None)
    else:
        assert type(result) is Init and result is not SHARED
        assert result.wire() == expected
    check_shared()


@given(st.sampled_from(["ty", "globalfeatures", "features", "init_tlvs"]),
       strategies.ty_values)
def test_assignment_converts_or_fails_as_documented(name, value):
    try:
        setattr(SHARED, name, value)
    except Exception as error:  # noqa: BLE001 - compared with what was expected
        got = type(error), str(error)
    else:
        got = None
    if name == "ty":
        assert got == expected_conversion(value, 65536, "ty")[1]
    else:
        kind = "Stream" if name == "init_tlvs" else "BitFlag"
        assert got == (TypeError, cannot(name, type(value).__qualname__, kind))
    check_shared()


REFUSED = {
    **{f"ty set on {kind}": (lambda o=o: vars(Init)["ty"].__set__(o, 5), None)
       for kind, o in [("object", object()), ("int", 1), ("bytes", b"\0")]},
    **{f"pickle protocol {p}": (lambda p=p: pickle.dumps(SHARED, protocol=p), None)
       for p in (2, 3, 4)},
    **{f"Init.__new__({cls.__name__})": (lambda cls=cls: Init.__new__(cls), None)
       for cls in hidden_classes()},
    **{f"init_tlvs = {cls.__name__}": (lambda cls=cls: setattr(SHARED, "init_tlvs", cls), None)
       for cls in hidden_classes()},
}


@pytest.mark.parametrize("call, text", REFUSED.values(), ids=REFUSED.keys())
def test_misuse_is_refused(call, text):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert text is None or str(excinfo.value) == text
    check_shared()
