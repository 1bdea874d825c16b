"""examples/decode_init.py as a user runs it, messages as arguments or on standard input: its
printed results and exit status. Two runs are child processes; the others call its main()."""

import io
import os
import pathlib
import re
import runpy
import subprocess
import sys

import pytest

import keldrin

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "examples" / "decode_init.py"


def run_script(args=(), stdin=""):
    env = dict(os.environ)
    here = os.path.dirname(os.path.dirname(os.path.abspath(keldrin.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [here, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, str(SCRIPT), *args],
        input=stdin, env=env, capture_output=True, text=True, timeout=60,
    )


@pytest.fixture
def run(capsys, monkeypatch):
    """(stdout, stderr, exit status) of the script's main() called with `args` in this process."""
    main = runpy.run_path(str(SCRIPT))["main"]

    def run(args=(), stdin=""):
        monkeypatch.setattr(sys, "stdin", io.StringIO(stdin))
        status = main(list(args))
        return (*capsys.readouterr(), status)

    return run


def featureless_init(size, tlvs="(none)", *more):
    """The lines printed for an init without feature bits."""
    return [f"Init (type 16), {size} bytes", "  globalfeatures: (empty)", "  features: (empty)",
            f"  tlvs: {tlvs}", "  feature bits: (none)", *more]


OTHER_CHAIN = "11" * 32
# Bitcoin's genesis block hash as explorers print it; a chain hash on the wire is its reverse.
MAINNET = bytes.fromhex("000000000019d6689c085ae165831e934ff763ae46a2a6c172b3f1b60a8ce26f")[::-1]

# (options, message in hex, the lines printed under it, whether it counts as a failure)
MESSAGES = [
    ([], "001000000000", featureless_init(6), False),
    ([], "0X001000000000", featureless_init(6), False),
    (["--strict"], "0x0010000000000501ab", featureless_init(9, "type 5 (1 byte)"), False),
    # Known bits and chains by name, others as numbers and hex; an address of unknown type as hex.
    ([], "0010 0000 0008 2000000000000202 0140" + OTHER_CHAIN + MAINNET.hex() + "0305 04abcdef01",
     ["Init (type 16), 87 bytes", "  globalfeatures: (empty)", "  features: 2000000000000202",
      "  tlvs: type 1 (64 bytes), type 3 (5 bytes)",
      "  feature bits: 1 option_data_loss_protect, 9 var_onion_optin, 61",
      f"  networks: {OTHER_CHAIN}, bitcoin", "  remote_addr: 04abcdef01"], False),
    ([], "0010 0000 0000 0307 01cb0071072607",
     featureless_init(15, "type 3 (7 bytes)", "  remote_addr: 203.0.113.7 port 9735"), False),
    ([], "001200030001aa",
     ["Ping (type 18), 7 bytes", "  num_pong_bytes: 3", "  ignored: aa", "  tlvs: (none)"], False),
    # Rules that only a strict decode applies, and faults that no decode waives.
    ([], "0010000000000300 0100", ["error: init: tlvs: record at offset 8: type 1 follows type 3: "
                                   "types must strictly increase (--lenient decodes it)"], True),
    (["--lenient"], "0010000000000300 0100",
     featureless_init(10, "type 3 (0 bytes), type 1 (0 bytes)", "  networks: (none)",
                      "  remote_addr: (empty)"), False),
    ([], "0064ab", ["error: message: type: 100 is even and unknown (--lenient decodes it)"], True),
    (["--lenient"], "0064ab", ["Unknown (type 100), 3 bytes", "  type: 100", "  payload: ab"],
     False),
    (["--lenient"], "00100000", ["error: init: flen: 2 bytes needed at offset 4, 0 left"], True),
    ([], "00100000000001fd0001aa",
     ["error: init: tlvs: record at offset 6: length: bigsize is not minimally encoded"], True),
    ([], "0010zz", ["error: not hex: non-hexadecimal number found in fromhex() arg at position 4"],
     True),
    ([], "0x0010000", ["error: not hex: odd number of hex digits (7); each byte takes two"], True),
    ([], "0010zz0", ["error: not hex: non-hexadecimal number found in fromhex() arg at position 4"],
     True),
]


def printed(message, lines):
    return "".join(message.split()) + "\n" + "".join(f"  {line}\n" for line in lines)


@pytest.mark.parametrize(("options", "message", "lines", "fails"), MESSAGES,
                         ids=[" ".join([*o, m]) for o, m, _, _ in MESSAGES])
def test_one_message_as_argument(run, options, message, lines, fails):
    assert run([*options, message]) == (printed(message, lines), "", int(fails))


def test_messages_on_stdin_in_order_skipping_blanks_and_comments():
    given = [(m, lines) for options, m, lines, _ in MESSAGES if "--lenient" not in options]
    stdin = "# captured from a peer\n\n" + "\n".join(f"  {m}  " for m, _ in given) + "\n"
    proc = run_script(stdin=stdin)
    expected = "".join(printed(m, lines) for m, lines in given)
    assert (proc.stdout, proc.stderr, proc.returncode) == (expected, "", 1)


def test_all_good_messages_exit_zero():
    proc = run_script(["--lenient", *[m for o, m, _, fails in MESSAGES if not fails]])
    assert proc.returncode == 0 and "error" not in proc.stdout


@pytest.mark.parametrize("options", [[], ["--lenient"]])
def test_bundled_samples_when_stdin_is_empty(run, options):
    stdout, stderr, status = run(options)
    # Each sample: its origin as comment lines, its hex, then its fields or one error line.
    assert re.fullmatch(r"((# .*\n)+[0-9a-f]+\n(  \w+ \(type \d+\), \d+ bytes\n(    .*\n)+|"
                        r"  error: .*\n))+", stdout), stdout
    for name in ("option_data_loss_protect", "networks: bitcoin", "testnet", "signet, regtest",
                 "remote_addr: 203.0.113.7 port 9735", "remote_addr: 2001:db8::1 port 9735"):
        assert name in stdout
    # Strict decoding refuses two samples that a lenient one takes; two fail either way.
    assert stdout.count("error: ") == (2 if options else 4)
    # Failing samples are there on purpose and do not set the exit status.
    assert (stderr, status) == ("", 0)
