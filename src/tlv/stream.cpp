#include "tlv/stream.h"

#include <algorithm>
#include <optional>
#include <string>

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

// The failure of the record that starts at `offset`.
DecodeFailure record_failure(Fault fault, std::uint64_t offset, const std::string& detail) {
  return {fault, offset, "record at offset " + std::to_string(offset) + ": " + detail};
}

// What a failed read lacked, at its offset `base` bytes further on.
Shortfall shifted(Shortfall shortfall, std::uint64_t base) {
  shortfall.offset += base;
  return shortfall;
}

// The failure of read_part. Apart, so that read_part is small enough to inline: called as a
// function, each of its results travels through memory, a variant that holds a string.
[[gnu::cold, gnu::noinline]] DecodeFailure part_failure(const WireReader& reader,
                                                        const WireError& error,
                                                        std::uint64_t offset, std::uint64_t base,
                                                        const char* part) {
  if (error.kind == WireErrorKind::EndOfInput) {
    return record_failure(Fault::kShort, offset,
                          std::string(part) + ": " + describe(shifted(reader.shortfall(), base)));
  }
  return record_failure(Fault::kNotMinimal, offset,
                        std::string(part) + ": bigsize is not minimally encoded");
}

// Reads one BigSize of a record (its type or its length), reporting a failure as the record's.
DecodeResult<std::uint64_t> read_part(WireReader& reader, std::uint64_t offset, std::uint64_t base,
                                      const char* part) {
  auto value = BigSize::from_wire(reader);
  if (value) return value.value().value;
  return part_failure(reader, value.error(), offset, base, part);
}

// Whether `length` bytes are a whole number of `unit`-byte items. A 64-bit division costs as much
// as all the other checks of a record, and every unit so far is a power of two (tested by hand:
// std::has_single_bit is a call into libgcc on a CPU baseline without popcount).
bool whole_units(std::uint64_t length, std::uint64_t unit) {
  const bool power_of_two = unit != 0 && (unit & (unit - 1)) == 0;
  return power_of_two ? (length & (unit - 1)) == 0 : length % unit == 0;
}

const KnownRecord* find_known(std::span<const KnownRecord> known, std::uint64_t type) {
  auto it = std::ranges::lower_bound(known, type, {}, &KnownRecord::type);
  return it != known.end() && it->type == type ? &*it : nullptr;
}

}  // namespace

DecodeStatus Stream::check(WireReader& reader, const StreamRules& rules, std::uint64_t base) {
  std::optional<std::uint64_t> previous;
  while (reader.remaining() > 0) {
    const std::uint64_t offset = base + reader.position();
    auto type = read_part(reader, offset, base, "type");
    if (!type) return std::move(type).error();
    auto length = read_part(reader, offset, base, "length");
    if (!length) return std::move(length).error();
    // Compared with what remains before anything is allocated, as any read is.
    if (!reader.read_bytes(length.value())) {
      return record_failure(Fault::kShort, offset,
                            "value: " + describe(shifted(reader.shortfall(), base)));
    }
    const std::uint64_t t = type.value();
    if (rules.increasing && previous && t <= *previous) {
      return record_failure(Fault::kNotIncreasing, offset,
                            "type " + std::to_string(t) + " follows type " +
                                std::to_string(*previous) + ": types must strictly increase");
    }
    previous = t;
    const KnownRecord* known = find_known(rules.known, t);
    if (known == nullptr && rules.refuse_unknown_even && t % 2 == 0) {
      return record_failure(Fault::kUnknownEvenRecord, offset,
                            "type " + std::to_string(t) + " is even and unknown");
    }
    if (known != nullptr && !whole_units(length.value(), known->unit)) {
      return record_failure(Fault::kBadRecordLength, offset,
                            std::string(known->name) + ": length " +
                                std::to_string(length.value()) + " is not a multiple of " +
                                std::to_string(known->unit));
    }
  }
  return std::nullopt;
}

DecodeResult<Stream> Stream::decode(WireReader& reader, const StreamRules& rules) {
  // Copied first and checked in the copy: a check of the input followed by a copy of it would
  // keep whatever a writer put there in between, records that iteration cannot read included.
  const std::uint64_t start = reader.position();
  const ByteSpan input = reader.read_bytes(reader.remaining()).value();
  Stream stream;
  stream.wire_.assign(input.begin(), input.end());
  WireReader records(stream.wire_);
  if (auto failure = check(records, rules, start)) return std::move(*failure);
  return stream;
}

DecodeStatus Stream::check(const StreamRules& rules) const {
  WireReader reader(wire_);
  return check(reader, rules, 0);
}

Stream Stream::from_records(std::span<const Record> records) {
  std::size_t size = 0;
  for (const Record& r : records) {
    size += BigSize{r.type}.wire_size() + BigSize{r.length()}.wire_size() + r.value.size();
  }
  Stream stream;
  stream.wire_.resize(size);
  WireWriter writer(stream.wire_);
  for (const Record& r : records) {
    BigSize{r.type}.to_wire(writer);
    BigSize{r.length()}.to_wire(writer);
    writer.write_bytes(r.value);
  }
  return stream;
}

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

std::optional<Record> Stream::first(std::uint64_t type) const {
  for (const Record& record : *this) {
    if (record.type == type) return record;
  }
  return std::nullopt;
}

Stream::Iterator Stream::begin() const { return Iterator(wire_); }

Stream::Iterator Stream::end() const { return Iterator(ByteSpan(wire_).subspan(wire_.size())); }

Stream::Iterator::Iterator(ByteSpan rest) : rest_(rest) { read(); }

Stream::Iterator& Stream::Iterator::operator++() {
  rest_ = rest_.subspan(record_size_);
  read();
  return *this;
}

// Field by field, in place: GCC copies a whole Record or Iterator built on the stack with 16-byte
// loads, which stall on the 8-byte stores that just built it (no store forwarding), and reading
// the records of a stream spent a third of its time there.
void Stream::Iterator::read() {
  if (rest_.empty()) return;
  WireReader reader(rest_);
  // Cannot fail: only complete records in shortest form enter a stream.
  record_.type = BigSize::from_wire(reader).value().value;
  const std::uint64_t length = BigSize::from_wire(reader).value().value;
  const auto header = static_cast<std::size_t>(reader.position());
  record_.value = rest_.subspan(header, length);
  record_size_ = header + length;
}

}  // namespace keldrin
