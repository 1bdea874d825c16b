#pragma once

// Helpers shared by the C++ tests: byte strings written in hex, the two error texts of the wire
// reader, a compact text form of a TLV stream for table rows, and the rows of tests/vectors.txt,
// the known-answer vectors that the C++ tests, the Python tests and the fuzz seeds share (its
// path comes from the build as KELDRIN_VECTORS_FILE; its format is described at its top).

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/decode_failure.h"
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

struct VectorRow {
  std::string name;                 // the comment after the row, or its input as written
  Bytes input;
  std::vector<std::string> fields;  // the fields after the input
};

/// Every row of one table, in file order; throws when the file cannot be read.
inline std::vector<VectorRow> Vectors(std::string_view table) {
  static const std::map<std::string, std::vector<VectorRow>, std::less<>> tables = [] {
    std::ifstream file(KELDRIN_VECTORS_FILE);
    if (!file) throw std::runtime_error("cannot read " KELDRIN_VECTORS_FILE);
    std::map<std::string, std::vector<VectorRow>, std::less<>> out;
    const auto trimmed = [](std::string_view text) {
      const std::size_t first = text.find_first_not_of(" \t\r");
      return first == text.npos ? text.substr(0, 0)
                                : text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
    };
    for (std::string line; std::getline(file, line);) {
      const std::size_t hash = line.find('#');
      const std::string_view row = trimmed(std::string_view(line).substr(0, hash));
      if (row.empty()) continue;
      std::vector<std::string> fields;
      for (std::size_t start = 0;;) {
        const std::size_t bar = row.find('|', start);
        fields.emplace_back(trimmed(row.substr(start, bar - start)));
        if (bar == std::string_view::npos) break;
        start = bar + 1;
      }
      if (fields.size() < 2) throw std::runtime_error("a row without input: " + line);
      std::string name(hash == std::string::npos ? "" : trimmed(line.substr(hash + 1)));
      VectorRow parsed{name.empty() ? fields[1] : name, Hex(fields[1]),
                       {fields.begin() + 2, fields.end()}};
      out[fields[0]].push_back(std::move(parsed));
    }
    return out;
  }();
  const auto found = tables.find(table);
  if (found == tables.end()) throw std::runtime_error("no table " + std::string(table));
  return found->second;
}

/// The fault that the file calls `name`: "short", "not-minimal", "unknown-even-record"...
inline Fault FaultNamed(std::string_view name) {
  static const std::map<std::string, Fault, std::less<>> faults = {
      {"short", Fault::kShort},
      {"not-minimal", Fault::kNotMinimal},
      {"not-increasing", Fault::kNotIncreasing},
      {"unknown-even-record", Fault::kUnknownEvenRecord},
      {"bad-record-length", Fault::kBadRecordLength},
      {"wrong-type", Fault::kWrongType},
      {"unknown-even-message", Fault::kUnknownEvenMessage},
      {"too-long", Fault::kTooLong},
  };
  const auto found = faults.find(name);
  if (found == faults.end()) throw std::invalid_argument("no fault " + std::string(name));
  return found->second;
}

/// How GoogleTest shows a row in a failure: by its name.
inline void PrintTo(const VectorRow& row, std::ostream* out) { *out << row.name; }

}  // namespace keldrin::testing
