// BigSize decoding against a reference model read straight off the size table, at every offset
// of the input, and the encoder against the decoder for arbitrary 64-bit values.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz_check.h"
#include "types/bigsize.h"

namespace {

using keldrin::BigSize;
using keldrin::ByteSpan;
using keldrin::WireReader;
using keldrin::WireWriter;

enum class Outcome { Value, EndOfInput, NonCanonical };

struct Expected {
  Outcome outcome;
  std::uint64_t value;
  std::size_t end;  // where the reader must stand afterwards
};

// The table: prefix 0xfd/0xfe/0xff announces a 2/4/8-byte big-endian body whose value must not
// fit a shorter row; any other prefix is the value itself.
Expected reference_decode(const std::uint8_t* d, std::size_t n) {
  if (n == 0) return {Outcome::EndOfInput, 0, 0};
  const std::size_t width = d[0] == 0xff ? 8 : d[0] == 0xfe ? 4 : d[0] == 0xfd ? 2 : 0;
  if (width == 0) return {Outcome::Value, d[0], 1};
  if (n < 1 + width) return {Outcome::EndOfInput, 0, n};
  std::uint64_t v = 0;
  for (std::size_t i = 1; i <= width; ++i) v = (v << 8) | d[i];
  const std::uint64_t minimum = width == 2 ? 0xfd : width == 4 ? 0x10000 : 0x100000000;
  return {v < minimum ? Outcome::NonCanonical : Outcome::Value, v, 1 + width};
}

void check_decode_at(const std::uint8_t* data, std::size_t size) {
  WireReader reader(ByteSpan(data, size));
  auto decoded = BigSize::from_wire(reader);
  const Expected expected = reference_decode(data, size);
  FUZZ_CHECK(reader.position() == expected.end);
  switch (expected.outcome) {
    case Outcome::Value: {
      FUZZ_CHECK(decoded.ok());
      FUZZ_CHECK(decoded.value().value == expected.value);
      FUZZ_CHECK(static_cast<std::size_t>(keldrin::bigsize_len(expected.value)) == expected.end);
      // A canonical encoding is the only one: writing the value back gives the bytes read.
      WireWriter writer;
      FUZZ_CHECK(decoded.value().to_wire(writer).ok());
      FUZZ_CHECK(writer.bytes().size() == expected.end);
      FUZZ_CHECK(std::memcmp(writer.bytes().data(), data, expected.end) == 0);
      break;
    }
    case Outcome::EndOfInput:
      FUZZ_CHECK(!decoded.ok());
      FUZZ_CHECK(decoded.error() == keldrin::kEndOfInput);
      break;
    case Outcome::NonCanonical:
      FUZZ_CHECK(!decoded.ok());
      FUZZ_CHECK(decoded.error() == keldrin::non_canonical_bigsize());
      break;
  }
}

void check_encode(std::uint64_t v) {
  WireWriter writer;
  FUZZ_CHECK(BigSize{v}.to_wire(writer).ok());
  const auto& bytes = writer.bytes();
  FUZZ_CHECK(bytes.size() == static_cast<std::size_t>(keldrin::bigsize_len(v)));
  const Expected expected = reference_decode(bytes.data(), bytes.size());
  FUZZ_CHECK(expected.outcome == Outcome::Value && expected.value == v);
  WireReader reader(bytes);
  auto decoded = BigSize::from_wire(reader);
  FUZZ_CHECK(decoded.ok() && decoded.value().value == v && reader.remaining() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (std::size_t offset = 0; offset <= size; ++offset) check_decode_at(data + offset, size - offset);
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
