#pragma once

#include <string>
#include <type_traits>

#include "python/errors.h"

namespace keldrin::python {

/// Raises a failure of a module's own code, one that is no Python exception, with its text (empty
/// for one that has none). It never fails: when memory is too short for the report, MemoryError
/// is raised instead.
using InternalReport = void (*)(const std::string& message) noexcept;

/// libkeldrin's report: the internal-error class below.
void raise_internal_error(const std::string& message) noexcept;

/// Raises the C++ exception being handled as a Python exception: a PythonError as itself, an
/// InternalFailure (or any other C++ exception) through `report`, std::bad_alloc as
/// MemoryError. This never fails and never aborts.
/// REQUIRES: called from inside a catch handler.
void raise_in_flight(InternalReport report) noexcept;

/// The class of internal failures, derived from BaseException so `except Exception` does not
/// swallow it. Made on first use; borrowed reference, or null with the MemoryError pending while
/// it cannot be made for lack of memory.
PyObject* internal_error_class() noexcept;

/// Runs the body of an entry point that returns an object. The body returns a PyRef; the frame
/// gives its new reference, or null with the exception raised.
template <InternalReport Report = raise_internal_error, class Body>
PyObject* object_frame(Body&& body) noexcept {
  try {
    return body().release();
  } catch (...) {
    raise_in_flight(Report);
    return nullptr;
  }
}

/// Runs the body of a setter: 0 on success, -1 with the exception raised.
template <InternalReport Report = raise_internal_error, class Body>
int setter_frame(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    raise_in_flight(Report);
    return -1;
  }
}

/// Runs the body of a deallocator, which cannot report failure: an exception goes to
/// PyErr_WriteUnraisable and the deallocation returns normally.
template <InternalReport Report = raise_internal_error, class Body>
void dealloc_frame(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    raise_in_flight(Report);
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
