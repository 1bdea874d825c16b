#!/usr/bin/env python3
"""Decode `init` messages given in hex and print each canonical re-encoding, or the exact error.

    python examples/decode_init.py 00100000000001022aab        # messages as arguments
    tshark ... | python examples/decode_init.py                # or one per line on stdin
    python examples/decode_init.py                             # the bundled sample messages

A message that decodes prints `ok`, and `same` when re-encoding reproduces the input byte for
byte, or `canonical` followed by the re-encoding when it does not (a cut-short last TLV record
is dropped, and the type is always written as 16). One that does not decode prints the
exception type and text. The exit status is 1 if any message failed to decode.
"""

import sys

import libkeldrin

MAINNET = "6fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6190000000000"
TESTNET = "43497fd7f826957108f4a30fd9cec3aeba79972084e90ead01ea330900000000"
REGTEST = "06226e46111a0b59caaf126043eb5bbf28c34f3a5e332a1fc7b2b73cf188910f"

# (where such a message comes from, hex)
SAMPLES = [
    ("a mainnet node: no feature bytes, `networks` (type 1) holding the chain hash, and "
     "`remote_addr` (type 3) with the IPv4 address 203.0.113.7 port 9735",
     "0010" "0000" "0000" "0120" + MAINNET + "0307" "01" "cb007107" "2607"),
    ("a testnet node that sets legacy global features and a wide feature vector",
     "0010" "0002" "2200" "000d" "08000000000000000080885221" "0120" + TESTNET),
    ("a regtest node announcing two chains and its IPv6 remote address",
     "0010" "0000" "0002" "0a28" "0140" + REGTEST + MAINNET
     + "0313" "02" "20010db8000000000000000000000001" "2607"),
    ("an old peer with no TLV records at all", "0010" "0001" "0a" "0001" "0a"),
    ("a peer whose message was cut off inside its last record (the record is dropped)",
     "0010" "0000" "0000" "0120" + MAINNET[:40]),
    ("a malformed message: the record length 1 written as fd0001 (not canonical)",
     "0010" "0000" "0000" "01fd0001aa"),
    ("a truncated message: features length says 4, only 2 bytes follow", "0010" "0000" "0004" "0a28"),
]


def describe(hex_message: str) -> tuple[bool, str]:
    raw = bytes.fromhex(hex_message.replace(" ", ""))
    try:
        decoded = libkeldrin.Init().wire_decode(raw)
    except OSError as error:
        return False, f"OSError: {error}"
    encoded = bytes(decoded.wire())
    if encoded == raw:
        return True, f"ok, same ({len(raw)} bytes)"
    return True, f"ok, canonical {encoded.hex()}"


def main(argv: list[str]) -> int:
    if len(argv) > 1:
        messages = [(None, m) for m in argv[1:]]
    elif not sys.stdin.isatty():
        messages = [(None, line.strip()) for line in sys.stdin if line.strip()]
    else:
        messages = []
    bundled = not messages
    failures = 0
    for origin, hex_message in messages or SAMPLES:
        if origin:
            print(f"# {origin}")
        try:
            ok, result = describe(hex_message)
        except ValueError as error:
            ok, result = False, f"not hex: {error}"
        failures += not ok
        print(f"{hex_message.replace(' ', '')}\n  -> {result}")
    # The bundled samples fail on purpose; only the caller's own messages set the status.
    return 1 if failures and not bundled else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
