#include "core/byte_copy.h"

#include <algorithm>
#include <cstring>

namespace keldrin {

namespace {

// memcpy as a call into the C library. GCC expands a copy whose size it can bound inline as
// `rep movsq`; the pointer keeps it from seeing which function it calls.
void* (*const volatile library_memcpy)(void*, const void*, std::size_t) = std::memcpy;

}  // namespace

// Large blocks are copied in pieces that glibc's memcpy moves with vector instructions. A whole
// large block it moves with `rep movsb`, which on some x86 cores (AMD EPYC among them) runs ten
// to twenty times slower when the destination lies a few bytes past the source modulo 4 KiB: a
// matter of where the allocator put the two buffers, which changes from run to run.
std::vector<std::uint8_t> copy_bytes(ByteSpan bytes) {
  constexpr std::size_t kPiece = 2048;
  if (bytes.size() <= kPiece) return {bytes.begin(), bytes.end()};
  std::vector<std::uint8_t> copy(bytes.size());
  for (std::size_t at = 0; at < bytes.size(); at += kPiece) {
    library_memcpy(copy.data() + at, bytes.data() + at, std::min(kPiece, bytes.size() - at));
  }
  return copy;
}

}  // namespace keldrin
