#include <string>

#include "bolt/bolt1/messages.h"

namespace keldrin::bolt1 {

DecodeResult<Unknown> Unknown::decode(ByteSpan input, bool strict) {
  auto decode = [&]() -> DecodeResult<Unknown> {
    if (auto failure = check_size(input.size(), strict)) return std::move(*failure);
    WireReader reader(input);
    auto type = reader.read_u16();
    if (!type) return DecodeFailure::short_read("type", reader.shortfall());
    const std::uint16_t t = type.value();
    if (auto name = message_name(t)) {
      return DecodeFailure{Fault::kWrongType, 0,
                           "type: " + std::to_string(t) + " is " + std::string(*name) +
                               ", not an unknown type"};
    }
    if (strict && t % 2 == 0) {
      return DecodeFailure{Fault::kUnknownEvenMessage, 0,
                           "type: " + std::to_string(t) + " is even and unknown"};
    }
    const ByteSpan payload = reader.read_bytes(reader.remaining()).value();
    return Unknown{t, {payload.begin(), payload.end()}};
  };
  auto result = decode();
  if (!result) return std::move(result).error().within(kName);
  return result;
}

std::optional<std::string> Unknown::sending_fault() const {
  if (auto name = message_name(type)) {
    return "type: " + std::to_string(type) + " is " + std::string(*name) +
           ", not an unknown type";
  }
  return size_fault(wire_size());
}

void Unknown::to_wire(WireWriter& writer) const {
  writer.write_u16(type);
  writer.write_bytes(payload);
}

}  // namespace keldrin::bolt1
