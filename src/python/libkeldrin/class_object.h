#pragma once

#include <atomic>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "python/libkeldrin/borrow.h"
#include "python/call_frame.h"
#include "python/instance.h"

namespace keldrin::python {

/// The memory block of every instance: the object header, the record owned by value, then the
/// borrow counter.
template <class T>
struct Instance {
  PyObject ob_base;
  T contents;
  BorrowFlag borrow_flag;
};

/// REQUIRES: `obj` is an instance of the class whose record is T.
template <class T>
Instance<T>& instance_of(PyObject* obj) {
  return *reinterpret_cast<Instance<T>*>(obj);
}

/// The type object made from a class's spec on first need, and kept for the life of the process.
/// Any thread may ask for it: the one stored first is the one every thread gets.
class LazyTypeObject {
 public:
  /// REQUIRES: `spec` returns the same static spec at every call, and its name is
  /// "builtins.<name>": the prefix gives the classes no module of their own, so __module__ is
  /// "builtins".
  explicit constexpr LazyTypeObject(PyType_Spec& (*spec)()) : spec_(spec) {}

  /// Registering form: borrowed type object; throws RuntimeError "An error occurred while
  /// initializing class <name>" (caused by the real failure) if it cannot be made.
  PyTypeObject* get_or_register();

  /// Plain form, for use outside registration: borrowed type object; a failure is printed and
  /// becomes the internal failure "failed to create type object for <name>".
  PyTypeObject* get() {
    if (PyTypeObject* type = stored()) return type;
    return get_after_miss();
  }

  /// The class's name without the module prefix.
  const char* name() const { return std::strchr(spec_().name, '.') + 1; }

 private:
  PyTypeObject* get_after_miss();
  // Acquire: a thread that finds the type also sees the object that its maker wrote.
  PyTypeObject* stored() const {
    return reinterpret_cast<PyTypeObject*>(type_.load(std::memory_order_acquire));
  }

  PyType_Spec& (*spec_)();
  std::atomic<PyObject*> type_ = nullptr;
};

/// An instance of the class whose record is T, holding a record constructed from `args` and a
/// free borrow counter, or null with MemoryError.
/// REQUIRES: `type` is the class whose record is T.
template <class T, class... Args>
PyObject* allocate(PyTypeObject* type, Args&&... args) noexcept {
  PyObject* obj = allocate_object<Instance<T>>(type, std::forward<Args>(args)...);
  if (obj != nullptr) instance_of<T>(obj).borrow_flag = 0;
  return obj;
}

/// tp_alloc of every class. Whoever allocates an instance, the module or `object.__new__`
/// reached through a `__new__` that Python code put on the class, gets a record that is safe to
/// use and to destroy.
template <class T>
PyObject* class_alloc(PyTypeObject* type, Py_ssize_t) noexcept {
  return allocate<T>(type);
}

/// The slots that make and release an instance of a class whose record is T, in every class's
/// table (see object_release_slot).
template <class T>
PyType_Slot alloc_slot() {
  return {Py_tp_alloc, reinterpret_cast<void*>(class_alloc<T>)};
}
template <class T>
PyType_Slot release_slot() {
  return object_release_slot<Instance<T>>();
}

/// Py_tp_new of every class that Python code may not instantiate: always TypeError
/// "No constructor defined for <name>", whatever the arguments.
PyObject* no_constructor_defined(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace keldrin::python
