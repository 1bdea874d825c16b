#include "tlv/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

class StreamVectors : public ::testing::TestWithParam<VectorRow> {};

// Each known stream decodes to its records or fails with its error, and the reader stands at the
// end (or just past the rejected BigSize) afterwards; the records encode to the row's bytes.
TEST_P(StreamVectors, DecodeAndEncode) {
  const VectorRow& row = GetParam();
  const std::string& expected = row.fields.at(0);
  WireReader reader(row.input);
  auto result = Stream::from_wire(reader);
  if (expected.empty() || expected.front() == '(') {
    ASSERT_TRUE(result.ok()) << result.error().message;
    EXPECT_EQ(Describe(result.value()), expected);
    EXPECT_EQ(encode(result.value()), Hex(row.fields.at(2)));
  } else {
    ASSERT_FALSE(result.ok()) << Describe(result.value());
    EXPECT_EQ(result.error().message, expected);
    EXPECT_EQ(result.error().kind, WireErrorKind::Other);
  }
  EXPECT_EQ(reader.position(), std::stoull(row.fields.at(1)));
}

INSTANTIATE_TEST_SUITE_P(Rows, StreamVectors, ::testing::ValuesIn(Vectors("stream")));

// Records are equal only when type and value bytes both are; the model comparisons rely on it.
TEST(StreamTest, RecordEquality) {
  const Bytes ab = Hex("aabb"), ab2 = ab, ac = Hex("aacc"), a = Hex("aa");
  const Record r{1, ab};
  EXPECT_TRUE(r == (Record{1, ab2}));
  for (const Record& other : {Record{2, ab}, Record{1, ac}, Record{1, a}}) {
    EXPECT_FALSE(r == other) << other.type << ' ' << other.length();
  }
}

// The namespaces of BOLT #1's TLV vectors: n1 knows types 1, 2, 3 and 254, n2 knows 0 and 11.
constexpr KnownRecord kN1[] = {{1, "tlv1"}, {2, "tlv2"}, {3, "tlv3"}, {254, "tlv4"}};
constexpr KnownRecord kN2[] = {{0, "tlv1"}, {11, "tlv2"}};
constexpr KnownRecord kN3[] = {{1, "triples", 3}};

const std::map<std::string, std::vector<std::span<const KnownRecord>>, std::less<>> kNamespaces = {
    {"n1", {kN1}}, {"n2", {kN2}}, {"either", {kN1, kN2}}, {"n3", {kN3}}};

class TlvVectors : public ::testing::TestWithParam<VectorRow> {};

// Each vector fails with its fault at the start of its record unless every rule it breaks is
// waived, and then encodes back to exactly its input; a failure moves with its record when the
// record follows a valid one. A vector for either namespace is checked under both.
TEST_P(TlvVectors, DecodeUnderEachRule) {
  const VectorRow& row = GetParam();
  const Bytes& input = row.input;
  std::optional<Fault> fault;
  std::uint64_t offset = 0;
  if (row.fields.size() > 1) {
    fault = FaultNamed(row.fields.at(1));
    offset = std::stoull(row.fields.at(2));
  }
  for (const std::span<const KnownRecord> known : kNamespaces.at(row.fields.at(0))) {
    for (const bool increasing : {true, false}) {
      for (const bool refuse_unknown_even : {true, false}) {
        WireReader reader(input);
        auto result = Stream::decode(reader, {increasing, refuse_unknown_even, known});
        const bool waived = !fault || (fault == Fault::kNotIncreasing && !increasing) ||
                            (fault == Fault::kUnknownEvenRecord && !refuse_unknown_even);
        ASSERT_EQ(result.ok(), waived) << increasing << refuse_unknown_even;
        if (waived) {
          EXPECT_EQ(encode(result.value()), input);
        } else {
          EXPECT_EQ(result.error().fault, *fault) << result.error().message;
          EXPECT_EQ(result.error().offset, offset);
        }
      }
    }
    if (!fault || fault == Fault::kNotIncreasing) continue;
    Bytes appended = Hex("01 00");
    appended.insert(appended.end(), input.begin(), input.end());
    WireReader reader(appended);
    auto later = Stream::decode(reader, {.increasing = false, .known = known});
    ASSERT_FALSE(later.ok());
    EXPECT_EQ(later.error().offset, offset + 2);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, TlvVectors, ::testing::ValuesIn(Vectors("tlv")));

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

// Random streams survive encode then decode unchanged; followed by a cut-short tail, they decode
// to what the model reads, which re-encodes to a prefix of the input: only the tail is lost.
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
