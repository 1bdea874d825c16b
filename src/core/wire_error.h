#pragma once

#include <string_view>
#include <utility>
#include <variant>

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

/// Either a decoded value or the WireError that prevented it. It cannot be ignored: every caller
/// has to decide what a failure means for it (a stream end, or a failed message).
template <class T>
class [[nodiscard]] WireResult {
 public:
  WireResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  WireResult(WireError error) : state_(std::in_place_index<1>, error) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  /// REQUIRES: ok().
  T& value() & { return *std::get_if<0>(&state_); }
  T&& value() && { return std::move(*std::get_if<0>(&state_)); }

  /// REQUIRES: !ok().
  const WireError& error() const { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, WireError> state_;
};

}  // namespace keldrin
