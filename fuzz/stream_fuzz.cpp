// The TLV stream decoder against the reference model, and its round trips: what decodes
// re-encodes to the bytes it covered, and decoding that encoding gives the same records again.
// The receiving node's decoder against it: with no rule it accepts exactly the inputs whose
// records the reference reads whole, and fails at the first record cut short or not minimal;
// under init's rules it fails at the first record that breaks them, as check() finds too.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "bolt/bolt1/messages.h"
#include "fuzz_check.h"
#include "reference_model.h"
#include "tlv/stream.h"
#include "types/bigsize.h"

using namespace keldrin;

namespace {

constexpr StreamRules kNoRule{.increasing = false, .refuse_unknown_even = false};
constexpr StreamRules kInitRules{.known = bolt1::Init::kKnownRecords};

// The first of `records` that breaks init's rules: its fault and where its record starts.
std::optional<std::pair<Fault, std::uint64_t>> init_rules_broken(
    const std::vector<Record>& records) {
  std::uint64_t offset = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const Record& r = records[i];
    if (i > 0 && r.type <= records[i - 1].type) return {{Fault::kNotIncreasing, offset}};
    if (r.type % 2 == 0) return {{Fault::kUnknownEvenRecord, offset}};
    if (r.type == 1 && r.length() % 32 != 0) return {{Fault::kBadRecordLength, offset}};
    offset += BigSize{r.type}.wire_size() + BigSize{r.length()}.wire_size() + r.length();
  }
  return std::nullopt;
}

void check_decode(ByteSpan input, const model::StreamOf& model) {
  WireReader reader(input);
  auto any = Stream::decode(reader, kNoRule);
  const bool whole = model.canonical && model.records_end == input.size();
  FUZZ_CHECK(any.ok() == whole);
  WireReader strict_reader(input);
  auto strict = Stream::decode(strict_reader, kInitRules);
  if (!whole) {
    FUZZ_CHECK(any.error().fault == (model.canonical ? Fault::kShort : Fault::kNotMinimal));
    FUZZ_CHECK(any.error().offset == model.records_end && reader.position() >= model.records_end);
    FUZZ_CHECK(!strict.ok() && strict.error().offset <= model.records_end);
    return;
  }
  FUZZ_CHECK(reader.remaining() == 0 && std::ranges::equal(any.value(), model.records));
  const auto broken = init_rules_broken(model.records);
  const DecodeStatus found = any.value().check(kInitRules);
  FUZZ_CHECK(strict.ok() == !broken && found.has_value() == broken.has_value());
  if (strict.ok()) {
    FUZZ_CHECK(strict.value() == any.value());
    return;
  }
  FUZZ_CHECK(strict.error().fault == broken->first && strict.error().offset == broken->second);
  FUZZ_CHECK(found->fault == broken->first && found->offset == broken->second);
  FUZZ_CHECK(found->message == strict.error().message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(data, size);
  WireReader reader(input);
  auto decoded = Stream::from_wire(reader);

  const model::StreamOf model = model::stream_of(input);
  check_decode(input, model);
  FUZZ_CHECK(reader.position() == model.end);
  if (!model.canonical) {
    FUZZ_CHECK(!decoded.ok() && decoded.error() == kNonCanonicalBigSize);
    return 0;
  }
  FUZZ_CHECK(decoded.ok());
  const Stream& stream = decoded.value();
  FUZZ_CHECK(std::ranges::equal(stream, model.records));
  // The values lie in the stream's own storage, never in the input it was decoded from.
  for (const Record& record : stream) {
    FUZZ_CHECK(record.value.empty() || record.value.data() < data ||
               record.value.data() >= data + size);
  }

  // The records' encoding is exactly the input up to the end of the last complete one: the
  // decoder keeps only shortest-form BigSizes.
  const auto encoded = encode(stream);
  FUZZ_CHECK(encoded.size() == model.records_end);
  FUZZ_CHECK(std::equal(encoded.begin(), encoded.end(), data));

  WireReader again(encoded);
  auto redecoded = Stream::from_wire(again);
  FUZZ_CHECK(redecoded.ok() && again.remaining() == 0);
  FUZZ_CHECK(redecoded.value() == stream);
  FUZZ_CHECK(encode(redecoded.value()) == encoded);

  const std::vector<Record> records(stream.begin(), stream.end());
  FUZZ_CHECK(Stream::from_records(records) == stream);
  return 0;
}
