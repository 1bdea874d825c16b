#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/, one input per file.

The seeds are the known-answer vectors of the codec tests (every BigSize row, every TLV stream
row), real init messages (the samples of examples/decode_init.py) and a message of each type, so
each target starts from inputs that reach every branch of its decoder. Re-run after changing a
table; file names are the inputs in hex (long ones shortened), so a re-run rewrites the same
files.
"""

import hashlib
import importlib.util
import pathlib
import sys
import types

ROOT = pathlib.Path(__file__).resolve().parent.parent

BIGSIZE = [
    "00", "fc", "fd00fd", "fdffff", "fe00010000", "feffffffff", "ff0000000100000000",
    "ffffffffffffffffff", "fd00fd01", "fd00fc", "fd0000", "fe0000ffff", "ff00000000ffffffff",
    "", "fd", "fd00", "feffff", "ffffffffff", "fd012c",
    # Eight-byte values for the encoder: each row's first and last value.
    "00000000000000fc" "00000000000000fd" "000000000000ffff" "0000000000010000"
    "00000000ffffffff" "0000000100000000" "ffffffffffffffff",
]

STREAM = [
    "", "0102aabb", "0100", "0102aabb0300", "0501aa0201bb", "0101aa0101bb", "0201aa",
    "fe0001000001ff", "ff000000010000000000", "01", "0103aabb", "0102aabb0503cc",
    "0102aabb01fd00", "fd00", "01ff7fffffffffffffff", "01ff8000000000000000", "fd0010",
    "01fd0001aa", "0102aabbfd0001", "fdfffffd0003010203",
    "fd00fdfd012c" + "ab" * 300,
    # What a receiving node refuses: records out of order, repeated, of an unknown even type, or
    # networks that are not whole chain hashes; and networks that are.
    "1f000f012a", "1f001f012a", "1200", "fd010200", "0121" + "11" * 33, "0120" + "11" * 32 + "0300",
]

INIT = [
    "001000000000", "001100000000", "0010000100aa0000", "00100002aa", "0010000000000102abcd",
    "00100000000001", "0010000000000105ab", "00100000000001fd0001aa", "0010", "00100000",
    "0010000000", "0010000a" + "5a" * 10 + "0003" + "5a5a5a" + "ff0000000100000000" + "00",
]

CHANNEL_ID = "00" * 31 + "01"
MESSAGE = [
    "001000000000c9012acb0104", "001000000000ca012a", "001000000000c90101c90102",
    "0011" + CHANNEL_ID + "00026869", "0001" + CHANNEL_ID + "00000300", "00120004000200000101aa",
    "0013000400000000", "00070003b10b000101aa", "00090000", "00c9010203", "0064", "00130000fd0001",
]


def init_samples() -> list[str]:
    """The hex messages of examples/decode_init.py, loaded without the compiled module."""
    sys.modules.setdefault("libkeldrin", types.ModuleType("libkeldrin"))
    spec = importlib.util.spec_from_file_location("decode_init", ROOT / "examples" / "decode_init.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return [hex_message for _, hex_message in module.SAMPLES]


# Headers of the Python target's operations (see fuzz/python_fuzz.py): a plain container, a list
# of awkward items, a sequence that lies about its length; each is followed by a message.
PYTHON_HEADERS = ["0000", "0100000000", "0200ff00000000"]
PYTHON_OTHER = ["0300000010", "0301010010", "030000000000", "0400", "0401", "040102", "0406"]


def write(target: str, inputs: list[str]) -> None:
    folder = ROOT / "fuzz" / "corpus" / target
    folder.mkdir(parents=True, exist_ok=True)
    for hex_input in inputs:
        name = hex_input if len(hex_input) <= 40 else hashlib.sha1(hex_input.encode()).hexdigest()
        (folder / (name or "empty")).write_bytes(bytes.fromhex(hex_input))


def main() -> None:
    write("bigsize", BIGSIZE)
    write("stream", STREAM)
    write("init", INIT + init_samples())
    write("message", INIT + MESSAGE)
    messages = INIT + init_samples()
    write("python", [h + m for h in PYTHON_HEADERS for m in messages] + PYTHON_OTHER)


if __name__ == "__main__":
    main()
