#include "python/errors.h"

#include <cstdarg>

namespace keldrin::python {

PythonError PythonError::fetch() {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    raised = PyErr_GetRaisedException();
  }
  return PythonError(PyRef::steal(raised));
}

void throw_pending() { throw PythonError::fetch(); }

void throw_error(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw_pending();
}

void throw_format(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw_pending();
}

PyRef checked(PyObject* result) {
  if (result == nullptr) throw_pending();
  return PyRef::steal(result);
}

void throw_if_memory_error() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw_pending();
}

PyRef or_placeholder(PyRef made, const char* placeholder) {
  if (made) return made;
  throw_if_memory_error();
  PyErr_Clear();
  return checked(PyUnicode_FromString(placeholder));
}

void throw_conversion_error(PyObject* obj, const char* target) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  // A name that UTF-8 cannot encode gets the placeholder. Any other is formatted as the str it
  // is, so that a NUL inside it does not end it.
  if (qualname && PyUnicode_AsUTF8AndSize(qualname.get(), nullptr) == nullptr) qualname = PyRef();
  PyRef name = or_placeholder(std::move(qualname), "<failed to extract type name>");
  throw_format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), target);
}

void throw_wire_error(const WireError& error) {
  PyRef message = checked(PyUnicode_FromStringAndSize(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size())));
  throw PythonError(checked(PyObject_CallOneArg(PyExc_OSError, message.get())));
}

PythonError with_argument_name(const char* name, PythonError error) {
  PyObject* old = error.exception();
  if (Py_TYPE(old) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) return error;
  PyRef text = or_placeholder(PyRef::steal(PyObject_Str(old)), "<exception str() failed>");
  PyRef message = checked(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  PyRef renamed = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  // SetCause steals the reference that GetCause gives (null stays null).
  PyException_SetCause(renamed.get(), PyException_GetCause(old));
  return PythonError(std::move(renamed));
}

}  // namespace keldrin::python
