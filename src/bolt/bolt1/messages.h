#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/wire.h"
#include "tlv/stream.h"
#include "types/bitflag.h"

namespace keldrin::bolt1 {

/// The `init` message, the only one with a wire form:
///
///   type (u16, always written as 16) | gflen (u16) | globalfeatures | flen (u16) | features |
///   init_tlvs (TLV records up to the end of the message)
///
/// Feature bits and record types are kept opaque: stored and written back as they are.
struct Init {
  static constexpr std::uint16_t kType = 16;

  std::uint16_t ty = kType;  // as last decoded or assigned; the encoder ignores it
  BitFlag globalfeatures;
  BitFlag features;
  Stream init_tlvs;

  /// Any type value is accepted and kept in `ty`. The TLV stream takes every remaining byte, so
  /// there is no trailing-byte check: a cut-short last record is dropped, not an error.
  static WireResult<Init> from_wire(WireReader& reader);
  void to_wire(WireWriter& writer) const;
  /// The sum of the fields' own sizes, as to_wire() writes one after the other.
  std::size_t wire_size() const {
    return 2 + globalfeatures.wire_size() + features.wire_size() + init_tlvs.wire_size();
  }
};

static_assert(FromWire<Init> && ToWire<Init>);

/// The fields shared by `error` and `warning`, which are distinct messages with one layout.
struct ChannelMessage {
  std::uint16_t ty = 0;
  std::array<std::uint8_t, 32> channel_id{};
  BitFlag data;
};

struct Error : ChannelMessage {};
struct Warning : ChannelMessage {};

struct Ping {
  std::uint16_t ty = 0;
  std::uint16_t num_pong_bytes = 0;
  BitFlag ignored;
};

struct Pong {
  std::uint16_t ty = 0;
  BitFlag ignored;
};

}  // namespace keldrin::bolt1
