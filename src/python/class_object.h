#pragma once

#include <atomic>
#include <new>
#include <span>
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

/// Everything a class's type object is built from. Tables are static and outlive the type.
struct ClassDescription {
  const char* name;
  const char* doc;             // "" for none
  const char* text_signature;  // null for none
  PyMethodDef* methods;        // null, or a table ending in an all-zero entry
  PyGetSetDef* getsets;        // likewise
  std::span<const PyType_Slot> own_slots;
  Py_ssize_t basicsize;
  allocfunc alloc;
  // How an instance is released. With the interpreter lock, `dealloc` is tp_dealloc: it destroys
  // the record, frees the block and drops the instance's reference to its type. On a
  // free-threaded build the interpreter's own heap-type deallocator runs instead, since only it
  // drops that reference from the releasing thread's own count of the type (as making an
  // instance took it): a plain Py_DECREF of the type from every thread would make the type's
  // shared count the one cache line all threads fight over. It calls `free` as tp_free, which
  // destroys the record and frees the block.
  destructor dealloc;
  freefunc free;
};

/// A class's type object, made on first need and kept for the life of the process. Any thread
/// may ask for it: the one stored first is the one every thread gets.
class LazyTypeObject {
 public:
  explicit constexpr LazyTypeObject(const ClassDescription& description)
      : description_(description) {}

  /// Registering form: borrowed type object; throws RuntimeError "An error occurred while
  /// initializing class <name>" (caused by the real failure) if it cannot be made.
  PyTypeObject* get_or_register();

  /// Plain form, for use outside registration: borrowed type object; a failure is printed and
  /// becomes the internal failure "failed to create type object for <name>".
  PyTypeObject* get() {
    if (PyTypeObject* type = stored()) return type;
    return get_after_miss();
  }

  /// Whether the type object exists yet.
  bool made() const { return stored() != nullptr; }

  const ClassDescription& description() const { return description_; }

 private:
  PyTypeObject* get_after_miss();
  // Acquire: a thread that finds the type also sees the object that its maker wrote.
  PyTypeObject* stored() const {
    return reinterpret_cast<PyTypeObject*>(type_.load(std::memory_order_acquire));
  }

  const ClassDescription& description_;
  std::atomic<PyObject*> type_ = nullptr;
};

/// tp_alloc of every class: the object with a default-constructed record and a free borrow
/// counter, null with MemoryError on failure. Whoever allocates an instance, the module or
/// `object.__new__` reached through a `__new__` that Python code put on the class, gets a
/// record that is safe to use and to destroy.
template <class T>
PyObject* class_alloc(PyTypeObject* type, Py_ssize_t nitems) noexcept {
  static_assert(std::is_nothrow_default_constructible_v<T>);
  PyObject* obj = PyType_GenericAlloc(type, nitems);
  if (obj != nullptr) {
    auto& instance = class_object<T>(obj);
    new (&instance.contents) T();
    instance.borrow_flag = 0;
  }
  return obj;
}

/// A new instance of `type` holding `contents`; new reference. On failure `contents` is released
/// with the caller's copy and the allocation error is thrown.
/// REQUIRES: `type` is the class whose record is T.
template <class T>
PyRef create_instance(T&& contents, PyTypeObject* type) {
  using Record = std::remove_cvref_t<T>;
  // Moving cannot fail, so nothing can throw between the allocation and the constructed record.
  static_assert(!std::is_lvalue_reference_v<T> && std::is_nothrow_move_constructible_v<Record>);
  // The classes admit no subclass and no garbage collection, so the allocation is what
  // PyType_GenericAlloc makes of it without zeroing memory that is constructed right after;
  // the record is moved in place rather than built by tp_alloc and assigned over.
  void* memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
  if (memory == nullptr) throw std::bad_alloc();
  PyRef obj = PyRef::steal(PyObject_Init(static_cast<PyObject*>(memory), type));
  auto& instance = class_object<Record>(obj.get());
  new (&instance.contents) Record(std::move(contents));
  instance.borrow_flag = 0;
  return obj;
}

/// tp_dealloc for a class whose record is T.
template <class T>
void class_dealloc(PyObject* obj) {
  dealloc_frame([obj] {
    // The type is read first: the instance memory is gone after tp_free, and the instance's
    // reference to its type is released last.
    PyRef type = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    class_object<T>(obj).contents.~T();
    Py_TYPE(obj)->tp_free(obj);
  });
}

/// tp_free for a class whose record is T, on a free-threaded build (see ClassDescription).
template <class T>
void class_free(void* block) noexcept {
  class_object<T>(static_cast<PyObject*>(block)).contents.~T();
  PyObject_Free(block);
}

/// Py_tp_new of every class that Python code may not instantiate: always TypeError
/// "No constructor defined for <name>", whatever the arguments.
PyObject* no_constructor_defined(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace keldrin::python
