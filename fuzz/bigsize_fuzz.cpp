// BigSize decoding against the reference model at every offset of the input, and the encoder
// against the decoder for arbitrary 64-bit values.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "reference_model.h"
#include "types/bigsize.h"

namespace {

using namespace keldrin;

void check_decode_at(ByteSpan input) {
  WireReader reader(input);
  auto decoded = BigSize::from_wire(reader);
  const model::BigSizeAt expected = model::bigsize_at(input);
  FUZZ_CHECK(reader.position() == expected.end);
  if (!expected.complete) {
    FUZZ_CHECK(!decoded.ok() && decoded.error() == kEndOfInput);
  } else if (!expected.canonical) {
    FUZZ_CHECK(!decoded.ok() && decoded.error() == kNonCanonicalBigSize);
  } else {
    FUZZ_CHECK(decoded.ok() && decoded.value().value == expected.value);
    // A canonical encoding is the only one: writing the value back gives the bytes read.
    const auto bytes = encode(decoded.value());
    FUZZ_CHECK(bytes.size() == expected.end);
    FUZZ_CHECK(std::memcmp(bytes.data(), input.data(), expected.end) == 0);
  }
}

void check_encode(std::uint64_t v) {
  const auto bytes = encode(BigSize{v});
  const model::BigSizeAt expected = model::bigsize_at(bytes);
  FUZZ_CHECK(expected.complete && expected.canonical && expected.value == v);
  FUZZ_CHECK(expected.end == bytes.size());
  check_decode_at(bytes);  // the decoder reads all of it, as the model does
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (std::size_t offset = 0; offset <= size; ++offset) {
    check_decode_at(ByteSpan(data + offset, size - offset));
  }
  // Values from the input, and their neighbours: a row boundary in the input is checked from
  // both sides.
  for (std::size_t offset = 0; offset + 8 <= size; offset += 8) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < 8; ++i) v = (v << 8) | data[offset + i];
    check_encode(v);
    check_encode(v - 1);
    check_encode(v + 1);
  }
  return 0;
}
