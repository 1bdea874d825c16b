#pragma once

// Helpers for the tests that run inside an embedded interpreter with the module built in, so
// that they reach what Python code cannot: instances of the classes without constructors, and
// valid BitFlag and Stream values.

#include <gtest/gtest.h>

#include <string>

#include "python/libkeldrin/classes.h"
#include "python/py_ref.h"

extern "C" PyObject* PyInit_libkeldrin();

namespace keldrin::python::testing {

/// The pending exception's type name and text, clearing it; "" when none is pending.
inline std::string take_error() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return "";
  PyRef text = PyRef::steal(PyObject_Str(exc.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) PyErr_Clear();
  return std::string(Py_TYPE(exc.get())->tp_name) + ": " + (utf8 ? utf8 : "<unprintable>");
}

/// Runs Python code in the running interpreter's __main__, whose namespace the tests share; new
/// reference, or null with the error printed and a test failure recorded if it raises.
inline PyRef run(const std::string& code, int start) {
  PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
  PyRef result = PyRef::steal(PyRun_String(code.c_str(), start, globals, globals));
  if (!result) ADD_FAILURE() << "running " << code << " raised " << take_error();
  return result;
}

inline PyRef eval(const std::string& expression) { return run(expression, Py_eval_input); }

inline void exec(const std::string& statements) { run(statements, Py_file_input); }

/// Assigns obj.name = value the way Python code does; returns the raised exception as
/// "TypeName: text", or "" on success.
inline std::string assign(PyObject* obj, const char* name, PyObject* value) {
  return PyObject_SetAttrString(obj, name, value) == 0 ? "" : take_error();
}

}  // namespace keldrin::python::testing
