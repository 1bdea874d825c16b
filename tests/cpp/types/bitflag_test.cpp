#include "types/bitflag.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

// A length prefix and that many bytes, up to the largest 65535, decode to those bytes and encode
// back to the same bytes; what follows them is not read. A short prefix, or fewer bytes than it
// announces, fails at the end of the input.
TEST(BitFlagTest, DecodeAndEncode) {
  const struct {
    std::string_view input;
    const char* bytes;  // null: fails
    std::size_t position;
  } rows[] = {
      {"0000", "", 2}, {"0000 aa", "", 2}, {"0001 aa", "aa", 3}, {"0002 aabb cc", "aabb", 4},
      {"ffff a5*65535", "a5*65535", 65537}, {"", nullptr, 0}, {"00", nullptr, 1},
      {"0001", nullptr, 2}, {"0002 aa", nullptr, 3}, {"0100 aabb", nullptr, 4},
      {"ffff", nullptr, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.input.substr(0, 20));
    const Bytes input = Hex(row.input);
    WireReader reader(input);
    auto flag = BitFlag::from_wire(reader);
    EXPECT_EQ(reader.position(), row.position);
    if (row.bytes == nullptr) {
      ASSERT_FALSE(flag.ok());
      EXPECT_EQ(flag.error().message, kShort);
      EXPECT_EQ(flag.error().kind, WireErrorKind::EndOfInput);
      continue;
    }
    ASSERT_TRUE(flag.ok()) << flag.error().message;
    EXPECT_EQ(flag.value().bytes, Hex(row.bytes));
    EXPECT_EQ(flag.value().len(), flag.value().bytes.size());
    EXPECT_EQ(encode(flag.value()), Bytes(input.begin(), input.begin() + row.position));
  }
}

}  // namespace
}  // namespace keldrin
