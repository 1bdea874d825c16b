#include "types/bitflag.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

// A length prefix and that many bytes decode to those bytes, and encode back to the same bytes;
// what follows them is not read.
TEST(BitFlagTest, DecodeReadsPrefixAndBytes) {
  const struct {
    std::string_view input;
    std::string_view bytes;
    std::uint64_t position;
  } rows[] = {
      {"00 00", "", 2},
      {"00 00 aa", "", 2},
      {"00 01 aa", "aa", 3},
      {"00 02 aa bb cc", "aa bb", 4},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input);
    const Bytes input = Hex(row.input);
    WireReader reader(input);
    auto flag = BitFlag::from_wire(reader);
    ASSERT_TRUE(flag.ok()) << flag.error().message;
    EXPECT_EQ(flag.value().bytes, Hex(row.bytes));
    EXPECT_EQ(reader.position(), row.position);
    EXPECT_EQ(encode(flag.value()), Bytes(input.begin(), input.begin() + row.position));
  }
}

// A short length prefix or fewer bytes than it announces fail at the end of the input.
TEST(BitFlagTest, ShortInputFails) {
  for (std::string_view text : {"", "00", "00 01", "00 02 aa", "01 00 aa bb", "ff ff"}) {
    SCOPED_TRACE(text);
    const Bytes input = Hex(text);
    WireReader reader(input);
    auto flag = BitFlag::from_wire(reader);
    ASSERT_FALSE(flag.ok());
    EXPECT_EQ(flag.error().message, "failed to fill whole buffer");
    EXPECT_EQ(flag.error().kind, WireErrorKind::EndOfInput);
    EXPECT_EQ(reader.position(), input.size());
  }
}

// The largest flag, 65535 bytes, survives encode and decode unchanged.
TEST(BitFlagTest, MaximumLengthRoundTrips) {
  BitFlag flag;
  flag.bytes.resize(65535);
  for (std::size_t i = 0; i < flag.bytes.size(); ++i) {
    flag.bytes[i] = static_cast<std::uint8_t>(i ^ (i >> 8));
  }
  EXPECT_EQ(flag.len(), 65535);
  const Bytes bytes = encode(flag);
  ASSERT_EQ(bytes.size(), 2u + 65535u);
  EXPECT_EQ(bytes[0], 0xff);
  EXPECT_EQ(bytes[1], 0xff);
  WireReader reader(bytes);
  auto back = BitFlag::from_wire(reader);
  ASSERT_TRUE(back.ok()) << back.error().message;
  EXPECT_TRUE(back.value() == flag);
  EXPECT_EQ(reader.position(), bytes.size());
}

}  // namespace
}  // namespace keldrin
