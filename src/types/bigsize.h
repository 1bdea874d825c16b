#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wire.h"

namespace keldrin {

/// An unsigned 64-bit integer in the variable-length wire form:
///
///   value                                     wire form                 size
///   0 .. 252                                  the byte itself           1
///   253 .. 65535                              0xfd, then 16 bits BE     3
///   65536 .. 4294967295                       0xfe, then 32 bits BE     5
///   4294967296 .. 18446744073709551615        0xff, then 64 bits BE     9
///
/// Every value has exactly one valid form, the shortest. from_wire() consumes the prefix and the
/// whole body before it rejects a longer form, so after a non-canonical failure the reader stands
/// just past the rejected encoding; after a short body it stands at the end.
struct BigSize {
  std::uint64_t value = 0;

  static WireResult<BigSize> from_wire(WireReader& reader);
  void to_wire(WireWriter& writer) const;

  constexpr std::size_t wire_size() const {
    if (value < 0xfd) return 1;
    if (value < 0x10000) return 3;
    if (value < 0x100000000) return 5;
    return 9;
  }

  friend bool operator==(BigSize, BigSize) = default;
};

/// A BigSize written in more bytes than its value needs.
inline constexpr WireError kNonCanonicalBigSize{WireErrorKind::Other,
                                                "decoded bigsize is not canonical"};

static_assert(FromWire<BigSize> && ToWire<BigSize>);

}  // namespace keldrin
