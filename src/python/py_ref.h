#pragma once

#include <utility>

#include "python/binding.h"

namespace keldrin::python {

/// An owned strong reference to a Python object, or none. Move-only: the reference is dropped
/// exactly once, by whoever holds it last. This is the one place that adjusts reference counts.
class PyRef {
 public:
  PyRef() = default;
  /// Takes over a new reference (may be null).
  static PyRef steal(PyObject* p) { return PyRef(p); }
  /// Takes a new reference to a borrowed object (may be null).
  static PyRef borrow(PyObject* p) { return PyRef(Py_XNewRef(p)); }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    // Drop the old reference before taking the new one; the other object stays alive through
    // `other`, so even a deallocator that runs Python code sees a consistent state.
    PyObject* incoming = other.release();
    Py_XSETREF(p_, incoming);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  /// Borrowed; valid while this PyRef holds it.
  PyObject* get() const { return p_; }
  /// Hands the new reference to the caller; this PyRef is empty afterwards.
  [[nodiscard]] PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace keldrin::python
