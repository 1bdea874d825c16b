#pragma once

// The codec's behaviour written a second time, straight from the wire tables and without the
// codec's reader, for the tests and fuzz targets to compare it with; and the helpers that encode
// and decode any message.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "bolt/bolt1/messages.h"
#include "bolt/message.h"
#include "core/wire.h"
#include "tlv/stream.h"

namespace keldrin {

/// Records compare as what they stand for: type and value bytes (the length follows the value).
inline bool operator==(const Record& a, const Record& b) {
  return a.type == b.type && std::ranges::equal(a.value, b.value);
}

namespace model {

/// A BigSize at `pos` of `in`, read off the size table: a prefix 0xfd/0xfe/0xff announces a
/// 2/4/8-byte big-endian body whose value must not fit a shorter row; any other byte is the value.
struct BigSizeAt {
  bool complete;       // false when the input ends inside it (or at `pos`)
  bool canonical;      // the value needs every byte of its form
  std::uint64_t value;
  std::size_t end;     // just past it, or the input's end when incomplete
};

inline BigSizeAt bigsize_at(ByteSpan in, std::size_t pos = 0) {
  if (pos >= in.size()) return {false, true, 0, in.size()};
  const std::uint8_t p = in[pos];
  const std::size_t width = p == 0xff ? 8 : p == 0xfe ? 4 : p == 0xfd ? 2 : 0;
  if (width == 0) return {true, true, p, pos + 1};
  if (in.size() - pos - 1 < width) return {false, true, 0, in.size()};
  std::uint64_t v = 0;
  for (std::size_t i = 1; i <= width; ++i) v = (v << 8) | in[pos + i];
  const std::uint64_t minimum = width == 2 ? 0xfd : width == 4 ? 0x10000 : 0x100000000;
  return {true, v >= minimum, v, pos + 1 + width};
}

/// A TLV stream decoded from `in`: the records up to the first one cut short, or, at the first
/// non-canonical BigSize, failure with the reader just past it.
struct StreamOf {
  bool canonical;
  std::vector<Record> records;  // view `in`
  std::size_t records_end;      // where the last complete record ends
  std::size_t end;              // where the reader stands afterwards
};

inline StreamOf stream_of(ByteSpan in) {
  StreamOf out{true, {}, 0, in.size()};
  for (;;) {
    const BigSizeAt type = bigsize_at(in, out.records_end);
    const BigSizeAt length = type.canonical ? bigsize_at(in, type.end) : type;
    for (const BigSizeAt& field : {type, length}) {
      if (field.complete && !field.canonical) return {false, {}, out.records_end, field.end};
    }
    if (!length.complete || length.value > in.size() - length.end) return out;
    out.records.push_back(Record{type.value, in.subspan(length.end, length.value)});
    out.records_end = length.end + length.value;
  }
}

/// The end of init's fixed fields (type, gflen, globalfeatures, flen, features), or 0 when the
/// input is too short for them.
inline std::size_t init_fixed_end(ByteSpan in) {
  if (in.size() < 4) return 0;
  const std::size_t gflen = (in[2] << 8) | in[3];
  if (in.size() < 4 + gflen + 2) return 0;
  const std::size_t flen = (in[4 + gflen] << 8) | in[5 + gflen];
  return in.size() < 6 + gflen + flen ? 0 : 6 + gflen + flen;
}

/// The faults that a lenient decode waives: at every other fault it fails as a strict one does.
inline bool waived_when_lenient(Fault fault) {
  return fault == Fault::kNotIncreasing || fault == Fault::kUnknownEvenRecord ||
         fault == Fault::kUnknownEvenMessage || fault == Fault::kTooLong;
}

}  // namespace model

/// The bytes to_wire() writes into a buffer of wire_size() bytes; the writer asserts that they
/// fill it exactly.
template <ToWire T>
std::vector<std::uint8_t> encode(const T& value) {
  std::vector<std::uint8_t> out(value.wire_size());
  WireWriter writer(out);
  value.to_wire(writer);
  return out;
}

/// The bytes keldrin::to_wire() writes for a message that has no encoder of its own.
template <Message M>
  requires(!ToWire<M>)
std::vector<std::uint8_t> encode(const M& message) {
  std::vector<std::uint8_t> out(wire_size(message));
  WireWriter writer(out);
  to_wire(message, writer);
  return out;
}

/// M's decoder, strict or lenient, over the whole of `input`: decode_message<M>, or Unknown's own.
template <class M>
DecodeResult<M> decode_as(ByteSpan input, bool strict) {
  if constexpr (std::is_same_v<M, bolt1::Unknown>) {
    return M::decode(input, strict);
  } else {
    return decode_message<M>(input, strict);
  }
}

}  // namespace keldrin
