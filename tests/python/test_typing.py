"""The installed type stub as a user's type checker sees it: found, and agreeing with the runtime.

`make stubtest` compares the stub with the module object by object; these tests check what that
cannot: that mypy finds the stub where pip put it, and that code which fails at runtime is
refused by the checker while code that works passes. They also hold keldrin's signatures to the
stub without mypy, so that a run of the Python tests alone sees a parser or help() gone astray.
"""

import ast
import inspect
import pathlib
import sysconfig
import textwrap

import pytest

import keldrin
import libkeldrin

HERE = pathlib.Path(libkeldrin.__file__).parent
INSTALLED = HERE.resolve() in {
    pathlib.Path(sysconfig.get_path(key)).resolve() for key in ("purelib", "platlib")
}
needs_install = pytest.mark.skipif(
    not INSTALLED, reason="libkeldrin is imported from a build tree, not from an installation"
)


@needs_install
def test_stub_is_installed_beside_the_module_and_as_a_stub_package():
    beside = HERE / "libkeldrin.pyi"
    package = HERE / "libkeldrin-stubs" / "__init__.pyi"
    assert beside.read_text() == package.read_text()
    assert "class Init" in beside.read_text()


def stub_signatures():
    """{(class name or None, function name): [(name, kind, default)]} of the functions of the
    keldrin stub that parse arguments (the module's, and each class's constructor and decode), the
    receiver left out; default is the literal's value, `...` where the stub names none, or
    inspect's `empty`."""
    stub = ast.parse((pathlib.Path(__file__).parents[2] / "stubs/keldrin/__init__.pyi").read_text())
    module_functions = {name for name, f in vars(keldrin).items() if inspect.isbuiltin(f)}
    functions = [(None, f) for f in stub.body if getattr(f, "name", "") in module_functions]
    functions += [(c.name, f) for c in stub.body if isinstance(c, ast.ClassDef) for f in c.body
                  if getattr(f, "name", "") in {"__new__", "decode"}]
    empty, kind = inspect.Parameter.empty, inspect.Parameter
    signatures = {}
    for owner, function in functions:
        arguments = function.args
        positional = arguments.posonlyargs + arguments.args
        defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
        kinds = [kind.POSITIONAL_ONLY] * len(arguments.posonlyargs) + [
            kind.POSITIONAL_OR_KEYWORD] * len(arguments.args)
        parameters = [*zip(positional, kinds, defaults),
                      *((argument, kind.KEYWORD_ONLY, default)
                        for argument, default in zip(arguments.kwonlyargs, arguments.kw_defaults))]
        signatures[owner, function.name] = [
            (argument.arg, kind, empty if default is None else ast.literal_eval(default))
            for argument, kind, default in parameters[owner is not None:]]
    return signatures


STUB_SIGNATURES = stub_signatures()


@pytest.mark.parametrize(("owner", "name"), STUB_SIGNATURES,
                         ids=[f"{owner or 'keldrin'}.{name}" for owner, name in STUB_SIGNATURES])
def test_keldrin_signatures_are_the_stubs(owner, name):
    runtime = getattr(keldrin, owner or name)
    if owner and name == "decode":
        runtime = runtime.decode
    actual = [(p.name, p.kind, p.default) for p in inspect.signature(runtime).parameters.values()]
    declared = STUB_SIGNATURES[owner, name]
    assert [entry[:2] for entry in actual] == [entry[:2] for entry in declared]
    for (_, _, got), (_, _, stub) in zip(actual, declared):
        if stub is ...:
            assert got is not inspect.Parameter.empty
        else:
            assert (type(got), got) == (type(stub), stub)


# (case name, user code after `import keldrin` and `import libkeldrin`, what mypy must say: an
# error code in brackets, a revealed type, or None for no diagnostic at all)
CASES = [
    ("round_trip", """
        m = libkeldrin.Init()
        raw: list[int] = m.wire()
        again: libkeldrin.Init = m.wire_decode(bytes(raw))
        m.wire_decode(bytearray(raw))
        m.wire_decode(memoryview(bytes(raw)))
        m.wire_decode(buff=[0, 16, 0, 0, 0, 0])
        m.wire_decode((0, 16, 0, 0, 0, 0))
        m.ty = 16
        m.ty = True
     """, None),
    ("setters_of_field_classes", """
        def fill(e: libkeldrin.Error, w: libkeldrin.Warning, p: libkeldrin.Ping,
                 q: libkeldrin.Pong) -> None:
            e.ty = 17
            e.channel_id = bytes(32)
            w.channel_id = [0] * 32
            p.num_pong_bytes = 4
            q.ty = 19
     """, None),
    ("decode_result_type", "reveal_type(libkeldrin.Init().wire_decode(b''))",
     'Revealed type is "libkeldrin.Init"'),
    ("decode_str", "libkeldrin.Init().wire_decode('001000000000')", "[arg-type]"),
    ("decode_none", "libkeldrin.Init().wire_decode(None)", "[arg-type]"),
    ("decode_iterator", "libkeldrin.Init().wire_decode(iter([0, 16]))", "[arg-type]"),
    ("decode_wrong_keyword", "libkeldrin.Init().wire_decode(data=b'')", "[call-arg]"),
    ("init_argument", "libkeldrin.Init(1)", "[call-arg]"),
    ("wire_argument", "libkeldrin.Init().wire(1)", "[call-arg]"),
    ("ty_str", "libkeldrin.Init().ty = '16'", "[assignment]"),
    ("features_bytes", "libkeldrin.Init().features = b'\\x00'", "[assignment]"),
    ("init_tlvs_list", "libkeldrin.Init().init_tlvs = []", "[assignment]"),
    ("channel_id_str", """
        def fill(e: libkeldrin.Error) -> None:
            e.channel_id = 'x' * 32
     """, "[assignment]"),
    ("data_none", """
        def fill(w: libkeldrin.Warning) -> None:
            w.data = None
     """, "[assignment]"),
    ("read_is_no_value", "reveal_type(libkeldrin.Init().ty)", 'Revealed type is "Never"'),
    ("no_constructor", "reveal_type(libkeldrin.Ping(1, 2))", 'Revealed type is "Never"'),
    ("subclass", "class Mine(libkeldrin.Init): ...", "[misc]"),
    ("decode_str_items", "libkeldrin.Init().wire_decode(['0'])", "[list-item]"),
    ("keldrin_user_code", """
        def reply(data: bytes) -> bytes | None:
            match keldrin.decode(memoryview(data), strict=False):
                case keldrin.Ping(num_pong_bytes=n) as ping if n < 100:
                    pong = ping.pong()
                    return None if pong is None else pong.encode()
                case keldrin.Init(features=features, tlvs=tlvs) as init:
                    networks: tuple[bytes, ...] | None = init.networks
                    addr: bytes | None = init.remote_addr
                    bits: frozenset[int] = init.feature_bits
                    kind, value = tlvs[0]
                    first_type: int = tlvs[0].type
                    return features + value + bytes(kind + first_type + len(bits)) + (addr or b"")
                case keldrin.Error(channel_id, text) | keldrin.Warning(channel_id, text):
                    return channel_id + text
                case keldrin.Unknown(type=message_type, payload=payload):
                    return bytes(message_type) + payload
                case _:
                    return None

        init = keldrin.Init(features=bytearray(b"\\x01"),
                            tlvs=[(1, bytes(32)), keldrin.Record(3, b"")])
        error = keldrin.Error(channel_id=memoryview(bytes(32)), data=b"why")
        size: int = keldrin.Ping(num_pong_bytes=4).num_pong_bytes + keldrin.Init.type
        again: keldrin.Init = keldrin.Init.decode(bytes(init), strict=True)
        value, length = keldrin.decode_bigsize(keldrin.encode_bigsize(253))
        records: tuple[keldrin.Record, ...] = keldrin.decode_tlv_stream(b"", known={1, 3})
        wire: bytes = keldrin.encode_tlv_stream(records) + bytes(value + length)
        try:
            keldrin.decode(b"")
        except keldrin.DecodeError as failure:
            offset: int = failure.offset
     """, None),
    ("keldrin_decode_union", "reveal_type(keldrin.decode(b''))",
     'Revealed type is "keldrin.Init | keldrin.Error | keldrin.Warning | keldrin.Ping | '
     'keldrin.Pong | keldrin.PeerStorage | keldrin.PeerStorageRetrieval | keldrin.Unknown"'),
    ("keldrin_decode_class", "reveal_type(keldrin.Error.decode(b''))",
     'Revealed type is "keldrin.Error"'),
    ("keldrin_pong", "reveal_type(keldrin.Ping().pong())",
     'Revealed type is "keldrin.Pong | None"'),
    ("keldrin_assign_field", "keldrin.Init().features = b''", "[misc]"),
    ("keldrin_str_field", "keldrin.Init(features='01')", "[arg-type]"),
    ("keldrin_list_data", "keldrin.decode([0, 16])", "[arg-type]"),
    ("keldrin_str_record_value", "keldrin.Pong(tlvs=[(1, 'x')])", "[list-item]"),
    ("keldrin_pong_of_init", "keldrin.Init().pong()", "[attr-defined]"),
]


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """mypy's output lines for every case, checked in one run; keyed by case name."""
    api = pytest.importorskip("mypy.api")
    folder = tmp_path_factory.mktemp("typing")
    files = []
    for name, code, _ in CASES:
        path = folder / f"{name}.py"
        header = "import keldrin\nimport libkeldrin\n\n"
        path.write_text(header + textwrap.dedent(code).strip() + "\n")
        files.append(str(path))
    stdout, stderr, _ = api.run(
        ["--strict", "--no-error-summary", "--cache-dir", str(folder / ".cache"), *files]
    )
    assert not stderr, stderr
    report = {name: [] for name, _, _ in CASES}
    for line in stdout.splitlines():
        report[pathlib.Path(line.split(":", 1)[0]).stem].append(line)
    return report


@needs_install
@pytest.mark.parametrize(("name", "expected"), [(n, e) for n, _, e in CASES],
                         ids=[n for n, _, _ in CASES])
def test_mypy_verdict(mypy_report, name, expected):
    lines = mypy_report[name]
    if expected is None:
        assert lines == []
        return
    # Notes may follow an error (where the callee is defined); the verdict is one line.
    verdicts = [line for line in lines if ": note: " not in line or "Revealed type" in line]
    assert len(verdicts) == 1 and expected in verdicts[0], lines
