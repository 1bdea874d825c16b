#include "bolt/bolt1/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace keldrin::bolt1 {
namespace {

using namespace keldrin::testing;

// A fresh Init has type 16 and encodes to it and two empty feature fields. (That the type field
// is written as 16 whatever `ty` holds, the vectors of other types pin.)
TEST(InitTest, DefaultEncodesToSixBytes) {
  const Init init;
  EXPECT_EQ(init.ty, 16);
  EXPECT_EQ(encode(init), Hex("0010 0000 0000"));
}

class InitVectors : public ::testing::TestWithParam<VectorRow> {};

// Each known message decodes to the fields its re-encoding holds (the records as the reference
// model reads them), keeping the type it came with, and re-encodes as the row says; or it fails
// with the row's error.
TEST_P(InitVectors, DecodeAndEncode) {
  const VectorRow& row = GetParam();
  const std::string& expected = row.fields.at(0);
  WireReader reader(row.input);
  auto result = Init::from_wire(reader);
  if (expected == kShort || expected == kNonCanonical) {
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message, expected);
    return;
  }
  ASSERT_TRUE(result.ok()) << result.error().message;
  const Init& init = result.value();
  const Bytes reencoded = Hex(expected);
  const std::size_t fixed_end = model::init_fixed_end(reencoded);
  ASSERT_NE(fixed_end, 0u);
  const auto features_at = reencoded.begin() + 4 + ((reencoded[2] << 8) | reencoded[3]);
  EXPECT_EQ(init.ty, (row.input[0] << 8) | row.input[1]);
  EXPECT_EQ(init.globalfeatures.bytes, Bytes(reencoded.begin() + 4, features_at));
  EXPECT_EQ(init.features.bytes, Bytes(features_at + 2, reencoded.begin() + fixed_end));
  const model::StreamOf records = model::stream_of(ByteSpan(reencoded).subspan(fixed_end));
  EXPECT_TRUE(std::ranges::equal(init.init_tlvs, records.records)) << Describe(init.init_tlvs);
  EXPECT_EQ(reader.position(), row.input.size());
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

// feature_bits() merges the two maps aligned at their last byte, whichever of them is longer.
TEST(InitTest, FeatureBitsAlignAtLastByte) {
  const struct {
    std::string_view globalfeatures, features;
    std::vector<std::uint32_t> bits;
  } rows[] = {{"", "", {}}, {"01", "0200", {0, 9}}, {"800001", "02", {0, 1, 23}},
               {"03", "01", {0, 1}}};
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
