"""The reference model that the tests and the fuzz and fault scripts hold the module to: BigSize,
the end of a TLV stream and the fixed fields of init, written independently of the codec."""

from support import EOF, NOT_CANONICAL

# prefix: (width, smallest value that needs it) of each long BigSize form
LONG_FORMS = {0xFF: (8, 1 << 32), 0xFE: (4, 0x10000), 0xFD: (2, 0xFD)}


class NotCanonical(ValueError):
    """A BigSize in a longer form than its value needs."""


def bigsize(value):
    """The shortest encoding of `value`, as a list of byte values."""
    for prefix, (width, low) in LONG_FORMS.items():
        if value >= low:
            return [prefix, *value.to_bytes(width, "big")]
    return [value]


def read_bigsize(data, pos):
    """(value, position after it) of the BigSize at `pos`, or None when the data ends first."""
    if pos >= len(data):
        return None
    width, low = LONG_FORMS.get(data[pos], (0, 0))
    if not width:
        return data[pos], pos + 1
    if pos + 1 + width > len(data):
        return None
    value = int.from_bytes(bytes(data[pos + 1 : pos + 1 + width]), "big")
    if value < low:
        raise NotCanonical
    return value, pos + 1 + width


def stream_end(data, pos):
    """The end of the last whole record of the stream that starts at `pos`."""
    while (ty := read_bigsize(data, pos)) and (ln := read_bigsize(data, ty[1])):
        if ln[0] > len(data) - ln[1]:
            break
        pos = ln[1] + ln[0]
    return pos


def fields_end(data):
    """Where the fixed fields of init (type, globalfeatures, features) end, or None if cut."""
    pos = 2
    for _ in range(2):
        if pos + 2 > len(data):
            return None
        pos += 2 + (data[pos] << 8 | data[pos + 1])
    return pos if pos <= len(data) else None


def decode_init(data):
    """What wire() of the decoded init gives, or the type and args of what the decode raises."""
    pos = fields_end(data)
    if pos is None:
        return OSError, (EOF,)
    try:
        return [0, 16, *data[2 : stream_end(data, pos)]]
    except NotCanonical:
        return OSError, (NOT_CANONICAL,)
