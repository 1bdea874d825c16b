#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/decode_failure.h"
#include "core/wire_reader.h"
#include "python/errors.h"
#include "python/keldrin/arguments.h"
#include "python/keldrin/state.h"
#include "tlv/stream.h"

namespace keldrin::python::keldrin_module {

/// TypeError "<callable> argument '<name>' must be <expected>, not <type of obj>".
[[noreturn]] void throw_argument_type(const Argument& argument, const char* expected,
                                      PyObject* obj);

/// ValueError "<callable> argument '<name>' <complaint>".
[[noreturn]] void throw_argument_value(const Argument& argument, const std::string& complaint);

/// The bytes of a bytes-like object (one with the buffer protocol), for as long as this lives.
/// REQUIRES: the object outlives this (a bytes object is viewed without a reference of its own).
/// Most are viewed in place. A buffer that is not contiguous is copied, and so is a bytearray on
/// a free-threaded build, where another thread could write into it while it is read.
class BytesView {
 public:
  /// Throws TypeError "... must be a bytes-like object, not <type>" for any other object, a str
  /// included.
  BytesView(PyObject* obj, const Argument& argument);
  ~BytesView();
  BytesView(const BytesView&) = delete;
  BytesView& operator=(const BytesView&) = delete;

  ByteSpan bytes() const { return bytes_; }

 private:
  Py_buffer view_{};
  std::vector<std::uint8_t> copy_;
  ByteSpan bytes_;
};

/// An integer 0..max, from an int or an object with __index__: TypeError for anything else,
/// ValueError for an integer out of range. May run Python code (__index__).
std::uint64_t to_unsigned(PyObject* obj, const Argument& argument, std::uint64_t max);

/// A copy of the bytes of a bytes-like object of at most `max_size` bytes (ValueError beyond).
std::vector<std::uint8_t> to_bytes(PyObject* obj, const Argument& argument, std::size_t max_size);

/// Exactly N bytes of a bytes-like object (ValueError for another length).
template <std::size_t N>
std::array<std::uint8_t, N> to_byte_array(PyObject* obj, const Argument& argument) {
  const BytesView view(obj, argument);
  if (view.bytes().size() != N) {
    throw_argument_value(argument, "must be " + std::to_string(N) + " bytes, not " +
                                       std::to_string(view.bytes().size()));
  }
  std::array<std::uint8_t, N> out;
  std::ranges::copy(view.bytes(), out.begin());
  return out;
}

/// The records of an iterable of Record objects, or of (type, value) pairs, encoded as a stream in
/// the order given. Whether that order may be sent is the caller's check.
Stream to_stream(PyObject* obj, const Argument& argument);

/// A new bytes object holding `bytes`.
PyRef bytes_object(ByteSpan bytes);

/// Raises keldrin.DecodeError with the failure's text, its `offset` attribute set.
[[noreturn]] void throw_decode_failure(const ModuleState& state, const DecodeFailure& failure);

}  // namespace keldrin::python::keldrin_module
