#include "bolt/bolt1/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"
#include "vectors.h"

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

class InitVectors : public ::testing::TestWithParam<VectorRow> {};

// Each known message decodes to the fields its re-encoding holds (the records as the reference
// model reads them), keeping the type it came with, and re-encodes as the row says; or it fails
// with the row's error.
TEST_P(InitVectors, DecodeAndEncode) {
  const VectorRow& row = GetParam();
  const Bytes& input = row.input;
  const std::string& expected = row.fields.at(0);
  WireReader reader(input);
  auto result = Init::from_wire(reader);
  if (expected == kShort || expected == kNonCanonical) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, expected);
    return;
  }
  ASSERT_TRUE(result.ok()) << result.error().message;
  const Init& init = result.value();
  const Bytes reencoded = VectorBytes(expected);
  const std::size_t fixed_end = model::init_fixed_end(reencoded);
  ASSERT_NE(fixed_end, 0u);
  const std::size_t features_at = 4 + ((reencoded[2] << 8) | reencoded[3]);
  EXPECT_EQ(init.ty, (input[0] << 8) | input[1]);
  const auto field = [&](std::size_t begin, std::size_t end) {
    return Bytes(reencoded.begin() + begin, reencoded.begin() + end);
  };
  EXPECT_EQ(init.globalfeatures.bytes, field(4, features_at));
  EXPECT_EQ(init.features.bytes, field(features_at + 2, fixed_end));
  const model::StreamOf records = model::stream_of(ByteSpan(reencoded).subspan(fixed_end));
  EXPECT_TRUE(std::ranges::equal(init.init_tlvs, records.records)) << Describe(init.init_tlvs);
  EXPECT_EQ(reader.position(), input.size());
  EXPECT_EQ(encode(init), reencoded);
}

INSTANTIATE_TEST_SUITE_P(Rows, InitVectors, ::testing::ValuesIn(Vectors("init")));

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
