#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/wire.h"

namespace keldrin {

/// A byte string with the 16-bit length that prefixes it on the wire. The length is the number of
/// bytes, so it is not stored apart from them: every BitFlag holds at most 65535 bytes.
struct BitFlag {
  std::vector<std::uint8_t> bytes;

  std::uint16_t len() const { return static_cast<std::uint16_t>(bytes.size()); }

  /// A 16-bit big-endian length, then that many bytes.
  static WireResult<BitFlag> from_wire(WireReader& reader);
  void to_wire(WireWriter& writer) const;
  std::size_t wire_size() const { return 2 + bytes.size(); }

  friend bool operator==(const BitFlag&, const BitFlag&) = default;
};

static_assert(FromWire<BitFlag> && ToWire<BitFlag>);

}  // namespace keldrin
