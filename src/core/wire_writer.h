#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <span>

namespace keldrin {

/// Fills a buffer it is given, from its start, with one encoding whose size the caller took from
/// its wire_size(). Checked builds assert that every write stays inside the buffer and that the
/// encoding fills it exactly, so a wire_size() that disagrees with to_wire() cannot go unnoticed.
class WireWriter {
 public:
  explicit WireWriter(std::span<std::uint8_t> out) : next_(out.data()), end_(next_ + out.size()) {}
  ~WireWriter() { assert(next_ == end_); }

  void write_u8(std::uint8_t b) {
    assert(next_ != end_);
    *next_++ = b;
  }
  void write_bytes(std::span<const std::uint8_t> bs) {
    assert(bs.size() <= static_cast<std::size_t>(end_ - next_));
    next_ = std::copy(bs.begin(), bs.end(), next_);
  }
  void write_u16(std::uint16_t v) { write_be(v, 2); }
  /// Big-endian, the width given in bytes (at most 8).
  void write_be(std::uint64_t v, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
      write_u8(static_cast<std::uint8_t>(v >> shift));
    }
  }

 private:
  std::uint8_t* next_;
  std::uint8_t* end_;
};

}  // namespace keldrin
