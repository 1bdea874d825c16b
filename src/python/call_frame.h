#pragma once

#include <type_traits>

#include "python/errors.h"

namespace keldrin::python {

/// Raises the C++ exception being handled as a Python exception: a PythonError as itself, an
/// InternalFailure (or any other C++ exception) as the internal-error class, std::bad_alloc as
/// MemoryError. When memory is too short to make the internal-error class or its message, the
/// internal failure is raised as MemoryError instead; this never fails and never aborts.
/// REQUIRES: called from inside a catch handler.
void raise_in_flight() noexcept;

/// The class of internal failures, derived from BaseException so `except Exception` does not
/// swallow it. Made on first use; borrowed reference, or null with the MemoryError pending while
/// it cannot be made for lack of memory.
PyObject* internal_error_class() noexcept;

/// Runs the body of an entry point that returns an object. The body returns a PyRef; the frame
/// gives its new reference, or null with the exception raised.
template <class Body>
PyObject* object_frame(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    raise_in_flight();
    return nullptr;
  }
}

/// Runs the body of a setter: 0 on success, -1 with the exception raised.
template <class Body>
int setter_frame(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    raise_in_flight();
    return -1;
  }
}

/// Runs the body of a deallocator, which cannot report failure: an exception goes to
/// PyErr_WriteUnraisable and the deallocation returns normally.
template <class Body>
void dealloc_frame(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    raise_in_flight();
    PyErr_WriteUnraisable(nullptr);
  }
}

/// A method entry of any C signature as the PyCFunction that PyMethodDef stores; ml_flags tells
/// the interpreter the real signature. The detour through a plain function pointer type keeps
/// -Wcast-function-type quiet, as the cast is deliberate.
template <class F>
PyCFunction method_cast(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace keldrin::python
