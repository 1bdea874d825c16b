#pragma once

// Helpers shared by the C++ tests: byte strings written in hex, the two error texts of the wire
// reader, and a compact text form of a TLV stream for table rows.

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/wire.h"
#include "reference_model.h"
#include "tlv/stream.h"
#include "types/bigsize.h"

namespace keldrin::testing {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::string_view kShort = "failed to fill whole buffer";
inline constexpr std::string_view kNonCanonical = "decoded bigsize is not canonical";

/// "fd 00fd ab*3" -> fd 00 fd ab ab ab: hex with spaces anywhere between bytes, "xy*n" for n
/// copies of the bytes xy. Throws on anything else.
inline Bytes Hex(std::string_view text) {
  Bytes out;
  std::istringstream words{std::string(text)};
  for (std::string word; words >> word;) {
    const std::size_t star = word.find('*');
    const std::string pattern = word.substr(0, star), copies = word.substr(star + 1);
    const bool counted = star == std::string::npos || (!copies.empty() &&
                         copies.find_first_not_of("0123456789") == std::string::npos);
    if (pattern.size() % 2 != 0 || pattern.find_first_not_of("0123456789abcdef") != pattern.npos ||
        !counted) {
      throw std::invalid_argument("not bytes: " + word);
    }
    Bytes bytes;
    for (std::size_t i = 0; i < pattern.size(); i += 2) {
      bytes.push_back(static_cast<std::uint8_t>(std::stoul(pattern.substr(i, 2), nullptr, 16)));
    }
    for (std::size_t n = star == std::string::npos ? 1 : std::stoul(copies); n > 0; --n) {
      out.insert(out.end(), bytes.begin(), bytes.end());
    }
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
