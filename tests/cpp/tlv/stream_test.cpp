#include "tlv/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

struct DecodeRow {
  std::string_view input;
  std::string_view records;  // Describe() of the result, on success
  std::string_view error;    // empty on success
  std::uint64_t position;    // afterwards
  bool covers_input;         // the records account for every input byte
};

const DecodeRow kDecodeRows[] = {
    {"", "", "", 0, true},
    {"01 02 aa bb", "(1,2,aabb)", "", 4, true},
    {"01 00", "(1,0,)", "", 2, true},
    {"01 02 aa bb 03 00", "(1,2,aabb) (3,0,)", "", 6, true},
    {"05 01 aa 02 01 bb", "(5,1,aa) (2,1,bb)", "", 6, true},
    {"01 01 aa 01 01 bb", "(1,1,aa) (1,1,bb)", "", 6, true},
    {"02 01 aa", "(2,1,aa)", "", 3, true},
    {"fe 00 01 00 00 01 ff", "(65536,1,ff)", "", 7, true},
    {"ff 00 00 00 01 00 00 00 00 00", "(4294967296,0,)", "", 10, true},
    {"fd 00 fd 00", "(253,0,)", "", 4, true},
    {"fd 00 fd 02 aa bb", "(253,2,aabb)", "", 6, true},
    {"01", "", "", 1, false},
    {"01 03 aa bb", "", "", 4, false},
    {"01 02 aa bb 05 03 cc", "(1,2,aabb)", "", 7, false},
    {"01 02 aa bb 01 fd 00", "(1,2,aabb)", "", 7, false},
    {"fd 00", "", "", 2, false},
    {"01 ff 7f ff ff ff ff ff ff ff", "", "", 10, false},
    {"01 ff 80 00 00 00 00 00 00 00", "", "", 10, false},
    {"01 ff ff ff ff ff ff ff ff ff", "", "", 10, false},
    {"01 01 aa 02 ff ff ff ff ff ff ff ff ff 00", "(1,1,aa)", "", 14, false},
    {"fd 00 10", "", kNonCanonical, 3, false},
    {"01 fd 00 01 aa", "", kNonCanonical, 4, false},
    {"01 02 aa bb fd 00 01", "", kNonCanonical, 7, false},
    {"fd ff ff fd 00 03 01 02 03", "", kNonCanonical, 6, false},
    {"01 00 02 fe 00 00 ff ff 00 00", "", kNonCanonical, 8, false},
    {"01 00 ff 00 00 00 00 00 00 00 01 00 03 00", "", kNonCanonical, 11, false},
};

// Each known stream decodes to its records or fails with its error, and the reader stands at the
// end (or just past the rejected BigSize) afterwards.
TEST(StreamTest, DecodeTable) {
  for (const DecodeRow& row : kDecodeRows) {
    SCOPED_TRACE(row.input);
    const Bytes input = Hex(row.input);
    WireReader reader(input);
    auto result = Stream::from_wire(reader);
    if (row.error.empty()) {
      ASSERT_TRUE(result.ok()) << result.error().message;
      EXPECT_EQ(Describe(result.value()), row.records);
    } else {
      ASSERT_FALSE(result.ok()) << Describe(result.value());
      EXPECT_EQ(result.error().message, row.error);
      EXPECT_EQ(result.error().kind, WireErrorKind::Other);
    }
    EXPECT_EQ(reader.position(), row.position);
  }
}

// A stream decoded from the middle of an input starts at the reader's position, not at 0.
TEST(StreamTest, DecodeStartsAtReaderPosition) {
  const Bytes input = Hex("07 01 aa 01 02 aa bb 03 00");
  WireReader reader(input);
  ASSERT_TRUE(reader.read_bytes(3).ok());
  auto result = Stream::from_wire(reader);
  ASSERT_TRUE(result.ok()) << result.error().message;
  EXPECT_EQ(Describe(result.value()), "(1,2,aabb) (3,0,)");
  EXPECT_EQ(reader.position(), input.size());
}

// Every successful row whose records account for all of the input re-encodes to that input.
TEST(StreamTest, DecodedStreamReencodesToInput) {
  for (const DecodeRow& row : kDecodeRows) {
    if (!row.covers_input) continue;
    SCOPED_TRACE(row.input);
    auto decoded = Decode<Stream>(Hex(row.input));
    ASSERT_TRUE(decoded.ok());
    const Bytes encoded = encode(decoded.value());
    EXPECT_EQ(encoded, Hex(row.input));
  }
}

// Encoding writes type, length, value per record and nothing else.
TEST(StreamTest, EncodeTable) {
  EXPECT_EQ(encode(Stream{}), Bytes{});
  EXPECT_EQ(encode(Records({{1, {0xaa, 0xbb}}})), Hex("01 02 aa bb"));

  Bytes value(300);
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(i * 7);
  Bytes expected = Hex("fd 00 fd fd 01 2c");
  expected.insert(expected.end(), value.begin(), value.end());
  const Stream big = Records({{253, value}});
  EXPECT_EQ(encode(big), expected);
}

// Records are equal only when type and value bytes both are; the model comparisons rely on it.
TEST(StreamTest, RecordEquality) {
  const Bytes ab = {0xaa, 0xbb}, ab2 = ab, ac = {0xaa, 0xcc}, a = {0xaa};
  const Record r{1, ab};
  EXPECT_TRUE(r == (Record{1, ab2}));
  for (const Record& other : {Record{2, ab}, Record{1, ac}, Record{1, a}}) {
    EXPECT_FALSE(r == other) << other.type << ' ' << other.length();
  }
}

// BOLT #1's TLV vectors. n1 knows types 1, 2, 3 and 254, n2 knows 0 and 11. The codec keeps a
// record's value opaque, so n1's vectors about the contents of a value (an amount not minimal,
// the lengths of tlv1 to tlv4, a node_id that is not a valid point) are not among them.
constexpr KnownRecord kN1[] = {{1, "tlv1"}, {2, "tlv2"}, {3, "tlv3"}, {254, "tlv4"}};
constexpr KnownRecord kN2[] = {{0, "tlv1"}, {11, "tlv2"}};

struct VectorRow {
  std::string_view input;
  std::span<const KnownRecord> known;  // empty: either namespace, checked under both
  std::optional<Fault> fault;          // nothing: the stream decodes
  std::uint64_t offset;                // where the failing record starts
  std::size_t zeros = 0;               // zero bytes appended to `input`
};

const VectorRow kVectorRows[] = {
    {"fd", {}, Fault::kShort, 0},
    {"fd 01", {}, Fault::kShort, 0},
    {"fd 00 01 00", {}, Fault::kNotMinimal, 0},
    {"fd 01 01", {}, Fault::kShort, 0},
    {"0f fd", {}, Fault::kShort, 0},
    {"0f fd 26", {}, Fault::kShort, 0},
    {"0f fd 26 02", {}, Fault::kShort, 0},
    {"0f fd 00 01 00", {}, Fault::kNotMinimal, 0},
    {"0f fd 02 01", {}, Fault::kShort, 0, 258},
    {"12 00", {}, Fault::kUnknownEvenRecord, 0},
    {"fd 01 02 00", {}, Fault::kUnknownEvenRecord, 0},
    {"fe 01 00 00 02 00", {}, Fault::kUnknownEvenRecord, 0},
    {"ff 01 00 00 00 00 00 00 02 00", {}, Fault::kUnknownEvenRecord, 0},
    {"00 00", kN1, Fault::kUnknownEvenRecord, 0},
    {"", {}, std::nullopt, 0},
    {"21 00", {}, std::nullopt, 0},
    {"fd 02 01 00", {}, std::nullopt, 0},
    {"fd 00 fd 00", {}, std::nullopt, 0},
    {"fd 00 ff 00", {}, std::nullopt, 0},
    {"fe 02 00 00 01 00", {}, std::nullopt, 0},
    {"ff 02 00 00 00 00 00 00 01 00", {}, std::nullopt, 0},
    {"01 00", kN1, std::nullopt, 0},
    {"01 01 01", kN1, std::nullopt, 0},
    {"01 02 01 00", kN1, std::nullopt, 0},
    {"01 03 01 00 00", kN1, std::nullopt, 0},
    {"01 04 01 00 00 00", kN1, std::nullopt, 0},
    {"01 05 01 00 00 00 00", kN1, std::nullopt, 0},
    {"01 06 01 00 00 00 00 00", kN1, std::nullopt, 0},
    {"01 07 01 00 00 00 00 00 00", kN1, std::nullopt, 0},
    {"01 08 01 00 00 00 00 00 00 00", kN1, std::nullopt, 0},
    {"02 08 00 00 00 00 00 00 02 26", kN1, std::nullopt, 0},
    {"03 31 02 3d a0 92 f6 98 0e 58 d2 c0 37 17 31 80 e9 a4 65 47 60 26 ee 50 f9 66 95 96 "
     "3e 8e fe 43 6f 54 eb 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 02",
     kN1, std::nullopt, 0},
    {"fd 00 fe 02 02 26", kN1, std::nullopt, 0},
    {"02 08 00 00 00 00 00 00 02 26 01 01 2a", kN1, Fault::kNotIncreasing, 10},
    {"02 08 00 00 00 00 00 00 02 31 02 08 00 00 00 00 00 00 04 51", kN1, Fault::kNotIncreasing, 10},
    {"1f 00 0f 01 2a", kN1, Fault::kNotIncreasing, 2},
    {"1f 00 1f 01 2a", kN1, Fault::kNotIncreasing, 2},
    {"ff ff ff ff ff ff ff ff ff 00 00 00", kN2, Fault::kNotIncreasing, 10},
};

// Calls check(input, known) for the row's namespace, or for both namespaces.
template <class F>
void ForEachNamespace(const VectorRow& row, F check) {
  Bytes input = Hex(row.input);
  input.resize(input.size() + row.zeros);
  if (!row.known.empty()) return check(input, row.known);
  check(input, std::span<const KnownRecord>(kN1));
  check(input, std::span<const KnownRecord>(kN2));
}

// Each vector fails with its fault at the start of its record unless every rule it breaks is
// waived, and then encodes back to exactly its input; a failure moves with its record when the
// record follows a valid one.
TEST(StreamTest, Vectors) {
  for (const VectorRow& row : kVectorRows) {
    SCOPED_TRACE(row.input);
    ForEachNamespace(row, [&](const Bytes& input, std::span<const KnownRecord> known) {
      for (const bool increasing : {true, false}) {
        for (const bool refuse_unknown_even : {true, false}) {
          WireReader reader(input);
          auto result = Stream::decode(reader, {increasing, refuse_unknown_even, known});
          const bool waived = !row.fault || (row.fault == Fault::kNotIncreasing && !increasing) ||
                              (row.fault == Fault::kUnknownEvenRecord && !refuse_unknown_even);
          ASSERT_EQ(result.ok(), waived) << increasing << refuse_unknown_even;
          if (waived) {
            EXPECT_EQ(encode(result.value()), input);
          } else {
            EXPECT_EQ(result.error().fault, *row.fault) << result.error().message;
            EXPECT_EQ(result.error().offset, row.offset);
          }
        }
      }
      if (!row.fault || row.fault == Fault::kNotIncreasing) return;
      Bytes appended = Hex("01 00");
      appended.insert(appended.end(), input.begin(), input.end());
      WireReader reader(appended);
      auto later = Stream::decode(reader, {.increasing = false, .known = known});
      ASSERT_FALSE(later.ok());
      EXPECT_EQ(later.error().offset, row.offset + 2);
    });
  }
}

// A random stream with types and lengths on every BigSize width; values are sized by length.
Stream RandomStream(std::mt19937_64& rng) {
  static constexpr std::uint64_t kTypes[] = {0,     1,     252,        253,       65535,
                                             65536, 1u << 31, 4294967296, 0xffffffffffffffff};
  static constexpr std::uint64_t kLengths[] = {0, 1, 2, 252, 253, 254, 300, 65536};
  std::vector<std::pair<std::uint64_t, Bytes>> records(rng() % 6);
  for (auto& [type, value] : records) {
    type = rng() % 2 ? kTypes[rng() % std::size(kTypes)] : rng() >> (rng() % 64);
    value.resize(kLengths[rng() % std::size(kLengths)]);
    for (std::uint8_t& b : value) b = static_cast<std::uint8_t>(rng());
  }
  return Records(records);
}

// Random record lists survive encode then decode unchanged.
// Decoding any such encoding followed by a cut-short tail gives a stream that re-encodes to a
// prefix of the input and decodes again to itself: only the tail is ever lost.
TEST(StreamTest, RandomStreamsRoundTrip) {
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 200; ++trial) {
    SCOPED_TRACE(trial);
    const Stream stream = RandomStream(rng);
    Bytes input = encode(stream);
    auto back = Decode<Stream>(input);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_TRUE(back.value() == stream) << Describe(back.value()).substr(0, 200);

    const Bytes tail = encode(RandomStream(rng));
    input.insert(input.end(), tail.begin(), tail.begin() + rng() % (tail.size() + 1));
    auto first = Decode<Stream>(input);
    ASSERT_TRUE(first.ok()) << first.error().message;
    const model::StreamOf model = model::stream_of(input);
    EXPECT_TRUE(std::ranges::equal(first.value(), model.records));
    const Bytes reencoded = encode(first.value());
    EXPECT_EQ(reencoded.size(), model.records_end);
    ASSERT_LE(reencoded.size(), input.size());
    EXPECT_TRUE(std::equal(reencoded.begin(), reencoded.end(), input.begin()));
    auto second = Decode<Stream>(reencoded);
    ASSERT_TRUE(second.ok()) << second.error().message;
    EXPECT_TRUE(second.value() == first.value());
  }
}

}  // namespace
}  // namespace keldrin
