// The whole init decoder: failures are exactly the short fixed fields and non-canonical BigSizes,
// and what decodes re-encodes to the input (the type always written as 16, a cut-short last
// record dropped) and decodes again to the same message.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "bolt/bolt1/messages.h"
#include "fuzz_check.h"

namespace {

using keldrin::ByteSpan;
using keldrin::WireReader;
using keldrin::WireWriter;
using keldrin::bolt1::Init;

std::vector<std::uint8_t> encode(const Init& message) {
  WireWriter writer;
  FUZZ_CHECK(message.to_wire(writer).ok());
  return std::move(writer).take();
}

// The end of the fixed fields (type, gflen, globalfeatures, flen, features), or 0 when the input
// is too short for them.
std::size_t fixed_fields_end(const std::uint8_t* d, std::size_t n) {
  if (n < 4) return 0;
  const std::size_t gflen = (d[2] << 8) | d[3];
  if (n < 4 + gflen + 2) return 0;
  const std::size_t flen = (d[4 + gflen] << 8) | d[5 + gflen];
  return n < 6 + gflen + flen ? 0 : 6 + gflen + flen;
}

bool same_fields(const Init& a, const Init& b) {
  return a.globalfeatures == b.globalfeatures && a.features == b.features &&
         a.init_tlvs == b.init_tlvs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  WireReader reader(ByteSpan(data, size));
  auto decoded = Init::from_wire(reader);
  const std::size_t fixed_end = fixed_fields_end(data, size);
  if (!decoded) {
    // A short fixed field, or else a non-canonical BigSize in the records.
    if (fixed_end == 0) {
      FUZZ_CHECK(decoded.error() == keldrin::kEndOfInput);
      FUZZ_CHECK(reader.position() == size);
    } else {
      FUZZ_CHECK(decoded.error() == keldrin::non_canonical_bigsize());
    }
    return 0;
  }
  FUZZ_CHECK(fixed_end != 0);
  FUZZ_CHECK(reader.position() == size);
  const Init& message = decoded.value();
  FUZZ_CHECK(message.ty == ((data[0] << 8) | data[1]));
  for (const auto* flag : {&message.globalfeatures, &message.features}) {
    FUZZ_CHECK(flag->len == flag->bytes.size());
  }
  for (const auto& record : message.init_tlvs) FUZZ_CHECK(record.length == record.value.size());

  const std::vector<std::uint8_t> encoded = encode(message);
  FUZZ_CHECK(encoded.size() == message.wire_size());
  FUZZ_CHECK(encoded.size() >= fixed_end && encoded.size() <= size);
  FUZZ_CHECK(encoded[0] == 0 && encoded[1] == Init::kType);
  FUZZ_CHECK(std::equal(encoded.begin() + 2, encoded.end(), data + 2));
  if (message.wire_size() == size && data[0] == 0 && data[1] == Init::kType) {
    FUZZ_CHECK(encoded == std::vector<std::uint8_t>(data, data + size));
  }

  WireReader again(encoded);
  auto redecoded = Init::from_wire(again);
  FUZZ_CHECK(redecoded.ok());
  FUZZ_CHECK(again.remaining() == 0);
  FUZZ_CHECK(redecoded.value().ty == Init::kType);
  FUZZ_CHECK(same_fields(redecoded.value(), message));
  FUZZ_CHECK(encode(redecoded.value()) == encoded);
  return 0;
}
