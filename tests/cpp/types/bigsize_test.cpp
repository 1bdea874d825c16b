#include "types/bigsize.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

constexpr std::uint64_t kMax64 = 0xffffffffffffffff;

class BigSizeVectors : public ::testing::TestWithParam<VectorRow> {};

// Each known input decodes to its value or error and leaves the reader where the row says; a
// value read from the whole input encodes back to that input, byte for byte.
TEST_P(BigSizeVectors, DecodeAndEncode) {
  const VectorRow& row = GetParam();
  const std::string& expected = row.fields.at(0);
  WireReader reader(row.input);
  auto result = BigSize::from_wire(reader);
  const bool is_value = expected.find_first_not_of("0123456789") == std::string::npos;
  if (is_value) {
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(result.value().value, std::stoull(expected));
  } else {
    ASSERT_FALSE(result.ok()) << result.value().value;
    EXPECT_EQ(result.error().message, expected);
    EXPECT_EQ(result.error().kind,
              expected == kShort ? WireErrorKind::EndOfInput : WireErrorKind::Other);
  }
  EXPECT_EQ(reader.position(), std::stoull(row.fields.at(1)));
  if (is_value && reader.position() == row.input.size()) {
    EXPECT_EQ(encode(result.value()), row.input);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, BigSizeVectors, ::testing::ValuesIn(Vectors("bigsize")));

// The first and last value of each width, and their neighbours.
const std::pair<std::uint64_t, std::size_t> kBoundaries[] = {
    {0, 1},          {1, 1},          {252, 1},        {253, 3},          {254, 3},
    {65535, 3},      {65536, 5},      {65537, 5},      {4294967295, 5},   {4294967296, 9},
    {4294967297, 9}, {kMax64 - 1, 9}, {kMax64, 9},
};

// Every value near a width boundary has the table's size, and decodes back to itself from exactly
// that many bytes.
TEST(BigSizeTest, RoundTripsAtBoundaries) {
  for (const auto& [value, size] : kBoundaries) {
    SCOPED_TRACE(value);
    EXPECT_EQ(BigSize{value}.wire_size(), size);
    const Bytes bytes = encode(BigSize{value});
    WireReader reader(bytes);
    auto back = BigSize::from_wire(reader);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(back.value(), BigSize{value});
    EXPECT_EQ(reader.position(), size);
  }
}

// from_wire agrees with the reference model on every input of 1, 2 and 3 bytes, and on random
// 9-byte inputs biased towards the wide prefixes and towards zero bytes, so that canonical and
// non-canonical bodies both come up often. It stops at the first disagreement.
TEST(BigSizeTest, MatchesReferenceModel) {
  std::uint8_t in[9];
  const auto agrees = [&](std::size_t size) {
    const model::BigSizeAt want = model::bigsize_at(ByteSpan(in, size));
    WireReader reader(ByteSpan(in, size));
    auto got = BigSize::from_wire(reader);
    const WireError want_error = want.complete ? kNonCanonicalBigSize : kEndOfInput;
    const bool want_ok = want.complete && want.canonical;
    if (reader.position() == want.end && got.ok() == want_ok &&
        (got.ok() ? got.value().value == want.value : got.error() == want_error)) {
      return true;
    }
    ADD_FAILURE() << "input of " << size << " bytes starting " << int{in[0]} << ": got "
                  << (got.ok() ? "value" : got.error().message) << " at " << reader.position()
                  << ", want " << (want_ok ? "value" : want_error.message) << " at " << want.end;
    return false;
  };
  for (std::size_t size = 1; size <= 3; ++size) {
    for (std::uint32_t x = 0; x < (1u << (8 * size)); ++x) {
      for (std::size_t i = 0; i < size; ++i) {
        in[i] = static_cast<std::uint8_t>(x >> (8 * (size - 1 - i)));
      }
      if (!agrees(size)) return;
    }
  }
  std::mt19937_64 rng(20240501);
  for (int trial = 0; trial < 200000; ++trial) {
    const std::uint64_t bits = rng();
    for (int i = 0; i < 9; ++i) {
      in[i] = (bits >> (9 + i)) & 1 ? static_cast<std::uint8_t>(rng()) : 0;
    }
    const std::uint8_t prefixes[] = {static_cast<std::uint8_t>(bits), 0xfd, 0xfe, 0xff};
    in[0] = prefixes[bits & 3];
    if (!agrees(9)) return;
  }
}

}  // namespace
}  // namespace keldrin
