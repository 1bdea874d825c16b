#include "types/bitflag.h"

namespace keldrin {

WireResult<BitFlag> BitFlag::from_wire(WireReader& reader) {
  auto len = reader.read_u16();
  if (!len) return len.error();
  auto bytes = reader.read_bytes(len.value());
  if (!bytes) return bytes.error();
  return BitFlag{{bytes.value().begin(), bytes.value().end()}};
}

void BitFlag::to_wire(WireWriter& writer) const {
  writer.write_u16(len());
  writer.write_bytes(bytes);
}

}  // namespace keldrin
