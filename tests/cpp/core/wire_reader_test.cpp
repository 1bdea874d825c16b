#include "core/wire_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

struct ReadBytesRow {
  std::size_t size;        // input length
  std::uint64_t skip;      // bytes consumed before the read under test
  std::uint64_t n;         // the read under test
  bool ok;
  std::uint64_t position;  // afterwards
};

// read_bytes hands out exactly the n bytes at the cursor, or fails and moves to the end; an
// impossible n (as large as 2^64-1, so position + n would wrap) is just a short read.
TEST(WireReaderTest, ReadBytesSucceedsOrMovesToEnd) {
  const ReadBytesRow rows[] = {
      {2, 0, 2, true, 2},        {2, 0, 3, false, 2},          {2, 2, 0, true, 2},
      {0, 0, 0, true, 0},        {0, 0, 1, false, 0},          {3, 1, 3, false, 3},
      {3, 1, 2, true, 3},        {5, 1, 0, true, 1},           {2, 0, kMax64, false, 2},
      {2, 1, kMax64, false, 2},  {2, 1, kMax64 - 1, false, 2}, {4, 2, 1ull << 63, false, 4},
  };
  for (const ReadBytesRow& row : rows) {
    SCOPED_TRACE(::testing::Message() << "size " << row.size << " skip " << row.skip << " n "
                                    << row.n);
    Bytes input(row.size);
    for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i + 1);
    WireReader reader(input);
    ASSERT_TRUE(reader.read_bytes(row.skip).ok());
    auto bytes = reader.read_bytes(row.n);
    ASSERT_EQ(bytes.ok(), row.ok);
    if (row.ok) {
      // A view into the input itself, starting at the cursor.
      EXPECT_EQ(bytes.value().size(), row.n);
      EXPECT_EQ(bytes.value().data(), input.data() + row.skip);
    } else {
      EXPECT_EQ(bytes.error(), kEndOfInput);
    }
    EXPECT_EQ(reader.position(), row.position);
    EXPECT_EQ(reader.remaining(), row.size - row.position);
  }
}

// Over random read sequences the cursor follows "plus n, or to the end", so it never moves back;
// read_u16 takes the first of its two bytes as the high byte, and fails with the end-of-input
// error as read_bytes does.
TEST(WireReaderTest, PositionOnlyMovesForward) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    Bytes input(rng() % 12);
    for (std::uint8_t& b : input) b = static_cast<std::uint8_t>(rng());
    WireReader reader(input);
    std::uint64_t expected = 0;
    for (int step = 0; step < 8; ++step) {
      if (rng() % 3 == 0) {
        const bool fits = input.size() - expected >= 2;
        auto v = reader.read_u16();
        ASSERT_EQ(v.ok(), fits);
        if (fits) {
          EXPECT_EQ(v.value(), input[expected] * 256 + input[expected + 1]);
        } else {
          EXPECT_EQ(v.error(), kEndOfInput);
          EXPECT_EQ(v.error().message, kShort);
        }
        expected = fits ? expected + 2 : input.size();
      } else {
        const std::uint64_t n = rng() % 5;
        const bool fits = input.size() - expected >= n;
        EXPECT_EQ(reader.read_bytes(n).ok(), fits);
        expected = fits ? expected + n : input.size();
      }
      ASSERT_EQ(reader.position(), expected);
      ASSERT_EQ(reader.remaining(), input.size() - expected);
    }
  }
}

}  // namespace
}  // namespace keldrin
