#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/result.h"
#include "core/wire_reader.h"

namespace keldrin {

/// The rule of a receiving node that an input broke.
enum class Fault : std::uint8_t {
  kShort,               // a field or record needs more bytes than remain
  kNotMinimal,          // a BigSize written in more bytes than its value needs
  kNotIncreasing,       // a record type not above the type before it
  kUnknownEvenRecord,   // an even record type that the reader does not know
  kBadRecordLength,     // a known record whose length its format forbids
  kWrongType,           // a message of another type than the one asked for
  kUnknownEvenMessage,  // an even message type that nobody knows
  kTooLong,             // a message over the transport's limit
};

/// Why a strict decode refused its input: the rule broken, the offset in the input where the
/// faulty field or record starts, and a text that says what was being read and why it failed.
/// Each layer that passes a failure up puts its own name in front of the text, so that a record
/// cut short in an init reads "init: tlvs: record at offset 6: value: 5 bytes needed at offset 8,
/// 2 left". Only a failure builds a text; a successful decode allocates none.
struct DecodeFailure {
  Fault fault;
  std::uint64_t offset;
  std::string message;

  /// The failure of reading `field`: "<field>: 3 bytes needed at offset 6, 1 left", at the
  /// offset where the read started.
  static DecodeFailure short_read(std::string_view field, const Shortfall& shortfall);

  /// This failure, its text prefixed by "<context>: ".
  DecodeFailure within(std::string_view context) &&;
};

/// "3 bytes needed at offset 6, 1 left".
std::string describe(const Shortfall& shortfall);

template <class T>
using DecodeResult = Result<T, DecodeFailure>;

/// The outcome of a step that gives no value of its own: nothing, or the failure.
using DecodeStatus = std::optional<DecodeFailure>;

}  // namespace keldrin
