#pragma once

#include <cstdint>
#include <vector>

#include "core/wire_reader.h"

namespace keldrin {

/// A vector of exactly `bytes.size()` bytes holding a copy of `bytes`: how every decoder takes
/// its values out of the input, which it must never refer to afterwards.
std::vector<std::uint8_t> copy_bytes(ByteSpan bytes);

}  // namespace keldrin
