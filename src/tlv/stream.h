#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/decode_failure.h"
#include "core/wire.h"

namespace keldrin {

/// One TLV record, viewed in the stream that holds it: valid as long as that stream lives
/// unchanged. Its length on the wire is that of its value.
struct Record {
  std::uint64_t type = 0;
  ByteSpan value;

  std::uint64_t length() const { return value.size(); }
};

/// A record type that a reader understands, with the one rule on its length that the formats of
/// known records need: the value is a whole number of `unit`-byte items (a list of chain hashes).
struct KnownRecord {
  std::uint64_t type;
  std::string_view name;
  std::uint64_t unit = 1;
};

/// The rules a stream is held to beyond its structure. Every check refuses a record cut short, a
/// BigSize not in its shortest form and a known record of a length its format forbids; these add
/// the order of types and the refusal of even types that are not known.
/// REQUIRES: `known` is sorted by type.
struct StreamRules {
  bool increasing = true;          // types strictly increase, so none repeats
  bool refuse_unknown_even = true;  // an even type not in `known` fails the stream
  std::span<const KnownRecord> known;
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

  /// Reads records until the input ends, as a receiving node must: any record cut short fails,
  /// and so does any record that breaks `rules`. A failure's offset is where its record starts.
  /// The rules are checked on the stream's own copy of the bytes, read from the input once, so an
  /// input that changes while it is read (a buffer another thread or process writes) gives the
  /// stream or the failure of one state of it. Afterwards the reader stands at the end.
  static DecodeResult<Stream> decode(WireReader& reader, const StreamRules& rules);

  /// The stream of `records`, encoded in the order given. REQUIRES: each value lives until the
  /// call returns (they are copied).
  static Stream from_records(std::span<const Record> records);

  /// The first record that breaks `rules`, as decode() would report it at offsets within the
  /// stream's own encoding; nothing when every record keeps them.
  DecodeStatus check(const StreamRules& rules) const;

  /// Each record as BigSize type, BigSize length, then the value bytes; nothing else.
  void to_wire(WireWriter& writer) const { writer.write_bytes(wire_); }
  std::size_t wire_size() const { return wire_.size(); }

  Iterator begin() const;
  Iterator end() const;

  /// The first record of `type`, or nothing. Its value views this stream.
  std::optional<Record> first(std::uint64_t type) const;

  friend bool operator==(const Stream&, const Stream&) = default;

 private:
  // One pass over the records of `reader`'s remaining bytes under `rules`, allocating nothing.
  // Failures give offsets `base` bytes further on than the reader's positions.
  static DecodeStatus check(WireReader& reader, const StreamRules& rules, std::uint64_t base);

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
  void read();  // the record at the start of rest_, if any

  ByteSpan rest_;  // from the current record to the end of the stream; empty past the last
  std::size_t record_size_ = 0;  // the current record's encoding, type and length included
  Record record_;
};

static_assert(FromWire<Stream> && ToWire<Stream> && std::forward_iterator<Stream::Iterator>);

}  // namespace keldrin
