#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into FOLDER/<target>/, one input per file.

    python fuzz/make_seeds.py build/fuzz/seeds

The seeds are the inputs of the known-answer vectors (tests/vectors.txt) and the sample messages
of examples/decode_init.py (which imports keldrin: run this with an interpreter that has it), so
that each target starts from inputs that reach every branch of its decoder. `make fuzz` runs it
before each run; the folder is written afresh, so a row taken out of the vectors leaves no seed
behind. File names are the inputs in hex (long ones hashed).
"""

import hashlib
import importlib.util
import pathlib
import shutil
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "python"))

from model import fields_end  # noqa: E402 - from the tests' folder, added above
from support import vectors  # noqa: E402

# Longer inputs only repeat what shorter ones reach, and libFuzzer cuts them at -max_len anyway.
LONGEST_SEED = 4096

def inputs(table: str) -> list[bytes]:
    return [row.input for row in vectors(table)]


def init_samples() -> list[bytes]:
    """The messages of examples/decode_init.py."""
    spec = importlib.util.spec_from_file_location("decode_init", ROOT / "examples" / "decode_init.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return [bytes.fromhex(hex_message) for _, hex_message in module.SAMPLES]


def seeds() -> dict[str, list[bytes]]:
    inits = inputs("init")
    messages = inputs("message")
    values = [int(row.fields[0]) for row in vectors("bigsize") if row.fields[0].isdigit()]
    # Each BigSize value as eight bytes, all in one input: the values the encoder is checked at.
    encoder_values = b"".join(value.to_bytes(8, "big") for value in values)
    # The extensions of the inits, for the stream decoder.
    extensions = [data[end:] for data in inits if (end := fields_end(data)) is not None]
    samples = init_samples()
    init_messages = [row.input for row in vectors("message") if row.fields[0] == "init"]
    return {
        "bigsize": [*inputs("bigsize"), encoder_values],
        "stream": [*inputs("stream"), *inputs("tlv"), *extensions],
        "init": [*inits, *init_messages, *samples],
        "message": [*inits, *messages, *samples],
        # The Python target's input is hypothesis's choices (fuzz/python_fuzz.py), which no
        # message spells: it starts from nothing.
        "python": [],
    }


def main() -> None:
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    root = pathlib.Path(sys.argv[1])
    for target, target_inputs in seeds().items():
        folder = root / target
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        for data in target_inputs:
            if len(data) > LONGEST_SEED:
                continue
            name = data.hex() if len(data) <= 20 else hashlib.sha1(data).hexdigest()
            (folder / (name or "empty")).write_bytes(data)


if __name__ == "__main__":
    main()
