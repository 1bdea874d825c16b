#!/usr/bin/env python3
"""Decode BOLT #1 `init` messages given in hex; print each canonical re-encoding or the exact error.

    python examples/decode_init.py 00100000000001022aab     # messages as arguments
    python examples/decode_init.py < messages.txt            # or one per line on standard input
    python examples/decode_init.py                           # the bundled sample messages

For each message the hex is printed, then one indented line:

    ok: same N bytes            re-encoding gives back the input exactly
    ok: re-encoded as HEX (...) re-encoding differs; the note says why: the type is always
                                written as 16, and a cut-short last TLV record is dropped
    error: OSError: TEXT        the decoder refused the message, with the exception's text
    error: not hex: TEXT        the line is not a hex string (an odd number of hex digits
                                is named as such); a leading 0x is allowed

On standard input, blank lines and lines starting with `#` are skipped. The exit status is 1 if
any given message failed, else 0; the bundled samples include failures on purpose and exit 0.
"""

import argparse
import string
import sys
import textwrap

import libkeldrin

# Chain hashes as they stand in the `networks` record: each genesis block hash, in the byte order
# of the block header (the reverse of how block explorers print it).
MAINNET = "6fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6190000000000"
TESTNET = "43497fd7f826957108f4a30fd9cec3aeba79972084e90ead01ea330900000000"
SIGNET = "f61eee3b63a380a477a063af32b2bbc97c9ff9f01f2c4225e973988108000000"


def u16(value: int) -> str:
    return f"{value:04x}"


def feature_field(*bits: int) -> str:
    """A length-prefixed feature bit field: bit 0 is the lowest bit of the last byte."""
    number = sum(1 << bit for bit in bits)
    size = (number.bit_length() + 7) // 8
    return u16(size) + (number.to_bytes(size, "big").hex() if size else "")


def record(type_hex: str, value_hex: str) -> str:
    """One TLV record; the length (below 253 here) is a single byte."""
    return type_hex + f"{len(value_hex) // 2:02x}" + value_hex


# Feature bits (BOLT #9) of a node of today: data_loss_protect, upfront_shutdown_script,
# gossip_queries, var_onion_optin, gossip_queries_ex, static_remotekey, payment_secret,
# basic_mpp, option_support_large_channel, option_anchors, option_route_blinding,
# option_shutdown_anysegwit, option_onion_messages, option_channel_type, option_scid_alias.
MODERN = (0, 5, 7, 8, 11, 12, 14, 17, 19, 23, 25, 27, 39, 45, 47)

# (where such a message comes from, hex)
SAMPLES = [
    ("a mainnet node of today: the bits below 14 repeated in globalfeatures for old peers, "
     "`networks` (type 1) naming bitcoin, and `remote_addr` (type 3) telling us the IPv4 "
     "address and port it saw our connection come from, 203.0.113.7:9735",
     "0010" + feature_field(*(b for b in MODERN if b < 14)) + feature_field(*MODERN)
     + record("01", MAINNET) + record("03", "01" "cb007107" "2607")),
    ("a testnet node from 2020, before route blinding and onion messages",
     "0010" "0000" + feature_field(0, 5, 7, 9, 11, 13, 15, 17, 19) + record("01", TESTNET)),
    ("a signet node that accepted our IPv6 connection and adds an odd-typed experimental "
     "record (type 65537); unknown records are kept and re-encoded as they came",
     "0010" "0000" + feature_field(*MODERN) + record("01", SIGNET)
     + record("03", "02" "20010db8000000000000000000000001" "2607")
     + record("fe00010001", "c0ffee00")),
    ("a node from 2018, before `init` had TLV records: no global features; "
     "data_loss_protect, initial_routing_sync and gossip_queries, all optional",
     "0010" "0000" + feature_field(1, 3, 7)),
    ("a message cut off inside its last record, as when a connection drops: `networks` "
     "declares 32 bytes but 20 arrive, so that record is dropped",
     "0010" "0000" + feature_field(*MODERN) + "0120" + MAINNET[:40]),
    ("a `ping` (type 18) with no padding, fed to the init decoder: the decoder does not check "
     "the type, and re-encoding writes 16",
     "0012" "0000" "0000"),
    ("a malformed record: its length 1 written as fd0001 instead of 01 (not canonical)",
     "0010" "0000" "0000" "01" "fd0001" "aa"),
    ("a truncated message: `features` declares 4 bytes, but only 2 follow",
     "0010" "0000" "0004" "0a28"),
]


def parse_hex(hex_message: str) -> bytes:
    """The bytes of a hex string, which may start with 0x and contain whitespace."""
    digits = "".join(hex_message.split())
    if digits[:2] in ("0x", "0X"):
        digits = digits[2:]
    # bytes.fromhex would blame a digit position for a missing last digit.
    if len(digits) % 2 and all(c in string.hexdigits for c in digits):
        raise ValueError(f"odd number of hex digits ({len(digits)}); each byte takes two")
    return bytes.fromhex(digits)


def describe(hex_message: str) -> tuple[bool, str]:
    """(decoded, result line) for one message."""
    try:
        raw = parse_hex(hex_message)
    except ValueError as error:
        return False, f"error: not hex: {error}"
    try:
        decoded = libkeldrin.Init().wire_decode(raw)
    except OSError as error:
        return False, f"error: OSError: {error}"
    encoded = bytes(decoded.wire())
    if encoded == raw:
        return True, f"ok: same {len(raw)} bytes"
    # Only two things change on the way: the type, and a cut-short record at the end.
    notes = []
    if raw[:2] != encoded[:2]:
        notes.append(f"type {int.from_bytes(raw[:2], 'big')} written as 16")
    if len(raw) > len(encoded):
        notes.append(f"the last {len(raw) - len(encoded)} bytes, a cut-short record, dropped")
    return True, f"ok: re-encoded as {encoded.hex()} ({'; '.join(notes)})"


def read_messages(argv: list[str]) -> list[str]:
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="Without arguments, reads standard input, or shows the bundled samples when "
        "standard input is a terminal or empty.",
    )
    parser.add_argument("message", nargs="*", help="an init message in hex")
    args = parser.parse_args(argv)
    if args.message:
        return args.message
    if sys.stdin.isatty():
        return []
    lines = (line.strip() for line in sys.stdin)
    return [line for line in lines if line and not line.startswith("#")]


def main(argv: list[str]) -> int:
    messages = read_messages(argv)
    samples = [] if messages else SAMPLES
    failures = 0
    for origin, hex_message in samples or [(None, m) for m in messages]:
        if origin:
            print(textwrap.fill(origin, width=96, initial_indent="# ", subsequent_indent="# "))
        ok, result = describe(hex_message)
        failures += not ok
        print(f"{''.join(hex_message.split())}\n  {result}")
    return 1 if failures and not samples else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
