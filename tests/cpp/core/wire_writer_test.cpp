#include "core/wire_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

// write_u16 puts the high byte first.
TEST(WireWriterTest, WriteU16IsBigEndian) {
  Bytes out(4);
  {
    WireWriter writer(out);
    writer.write_u16(258);
    writer.write_u16(0xff00);
  }
  EXPECT_EQ(out, (Bytes{0x01, 0x02, 0xff, 0x00}));
}

// write_be writes exactly `width` bytes, most significant first, after what is already there.
TEST(WireWriterTest, WriteBeWritesWidthBytes) {
  const struct {
    std::uint64_t v;
    int width;
    Bytes expected;
  } rows[] = {
      {0xab, 1, {0xab}},
      {0x00fd, 2, {0x00, 0xfd}},
      {0x10000, 4, {0x00, 0x01, 0x00, 0x00}},
      {0x01020304, 4, {0x01, 0x02, 0x03, 0x04}},
      {0x0102030405060708, 8, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08}},
      {1, 8, {0, 0, 0, 0, 0, 0, 0, 1}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.v << " in " << row.width);
    Bytes out(1 + row.width);
    {
      WireWriter writer(out);
      writer.write_u8(0xee);
      writer.write_be(row.v, row.width);
    }
    Bytes expected{0xee};
    expected.insert(expected.end(), row.expected.begin(), row.expected.end());
    EXPECT_EQ(out, expected);
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
