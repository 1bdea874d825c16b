"""examples/decode_init.py run as a user runs it: a child process, messages as arguments or on
standard input; its printed results and exit status."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

import libkeldrin

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "examples" / "decode_init.py"


def run(args=(), stdin=""):
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(libkeldrin.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [here, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, str(SCRIPT), *args],
        input=stdin, env=env, capture_output=True, text=True, timeout=60,
    )


# (message in hex, the result line printed under it, whether it counts as a failure)
MESSAGES = [
    ("001000000000", "ok: same 6 bytes", False),
    ("0010000000000102abcd", "ok: same 10 bytes", False),
    ("0010000000000105ab",
     "ok: re-encoded as 001000000000 (the last 3 bytes, a cut-short record, dropped)", False),
    ("001100000000", "ok: re-encoded as 001000000000 (type 17 written as 16)", False),
    ("0011000000000105ab", "ok: re-encoded as 001000000000 (type 17 written as 16; "
     "the last 3 bytes, a cut-short record, dropped)", False),
    ("00100000", "error: OSError: failed to fill whole buffer", True),
    ("00100002aa", "error: OSError: failed to fill whole buffer", True),
    ("00100000000001fd0001aa", "error: OSError: decoded bigsize is not canonical", True),
    ("0010zz", "error: not hex: non-hexadecimal number found in fromhex() arg at position 4",
     True),
    ("0x001000000000", "ok: same 6 bytes", False),
    ("0X0010000000000102abcd", "ok: same 10 bytes", False),
    ("0x0010000", "error: not hex: odd number of hex digits (7); each byte takes two", True),
    ("0010zz0", "error: not hex: non-hexadecimal number found in fromhex() arg at position 4",
     True),
]


@pytest.mark.parametrize(("message", "result", "fails"), MESSAGES, ids=[m[0] for m in MESSAGES])
def test_one_message_as_argument(message, result, fails):
    proc = run([message])
    assert (proc.stdout, proc.stderr, proc.returncode) == (f"{message}\n  {result}\n", "",
                                                           int(fails))


def test_messages_on_stdin_in_order_skipping_blanks_and_comments():
    given = [m for m, _, _ in MESSAGES]
    stdin = "# captured from a peer\n\n" + "\n".join(f"  {m}  " for m in given) + "\n"
    proc = run(stdin=stdin)
    assert proc.stdout == "".join(f"{m}\n  {r}\n" for m, r, _ in MESSAGES)
    assert proc.returncode == 1


def test_spaced_hex_is_printed_joined():
    proc = run(stdin="0010 0000 0000\n")
    assert (proc.stdout, proc.returncode) == ("001000000000\n  ok: same 6 bytes\n", 0)


def test_all_good_messages_exit_zero():
    proc = run([m for m, _, fails in MESSAGES if not fails])
    assert proc.returncode == 0 and "error" not in proc.stdout


def test_bundled_samples_when_stdin_is_empty():
    proc = run()
    # Each sample: its origin as comment lines, its hex, its result.
    assert re.fullmatch(r"((# .*\n)+[0-9a-f]+\n  (ok|error): .*\n)+", proc.stdout), proc.stdout
    results = re.findall(r"^  (\S+ \S+)", proc.stdout, re.MULTILINE)
    assert set(results) == {"ok: same", "ok: re-encoded", "error: OSError:"}
    # Failing samples are there on purpose and do not set the exit status.
    assert (proc.stderr, proc.returncode) == ("", 0)
