#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

namespace keldrin {

/// A growable byte vector that encoders append to, or a fixed buffer that they fill. Appends never
/// fail (short of the allocator itself), so encoders have no error path of their own.
class WireWriter {
 public:
  WireWriter() = default;
  /// Fills `out` from its start instead of a vector of its own (bytes() stays empty), for an
  /// encoding whose size is known beforehand, such as a message's wire_size().
  /// REQUIRES: no more than out.size() bytes are written.
  explicit WireWriter(std::span<std::uint8_t> out) : out_(out.data()) {}

  void write_u8(std::uint8_t b) {
    if (out_ != nullptr) {
      *out_++ = b;
    } else {
      bytes_.push_back(b);
    }
  }
  void write_bytes(std::span<const std::uint8_t> bs) {
    if (out_ != nullptr) {
      out_ = std::copy(bs.begin(), bs.end(), out_);
    } else {
      bytes_.insert(bytes_.end(), bs.begin(), bs.end());
    }
  }
  void write_u16(std::uint16_t v) {
    write_u8(static_cast<std::uint8_t>(v >> 8));
    write_u8(static_cast<std::uint8_t>(v));
  }
  /// Big-endian, the width given in bytes (at most 8).
  void write_be(std::uint64_t v, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
      write_u8(static_cast<std::uint8_t>(v >> shift));
    }
  }
  void reserve(std::size_t n) { bytes_.reserve(n); }

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t> take() && { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint8_t* out_ = nullptr;  // the next byte of the fixed buffer, or null for the vector
};

}  // namespace keldrin
