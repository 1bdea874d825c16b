#include "types/bigsize.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

constexpr std::uint64_t kMax64 = 0xffffffffffffffff;

struct DecodeRow {
  std::string_view input;
  std::uint64_t value;      // when error is empty
  std::string_view error;   // empty on success
  std::uint64_t position;   // afterwards
};

const DecodeRow kDecodeRows[] = {
    {"00", 0, "", 1},
    {"fc", 252, "", 1},
    {"fd 00 fd", 253, "", 3},
    {"fd ff ff", 65535, "", 3},
    {"fe 00 01 00 00", 65536, "", 5},
    {"fe ff ff ff ff", 4294967295, "", 5},
    {"ff 00 00 00 01 00 00 00 00", 4294967296, "", 9},
    {"ff ff ff ff ff ff ff ff ff", kMax64, "", 9},
    {"fd 00 fd 01", 253, "", 3},
    {"fd 00 fc", 0, kNonCanonical, 3},
    {"fd 00 00", 0, kNonCanonical, 3},
    {"fe 00 00 ff ff", 0, kNonCanonical, 5},
    {"ff 00 00 00 00 ff ff ff ff", 0, kNonCanonical, 9},
    {"", 0, kShort, 0},
    {"fd", 0, kShort, 1},
    {"fe", 0, kShort, 1},
    {"ff", 0, kShort, 1},
    {"fd 00", 0, kShort, 2},
    {"fe ff ff", 0, kShort, 3},
    {"ff ff ff ff ff", 0, kShort, 5},
    // Non-canonical bodies followed by more input: the reader stops just past the encoding.
    {"fe 00 00 00 fc 01 02", 0, kNonCanonical, 5},
    {"ff 00 00 00 00 00 00 00 fc 99", 0, kNonCanonical, 9},
};

// Each known input decodes to its value or error and leaves the reader where the table says.
TEST(BigSizeTest, DecodeTable) {
  for (const DecodeRow& row : kDecodeRows) {
    SCOPED_TRACE(row.input);
    const Bytes input = Hex(row.input);
    WireReader reader(input);
    auto result = BigSize::from_wire(reader);
    if (row.error.empty()) {
      ASSERT_TRUE(result.ok()) << result.error().message;
      EXPECT_EQ(result.value().value, row.value);
    } else {
      ASSERT_FALSE(result.ok()) << result.value().value;
      EXPECT_EQ(result.error().message, row.error);
      EXPECT_EQ(result.error().kind,
                row.error == kShort ? WireErrorKind::EndOfInput : WireErrorKind::Other);
    }
    EXPECT_EQ(reader.position(), row.position);
  }
}

struct EncodeRow {
  std::uint64_t value;
  std::string_view output;
};

const EncodeRow kEncodeRows[] = {
    {0, "00"},
    {252, "fc"},
    {253, "fd 00 fd"},
    {300, "fd 01 2c"},
    {65535, "fd ff ff"},
    {65536, "fe 00 01 00 00"},
    {4294967295, "fe ff ff ff ff"},
    {4294967296, "ff 00 00 00 01 00 00 00 00"},
    {kMax64, "ff ff ff ff ff ff ff ff ff"},
};

// Each value encodes to its shortest form, byte for byte.
TEST(BigSizeTest, EncodeTable) {
  for (const EncodeRow& row : kEncodeRows) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(encode(BigSize{row.value}), Hex(row.output));
  }
}

// The first and last value of each width, and their neighbours.
const struct {
  std::uint64_t value;
  int len;
} kBoundaries[] = {
    {0, 1},          {1, 1},          {252, 1},        {253, 3},          {254, 3},
    {65535, 3},      {65536, 5},      {65537, 5},      {4294967295, 5},   {4294967296, 9},
    {4294967297, 9}, {kMax64 - 1, 9}, {kMax64, 9},
};

// Every value near a width boundary has the table's size, and decodes back to itself from exactly
// that many bytes.
TEST(BigSizeTest, RoundTripsAtBoundaries) {
  for (const auto& row : kBoundaries) {
    SCOPED_TRACE(row.value);
    EXPECT_EQ(BigSize{row.value}.wire_size(), static_cast<std::size_t>(row.len));
    const Bytes bytes = encode(BigSize{row.value});
    EXPECT_EQ(bytes.size(), static_cast<std::size_t>(row.len));
    WireReader reader(bytes);
    auto back = BigSize::from_wire(reader);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(back.value(), BigSize{row.value});
    EXPECT_EQ(reader.position(), bytes.size());
  }
}

// Returns true when from_wire agrees with the reference model on `in`; reports mismatches.
bool AgreesWithReference(const std::uint8_t* in, std::size_t size) {
  const model::BigSizeAt want = model::bigsize_at(ByteSpan(in, size));
  WireReader reader(ByteSpan(in, size));
  auto got = BigSize::from_wire(reader);
  const WireError want_error = want.complete ? kNonCanonicalBigSize : kEndOfInput;
  const bool want_ok = want.complete && want.canonical;
  const bool same = reader.position() == want.end && got.ok() == want_ok &&
                    (got.ok() ? got.value().value == want.value : got.error() == want_error);
  if (!same) {
    ADD_FAILURE() << "input of " << size << " bytes starting " << int{in[0]} << ": got "
                  << (got.ok() ? "value" : got.error().message) << " at " << reader.position()
                  << ", want " << (want_ok ? "value" : want_error.message) << " at " << want.end;
  }
  return same;
}

// from_wire agrees with the reference on every input of 1, 2 and 3 bytes.
TEST(BigSizeTest, MatchesReferenceOnAllShortInputs) {
  std::uint8_t in[3];
  int failures = 0;
  for (std::size_t size = 1; size <= 3; ++size) {
    for (std::uint32_t x = 0; x < (1u << (8 * size)); ++x) {
      for (std::size_t i = 0; i < size; ++i) {
        in[i] = static_cast<std::uint8_t>(x >> (8 * (size - 1 - i)));
      }
      if (!AgreesWithReference(in, size) && ++failures > 10) return;
    }
  }
}

// from_wire agrees with the reference on random 9-byte inputs, biased towards the wide prefixes
// and towards zero bytes so that both canonical and non-canonical bodies come up often.
TEST(BigSizeTest, MatchesReferenceOnRandomNineByteInputs) {
  std::mt19937_64 rng(20240501);
  std::uint8_t in[9];
  int failures = 0;
  for (int trial = 0; trial < 200000; ++trial) {
    const std::uint64_t bits = rng();
    for (int i = 0; i < 9; ++i) {
      in[i] = (bits >> (9 + i)) & 1 ? static_cast<std::uint8_t>(rng()) : 0;
    }
    const std::uint8_t prefixes[] = {static_cast<std::uint8_t>(bits), 0xfd, 0xfe, 0xff};
    in[0] = prefixes[bits & 3];
    if (!AgreesWithReference(in, 9) && ++failures > 10) return;
  }
}

}  // namespace
}  // namespace keldrin
