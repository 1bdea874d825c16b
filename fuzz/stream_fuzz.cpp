// The TLV stream decoder against the reference model, and its round trips: what decodes
// re-encodes to the bytes it covered, and decoding that encoding gives the same records again.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_check.h"
#include "reference_model.h"
#include "tlv/stream.h"
#include "types/bigsize.h"

using namespace keldrin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(data, size);
  WireReader reader(input);
  auto decoded = Stream::from_wire(reader);

  const model::StreamOf model = model::stream_of(input);
  FUZZ_CHECK(reader.position() == model.end);
  if (!model.canonical) {
    FUZZ_CHECK(!decoded.ok() && decoded.error() == kNonCanonicalBigSize);
    return 0;
  }
  FUZZ_CHECK(decoded.ok());
  const Stream& stream = decoded.value();
  FUZZ_CHECK(std::ranges::equal(stream, model.records));
  // The values lie in the stream's own storage, never in the input it was decoded from.
  for (const Record& record : stream) {
    FUZZ_CHECK(record.value.empty() || record.value.data() < data ||
               record.value.data() >= data + size);
  }

  // The records' encoding is exactly the input up to the end of the last complete one: the
  // decoder keeps only shortest-form BigSizes.
  const auto encoded = encode(stream);
  FUZZ_CHECK(encoded.size() == model.records_end);
  FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), data));

  WireReader again(encoded);
  auto redecoded = Stream::from_wire(again);
  FUZZ_CHECK(redecoded.ok() && again.remaining() == 0);
  FUZZ_CHECK(redecoded.value() == stream);
  FUZZ_CHECK(encode(redecoded.value()) == encoded);
  return 0;
}
