#include "bolt/message.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <tuple>

#include "bolt/bolt1/messages.h"
#include "test_support.h"

namespace keldrin {
namespace {

using namespace keldrin::testing;

// M's decoder over `input`, its result erased to bytes: the message encoded again, or the failure.
template <class M>
DecodeResult<Bytes> Reencoded(ByteSpan input, bool strict) {
  auto result = decode_as<M>(input, strict);
  if (!result) return std::move(result).error();
  return encode(result.value());
}

using Reencoder = DecodeResult<Bytes> (*)(ByteSpan, bool);

// Each message type's decoder under its name, and Unknown's as "unknown", as the vectors name them.
const auto kDecoders = []<class... M>(std::tuple<M...>*) {
  return std::map<std::string, Reencoder, std::less<>>{{std::string(M::kName), Reencoded<M>}...,
                                                       {"unknown", Reencoded<bolt1::Unknown>}};
}(static_cast<bolt1::Messages*>(nullptr));

class MessageVectors : public ::testing::TestWithParam<VectorRow> {};

// A valid message decodes in either mode and encodes back to itself. Any other fails strictly
// with its fault, offset and text; leniently it decodes and encodes back to itself when the row
// says so, and fails alike when it does not.
TEST_P(MessageVectors, StrictAndLenient) {
  const VectorRow& row = GetParam();
  const Reencoder decode = kDecoders.at(row.fields.at(0));
  if (row.fields.size() == 1) {
    for (const bool strict : {true, false}) {
      auto result = decode(row.input, strict);
      ASSERT_TRUE(result.ok()) << result.error().message;
      EXPECT_EQ(result.value(), row.input);
    }
    return;
  }
  const std::uint64_t offset = std::stoull(row.fields.at(2));
  const std::string& message = row.fields.at(3);
  auto strict = decode(row.input, true);
  ASSERT_FALSE(strict.ok());
  EXPECT_EQ(strict.error().fault, FaultNamed(row.fields.at(1)));
  EXPECT_EQ(strict.error().offset, offset);
  EXPECT_EQ(strict.error().message, message);
  auto lenient = decode(row.input, false);
  ASSERT_EQ(lenient.ok(), row.fields.at(4) == "decodes");
  if (lenient.ok()) {
    EXPECT_EQ(lenient.value(), row.input);
  } else {
    EXPECT_EQ(lenient.error().offset, offset);
    EXPECT_EQ(lenient.error().message, message);
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, MessageVectors, ::testing::ValuesIn(Vectors("message")));

bool Same(const bolt1::Unknown& a, const bolt1::Unknown& b) { return a == b; }
template <Message M>
bool Same(const M& a, const M& b) {
  return same_fields(a, b);
}

// `message` encodes to exactly `wire`, which decodes in either mode to the same fields.
template <class M>
void ExpectRoundTrip(const M& message, const std::string& wire) {
  SCOPED_TRACE(wire);
  const Bytes bytes = encode(message);
  EXPECT_EQ(bytes, Hex(wire));
  for (const bool strict : {true, false}) {
    auto back = decode_as<M>(bytes, strict);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_TRUE(Same(back.value(), message));
    EXPECT_EQ(encode(back.value()), bytes);
  }
}

// Every message type, with every field set, encodes its fields in wire order and decodes back to
// the same fields in either mode.
TEST(MessageTest, EveryTypeRoundTrips) {
  const std::string id = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
  const std::string tlvs_wire = " 0101aa 0500";
  bolt1::Error error;
  std::ranges::copy(Hex(id), error.channel_id.begin());
  error.data.bytes = Hex("6869");
  error.tlvs = Records({{1, Hex("aa")}, {5, {}}});
  ExpectRoundTrip(error, "0011 " + id + " 0002 6869" + tlvs_wire);
  bolt1::Warning warning;
  static_cast<bolt1::ChannelMessage&>(warning) = error;
  ExpectRoundTrip(warning, "0001 " + id + " 0002 6869" + tlvs_wire);
  bolt1::Ping ping;
  ping.num_pong_bytes = 0x0102;
  ping.ignored.bytes = Hex("000000");
  ping.tlvs = error.tlvs;
  ExpectRoundTrip(ping, "0012 0102 0003 000000" + tlvs_wire);
  bolt1::Pong pong;
  pong.ignored.bytes = Hex("ee");
  pong.tlvs = error.tlvs;
  ExpectRoundTrip(pong, "0013 0001 ee" + tlvs_wire);
  bolt1::PeerStorage storage;
  storage.blob.bytes = Hex("b10b");
  storage.tlvs = error.tlvs;
  ExpectRoundTrip(storage, "0007 0002 b10b" + tlvs_wire);
  bolt1::PeerStorageRetrieval retrieval;
  static_cast<bolt1::StorageMessage&>(retrieval) = storage;
  ExpectRoundTrip(retrieval, "0009 0002 b10b" + tlvs_wire);
  ExpectRoundTrip(bolt1::Unknown{201, Hex("010203")}, "00c9 010203");
}

// same_fields() tells apart messages that differ in one fixed field, or in their extension alone.
TEST(MessageTest, SameFieldsSeesEveryField) {
  bolt1::Ping ping, pong_bytes, ignored, tlvs;
  pong_bytes.num_pong_bytes = 1;
  ignored.ignored.bytes = Hex("00");
  tlvs.tlvs = Records({{1, {}}});
  for (const bolt1::Ping& other : {pong_bytes, ignored, tlvs}) {
    EXPECT_FALSE(same_fields(ping, other));
  }
  bolt1::Error error, channel;
  channel.channel_id[31] = 1;
  EXPECT_FALSE(same_fields(error, channel));
}

// A sending node may not send records out of order, a known record of a forbidden length, or
// more than 65535 bytes; an unknown even record type is the sender's own business. pong_for()
// answers with num_pong_bytes zero bytes up to 65531, the largest pong that may be sent, and not
// at all from 65532 on.
TEST(MessageTest, SendingFaults) {
  const Bytes a = Hex("aa");
  const Bytes chain(33, 0);
  const Record backwards[] = {{5, a}, {3, a}}, even[] = {{2, a}}, networks[] = {{1, chain}};
  bolt1::Ping ping;
  ping.tlvs = Stream::from_records(backwards);
  EXPECT_EQ(sending_fault(ping).value_or(""),
            "tlvs: record at offset 3: type 3 follows type 5: types must strictly increase");
  ping.tlvs = Stream::from_records(even);
  EXPECT_EQ(sending_fault(ping).value_or(""), "");
  bolt1::Init init;
  init.init_tlvs = Stream::from_records(networks);
  EXPECT_EQ(sending_fault(init).value_or(""),
            "tlvs: record at offset 0: networks: length 33 is not a multiple of 32");
  ping.num_pong_bytes = 65531;
  auto pong = bolt1::pong_for(ping);
  ASSERT_TRUE(pong.has_value());
  EXPECT_EQ(pong->ignored.bytes, Bytes(65531, 0));
  EXPECT_EQ(sending_fault(*pong).value_or(""), "");
  ping.num_pong_bytes = 65532;
  EXPECT_FALSE(bolt1::pong_for(ping).has_value());
  pong->ignored.bytes.resize(65532);
  EXPECT_EQ(sending_fault(*pong).value_or(""),
            "the message would be 65536 bytes, more than the 65535 a message may have");
  const bolt1::Unknown init_type{16, {}}, largest{201, Bytes(65533)}, too_long{201, Bytes(65534)};
  EXPECT_EQ(init_type.sending_fault().value_or(""), "type: 16 is init, not an unknown type");
  EXPECT_EQ(largest.sending_fault().value_or(""), "");
  EXPECT_EQ(too_long.sending_fault().value_or(""),
            "the message would be 65536 bytes, more than the 65535 a message may have");
}

}  // namespace
}  // namespace keldrin
