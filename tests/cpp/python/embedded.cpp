#include "embedded.h"

namespace keldrin::python::testing {

namespace {

PyObject* namespace_dict() {
  static PyObject* globals = [] {
    PyObject* d = PyDict_New();
    PyDict_SetItemString(d, "__builtins__", PyEval_GetBuiltins());
    return d;
  }();
  return globals;
}

}  // namespace

PyRef eval(const std::string& expression) {
  PyRef result = PyRef::steal(
      PyRun_String(expression.c_str(), Py_eval_input, namespace_dict(), namespace_dict()));
  if (!result) ADD_FAILURE() << "eval(" << expression << ") raised " << take_error();
  return result;
}

void exec(const std::string& statements) {
  PyRef result = PyRef::steal(
      PyRun_String(statements.c_str(), Py_file_input, namespace_dict(), namespace_dict()));
  if (!result) ADD_FAILURE() << "exec raised " << take_error();
}

std::string take_error() {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return "";
  PyRef text = PyRef::steal(PyObject_Str(exc.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 == nullptr) PyErr_Clear();
  return std::string(Py_TYPE(exc.get())->tp_name) + ": " + (utf8 ? utf8 : "<unprintable>");
}

std::string assign(PyObject* obj, const char* name, PyObject* value) {
  if (PyObject_SetAttrString(obj, name, value) == 0) return "";
  return take_error();
}

}  // namespace keldrin::python::testing
