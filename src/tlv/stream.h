#pragma once

#include <cstdint>
#include <vector>

#include "core/wire.h"

namespace keldrin {

/// One TLV record. `value.size() == length` always: records come only from Stream::from_wire,
/// which sizes the value from the length it read.
struct Record {
  std::uint64_t type = 0;
  std::uint64_t length = 0;
  std::vector<std::uint8_t> value;

  friend bool operator==(const Record&, const Record&) = default;
};

/// A TLV stream: records in wire order, unsorted, duplicates and any type allowed. Copies are
/// deep; a stream never refers to the bytes it was decoded from.
struct Stream {
  std::vector<Record> records;

  /// Reads records until the input ends. A record cut short at the end (in its type, length or
  /// value) ends the stream without error and is dropped; a non-shortest BigSize anywhere fails
  /// the whole decode. A declared length is compared with what remains before anything is
  /// allocated for it. Afterwards the reader stands at the end, or just past a rejected BigSize.
  static WireResult<Stream> from_wire(WireReader& reader);

  /// Each record as BigSize type, BigSize length, then the value bytes; nothing else.
  WireStatus to_wire(WireWriter& writer) const;

  /// The number of bytes to_wire() writes.
  std::size_t wire_size() const;

  friend bool operator==(const Stream&, const Stream&) = default;
};

static_assert(FromWire<Stream> && ToWire<Stream>);

}  // namespace keldrin
