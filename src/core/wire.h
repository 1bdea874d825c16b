#pragma once

#include <concepts>
#include <cstddef>

#include "core/wire_error.h"
#include "core/wire_reader.h"
#include "core/wire_writer.h"

namespace keldrin {

/// A type that decodes one value of itself from the reader's position.
template <class T>
concept FromWire = requires(WireReader& reader) {
  { T::from_wire(reader) } -> std::same_as<WireResult<T>>;
};

/// A type that writes its encoding, of exactly wire_size() bytes, to a writer. Writing cannot
/// fail: the caller has sized the writer's buffer from wire_size() beforehand.
template <class T>
concept ToWire = requires(const T& value, WireWriter& writer) {
  { value.to_wire(writer) } -> std::same_as<void>;
  { value.wire_size() } -> std::same_as<std::size_t>;
};

}  // namespace keldrin
