#pragma once

#include <concepts>

#include "core/wire_error.h"
#include "core/wire_reader.h"
#include "core/wire_writer.h"

namespace keldrin {

/// A type that decodes one value of itself from the reader's position.
template <class T>
concept FromWire = requires(WireReader& reader) {
  { T::from_wire(reader) } -> std::same_as<WireResult<T>>;
};

/// A type that appends its encoding to a writer.
template <class T>
concept ToWire = requires(const T& value, WireWriter& writer) {
  { value.to_wire(writer) } -> std::same_as<WireStatus>;
};

}  // namespace keldrin
