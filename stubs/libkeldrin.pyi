# Type stub of the extension module libkeldrin. `python -m mypy.stubtest libkeldrin` checks it
# against the built module (`make stubtest`). It is installed twice from this one file: beside the
# extension as `libkeldrin.pyi` (pyright and IDEs read that) and as the stub-only package
# `libkeldrin-stubs` (mypy reads no single-file stub from site-packages, only stub packages).
#
# How the runtime's peculiarities are spelled here:
#
# - Every attribute is write-only and cannot be deleted. Each is a property whose setter takes the
#   type the runtime converts from, and whose getter returns Never: reading raises AttributeError,
#   so it yields no value. Type checkers then check assignments against the setter, pyright refuses
#   `del` (no deleter), and `x = msg.ty` gives x the type Never, which mypy reports.
# - Error, Ping, Pong and Warning have no constructor: calling them raises TypeError whatever the
#   arguments, so `__new__` takes anything and returns Never.
# - BitFlag and Stream exist at runtime only as the types the setters of globalfeatures, features,
#   init_tlvs, data and ignored check against; they are not module attributes, nothing returns an
#   instance and they cannot be constructed, so Python code has no valid value for those five
#   attributes. They are declared (type_check_only, constructor returning Never) rather than typing
#   those setters as Never so that a wrong assignment is reported with the type the runtime wants,
#   as the runtime's own TypeError does ("'bytes' object cannot be converted to 'BitFlag'").
# - Integers go through the `__index__` protocol at runtime, hence SupportsIndex rather than int.
#   Range limits cannot be expressed: a 16-bit field takes 0..65535 and a byte 0..255, anything
#   else raises OverflowError; channel_id must have exactly 32 items (ValueError otherwise).
# - Sequence[SupportsIndex] already refuses a str (its items are str), which the runtime refuses
#   too. It cannot express that the runtime takes any object the C API sees as a sequence (for
#   example one with __getitem__ and __iter__ but not registered as a Sequence) and refuses an
#   iterator or a set that is not one.
# - At runtime every class reports `__module__ == "builtins"`; nothing in a stub depends on that.

from collections.abc import Sequence
from typing import Never, Self, SupportsIndex, final, type_check_only

__all__ = ["Init", "Error", "Ping", "Pong", "Warning"]

@final
@type_check_only
class BitFlag:
    """A byte string with its 16-bit length prefix; not obtainable from Python."""

    def __new__(cls, *args: object, **kwargs: object) -> Never: ...

@final
@type_check_only
class Stream:
    """A TLV stream (type-length-value records in wire order); not obtainable from Python."""

    def __new__(cls, *args: object, **kwargs: object) -> Never: ...

@final
class Init:
    """The BOLT #1 `init` message, with an exact encoder and decoder."""

    def __new__(cls) -> Self:
        """A message with no feature bytes and no TLV records; `wire()` gives [0, 16, 0, 0, 0, 0]."""

    def wire(self) -> list[int]:
        """The encoded message as a new list of byte values; the type is always written as 16."""

    def wire_decode(self, buff: Sequence[SupportsIndex]) -> Init:
        """Decode `buff` (bytes, bytearray, or a sequence of integers 0..255) into a new Init.

        `self` is neither read nor changed. Raises OSError("failed to fill whole buffer") when a
        fixed field is cut short and OSError("decoded bigsize is not canonical") for a BigSize
        not in its shortest form; a cut-short last TLV record is dropped without error.
        """

    @property
    def ty(self) -> Never:
        """Message type (0..65535); set by decoding, never written by `wire()`. Write-only."""

    @ty.setter
    def ty(self, value: SupportsIndex, /) -> None: ...
    @property
    def globalfeatures(self) -> Never:
        """Global feature bits with their length. Write-only; no Python value is accepted."""

    @globalfeatures.setter
    def globalfeatures(self, value: BitFlag, /) -> None: ...
    @property
    def features(self) -> Never:
        """Feature bits with their length. Write-only; no Python value is accepted."""

    @features.setter
    def features(self, value: BitFlag, /) -> None: ...
    @property
    def init_tlvs(self) -> Never:
        """The TLV records after `features`. Write-only; no Python value is accepted."""

    @init_tlvs.setter
    def init_tlvs(self, value: Stream, /) -> None: ...

@final
class Error:
    """Fields of the BOLT #1 `error` message; no constructor, encoder or decoder."""

    def __new__(cls, *args: object, **kwargs: object) -> Never: ...
    @property
    def ty(self) -> Never:
        """Message type (0..65535). Write-only."""

    @ty.setter
    def ty(self, value: SupportsIndex, /) -> None: ...
    @property
    def channel_id(self) -> Never:
        """Exactly 32 bytes. Write-only."""

    @channel_id.setter
    def channel_id(self, value: Sequence[SupportsIndex], /) -> None: ...
    @property
    def data(self) -> Never:
        """Write-only; no Python value is accepted."""

    @data.setter
    def data(self, value: BitFlag, /) -> None: ...

@final
class Ping:
    """Fields of the BOLT #1 `ping` message; no constructor, encoder or decoder."""

    def __new__(cls, *args: object, **kwargs: object) -> Never: ...
    @property
    def ty(self) -> Never:
        """Message type (0..65535). Write-only."""

    @ty.setter
    def ty(self, value: SupportsIndex, /) -> None: ...
    @property
    def num_pong_bytes(self) -> Never:
        """0..65535. Write-only."""

    @num_pong_bytes.setter
    def num_pong_bytes(self, value: SupportsIndex, /) -> None: ...
    @property
    def ignored(self) -> Never:
        """Write-only; no Python value is accepted."""

    @ignored.setter
    def ignored(self, value: BitFlag, /) -> None: ...

@final
class Pong:
    """Fields of the BOLT #1 `pong` message; no constructor, encoder or decoder."""

    def __new__(cls, *args: object, **kwargs: object) -> Never: ...
    @property
    def ty(self) -> Never:
        """Message type (0..65535). Write-only."""

    @ty.setter
    def ty(self, value: SupportsIndex, /) -> None: ...
    @property
    def ignored(self) -> Never:
        """Write-only; no Python value is accepted."""

    @ignored.setter
    def ignored(self, value: BitFlag, /) -> None: ...

@final
class Warning:
    """Fields of the BOLT #1 `warning` message; no constructor, encoder or decoder.

    Not the built-in `Warning`: a star import of this module shadows it.
    """

    def __new__(cls, *args: object, **kwargs: object) -> Never: ...
    @property
    def ty(self) -> Never:
        """Message type (0..65535). Write-only."""

    @ty.setter
    def ty(self, value: SupportsIndex, /) -> None: ...
    @property
    def channel_id(self) -> Never:
        """Exactly 32 bytes. Write-only."""

    @channel_id.setter
    def channel_id(self, value: Sequence[SupportsIndex], /) -> None: ...
    @property
    def data(self) -> Never:
        """Write-only; no Python value is accepted."""

    @data.setter
    def data(self, value: BitFlag, /) -> None: ...
