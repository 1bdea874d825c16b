#pragma once

// The memory of an instance of the module's classes, for both bindings: a block that starts with
// the object header `ob_base` and holds the record `contents` by value, made and released here.

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "python/call_frame.h"

namespace keldrin::python {

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

/// tp_free for a class whose instances are Object, on a free-threaded build (see object_release_slot).
template <class Object>
void object_free(void* block) noexcept {
  using Contents = decltype(Object::contents);
  static_cast<Object*>(block)->contents.~Contents();
  PyObject_Free(block);
}

/// The slot that releases an instance whose memory block is an Object. With the interpreter lock,
/// tp_dealloc destroys the record, frees the block and drops the instance's reference to its
/// type. On a free-threaded build the interpreter's own heap-type deallocator runs instead, since
/// only it drops that reference from the releasing thread's own count of the type (as making an
/// instance took it): a plain Py_DECREF of the type from every thread would make the type's
/// shared count the one cache line all threads fight over. It calls tp_free, which destroys the
/// record and frees the block.
template <class Object, InternalReport Report = raise_internal_error>
PyType_Slot object_release_slot() {
#ifdef Py_GIL_DISABLED
  return {Py_tp_free, reinterpret_cast<void*>(object_free<Object>)};
#else
  return {Py_tp_dealloc, reinterpret_cast<void*>(object_dealloc<Object, Report>)};
#endif
}

}  // namespace keldrin::python
