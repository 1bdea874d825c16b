#pragma once

// The rows of tests/vectors.txt, the known-answer vectors that the C++ tests, the Python tests
// and the fuzz seeds share. The file's path comes from the build (KELDRIN_VECTORS_FILE); its
// format is described at its top.

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
#include <vector>

#include "core/decode_failure.h"
#include "test_support.h"

namespace keldrin::testing {

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
