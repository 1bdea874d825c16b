#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "core/wire.h"

namespace keldrin {

/// One TLV record, viewed in the stream that holds it: valid as long as that stream lives
/// unchanged. Its length on the wire is that of its value.
struct Record {
  std::uint64_t type = 0;
  ByteSpan value;

  std::uint64_t length() const { return value.size(); }
};

/// A TLV stream: records in wire order, unsorted, duplicates and any type allowed.
///
/// The stream owns its records' bytes as one buffer, their encoding exactly as to_wire() writes
/// it; iterating reads the records back out of it. Only complete records in shortest form ever
/// enter the buffer, so that reading cannot fail. Copies are deep, and a stream never refers to
/// the bytes it was decoded from.
class Stream {
 public:
  class Iterator;

  /// Reads records until the input ends. A record cut short at the end (in its type, length or
  /// value) ends the stream without error and is dropped; a non-shortest BigSize anywhere fails
  /// the whole decode. A declared length is compared with what remains before anything is
  /// allocated for it. Afterwards the reader stands at the end, or just past a rejected BigSize.
  static WireResult<Stream> from_wire(WireReader& reader);

  /// Each record as BigSize type, BigSize length, then the value bytes; nothing else.
  void to_wire(WireWriter& writer) const { writer.write_bytes(wire_); }
  std::size_t wire_size() const { return wire_.size(); }

  Iterator begin() const;
  Iterator end() const;

  friend bool operator==(const Stream&, const Stream&) = default;

 private:
  std::vector<std::uint8_t> wire_;
};

/// Reads the records of a stream in order. Forward only.
class Stream::Iterator {
 public:
  using value_type = Record;
  using difference_type = std::ptrdiff_t;

  Iterator() = default;

  const Record& operator*() const { return record_; }
  const Record* operator->() const { return &record_; }
  Iterator& operator++();
  Iterator operator++(int) {
    Iterator before = *this;
    ++*this;
    return before;
  }

  friend bool operator==(const Iterator& a, const Iterator& b) {
    return a.rest_.data() == b.rest_.data();
  }

 private:
  friend class Stream;
  explicit Iterator(ByteSpan rest);

  ByteSpan rest_;  // from the current record to the end of the stream; empty past the last
  std::size_t record_size_ = 0;  // the current record's encoding, type and length included
  Record record_;
};

static_assert(FromWire<Stream> && ToWire<Stream> && std::forward_iterator<Stream::Iterator>);

}  // namespace keldrin
