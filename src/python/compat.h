#pragma once

// What CPython 3.11 lacks of the API the binding is written against, under the names 3.12 gives
// it, so that the call sites read the same on every series. Included by binding.h alone.

#if PY_MINOR_VERSION < 12

// 3.11 keeps the error indicator as a (type, value, traceback) triple, where the value may not
// be an instance yet and the traceback is not attached to it; 3.12 keeps the one exception
// object, which carries its traceback. These two convert between the forms, so a PythonError
// holds the same object on every series. Every reference they take is handed on to an API call
// that owns it.

/// New reference to the pending exception, with its traceback attached, or null when none is
/// pending; the indicator is clear afterwards.
inline PyObject* PyErr_GetRaisedException() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(value, traceback);
  // The value leaves as the caller's reference; the indicator takes back the other two, and
  // clearing it drops them.
  PyErr_Restore(type, nullptr, traceback);
  PyErr_Clear();
  return value;
}

/// Raises `exception`, an exception instance, with its own traceback, and steals the reference.
/// REQUIRES: `exception` is not null.
inline void PyErr_SetRaisedException(PyObject* exception) {
  PyErr_Restore(PyObject_Type(exception), exception, PyException_GetTraceback(exception));
}

#endif
