#pragma once

// The codec every message shares. A message is a struct that names its type and its fixed fields,
// in wire order, and holds the TLV stream that extends it:
//
//   struct Ping {
//     static constexpr std::uint16_t kType = 18;
//     static constexpr std::string_view kName = "ping";
//     static constexpr auto kTlvs = &Ping::tlvs;
//     static constexpr auto fields() { return std::tuple{Field{"num_pong_bytes", ...}, ...}; }
//     ...
//   };
//
// From that alone come its strict decoder, its encoder, its size, its equality and the checks of
// what a sending node may send. A fixed field is a u16, a byte array of fixed size, or a BitFlag
// (a u16 length, then that many bytes).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>

#include "core/decode_failure.h"
#include "core/wire.h"
#include "tlv/stream.h"
#include "types/bitflag.h"

namespace keldrin {

/// The transport carries messages of at most this many bytes, the type included.
inline constexpr std::size_t kMaxMessageSize = 65535;

/// One fixed field of message M: its protocol name and the member that holds it. A BitFlag field
/// also names its length prefix, and says how many bytes a sending node may put in it.
template <class M, class T>
struct Field {
  std::string_view name;
  T M::*member;
  std::string_view length_name = {};
  std::size_t max_size = 65535;
};

// Spelt out for compilers that deduce no aggregate's arguments (clang before 17).
template <class M, class T, class... Rest>
Field(std::string_view, T M::*, Rest...) -> Field<M, T>;

/// A message struct as described above.
template <class M>
concept Message = requires {
  { M::kType } -> std::convertible_to<std::uint16_t>;
  { M::kName } -> std::convertible_to<std::string_view>;
  M::fields();
  M::kTlvs;
};

/// The record types message M understands in its extension, sorted by type; none by default.
template <class M>
constexpr std::span<const KnownRecord> known_records() {
  if constexpr (requires { M::kKnownRecords; }) {
    return M::kKnownRecords;
  } else {
    return {};
  }
}

namespace detail {

inline DecodeStatus read_field(WireReader& reader, std::uint16_t& out, std::string_view name,
                               std::string_view) {
  auto value = reader.read_u16();
  if (!value) return DecodeFailure::short_read(name, reader.shortfall());
  out = value.value();
  return std::nullopt;
}

template <std::size_t N>
DecodeStatus read_field(WireReader& reader, std::array<std::uint8_t, N>& out,
                        std::string_view name, std::string_view) {
  auto bytes = reader.read_bytes(N);
  if (!bytes) return DecodeFailure::short_read(name, reader.shortfall());
  std::ranges::copy(bytes.value(), out.begin());
  return std::nullopt;
}

inline DecodeStatus read_field(WireReader& reader, BitFlag& out, std::string_view name,
                               std::string_view length_name) {
  auto length = reader.read_u16();
  if (!length) return DecodeFailure::short_read(length_name, reader.shortfall());
  auto bytes = reader.read_bytes(length.value());
  if (!bytes) return DecodeFailure::short_read(name, reader.shortfall());
  out.bytes.assign(bytes.value().begin(), bytes.value().end());
  return std::nullopt;
}

inline void write_field(WireWriter& writer, std::uint16_t value) { writer.write_u16(value); }
template <std::size_t N>
void write_field(WireWriter& writer, const std::array<std::uint8_t, N>& value) {
  writer.write_bytes(value);
}
inline void write_field(WireWriter& writer, const BitFlag& value) { value.to_wire(writer); }

inline std::size_t field_size(std::uint16_t) { return 2; }
template <std::size_t N>
std::size_t field_size(const std::array<std::uint8_t, N>&) {
  return N;
}
inline std::size_t field_size(const BitFlag& value) { return value.wire_size(); }

// Calls f(field) for each fixed field of M, in wire order, until f returns true.
template <class M, class F>
bool any_field(F&& f) {
  return std::apply([&](const auto&... field) { return (f(field) || ...); }, M::fields());
}

}  // namespace detail

/// The size of the message's encoding, its type included.
template <Message M>
std::size_t wire_size(const M& message) {
  std::size_t size = 2 + (message.*M::kTlvs).wire_size();
  detail::any_field<M>([&](const auto& field) {
    size += detail::field_size(message.*field.member);
    return false;
  });
  return size;
}

/// Writes the type, the fixed fields and the extension. REQUIRES: the writer has wire_size()
/// bytes of room, and every BitFlag holds at most 65535 bytes.
template <Message M>
void to_wire(const M& message, WireWriter& writer) {
  writer.write_u16(M::kType);
  detail::any_field<M>([&](const auto& field) {
    detail::write_field(writer, message.*field.member);
    return false;
  });
  (message.*M::kTlvs).to_wire(writer);
}

/// Whether two messages hold the same fields and the same extension.
template <Message M>
bool same_fields(const M& a, const M& b) {
  const bool differ = detail::any_field<M>(
      [&](const auto& field) { return !(a.*field.member == b.*field.member); });
  return !differ && a.*M::kTlvs == b.*M::kTlvs;
}

/// Why a message of `size` bytes must not be sent: more than kMaxMessageSize; nothing when it may.
inline std::optional<std::string> size_fault(std::size_t size) {
  if (size <= kMaxMessageSize) return std::nullopt;
  return "the message would be " + std::to_string(size) + " bytes, more than the " +
         std::to_string(kMaxMessageSize) + " a message may have";
}

/// Whether `input` may be a message of M's type: a strict decode refuses more than
/// kMaxMessageSize bytes, a lenient one takes any size.
inline DecodeStatus check_size(std::size_t size, bool strict) {
  if (!strict || size <= kMaxMessageSize) return std::nullopt;
  return DecodeFailure{Fault::kTooLong, kMaxMessageSize,
                       std::to_string(size) + " bytes, more than the " +
                           std::to_string(kMaxMessageSize) + " a message may have"};
}

/// Decodes `input`, the whole of one message of M's type, as a receiving node must. Strict, it
/// applies every rule of Fault; lenient, it waives the order of record types, the refusal of
/// unknown even record types and the size limit. Either way nothing is dropped: what decodes
/// encodes again to exactly `input`. A failure's text starts with M's name.
template <Message M>
DecodeResult<M> decode_message(ByteSpan input, bool strict) {
  auto decode = [&]() -> DecodeResult<M> {
    if (auto failure = check_size(input.size(), strict)) return std::move(*failure);
    WireReader reader(input);
    auto type = reader.read_u16();
    if (!type) return DecodeFailure::short_read("type", reader.shortfall());
    if (type.value() != M::kType) {
      return DecodeFailure{Fault::kWrongType, 0,
                           "type: expected " + std::to_string(M::kType) + ", got " +
                               std::to_string(type.value())};
    }
    M message;
    DecodeStatus failure;
    detail::any_field<M>([&](const auto& field) {
      failure = detail::read_field(reader, message.*field.member, field.name, field.length_name);
      return failure.has_value();
    });
    if (failure) return std::move(*failure);
    const StreamRules rules{strict, strict, known_records<M>()};
    auto tlvs = Stream::decode(reader, rules);
    if (!tlvs) return std::move(tlvs).error().within("tlvs");
    message.*M::kTlvs = std::move(tlvs).value();
    return message;
  };
  auto result = decode();
  if (!result) return std::move(result).error().within(M::kName);
  return result;
}

/// Why a sending node must not send `message`, as a text that names the field at fault; nothing
/// when it may. Its extension must keep the order of types and the lengths of known records, and
/// the whole must fit in a message.
/// REQUIRES: each BitFlag holds at most its field's max_size bytes.
template <Message M>
std::optional<std::string> sending_fault(const M& message) {
  const StreamRules rules{.increasing = true, .refuse_unknown_even = false,
                          .known = known_records<M>()};
  if (auto failure = (message.*M::kTlvs).check(rules)) return "tlvs: " + failure->message;
  return size_fault(wire_size(message));
}

}  // namespace keldrin
