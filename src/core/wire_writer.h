#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace keldrin {

/// A growable byte vector that encoders append to. Appends never fail (short of the allocator
/// itself), so encoders have no error path of their own.
class WireWriter {
 public:
  void write_u8(std::uint8_t b) { bytes_.push_back(b); }
  void write_bytes(std::span<const std::uint8_t> bs) { bytes_.insert(bytes_.end(), bs.begin(), bs.end()); }
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
};

}  // namespace keldrin
