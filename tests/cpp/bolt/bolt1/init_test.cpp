#include "bolt/bolt1/messages.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace keldrin::bolt1 {
namespace {

using namespace keldrin::testing;

// A fresh Init encodes to type 16 and two empty feature fields, whatever `ty` is set to later.
TEST(InitTest, DefaultEncodesToSixBytes) {
  Init init;
  EXPECT_EQ(init.ty, 16);
  EXPECT_EQ(encode(init), Hex("00 10 00 00 00 00"));
  EXPECT_EQ(init.wire_size(), 6u);
  init.ty = 99;
  EXPECT_EQ(encode(init), Hex("00 10 00 00 00 00"));
}

struct DecodeRow {
  std::string_view input;
  std::uint16_t ty;
  std::string_view globalfeatures;
  std::string_view features;
  std::string_view records;  // Describe() of init_tlvs
  std::string_view reencoded;
};

const DecodeRow kDecodeRows[] = {
    {"00 10 00 00 00 00", 16, "", "", "", "00 10 00 00 00 00"},
    {"00 11 00 00 00 00", 17, "", "", "", "00 10 00 00 00 00"},
    {"ff ff 00 00 00 00", 65535, "", "", "", "00 10 00 00 00 00"},
    {"00 10 00 01 aa 00 00", 16, "aa", "", "", "00 10 00 01 aa 00 00"},
    {"00 10 00 00 00 02 0a 0b", 16, "", "0a 0b", "", "00 10 00 00 00 02 0a 0b"},
    {"00 10 00 01 aa 00 01 bb 01 00", 16, "aa", "bb", "(1,0,)", "00 10 00 01 aa 00 01 bb 01 00"},
    {"00 10 00 00 00 00 01 02 ab cd", 16, "", "", "(1,2,abcd)", "00 10 00 00 00 00 01 02 ab cd"},
    // A last record cut short is dropped, not an error.
    {"00 10 00 00 00 00 01", 16, "", "", "", "00 10 00 00 00 00"},
    {"00 10 00 00 00 00 01 05 ab", 16, "", "", "", "00 10 00 00 00 00"},
    {"00 10 00 00 00 00 01 00 03 fd 00", 16, "", "", "(1,0,)", "00 10 00 00 00 00 01 00"},
    // Order and duplicates are kept as they came.
    {"00 10 00 00 00 00 05 01 aa 02 01 bb", 16, "", "", "(5,1,aa) (2,1,bb)",
     "00 10 00 00 00 00 05 01 aa 02 01 bb"},
    {"00 10 00 00 00 00 03 00 03 01 cc", 16, "", "", "(3,0,) (3,1,cc)",
     "00 10 00 00 00 00 03 00 03 01 cc"},
    {"00 10 00 00 00 00 fe 00 01 00 00 00", 16, "", "", "(65536,0,)",
     "00 10 00 00 00 00 fe 00 01 00 00 00"},
};

// Each known message decodes to its fields and re-encodes as the table says.
TEST(InitTest, DecodeTable) {
  for (const DecodeRow& row : kDecodeRows) {
    SCOPED_TRACE(row.input);
    const Bytes input = Hex(row.input);
    WireReader reader(input);
    auto result = Init::from_wire(reader);
    ASSERT_TRUE(result.ok()) << result.error().message;
    const Init& init = result.value();
    EXPECT_EQ(init.ty, row.ty);
    EXPECT_EQ(init.globalfeatures.bytes, Hex(row.globalfeatures));
    EXPECT_EQ(init.features.bytes, Hex(row.features));
    EXPECT_EQ(Describe(init.init_tlvs), row.records);
    EXPECT_EQ(reader.position(), input.size());
    const Bytes encoded = encode(init);
    EXPECT_EQ(encoded, Hex(row.reencoded));
  }
}

// Missing fixed fields fail with end-of-input; a non-shortest BigSize in any record fails it all.
TEST(InitTest, DecodeFailures) {
  const struct {
    std::string_view input;
    std::string_view error;
  } rows[] = {
      {"", kShort},
      {"00", kShort},
      {"00 10", kShort},
      {"00 10 00", kShort},
      {"00 10 00 00", kShort},
      {"00 10 00 00 00", kShort},
      {"00 10 00 02 aa", kShort},
      {"00 10 00 02 aa bb 00", kShort},
      {"00 10 00 01 aa 00 02 bb", kShort},
      {"00 10 00 00 ff ff 00", kShort},
      {"00 10 00 00 00 00 01 fd 00 01 aa", kNonCanonical},
      {"00 10 00 00 00 00 01 01 aa fd 00 01 00", kNonCanonical},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    auto result = Decode<Init>(Hex(row.input));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, row.error);
  }
}

// Random inputs fail with end-of-input exactly when the reference model finds the fixed fields
// cut short, as it does for every input shorter than six bytes, whatever its bytes.
TEST(InitTest, FailsAtEndOfInputExactlyWhenFixedFieldsAreShort) {
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 20000; ++trial) {
    Bytes input(trial % 10);
    for (std::uint8_t& b : input) b = static_cast<std::uint8_t>(rng() % 2 ? rng() % 3 : rng());
    const std::size_t fixed_end = model::init_fixed_end(input);
    ASSERT_TRUE(input.size() >= 6 || fixed_end == 0);
    auto result = Decode<Init>(input);
    ASSERT_EQ(result.ok() || result.error() != kEndOfInput, fixed_end != 0)
        << "decoded " << input.size() << " bytes";
  }
}

// A globalfeatures of the largest size, 65535 bytes, comes back byte for byte.
TEST(InitTest, LargestGlobalfeaturesRoundTrips) {
  Bytes input = Hex("00 10 ff ff");
  for (int i = 0; i < 65535; ++i) input.push_back(static_cast<std::uint8_t>(i * 31 + 7));
  const Bytes tail = Hex("00 01 55 01 01 99");
  input.insert(input.end(), tail.begin(), tail.end());
  auto result = Decode<Init>(input);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(result.value().globalfeatures.len(), 65535);
  EXPECT_EQ(result.value().globalfeatures.bytes.size(), 65535u);
  EXPECT_EQ(result.value().features.bytes, Hex("55"));
  EXPECT_EQ(Describe(result.value().init_tlvs), "(1,1,99)");
  EXPECT_EQ(encode(result.value()), input);
}

// BOLT #1's init extension vectors: the valid ones decode in either mode and encode back exactly;
// each invalid one fails strictly with its fault at the start of the faulty record, and leniently
// only where that fault is not waived.
TEST(InitTest, ExtensionVectors) {
  const struct {
    std::string_view input;
    std::optional<Fault> fault;
    std::uint64_t offset;
  } rows[] = {
      {"00 10 00 00 00 00", std::nullopt, 0},
      {"00 10 00 00 00 00 c9 01 2a cb 01 04", std::nullopt, 0},
      {"00 10 00 00 00 00 01", Fault::kShort, 6},
      {"00 10 00 00 00 00 ca 01 2a", Fault::kUnknownEvenRecord, 6},
      {"00 10 00 00 00 00 c9 01 01 c9 01 02", Fault::kNotIncreasing, 9},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    const Bytes input = Hex(row.input);
    for (const bool strict : {true, false}) {
      auto result = decode_message<Init>(input, strict);
      const bool decodes = !row.fault || (!strict && model::waived_when_lenient(*row.fault));
      ASSERT_EQ(result.ok(), decodes) << "strict " << strict;
      if (decodes) {
        EXPECT_EQ(encode(result.value()), input);
      } else {
        EXPECT_EQ(result.error().fault, *row.fault);
        EXPECT_EQ(result.error().offset, row.offset);
      }
    }
  }
}

// feature_bits() merges the two maps aligned at their last byte, whichever of them is longer.
TEST(InitTest, FeatureBitsAlignAtLastByte) {
  const struct {
    std::string_view globalfeatures, features;
    std::vector<std::uint32_t> bits;
  } rows[] = {
      {"", "", {}},
      {"01", "02 00", {0, 9}},
      {"80 00 01", "02", {0, 1, 23}},
      {"03", "01", {0, 1}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.globalfeatures);
    Init init;
    init.globalfeatures.bytes = Hex(row.globalfeatures);
    init.features.bytes = Hex(row.features);
    EXPECT_EQ(feature_bits(init), row.bits);
  }
}

}  // namespace
}  // namespace keldrin::bolt1
