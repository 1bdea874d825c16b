#include "tlv/stream.h"

#include "types/bigsize.h"

namespace keldrin {

namespace {

// One record as it stands in the input; `value` views the input.
WireResult<Record> read_record(WireReader& reader) {
  auto type = BigSize::from_wire(reader);
  if (!type) return type.error();
  auto length = BigSize::from_wire(reader);
  if (!length) return length.error();
  // A view: a hostile length costs nothing, and one past the input fails as any short read.
  auto bytes = reader.read_bytes(length.value().value);
  if (!bytes) return bytes.error();
  return Record{type.value().value, bytes.value()};
}

}  // namespace

WireResult<Stream> Stream::from_wire(WireReader& reader) {
  // One pass validates the records and finds where the last complete one ends, allocating
  // nothing, so a non-canonical BigSize fails before any storage exists. The records are then
  // exactly the bytes up to there, which the stream copies whole.
  WireReader records = reader;
  std::uint64_t size = 0;
  for (;;) {
    auto record = read_record(reader);
    if (!record) {
      if (record.error().kind == WireErrorKind::EndOfInput) break;
      return record.error();
    }
    size = reader.position() - records.position();
  }
  // Cannot fail: the pass above read these very bytes.
  const ByteSpan bytes = records.read_bytes(size).value();
  Stream stream;
  stream.wire_.assign(bytes.begin(), bytes.end());
  return stream;
}

Stream::Iterator Stream::begin() const { return Iterator(wire_); }

Stream::Iterator Stream::end() const { return Iterator(ByteSpan(wire_).subspan(wire_.size())); }

Stream::Iterator::Iterator(ByteSpan rest) : rest_(rest) {
  if (rest_.empty()) return;
  WireReader reader(rest_);
  // Cannot fail: only complete records in shortest form enter a stream.
  record_ = read_record(reader).value();
  record_size_ = static_cast<std::size_t>(reader.position());
}

Stream::Iterator& Stream::Iterator::operator++() {
  return *this = Iterator(rest_.subspan(record_size_));
}

}  // namespace keldrin
