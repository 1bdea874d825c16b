#pragma once

#include <new>
#include <optional>
#include <span>
#include <string>
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
  destructor dealloc;
};

/// A class's type object, made on first need and kept for the life of the process.
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
    if (type_ != nullptr) return type_;
    return get_after_miss();
  }

  /// Whether the type object exists yet.
  bool made() const { return type_ != nullptr; }

  const ClassDescription& description() const { return description_; }

 private:
  PyTypeObject* get_after_miss();
  const std::string& built_doc();

  const ClassDescription& description_;
  PyTypeObject* type_ = nullptr;
  std::optional<std::string> built_doc_;
};

/// A new instance of `type` holding `contents`; new reference. On failure `contents` is released
/// with the caller's copy and the allocation error is thrown.
template <class T>
PyRef create_instance(T&& contents, PyTypeObject* type) {
  // The classes admit no subclass and no garbage collection, so the allocation is what
  // PyType_GenericAlloc makes of it without zeroing memory that is constructed right after.
  void* memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
  if (memory == nullptr) throw std::bad_alloc();
  PyRef obj = PyRef::steal(PyObject_Init(static_cast<PyObject*>(memory), type));
  auto& instance = class_object<std::remove_cvref_t<T>>(obj.get());
  new (&instance.contents) std::remove_cvref_t<T>(std::move(contents));
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

/// Py_tp_new of every class that Python code may not instantiate: always TypeError
/// "No constructor defined for <name>", whatever the arguments.
PyObject* no_constructor_defined(PyTypeObject* type, PyObject* args, PyObject* kwargs);

}  // namespace keldrin::python
