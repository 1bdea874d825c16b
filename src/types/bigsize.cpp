#include "types/bigsize.h"

namespace keldrin {

namespace {

// Reads `width` bytes big-endian and refuses a value below `minimum`, the first value whose
// shortest form has this width.
WireResult<BigSize> read_body(WireReader& reader, int width, std::uint64_t minimum) {
  auto body = reader.read_bytes(width);
  if (!body) return body.error();
  std::uint64_t v = 0;
  for (std::uint8_t b : body.value()) v = (v << 8) | b;
  if (v < minimum) return non_canonical_bigsize();
  return BigSize{v};
}

}  // namespace

WireResult<BigSize> BigSize::from_wire(WireReader& reader) {
  auto prefix = reader.read_bytes(1);
  if (!prefix) return prefix.error();
  switch (const std::uint8_t p = prefix.value()[0]) {
    case 0xfd:
      return read_body(reader, 2, 0xfd);
    case 0xfe:
      return read_body(reader, 4, 0x10000);
    case 0xff:
      return read_body(reader, 8, 0x100000000);
    default:
      return BigSize{p};
  }
}

WireStatus BigSize::to_wire(WireWriter& writer) const {
  switch (bigsize_len(value)) {
    case 1:
      writer.write_u8(static_cast<std::uint8_t>(value));
      break;
    case 3:
      writer.write_u8(0xfd);
      writer.write_be(value, 2);
      break;
    case 5:
      writer.write_u8(0xfe);
      writer.write_be(value, 4);
      break;
    default:
      writer.write_u8(0xff);
      writer.write_be(value, 8);
      break;
  }
  return wire_ok();
}

}  // namespace keldrin
