#!/usr/bin/env python3
"""Decode BOLT #1 messages given in hex with keldrin, and print their fields.

    python examples/decode_init.py 00100000000001022aab     # messages as arguments
    python examples/decode_init.py < messages.txt            # or one per line on standard input
    python examples/decode_init.py                           # the bundled sample messages
    python examples/decode_init.py --lenient "0010 0000 0000 0300 0100"

Each message is decoded strictly, by the rules BOLT #1 sets for a receiving node, or with
--lenient as keldrin.decode(data, strict=False) decodes. For each the hex is printed, then
either the message's class and its fields, an `init`'s feature bits and chains by name where
this script knows them, or one line:

    error: TEXT                 the decoder refused the message; TEXT is DecodeError's text,
                                followed by "(--lenient decodes it)" when only a rule that a
                                lenient decode waives was broken
    error: not hex: TEXT        the line is not a hex string (an odd number of hex digits is
                                named as such); a leading 0x is allowed

On standard input, blank lines and lines starting with `#` are skipped. The exit status is 1 if
any given message failed, else 0; the bundled samples include failures on purpose and exit 0.
"""

import argparse
import ipaddress
import string
import sys
import textwrap

import keldrin

# The names of the feature bits, from BOLT #9. Features come in pairs: the even bit says the
# sender requires the feature, the odd bit that it supports it. Other bits print as numbers.
FEATURE_PAIRS = {
    0: "option_data_loss_protect", 4: "option_upfront_shutdown_script", 6: "gossip_queries",
    8: "var_onion_optin", 10: "gossip_queries_ex", 12: "option_static_remotekey",
    14: "payment_secret", 16: "basic_mpp", 18: "option_support_large_channel",
    22: "option_anchors", 24: "option_route_blinding", 26: "option_shutdown_anysegwit",
    28: "option_dual_fund", 38: "option_onion_messages", 44: "option_channel_type",
    46: "option_scid_alias", 48: "option_payment_metadata", 50: "option_zeroconf",
}
FEATURE_NAMES = {bit + odd: name for bit, name in FEATURE_PAIRS.items() for odd in (0, 1)}
FEATURE_NAMES[3] = "initial_routing_sync"  # an odd bit without an even one

# Chain hashes as they stand in the `networks` record: each genesis block's hash in the byte
# order of the block header (the reverse of how block explorers print it).
CHAINS = {
    bytes.fromhex("6fe28c0ab6f1b372c1a6a246ae63f74f931e8365e15a089c68d6190000000000"): "bitcoin",
    bytes.fromhex("43497fd7f826957108f4a30fd9cec3aeba79972084e90ead01ea330900000000"): "testnet",
    bytes.fromhex("f61eee3b63a380a477a063af32b2bbc97c9ff9f01f2c4225e973988108000000"): "signet",
    bytes.fromhex("06226e46111a0b59caaf126043eb5bbf28c34f3a5e332a1fc7b2b73cf188910f"): "regtest",
}
MAINNET, TESTNET, SIGNET, REGTEST = (chain.hex() for chain in CHAINS)

# Address descriptors of BOLT #7, as `remote_addr` holds one: a type byte, then the address and
# a big-endian port.
ADDRESS_SIZES = {1: 4, 2: 16}  # IPv4, IPv6


def feature_field(*bits: int) -> str:
    """A length-prefixed feature bit field in hex: bit 0 is the lowest bit of the last byte."""
    number = sum(1 << bit for bit in bits)
    size = (number.bit_length() + 7) // 8
    return f"{size:04x}" + (number.to_bytes(size, "big").hex() if size else "")


def record(type_hex: str, value_hex: str) -> str:
    """One TLV record in hex; the length (below 253 here) is a single byte."""
    return type_hex + f"{len(value_hex) // 2:02x}" + value_hex


# Feature bits of a node of today: option_data_loss_protect, option_upfront_shutdown_script,
# gossip_queries, var_onion_optin, gossip_queries_ex, option_static_remotekey, payment_secret,
# basic_mpp, option_support_large_channel, option_anchors, option_route_blinding,
# option_shutdown_anysegwit, option_onion_messages, option_channel_type, option_scid_alias.
MODERN = (0, 5, 7, 8, 11, 12, 14, 17, 19, 23, 25, 27, 39, 45, 47)

# (where such a message comes from, hex)
SAMPLES = [
    ("a mainnet node of today: the bits below 14 repeated in globalfeatures for old peers, "
     "`networks` naming bitcoin, and `remote_addr` telling us the address and port it saw our "
     "connection come from",
     "0010" + feature_field(*(b for b in MODERN if b < 14)) + feature_field(*MODERN)
     + record("01", MAINNET) + record("03", "01" "cb007107" "2607")),
    ("a testnet node from 2020, before route blinding and onion messages",
     "0010" "0000" + feature_field(0, 5, 7, 9, 11, 13, 15, 17, 19) + record("01", TESTNET)),
    ("a node that follows two chains, accepted our IPv6 connection and adds an odd-typed "
     "experimental record (type 65537), which a receiving node may ignore",
     "0010" "0000" + feature_field(*MODERN) + record("01", SIGNET + REGTEST)
     + record("03", "02" "20010db8000000000000000000000001" "2607")
     + record("fe00010001", "c0ffee00")),
    ("a node from 2018, before `init` had TLV records",
     "0010" "0000" + feature_field(1, 3, 7)),
    ("a `ping` asking for 4 bytes back: any message decodes, into the class its type names",
     "0012" "0004" "0000"),
    ("`remote_addr` before `networks`: record types must strictly increase",
     "0010" "0000" + feature_field(*MODERN) + record("03", "01" "cb007107" "2607")
     + record("01", MAINNET)),
    ("a record of type 4, even and unknown to an init: a receiving node must close the "
     "connection",
     "0010" "0000" "0000" + record("04", "ab")),
    ("a message cut off inside its last record, as when a connection drops: `networks` "
     "declares 32 bytes but 20 arrive",
     "0010" "0000" + feature_field(*MODERN) + "0120" + MAINNET[:40]),
    ("a record length 1 written as fd0001 instead of 01 (not its shortest form)",
     "0010" "0000" "0000" "01" "fd0001" "aa"),
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


def show_value(value) -> str:
    if isinstance(value, int):
        return str(value)
    if isinstance(value, bytes):
        return value.hex() if value else "(empty)"
    records = [f"type {r.type} ({len(r.value)} byte{'' if len(r.value) == 1 else 's'})"
               for r in value]
    return ", ".join(records) or "(none)"


def show_address(descriptor: bytes) -> str:
    size = ADDRESS_SIZES.get(descriptor[0]) if descriptor else None
    if size is None or len(descriptor) != 1 + size + 2:
        return show_value(descriptor)
    address = ipaddress.ip_address(descriptor[1 : 1 + size])
    port = int.from_bytes(descriptor[1 + size :], "big")
    return f"{address} port {port}"


def listing(label: str, items: list[str], width: int = 92) -> list[str]:
    """`label: a, b, c` over as many lines as it takes, no item split across two."""
    lines = [f"{label}:"]
    for i, item in enumerate(items):
        item += "," if i < len(items) - 1 else ""
        if len(lines[-1]) + 1 + len(item) > width and lines[-1] != f"{label}:":
            lines.append("   ")
        lines[-1] += " " + item
    return lines if items else [f"{label}: (none)"]


def init_lines(message: keldrin.Init) -> list[str]:
    """What an init's fields mean: its feature bits and chains by name, its remote address."""
    bits = [f"{bit} {FEATURE_NAMES[bit]}" if bit in FEATURE_NAMES else str(bit)
            for bit in sorted(message.feature_bits)]
    lines = listing("feature bits", bits)
    if message.networks is not None:
        lines += listing("networks", [CHAINS.get(c, c.hex()) for c in message.networks])
    if message.remote_addr is not None:
        lines.append(f"remote_addr: {show_address(message.remote_addr)}")
    return lines


def describe(hex_message: str, strict: bool) -> tuple[bool, list[str]]:
    """(decoded, the lines printed under the message)."""
    try:
        raw = parse_hex(hex_message)
    except ValueError as error:
        return False, [f"error: not hex: {error}"]
    try:
        message = keldrin.decode(raw, strict=strict)
    except keldrin.DecodeError as error:
        try:
            keldrin.decode(raw, strict=False)
            waived = " (--lenient decodes it)" if strict else ""
        except keldrin.DecodeError:
            waived = ""
        return False, [f"error: {error}{waived}"]
    lines = [f"{type(message).__name__} (type {message.type}), {len(raw)} bytes"]
    lines += [f"  {name}: {show_value(getattr(message, name))}"
              for name in type(message).__match_args__]
    if isinstance(message, keldrin.Init):
        lines += [f"  {line}" for line in init_lines(message)]
    return True, lines


def parse_arguments(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="Without messages, reads standard input, or shows the bundled samples when "
        "standard input is a terminal or empty.",
    )
    parser.add_argument("message", nargs="*", help="a message in hex")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--strict", dest="strict", action="store_true", default=True,
                      help="apply every rule of a receiving node (the default)")
    mode.add_argument("--lenient", dest="strict", action="store_false",
                      help="waive record order, unknown even types and the size limit")
    return parser.parse_args(argv)


def read_messages(args: argparse.Namespace) -> list[str]:
    if args.message or sys.stdin.isatty():
        return args.message
    lines = (line.strip() for line in sys.stdin)
    return [line for line in lines if line and not line.startswith("#")]


def main(argv: list[str]) -> int:
    args = parse_arguments(argv)
    messages = read_messages(args)
    samples = [] if messages else SAMPLES
    failures = 0
    for origin, hex_message in samples or [(None, m) for m in messages]:
        if origin:
            print(textwrap.fill(origin, width=96, initial_indent="# ", subsequent_indent="# "))
        ok, lines = describe(hex_message, args.strict)
        failures += not ok
        print("".join(hex_message.split()))
        for line in lines:
            print(f"  {line}")
    return 1 if failures and not samples else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
