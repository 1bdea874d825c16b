#include "python/libkeldrin/class_object.h"

#include <string>

namespace keldrin::python {

PyTypeObject* LazyTypeObject::get_or_register() {
  if (PyTypeObject* type = stored()) return type;
  try {
    PyObject* made = PyType_FromSpec(&spec_());
    // Some allocation failures inside type creation return null without an exception (seen with
    // CPython 3.12's allocator hooks); lack of memory is then the only cause.
    if (made == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
    return reinterpret_cast<PyTypeObject*>(keep_first(type_, checked(made)));
  } catch (PythonError& failure) {
    // Lack of memory stays a MemoryError, which a program can handle; the RuntimeError is for
    // a class that cannot be made at all.
    if (PyErr_GivenExceptionMatches(failure.exception(), PyExc_MemoryError)) throw;
    PyRef error = checked(
        PyUnicode_FromFormat("An error occurred while initializing class %s", name()));
    PyRef runtime = checked(PyObject_CallOneArg(PyExc_RuntimeError, error.get()));
    PyException_SetCause(runtime.get(), failure.take());
    throw PythonError(std::move(runtime));
  }
}

PyTypeObject* LazyTypeObject::get_after_miss() {
  try {
    return get_or_register();
  } catch (PythonError& error) {
    if (PyErr_GivenExceptionMatches(error.exception(), PyExc_MemoryError)) throw;
    PyErr_SetRaisedException(error.take());
    PyErr_PrintEx(0);
    throw InternalFailure{std::string("failed to create type object for ") + name()};
  }
}

PyObject* no_constructor_defined(PyTypeObject* type, PyObject*, PyObject*) {
  return object_frame([type]() -> PyRef {
    PyRef name = or_placeholder(PyRef::steal(PyType_GetName(type)), "<unknown>");
    throw_format(PyExc_TypeError, "No constructor defined for %U", name.get());
  });
}

}  // namespace keldrin::python
