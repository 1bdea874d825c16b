#pragma once

#include <cstdint>
#include <span>

#include "core/wire_error.h"

namespace keldrin {

using ByteSpan = std::span<const std::uint8_t>;

/// What a failed read lacked: `needed` bytes asked for at `offset`, where only `left` remained.
struct Shortfall {
  std::uint64_t offset = 0;
  std::uint64_t needed = 0;
  std::uint64_t left = 0;

  friend bool operator==(const Shortfall&, const Shortfall&) = default;
};

/// A forward-only read cursor over bytes it does not own and never modifies.
///
/// Every read goes through read_bytes(), the one bounds check. After a failed read `position()`
/// stands at the end of the input (nothing of the short tail is handed out); after a successful
/// read it has moved forward by exactly the bytes consumed. A failed read also records what it
/// lacked, which a decoder that reports where and why it failed reads back from shortfall().
class WireReader {
 public:
  explicit WireReader(ByteSpan input) : input_(input) {}

  std::uint64_t position() const { return position_; }
  std::uint64_t remaining() const { return input_.size() - position_; }

  /// The next n bytes, viewed in the input (valid as long as the input is), or kEndOfInput.
  WireResult<ByteSpan> read_bytes(std::uint64_t n);

  /// Two bytes, most significant first.
  WireResult<std::uint16_t> read_u16();

  /// What the last failed read lacked. REQUIRES: a read has failed.
  const Shortfall& shortfall() const { return shortfall_; }

 private:
  // The failure of read_bytes(n): records the shortfall, moves to the end. Never inlined: with it
  // inline, GCC loads the size and the position as one 16-byte value for the shortfall even on a
  // read that fits, and that load stalls on the 8-byte store of the position that the read
  // before made (no store forwarding). A decode of many small records spent a third of its time
  // there.
  [[gnu::noinline, gnu::cold]] WireError end_of_input(std::uint64_t n) {
    shortfall_ = {position_, n, remaining()};
    position_ = input_.size();
    return kEndOfInput;
  }

  ByteSpan input_;
  std::uint64_t position_ = 0;
  Shortfall shortfall_;
};

inline WireResult<ByteSpan> WireReader::read_bytes(std::uint64_t n) {
  if (remaining() < n) return end_of_input(n);
  ByteSpan bytes = input_.subspan(position_, n);
  position_ += n;
  return bytes;
}

inline WireResult<std::uint16_t> WireReader::read_u16() {
  auto bytes = read_bytes(2);
  if (!bytes) return bytes.error();
  const ByteSpan b = bytes.value();
  return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

}  // namespace keldrin
