// The TLV stream decoder against a reference model built on the BigSize table, and its round
// trips: what decodes re-encodes to the bytes it covered, and decoding that encoding gives the
// same records again.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz_check.h"
#include "tlv/stream.h"

namespace {

using keldrin::ByteSpan;
using keldrin::Record;
using keldrin::Stream;
using keldrin::WireReader;
using keldrin::WireWriter;

// A BigSize at `pos`: its value and the position after it, nullopt at a short read, and a
// `canonical` of false for a longer form than the value needs.
struct ModelBigSize {
  std::uint64_t value;
  std::size_t end;
  bool canonical;
};

std::optional<ModelBigSize> model_bigsize(ByteSpan in, std::size_t pos) {
  if (pos >= in.size()) return std::nullopt;
  const std::uint8_t p = in[pos];
  const std::size_t width = p == 0xff ? 8 : p == 0xfe ? 4 : p == 0xfd ? 2 : 0;
  if (width == 0) return ModelBigSize{p, pos + 1, true};
  if (in.size() - pos - 1 < width) return std::nullopt;
  std::uint64_t v = 0;
  for (std::size_t i = 1; i <= width; ++i) v = (v << 8) | in[pos + i];
  const std::uint64_t minimum = width == 2 ? 0xfd : width == 4 ? 0x10000 : 0x100000000;
  return ModelBigSize{v, pos + 1 + width, v >= minimum};
}

// Records up to the first short read, or nullopt (with `end` just past it) at the first
// non-canonical BigSize.
std::optional<std::vector<Record>> model_stream(ByteSpan in, std::size_t& end) {
  std::vector<Record> records;
  std::size_t pos = 0;
  for (;;) {
    auto type = model_bigsize(in, pos);
    auto length = type && type->canonical ? model_bigsize(in, type->end) : std::nullopt;
    for (const auto& field : {type, length}) {
      if (field && !field->canonical) {
        end = field->end;
        return std::nullopt;
      }
    }
    if (!length || length->value > in.size() - length->end) break;
    records.push_back(Record{type->value, length->value, in.subspan(length->end, length->value)});
    pos = length->end + length->value;
  }
  end = in.size();
  return records;
}

std::vector<std::uint8_t> encode(const Stream& stream) {
  WireWriter writer;
  FUZZ_CHECK(stream.to_wire(writer).ok());
  return std::move(writer).take();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(data, size);
  WireReader reader(input);
  auto decoded = Stream::from_wire(reader);

  std::size_t model_end = 0;
  const auto model = model_stream(input, model_end);
  FUZZ_CHECK(reader.position() == model_end);
  if (!model) {
    FUZZ_CHECK(!decoded.ok());
    FUZZ_CHECK(decoded.error() == keldrin::non_canonical_bigsize());
    return 0;
  }
  FUZZ_CHECK(decoded.ok());
  const Stream& stream = decoded.value();
  FUZZ_CHECK(std::ranges::equal(stream, *model));
  // The values lie in the stream's own storage, never in the input it was decoded from.
  for (const Record& record : stream) {
    FUZZ_CHECK(record.value.empty() || record.value.data() < data || record.value.data() >= data + size);
  }

  // The records cover a prefix of the input (all of it unless a last record was cut short), and
  // their encoding is exactly that prefix: the decoder keeps only shortest-form BigSizes.
  const std::vector<std::uint8_t> encoded = encode(stream);
  FUZZ_CHECK(encoded.size() == stream.wire_size());
  FUZZ_CHECK(encoded.size() <= size);
  FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), data));
  if (stream.wire_size() == size) FUZZ_CHECK(encoded == std::vector<std::uint8_t>(data, data + size));

  WireReader again(encoded);
  auto redecoded = Stream::from_wire(again);
  FUZZ_CHECK(redecoded.ok());
  FUZZ_CHECK(again.remaining() == 0);
  FUZZ_CHECK(redecoded.value() == stream);
  FUZZ_CHECK(encode(redecoded.value()) == encoded);
  return 0;
}
