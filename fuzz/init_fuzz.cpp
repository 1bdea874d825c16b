// The whole init decoder: failures are exactly the short fixed fields and non-canonical BigSizes,
// and what decodes re-encodes to the input (the type always written as 16, a cut-short last
// record dropped) and decodes again to the same message. The receiving node's decoder, lenient,
// takes the same message exactly when the type is 16, no record was dropped and every networks
// record holds whole chain hashes.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "bolt/bolt1/messages.h"
#include "fuzz_check.h"
#include "reference_model.h"
#include "types/bigsize.h"

using namespace keldrin;
using keldrin::bolt1::Init;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(data, size);
  WireReader reader(input);
  auto decoded = Init::from_wire(reader);
  auto lenient = decode_message<Init>(input, false);
  const std::size_t fixed_end = model::init_fixed_end(input);
  if (fixed_end == 0) {
    FUZZ_CHECK(!decoded && decoded.error() == kEndOfInput && reader.position() == size);
    FUZZ_CHECK(!lenient);
    return 0;
  }
  const model::StreamOf records = model::stream_of(input.subspan(fixed_end));
  if (!records.canonical) {
    FUZZ_CHECK(!decoded && decoded.error() == kNonCanonicalBigSize);
    FUZZ_CHECK(!lenient);
    return 0;
  }
  FUZZ_CHECK(decoded.ok() && reader.position() == size);
  const Init& message = decoded.value();
  FUZZ_CHECK(message.ty == ((data[0] << 8) | data[1]));
  FUZZ_CHECK(std::ranges::equal(message.init_tlvs, records.records));
  const bool chain_hashes = std::ranges::all_of(
      records.records, [](const Record& r) { return r.type != 1 || r.length() % 32 == 0; });
  FUZZ_CHECK(lenient.ok() == (message.ty == Init::kType &&
                              fixed_end + records.records_end == size && chain_hashes));
  if (lenient) FUZZ_CHECK(same_fields(lenient.value(), message));

  // The encoder's writer asserts that it fills exactly wire_size() bytes.
  const auto encoded = encode(message);
  FUZZ_CHECK(encoded.size() == fixed_end + records.records_end);
  FUZZ_CHECK(encoded[0] == 0 && encoded[1] == Init::kType);
  FUZZ_CHECK(std::equal(encoded.begin() + 2, encoded.end(), data + 2));

  WireReader again(encoded);
  auto redecoded = Init::from_wire(again);
  FUZZ_CHECK(redecoded.ok() && again.remaining() == 0);
  FUZZ_CHECK(redecoded.value().ty == Init::kType);
  FUZZ_CHECK(same_fields(redecoded.value(), message));
  FUZZ_CHECK(encode(redecoded.value()) == encoded);
  return 0;
}
