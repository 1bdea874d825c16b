#pragma once

#include <cstdint>
#include <vector>

#include "core/wire.h"

namespace keldrin {

/// A byte string with the 16-bit length that prefixes it on the wire. `len == bytes.size()`
/// holds for every BitFlag the codec makes; copies take `len` as it is rather than recounting.
struct BitFlag {
  std::vector<std::uint8_t> bytes;
  std::uint16_t len = 0;

  /// A 16-bit big-endian length, then that many bytes.
  static WireResult<BitFlag> from_wire(WireReader& reader);
  WireStatus to_wire(WireWriter& writer) const;

  friend bool operator==(const BitFlag&, const BitFlag&) = default;
};

static_assert(FromWire<BitFlag> && ToWire<BitFlag>);

}  // namespace keldrin
