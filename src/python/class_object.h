#pragma once

#include <atomic>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "python/borrow.h"
#include "python/call_frame.h"

namespace keldrin::python {

/// The memory block of every instance: the object header, the record owned by value, then the
/// borrow counter.
template <class T>
struct PyClassObject {
  PyObject ob_base;
  T contents;
  BorrowFlag borrow_flag;
};

/// REQUIRES: `obj` is an instance of the class whose record is T.
template <class T>
PyClassObject<T>& class_object(PyObject* obj) {
  return *reinterpret_cast<PyClassObject<T>*>(obj);
}

/// The type object made from a class's spec on first need, and kept for the life of the process.
/// Any thread may ask for it: the one stored first is the one every thread gets.
class LazyTypeObject {
 public:
  /// REQUIRES: `spec` is static, and its name is "builtins.<name>": the prefix gives the classes
  /// no module of their own, so __module__ is "builtins".
  explicit constexpr LazyTypeObject(PyType_Spec& spec) : spec_(spec) {}

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
  const char* name() const { return std::strchr(spec_.name, '.') + 1; }

 private:
  PyTypeObject* get_after_miss();
  // Acquire: a thread that finds the type also sees the object that its maker wrote.
  PyTypeObject* stored() const {
    return reinterpret_cast<PyTypeObject*>(type_.load(std::memory_order_acquire));
  }

  PyType_Spec& spec_;
  std::atomic<PyObject*> type_ = nullptr;
};

/// The PyType_Spec of a class whose record is T and whose slots are `slots`.
template <class T>
constexpr PyType_Spec class_spec(const char* name, PyType_Slot* slots) {
  return {name, static_cast<int>(sizeof(PyClassObject<T>)), 0, Py_TPFLAGS_DEFAULT, slots};
}

/// The one way an instance is made: a new instance of `type` whose memory block is an Object (the
/// object header `ob_base`, then `contents`), its contents constructed from `args`, or null with
/// MemoryError. The classes admit no subclass and no garbage collection, so this is what
/// PyType_GenericAlloc does, less the zeroing of memory that is constructed right after.
/// REQUIRES: `type` is a class whose instances are Object.
template <class Object, class... Args>
PyObject* allocate_object(PyTypeObject* type, Args&&... args) noexcept {
  using Contents = decltype(Object::contents);
  static_assert(std::is_nothrow_constructible_v<Contents, Args...>);
  void* memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
  if (memory == nullptr) return PyErr_NoMemory();
  PyObject* obj = PyObject_Init(static_cast<PyObject*>(memory), type);
  new (&reinterpret_cast<Object*>(obj)->contents) Contents(std::forward<Args>(args)...);
  return obj;
}

/// An instance of the class whose record is T, holding a record constructed from `args` and a
/// free borrow counter, or null with MemoryError.
/// REQUIRES: `type` is the class whose record is T.
template <class T, class... Args>
PyObject* allocate(PyTypeObject* type, Args&&... args) noexcept {
  PyObject* obj = allocate_object<PyClassObject<T>>(type, std::forward<Args>(args)...);
  if (obj != nullptr) class_object<T>(obj).borrow_flag = 0;
  return obj;
}

/// tp_alloc of every class. Whoever allocates an instance, the module or `object.__new__`
/// reached through a `__new__` that Python code put on the class, gets a record that is safe to
/// use and to destroy.
template <class T>
PyObject* class_alloc(PyTypeObject* type, Py_ssize_t) noexcept {
  return allocate<T>(type);
}

/// tp_dealloc for a class whose instances are Object.
template <class Object, InternalReport Report = raise_internal_error>
void object_dealloc(PyObject* obj) {
  dealloc_frame<Report>([obj] {
    // The type is read first: the instance memory is gone after tp_free, and the instance's
    // reference to its type is released last.
    PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    using Contents = decltype(Object::contents);
    reinterpret_cast<Object*>(obj)->contents.~Contents();
    Py_TYPE(obj)->tp_free(obj);
  });
}

/// tp_free for a class whose instances are Object, on a free-threaded build (see release_slot).
template <class Object>
void object_free(void* block) noexcept {
  using Contents = decltype(Object::contents);
  static_cast<Object*>(block)->contents.~Contents();
  PyObject_Free(block);
}

/// The slots that make and release an instance of a class whose record is T, in every class's
/// table. With the interpreter lock, tp_dealloc destroys the record, frees the block and drops
/// the instance's reference to its type. On a free-threaded build the interpreter's own
/// heap-type deallocator runs instead, since only it drops that reference from the releasing
/// thread's own count of the type (as making an instance took it): a plain Py_DECREF of the type
/// from every thread would make the type's shared count the one cache line all threads fight
/// over. It calls tp_free, which destroys the record and frees the block.
template <class T>
PyType_Slot alloc_slot() {
  return {Py_tp_alloc, reinterpret_cast<void*>(class_alloc<T>)};
}
template <class Object, InternalReport Report = raise_internal_error>
PyType_Slot object_release_slot() {
#ifdef Py_GIL_DISABLED
  return {Py_tp_free, reinterpret_cast<void*>(object_free<Object>)};
#else
  return {Py_tp_dealloc, reinterpret_cast<void*>(object_dealloc<Object, Report>)};
#endif
}
template <class T>
PyType_Slot release_slot() {
  return object_release_slot<PyClassObject<T>>();
}

/// Py_tp_new of every class that Python code may not instantiate: always TypeError
/// "No constructor defined for <name>", whatever the arguments.
PyObject* no_constructor_defined(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace keldrin::python
