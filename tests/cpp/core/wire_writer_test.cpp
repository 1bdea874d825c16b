#include "core/wire_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

// write_u16 puts the high byte first; write_be writes exactly `width` bytes, most significant
// first; both after what is already there.
TEST(WireWriterTest, WritesBigEndian) {
  const struct {
    std::uint64_t v;
    int width;  // 0: write_u16
    const char* expected;
  } rows[] = {
      {258, 0, "0102"},       {0xff00, 0, "ff00"},         {0xab, 1, "ab"},
      {0x00fd, 2, "00fd"},    {0x10000, 4, "00010000"},    {0x01020304, 4, "01020304"},
      {1, 8, "0000000000000001"}, {0x0102030405060708, 8, "0102030405060708"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.v << " in " << row.width);
    Bytes out(1 + (row.width == 0 ? 2 : row.width));
    {
      WireWriter writer(out);
      writer.write_u8(0xee);
      if (row.width == 0) {
        writer.write_u16(static_cast<std::uint16_t>(row.v));
      } else {
        writer.write_be(row.v, row.width);
      }
    }
    EXPECT_EQ(out, Hex(std::string("ee") + row.expected));
  }
}

// Checked builds stop at a write past the end of the buffer, and at an encoding that leaves part
// of it unwritten: either means a wire_size() that disagrees with to_wire(). Each write stops
// before it passes the end, not only the destructor after it.
TEST(WireWriterDeathTest, WritesMustFillTheBufferExactly) {
  Bytes out(1);
  EXPECT_DEATH((WireWriter(out).write_u16(1)), "next_ != end_");
  EXPECT_DEATH((WireWriter(out).write_bytes(Bytes{1, 2})), "bs.size\\(\\) <=");
  EXPECT_DEATH(WireWriter{out}, "next_ == end_");
}

}  // namespace
}  // namespace keldrin
