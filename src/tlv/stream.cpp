#include "tlv/stream.h"

#include "types/bigsize.h"

namespace keldrin {

namespace {

// One record as it stands in the input; `value` views the input.
struct RecordView {
  std::uint64_t type;
  std::uint64_t length;
  ByteSpan value;
};

WireResult<RecordView> read_record(WireReader& reader) {
  auto type = BigSize::from_wire(reader);
  if (!type) return type.error();
  auto length = BigSize::from_wire(reader);
  if (!length) return length.error();
  const std::uint64_t n = length.value().value;
  // Compared before anything is set aside for the value, so a hostile length costs nothing.
  if (n > reader.remaining()) return reader.fail_to_end();
  auto bytes = reader.read_bytes(n);
  if (!bytes) return bytes.error();
  return RecordView{type.value().value, n, bytes.value()};
}

}  // namespace

WireResult<Stream> Stream::from_wire(WireReader& reader) {
  // Two passes over the input: the first validates and counts without allocating, so a
  // non-canonical BigSize fails before any record exists and the record list is reserved once,
  // at its exact size; the second copies the values out.
  const WireReader start = reader;
  std::size_t count = 0;
  for (;;) {
    auto record = read_record(reader);
    if (!record) {
      if (record.error().kind == WireErrorKind::EndOfInput) break;
      return record.error();
    }
    ++count;
  }

  Stream stream;
  stream.records.reserve(count);
  WireReader again = start;
  for (std::size_t i = 0; i < count; ++i) {
    // Cannot fail: the first pass read these very bytes successfully.
    const RecordView view = read_record(again).value();
    stream.records.push_back(Record{view.type, view.length, {view.value.begin(), view.value.end()}});
  }
  return stream;
}

WireStatus Stream::to_wire(WireWriter& writer) const {
  for (const Record& record : records) {
    (void)BigSize{record.type}.to_wire(writer);
    (void)BigSize{record.length}.to_wire(writer);
    writer.write_bytes(record.value);
  }
  return wire_ok();
}

std::size_t Stream::wire_size() const {
  std::size_t size = 0;
  for (const Record& record : records) {
    size += bigsize_len(record.type) + bigsize_len(record.length) + record.value.size();
  }
  return size;
}

}  // namespace keldrin
