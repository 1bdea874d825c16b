#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/wire_reader.h"
#include "python/errors.h"

namespace keldrin::python {

/// An integer that U can hold. Accepts int, bool and objects with __index__. Throws the
/// interpreter's error for a non-integer or an integer outside the signed 64-bit range, and
/// OverflowError "out of range integral type conversion attempted" for any other value that U
/// cannot hold, negatives included. May run Python code (__index__).
template <class U>
U to_unsigned(PyObject* obj) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_pending();
  // Negative values wrap to large unsigned ones and fail the same bound check.
  if (static_cast<std::uint64_t>(v) > std::numeric_limits<U>::max()) {
    throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<U>(v);
}

/// Exactly 32 bytes from a sequence of 32 integers 0..255, read item by item with __getitem__.
std::array<std::uint8_t, 32> to_channel_id(PyObject* obj);

/// The bytes of a sequence of integers 0..255, as the decoder reads them.
///
/// For exact bytes and bytearray objects the bytes are viewed in place: the caller keeps the
/// object alive and runs no Python code while it reads them, so nothing can change them. Anything
/// else is copied item by item into a vector that this object owns, and so is a bytearray on a
/// free-threaded build, where another thread could resize it during the read.
class ByteInput {
 public:
  /// May run Python code (the sequence's __len__, __iter__, its items' __index__).
  static ByteInput from_sequence(PyObject* obj);

  ByteSpan bytes() const { return bytes_; }

  // Moving keeps the view valid (the vector's storage moves with it); a copy would view the
  // original's storage.
  ByteInput(ByteInput&&) = default;
  ByteInput(const ByteInput&) = delete;
  ByteInput& operator=(const ByteInput&) = delete;

 private:
  ByteInput() = default;
  std::vector<std::uint8_t> owned_;
  ByteSpan bytes_;  // the caller's bytes or bytearray, or owned_
};

/// A new list of ints 0..255, one per byte, the inverse of ByteInput: the interpreter's own small
/// ints, which the module keeps a reference to for the life of the process.
PyRef byte_list(ByteSpan bytes);

}  // namespace keldrin::python
