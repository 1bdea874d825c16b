#pragma once

#include <string_view>

#include "core/result.h"

namespace keldrin {

enum class WireErrorKind { EndOfInput, Other };

/// The failure value of a decode. Both messages are static texts, so an error is two words and
/// copying one never allocates: the end-of-input error ends every TLV stream decode and must be free.
struct WireError {
  WireErrorKind kind;
  std::string_view message;

  friend bool operator==(const WireError&, const WireError&) = default;
};

/// The one end-of-input error, shared by every read that finds too few bytes.
inline constexpr WireError kEndOfInput{WireErrorKind::EndOfInput, "failed to fill whole buffer"};

/// Either a decoded value or the WireError that prevented it: a stream end, or a failed message.
template <class T>
using WireResult = Result<T, WireError>;

}  // namespace keldrin
