// Every message decoder, strict and lenient, on every input; the input's own type picks the one
// decoder that may accept it (Unknown's for a type that none of the messages has). What decodes
// encodes back to exactly the input. A strict success is a lenient one with the same fields, a
// message that may be sent as it is, and its records' types rise and are odd or known. A strict
// failure at a fault that lenient decoding does not waive is the lenient failure exactly.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>

#include "bolt/bolt1/messages.h"
#include "fuzz_check.h"
#include "reference_model.h"

using namespace keldrin;
using bolt1::Unknown;

namespace {

// What a strict success must be, as the top says; Unknown, no Message, compares and checks itself.
template <class M>
bool holds_as_strict(const M& strict, const M& lenient) {
  if constexpr (Message<M>) {
    std::optional<std::uint64_t> previous;
    for (const Record& record : strict.*M::kTlvs) {
      const bool known = std::ranges::any_of(
          known_records<M>(), [&](const KnownRecord& k) { return k.type == record.type; });
      if ((previous && record.type <= *previous) || (record.type % 2 == 0 && !known)) return false;
      previous = record.type;
    }
    return same_fields(strict, lenient) && !sending_fault(strict);
  } else {
    return strict == lenient && !strict.sending_fault();
  }
}

bool same_failure(const DecodeFailure& a, const DecodeFailure& b) {
  return a.fault == b.fault && a.offset == b.offset && a.message == b.message;
}

// Whether the type at the start of `input` (two bytes or more) is M's.
template <class M>
bool picks(ByteSpan input) {
  const std::uint16_t type = static_cast<std::uint16_t>((input[0] << 8) | input[1]);
  if constexpr (std::is_same_v<M, Unknown>) {
    return !bolt1::message_name(type);
  } else {
    return type == M::kType;
  }
}

template <class M>
void check(ByteSpan input) {
  auto strict = decode_as<M>(input, true);
  auto lenient = decode_as<M>(input, false);
  for (auto* result : {&strict, &lenient}) {
    if (result->ok()) {
      FUZZ_CHECK(std::ranges::equal(encode(result->value()), input));
    } else {
      FUZZ_CHECK(result->error().message.starts_with(std::string(M::kName) + ": "));
      FUZZ_CHECK(result->error().offset <= input.size());
    }
  }
  if (input.size() >= 2) {
    const bool wrong_type = !lenient.ok() && lenient.error().fault == Fault::kWrongType;
    FUZZ_CHECK(wrong_type == !picks<M>(input));
  }
  if (strict.ok()) {
    FUZZ_CHECK(lenient.ok() && holds_as_strict(strict.value(), lenient.value()));
  } else if (!model::waived_when_lenient(strict.error().fault)) {
    FUZZ_CHECK(!lenient.ok() && same_failure(strict.error(), lenient.error()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteSpan input(data, size);
  std::apply([&](auto... message) { (check<decltype(message)>(input), ...); }, bolt1::Messages{});
  check<Unknown>(input);
  return 0;
}
