"""The module object, the shape of its classes as types, and the one-interpreter rule."""

import builtins
import gc
import importlib
import os
import subprocess
import sys
import weakref

import pytest

import libkeldrin
from libkeldrin import Error, Init, Ping, Pong, Warning
from support import FREE_THREADED, hidden_classes

NAMES = ["Init", "Error", "Ping", "Pong", "Warning"]
CLASSES = [Init, Error, Ping, Pong, Warning]

STREAM_DOC = (
    "Stream - A `tlv_stream` is a series of (possibly zero) `tlv_record`s, represented as the\n"
    "concatenation of the encoded `tlv_record`s. When used to extend existing\n"
    "messages, a `tlv_stream` is typically placed after all currently defined fields."
)


@pytest.fixture(scope="module")
def hidden():
    """Stream and BitFlag, made by the first failed assignment that checks against them."""
    for attribute, value in [("init_tlvs", []), ("features", b"")]:
        with pytest.raises(TypeError):
            setattr(Init(), attribute, value)
    return {name: cls for name in ("Stream", "BitFlag") for (cls,) in [hidden_classes(name)]}


# --- the module -------------------------------------------------------------------------------


def test_all_is_a_list_of_the_five_classes_and_reimport_gives_the_same_module():
    counts = [sys.getrefcount(obj) for obj in (libkeldrin, *CLASSES)]
    for _ in range(3):
        saved = sys.modules.pop("libkeldrin")
        try:
            again = importlib.import_module("libkeldrin")
            assert again is saved
            assert importlib.reload(again) is saved
        finally:
            sys.modules["libkeldrin"] = saved
    # Each import gave back the reference it took; registration did not run again (below).
    del saved, again
    assert [sys.getrefcount(obj) for obj in (libkeldrin, *CLASSES)] == counts
    assert libkeldrin.__name__ == "libkeldrin"
    assert len(libkeldrin.__doc__.splitlines()) == 3
    assert type(libkeldrin.__all__) is list
    assert libkeldrin.__all__ == NAMES
    for name, cls in zip(NAMES, CLASSES):
        assert getattr(libkeldrin, name) is cls
        assert type(cls) is type
    # Nothing public beyond the classes: no functions, no internal classes.
    assert {n for n in vars(libkeldrin) if not n.startswith("__")} == set(NAMES)
    assert not hasattr(libkeldrin, "Stream") and not hasattr(libkeldrin, "BitFlag")
    # The module's dictionary holds the one reference to __all__, as it would to any new list.
    vars(libkeldrin)["_probe"] = list(libkeldrin.__all__)
    try:
        assert sys.getrefcount(libkeldrin.__all__) == sys.getrefcount(libkeldrin._probe)
    finally:
        del vars(libkeldrin)["_probe"]


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded build can run without the GIL")
@pytest.mark.parametrize("module", ["libkeldrin", "keldrin"])
def test_import_keeps_the_gil_off_and_warns_nothing(module):
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    env["PYTHONPATH"] = os.path.dirname(libkeldrin.__file__)
    code = f"import sys, {module}; print(sys._is_gil_enabled())"
    child = subprocess.run([sys.executable, "-W", "error", "-c", code], env=env,
                           capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout, child.stderr) == (0, "False\n", "")


# The child creates a subinterpreter through the private module of the running version: its
# name and the way a configuration is chosen changed between 3.12 and 3.13.
SUBINTERPRETER_HELPERS = """
    import json, os, sys

    IMPORT_IN_SUBINTERPRETER = '''
    import json, os
    try:
        import libkeldrin
        seen = ["ok", libkeldrin.Init().wire()]
    except BaseException as e:
        seen = [type(e).__name__, str(e)]
    os.write(1, (json.dumps(seen) + "\\\\n").encode())
    '''

    def run_in_subinterpreter(isolated):
        if sys.version_info >= (3, 13):
            import _interpreters as interpreters
            iid = interpreters.create("isolated" if isolated else "legacy")
        else:
            import _xxsubinterpreters as interpreters
            iid = interpreters.create(isolated=isolated)
        r, w = os.pipe()
        saved = os.dup(1)
        os.dup2(w, 1)
        try:
            interpreters.run_string(iid, IMPORT_IN_SUBINTERPRETER)
        finally:
            os.dup2(saved, 1)
            os.close(w)
        interpreters.destroy(iid)
        with os.fdopen(r) as f:
            return json.loads(f.read())

    def import_in_main():
        try:
            import libkeldrin
            return ["ok", libkeldrin.Init().wire()]
        except ImportError as e:
            return [type(e).__name__, str(e)]
"""


def test_second_interpreter_is_refused(run_child):
    *subs, main_again, same_module = run_child(
        SUBINTERPRETER_HELPERS
        + """
    import libkeldrin
    first = libkeldrin
    subs = [run_in_subinterpreter(isolated) for isolated in (True, False)]
    del sys.modules["libkeldrin"]
    print(json.dumps(subs + [import_in_main(), sys.modules["libkeldrin"] is first]))
    """
    )
    for kind, message in subs:
        assert kind == "ImportError"
        assert "interpreters" in message.replace("-", "")
    # The first interpreter's module is untouched.
    assert main_again == ["ok", [0, 16, 0, 0, 0, 0]]
    assert same_module


def test_only_one_interpreter_ever_gets_the_module(run_child):
    # A legacy subinterpreter imports first. 3.12 runs the init function in the subinterpreter,
    # which then owns the module; 3.13 runs it in the main interpreter first, which then owns it.
    # Either way exactly one of the two succeeds and the other is refused.
    sub, main = run_child(
        SUBINTERPRETER_HELPERS
        + """
    print(json.dumps([run_in_subinterpreter(False), import_in_main()]))
    """
    )
    owner, refused = (sub, main) if sys.version_info < (3, 13) else (main, sub)
    assert owner == ["ok", [0, 16, 0, 0, 0, 0]]
    assert refused[0] == "ImportError"
    assert "interpreters" in refused[1].replace("-", "")


# keldrin, by contrast, gives every interpreter a module of its own: three sub-interpreters, each
# with its own GIL, work at once, and while all are alive their objects' sixteen ids differ.
SUBINTERPRETER_WORK = """
import os, pickle, keldrin
wire = keldrin.Init(b"", b"\\x02", [(1, bytes(32))]).encode()
for _ in range(2000):
    m = keldrin.decode(wire)
    assert type(m) is keldrin.Init and pickle.loads(pickle.dumps(m)) == m and bytes(m) == wire
ids = [id(keldrin), id(keldrin.Init), id(keldrin.Record), id(keldrin.DecodeError)]
os.write(FD, repr(ids).encode())
"""


def test_keldrin_in_several_subinterpreters_at_once(run_child):
    private = {(3, 12): "_xxsubinterpreters", (3, 13): "_interpreters"}.get(sys.version_info[:2])
    pytest.importorskip(private or "concurrent.interpreters")
    seen = run_child(
        f"""
    import json, os, sys, threading
    import keldrin

    if sys.version_info >= (3, 14):
        from concurrent.interpreters import Interpreter, create
        run, close = Interpreter.exec, Interpreter.close
    else:  # the private module, whose interpreters are isolated, with a GIL each, by default
        private = __import__({private!r})
        create, run, close = private.create, private.run_string, private.destroy
    subs = [create() for _ in range(3)]
    pipes = [os.pipe() for _ in subs]
    work = {SUBINTERPRETER_WORK!r}
    threads = [threading.Thread(target=run, args=(sub, work.replace("FD", str(w))))
               for sub, (_, w) in zip(subs, pipes)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    seen = [[id(keldrin), id(keldrin.Init), id(keldrin.Record), id(keldrin.DecodeError)]]
    for r, w in pipes:
        os.close(w)
        seen.append(eval(os.read(r, 4096)))
    for sub in subs:
        close(sub)
    print(json.dumps(seen))
    """
    )
    assert len(seen) == 4
    assert len({id_ for ids in seen for id_ in ids}) == 16


# The module and its classes refer to each other through its state, which the collector must see
# to free the first module once nothing else holds it.
def test_keldrin_imported_again_gives_new_classes_that_work_and_frees_the_old(run_child):
    same, works, freed = run_child(
        """
    import gc, json, sys, weakref
    import keldrin
    first, wire = keldrin, keldrin.Ping(3).encode()
    del sys.modules["keldrin"]
    import keldrin
    m = keldrin.decode(wire)
    results = [
        [keldrin is first, keldrin.Ping is first.Ping, keldrin.Record is first.Record],
        [type(m) is keldrin.Ping, type(m.pong()) is keldrin.Pong, m.pong().encode().hex(),
         type(first.decode(wire)) is first.Ping],
    ]
    held = [weakref.ref(first), weakref.ref(first.Ping), weakref.ref(first.DecodeError)]
    del first
    gc.collect()
    print(json.dumps(results + [[ref() is None for ref in held]]))
    """
    )
    assert same == [False, False, False]
    assert works == [True, True, "00130003000000", True]
    assert freed == [True, True, True]


# --- the classes as types ---------------------------------------------------------------------


# The classes, hidden ones too: their docstrings, and calls that must be refused.
DOCS = {"Init": "", "Stream": STREAM_DOC}
CONSTRUCTIONS = [("Error", (), {}), ("Error", (1,), {"x": 2}), ("Ping", (1, 2), {}),
                 ("Pong", (), {"x": 1}), ("Warning", (None, *range(5)), {"y": []}),
                 ("Stream", (), {}), ("Stream", (1, 2), {"x": 3}), ("BitFlag", (), {}),
                 ("BitFlag", (1, 2), {"x": 3}), ("Init", (), {})]


@pytest.mark.parametrize("name, args, kwargs", CONSTRUCTIONS)
def test_class_names_and_module_and_no_construction_subclass_or_bypass(hidden, name, args, kwargs):
    cls = hidden.get(name) or getattr(libkeldrin, name)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    assert (cls.__bases__, cls.__itemsize__) == ((object,), 0)  # fixed-size instances
    assert (cls.__doc__, cls.__text_signature__) == (DOCS.get(name), "()" if cls is Init else None)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})
    with pytest.raises(TypeError):
        object.__new__(cls)
    if cls is Init:
        return  # the one class with a constructor
    # The message reads the class's name: each refusal gives back the references it takes, to
    # the name and to the class.
    counts = []
    for call in [lambda: cls(*args, **kwargs), lambda: cls.__new__(cls, *args, **kwargs)] * 3:
        with pytest.raises(TypeError) as excinfo:
            call()
        assert type(excinfo.value) is TypeError
        assert excinfo.value.args == (f"No constructor defined for {name}",)
        counts.append((sys.getrefcount(cls.__name__), sys.getrefcount(cls)))
    assert counts[2:] == counts[-1:] * 4


def test_method_text_signatures_and_unrelated_classes():
    assert Init.wire.__text_signature__ == "($self)"
    assert Init.wire_decode.__text_signature__ == "($self, buff)"
    assert Init.wire.__doc__ is None and Init.wire_decode.__doc__ is None
    for a, b in [(Warning, builtins.Warning), (Error, Warning)]:
        assert a is not b
        assert not issubclass(a, b) and not issubclass(b, a)


def test_hidden_classes_made_on_first_check_and_instances_give_back_their_class(run_child):
    # Python code that gives a class a __new__ makes instances of every class, the hidden ones
    # too; as that changes the classes for good, a child interpreter does it. The instances are
    # made on a thread of their own, so that a free-threaded build's counts are exact.
    counts, before, after = run_child(
        """
    import json, sys
    import libkeldrin
    from support import hidden_classes, on_a_thread_of_its_own

    def counts():
        return [len(hidden_classes("Stream")), len(hidden_classes("BitFlag"))]

    m = libkeldrin.Init()
    m.ty = 5
    m.wire_decode([0, 16, 0, 1, 170, 0, 0, 1, 2, 171, 205]).wire()
    seen = [counts()]
    for attribute, value in [("ty", "x"), ("features", b""), ("init_tlvs", []),
                             ("globalfeatures", None), ("init_tlvs", None)]:
        try:
            setattr(libkeldrin.Init(), attribute, value)
        except TypeError:
            seen.append(counts())

    classes = [getattr(libkeldrin, name) for name in libkeldrin.__all__] + hidden_classes()
    for cls in classes:
        cls.__new__ = staticmethod(object.__new__)

    def cycle():
        m.ty = 1
        m.wire_decode(b"\\x00\\x10\\x00\\x00\\x00\\x00\\x01\\x01\\xaa").wire()
        try:
            m.wire_decode([0, 16])
        except OSError:
            pass
        return [cls() for cls in classes]

    def cycles(count):
        on_a_thread_of_its_own(lambda: [cycle() for _ in range(count)])

    cycles(10)
    before = [sys.getrefcount(cls) for cls in classes]
    cycles(1000)
    print(json.dumps([seen, before, [sys.getrefcount(cls) for cls in classes]]))
    """
    )
    assert counts == [[0, 0], [0, 0], [0, 1], [1, 1], [1, 1], [1, 1]]
    assert len(before) == 7
    assert after == before


def test_threads_that_first_need_a_hidden_class_at_once_share_one(run_child):
    seen = run_child(
        """
    import gc
    import json
    import threading
    import libkeldrin
    from support import hidden_classes

    start = threading.Barrier(8)
    errors = []

    def first_need():
        m = libkeldrin.Init()
        start.wait()
        for attribute, value in [("features", b""), ("init_tlvs", [])]:
            try:
                setattr(m, attribute, value)
            except TypeError:
                pass
            except BaseException as error:
                errors.append(repr(error))

    threads = [threading.Thread(target=first_need) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    gc.collect()
    print(json.dumps([len(hidden_classes(name)) for name in ("Stream", "BitFlag")] + errors))
    """
    )
    assert seen == [1, 1]


# --- instances --------------------------------------------------------------------------------


def test_instances_have_no_dict_no_weakref_no_readable_attribute_and_no_gc():
    m = Init()
    assert not hasattr(m, "__dict__")
    with pytest.raises(AttributeError):
        m.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(m)
    for attribute in ["ty", "globalfeatures", "features", "init_tlvs"]:
        with pytest.raises(AttributeError):
            getattr(m, attribute)
    assert not gc.is_tracked(m)
    assert not gc.is_tracked(Init().wire_decode([0, 16, 0, 0, 0, 0, 1, 0]))


# Lack of memory reaches Python as MemoryError, never as the internal-error class, an abort or a
# printed traceback. The interpreter's allocators fail from the nth allocation on, for every n up
# to where the call goes through; `make faults` sweeps every operation this way.
def test_lack_of_memory_at_the_first_check_of_a_hidden_class_is_a_memory_error(run_child):
    pytest.importorskip("_testcapi")
    seen, printed = run_child(
        """
        import io, json, sys, _testcapi
        from libkeldrin import Init
        sys.stderr = io.StringIO()

        def sweep(attribute, value):
            # Nothing between the failing statement and the end of the hooks may allocate: the
            # loop runs in a function, whose names need no dictionary.
            fail_from, restore = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
            sys._getframe()
            seen = set()
            for start in range(80):
                try:
                    fail_from(start, 0)
                    setattr(Init(), attribute, value)
                except BaseException as e:
                    restore()
                    seen.add(type(e).__name__)
            return sorted(seen)

        seen = [sweep("init_tlvs", []), sweep("features", b"")]
        print(json.dumps([seen, sys.stderr.getvalue()]))
        """
    )
    assert seen == [["MemoryError", "TypeError"]] * 2
    assert printed == ""
