#include "types/bigsize.h"

namespace keldrin {

WireResult<BigSize> BigSize::from_wire(WireReader& reader) {
  auto prefix = reader.read_bytes(1);
  if (!prefix) return prefix.error();
  const std::uint8_t p = prefix.value()[0];
  if (p < 0xfd) return BigSize{p};
  const std::size_t width = p == 0xfd ? 2 : p == 0xfe ? 4 : 8;
  auto body = reader.read_bytes(width);
  if (!body) return body.error();
  std::uint64_t v = 0;
  for (std::uint8_t b : body.value()) v = (v << 8) | b;
  if (BigSize{v}.wire_size() != 1 + width) return kNonCanonicalBigSize;
  return BigSize{v};
}

void BigSize::to_wire(WireWriter& writer) const {
  const std::size_t size = wire_size();
  if (size == 1) return writer.write_u8(static_cast<std::uint8_t>(value));
  writer.write_u8(size == 3 ? 0xfd : size == 5 ? 0xfe : 0xff);
  writer.write_be(value, static_cast<int>(size - 1));
}

}  // namespace keldrin
