"""The installed type stub as a user's type checker sees it: found, and agreeing with the runtime.

`make stubtest` compares the stub with the module object by object; these tests check what that
cannot: that mypy finds the stub where pip put it, and that code which fails at runtime is
refused by the checker while code that works passes.
"""

import pathlib
import sysconfig
import textwrap

import pytest

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


# (case name, user code after `import libkeldrin`, what mypy must say: an error code in
# brackets, a revealed type, or None for no diagnostic at all)
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
]


@pytest.fixture(scope="module")
def mypy_report(tmp_path_factory):
    """mypy's output lines for every case, checked in one run; keyed by case name."""
    api = pytest.importorskip("mypy.api")
    folder = tmp_path_factory.mktemp("typing")
    files = []
    for name, code, _ in CASES:
        path = folder / f"{name}.py"
        path.write_text("import libkeldrin\n\n" + textwrap.dedent(code).strip() + "\n")
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
