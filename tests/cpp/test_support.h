#pragma once

// Helpers shared by the codec tests: byte strings written in hex, the two error texts, and a
// compact text form of a TLV stream for table rows.

#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "core/wire.h"
#include "reference_model.h"
#include "tlv/stream.h"
#include "types/bigsize.h"

namespace keldrin::testing {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::string_view kShort = "failed to fill whole buffer";
inline constexpr std::string_view kNonCanonical = "decoded bigsize is not canonical";

/// "01 fd 00" -> {0x01, 0xfd, 0x00}: two hex digits per byte, one space between bytes.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 3) {
    const std::string byte(text.substr(i, 2));
    out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  }
  return out;
}

/// "(type,length,value-hex)" per record, space separated: the form the tables are written in.
inline std::string Describe(const Stream& stream) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const Record& r : stream) {
    if (!out.empty()) out += ' ';
    out += '(' + std::to_string(r.type) + ',' + std::to_string(r.length()) + ',';
    for (std::uint8_t b : r.value) {
      out += kDigits[b >> 4];
      out += kDigits[b & 15];
    }
    out += ')';
  }
  return out;
}

/// A stream of (type, value) records, decoded from their encoding as a peer's stream would be.
inline Stream Records(const std::vector<std::pair<std::uint64_t, Bytes>>& records) {
  Bytes wire;
  for (const auto& [type, value] : records) {
    for (const std::uint64_t field : {type, std::uint64_t{value.size()}}) {
      const Bytes encoded = encode(BigSize{field});
      wire.insert(wire.end(), encoded.begin(), encoded.end());
    }
    wire.insert(wire.end(), value.begin(), value.end());
  }
  WireReader reader(wire);
  return Stream::from_wire(reader).value();
}

/// from_wire() over the whole of `input`, from its start.
template <FromWire T>
WireResult<T> Decode(const Bytes& input) {
  WireReader reader(input);
  return T::from_wire(reader);
}

}  // namespace keldrin::testing
