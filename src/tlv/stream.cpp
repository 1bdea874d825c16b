#include "tlv/stream.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include <sys/mman.h>

#include "core/byte_copy.h"
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

// Asks for transparent huge pages for a record list that is at least glibc's largest mmap
// threshold: such a block is a mapping of its own, made and faulted in anew by every decode. At
// 4 KiB a page a million records (40 MiB) take ten thousand page faults, which cost as much as
// decoding them; at 2 MiB, twenty. Only advice: where the kernel declines, nothing changes.
void advise_huge_pages(const void* block, std::size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  constexpr std::size_t kAlwaysMapped = std::size_t{32} << 20;
  if (size < kAlwaysMapped) return;
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + size) & ~(kHugePage - 1);
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)block;
  (void)size;
#endif
}

}  // namespace

WireResult<Stream> Stream::from_wire(WireReader& reader) {
  // Two passes over the input: the first validates and counts without allocating, so a
  // non-canonical BigSize fails before any record exists and the record list is reserved once,
  // at its exact size; the second copies the values out. The first pass keeps the views of the
  // first few records, so that a stream of typical length is parsed only once.
  constexpr std::size_t kKept = 8;
  std::array<RecordView, kKept> kept{};
  WireReader rest = reader;  // stands after the last kept record
  std::size_t count = 0;
  for (;;) {
    auto record = read_record(reader);
    if (!record) {
      if (record.error().kind == WireErrorKind::EndOfInput) break;
      return record.error();
    }
    if (count < kKept) {
      kept[count] = record.value();
      rest = reader;
    }
    ++count;
  }

  Stream stream;
  stream.records.reserve(count);
  advise_huge_pages(stream.records.data(), count * sizeof(Record));
  const auto push = [&stream](const RecordView& view) {
    stream.records.push_back(Record{view.type, view.length, copy_bytes(view.value)});
  };
  for (std::size_t i = 0; i < std::min(count, kKept); ++i) push(kept[i]);
  for (std::size_t i = kKept; i < count; ++i) {
    // Cannot fail: the first pass read these very bytes successfully.
    push(read_record(rest).value());
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
