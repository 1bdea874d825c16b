#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "bolt/message.h"
#include "core/wire.h"
#include "tlv/stream.h"
#include "types/bitflag.h"

namespace keldrin::bolt1 {

// The messages of the base protocol. Each also keeps `ty`, the type last decoded or assigned by
// the original module's lenient codec and setters; the shared codec of bolt/message.h neither
// reads nor writes it.

/// The `init` message:
///
///   type (u16, 16) | gflen (u16) | globalfeatures | flen (u16) | features |
///   init_tlvs (TLV records up to the end of the message)
///
/// Feature bits and record types are kept opaque: stored and written back as they are.
struct Init {
  static constexpr std::uint16_t kType = 16;
  static constexpr std::string_view kName = "init";
  static constexpr std::array<KnownRecord, 2> kKnownRecords{{
      {.type = 1, .name = "networks", .unit = 32},  // chain hashes
      {.type = 3, .name = "remote_addr"},
  }};

  std::uint16_t ty = kType;
  BitFlag globalfeatures;
  BitFlag features;
  Stream init_tlvs;

  static constexpr auto kTlvs = &Init::init_tlvs;
  static constexpr auto fields() {
    return std::tuple{Field{"globalfeatures", &Init::globalfeatures, "gflen"},
                      Field{"features", &Init::features, "flen"}};
  }

  /// The original module's lenient decoder. Any type value is accepted and kept in `ty`. The TLV
  /// stream takes every remaining byte, so there is no trailing-byte check: a cut-short last
  /// record is dropped, not an error.
  static WireResult<Init> from_wire(WireReader& reader);
  void to_wire(WireWriter& writer) const { keldrin::to_wire(*this, writer); }
  std::size_t wire_size() const { return keldrin::wire_size(*this); }
};

static_assert(FromWire<Init> && ToWire<Init>);

/// The numbers of the feature bits set in `globalfeatures` or `features`, ascending: the two are
/// one map, aligned at their last byte, whose lowest bit is bit 0.
std::vector<std::uint32_t> feature_bits(const Init& init);

/// The fields shared by `error` and `warning`, which are distinct messages with one layout:
///
///   type (u16) | channel_id (32 bytes) | len (u16) | data | extension
struct ChannelMessage {
  std::uint16_t ty = 0;
  std::array<std::uint8_t, 32> channel_id{};
  BitFlag data;
  Stream tlvs;

  static constexpr auto kTlvs = &ChannelMessage::tlvs;
  static constexpr auto fields() {
    return std::tuple{Field{"channel_id", &ChannelMessage::channel_id},
                      Field{"data", &ChannelMessage::data, "len"}};
  }
};

struct Error : ChannelMessage {
  static constexpr std::uint16_t kType = 17;
  static constexpr std::string_view kName = "error";
};

struct Warning : ChannelMessage {
  static constexpr std::uint16_t kType = 1;
  static constexpr std::string_view kName = "warning";
};

/// type (u16, 18) | num_pong_bytes (u16) | byteslen (u16) | ignored | extension
struct Ping {
  static constexpr std::uint16_t kType = 18;
  static constexpr std::string_view kName = "ping";
  /// A ping that asks for this many bytes or more gets no pong.
  static constexpr std::uint16_t kNoPong = 65532;

  std::uint16_t ty = 0;
  std::uint16_t num_pong_bytes = 0;
  BitFlag ignored;
  Stream tlvs;

  static constexpr auto kTlvs = &Ping::tlvs;
  static constexpr auto fields() {
    return std::tuple{Field{"num_pong_bytes", &Ping::num_pong_bytes},
                      Field{"ignored", &Ping::ignored, "byteslen"}};
  }
};

/// type (u16, 19) | byteslen (u16) | ignored | extension
struct Pong;

/// The pong a node must send in reply to `ping`: `num_pong_bytes` zero bytes; nothing when the
/// ping asks for kNoPong bytes or more, as such a ping must be ignored.
std::optional<Pong> pong_for(const Ping& ping);

struct Pong {
  static constexpr std::uint16_t kType = 19;
  static constexpr std::string_view kName = "pong";

  std::uint16_t ty = 0;
  BitFlag ignored;
  Stream tlvs;

  static constexpr auto kTlvs = &Pong::tlvs;
  static constexpr auto fields() {
    return std::tuple{Field{"ignored", &Pong::ignored, "byteslen"}};
  }
};

inline std::optional<Pong> pong_for(const Ping& ping) {
  if (ping.num_pong_bytes >= Ping::kNoPong) return std::nullopt;
  Pong pong;
  pong.ignored.bytes.assign(ping.num_pong_bytes, 0);
  return pong;
}

/// The fields shared by `peer_storage` and `peer_storage_retrieval`:
///
///   type (u16) | length (u16) | blob | extension
///
/// A sender may store at most 65531 bytes, so that the blob with its type and length fits in a
/// message.
struct StorageMessage {
  BitFlag blob;
  Stream tlvs;

  static constexpr auto kTlvs = &StorageMessage::tlvs;
  static constexpr auto fields() {
    return std::tuple{Field{"blob", &StorageMessage::blob, "length", 65531}};
  }
};

struct PeerStorage : StorageMessage {
  static constexpr std::uint16_t kType = 7;
  static constexpr std::string_view kName = "peer_storage";
};

struct PeerStorageRetrieval : StorageMessage {
  static constexpr std::uint16_t kType = 9;
  static constexpr std::string_view kName = "peer_storage_retrieval";
};

/// Every message type above, in the order the protocol lists them.
using Messages = std::tuple<Init, Error, Warning, Ping, Pong, PeerStorage, PeerStorageRetrieval>;

/// The name of the message of `type` above, or nothing for any other type.
constexpr std::optional<std::string_view> message_name(std::uint16_t type) {
  return std::apply(
      [type](auto... message) {
        std::optional<std::string_view> name;
        ((type == decltype(message)::kType ? (name = decltype(message)::kName, 0) : 0), ...);
        return name;
      },
      Messages{});
}

/// A message of any other type, its payload (every byte after the type) kept opaque:
///
///   type (u16) | payload
struct Unknown {
  static constexpr std::string_view kName = "message";

  std::uint16_t type = 0;
  std::vector<std::uint8_t> payload;

  static constexpr auto fields() {
    return std::tuple{Field{"type", &Unknown::type}, Field{"payload", &Unknown::payload}};
  }

  /// Decodes `input`, the whole of one message whose type is none of Messages. Strict, it refuses
  /// an even type, which a receiving node must not ignore, and more than kMaxMessageSize bytes.
  static DecodeResult<Unknown> decode(ByteSpan input, bool strict);
  void to_wire(WireWriter& writer) const;
  std::size_t wire_size() const { return 2 + payload.size(); }
  /// Why a sending node must not send it: a type that one of Messages has, or a size over
  /// kMaxMessageSize; nothing when it may.
  std::optional<std::string> sending_fault() const;

  friend bool operator==(const Unknown&, const Unknown&) = default;
};

}  // namespace keldrin::bolt1
