#pragma once

#include <atomic>
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

/// Fills a process-wide cache that is filled at most once and then kept: stores the reference
/// that `made` holds unless the cache is filled already, in which case `made` is dropped; either
/// way returns the cached object, borrowed. Making the object can run Python code, and on a
/// free-threaded build another thread can be making the same one: the first compare-and-swap
/// wins, so every caller, on every thread, gets the one object.
/// REQUIRES: `made` is not empty.
inline PyObject* keep_first(std::atomic<PyObject*>& cache, PyRef made) {
  PyObject* stored = nullptr;
  if (cache.compare_exchange_strong(stored, made.get(), std::memory_order_acq_rel,
                                    std::memory_order_acquire)) {
    return made.release();
  }
  return stored;
}

}  // namespace keldrin::python
