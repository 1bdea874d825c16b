// Runs the binding tests inside an embedded interpreter that has the module built in, so the
// tests can reach what Python code cannot: instances of the classes without constructors, and
// valid BitFlag and Stream values.

#include "embedded.h"

extern "C" PyObject* PyInit_libkeldrin();

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

PyRef run(const std::string& code, int start) {
  PyRef result =
      PyRef::steal(PyRun_String(code.c_str(), start, namespace_dict(), namespace_dict()));
  if (!result) ADD_FAILURE() << "running " << code << " raised " << take_error();
  return result;
}

}  // namespace

PyRef eval(const std::string& expression) { return run(expression, Py_eval_input); }

void exec(const std::string& statements) { run(statements, Py_file_input); }

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

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (PyImport_AppendInittab("libkeldrin", PyInit_libkeldrin) < 0) return 2;
  Py_Initialize();
  // The module's type objects live for the whole process; finalising would only tear them down.
  return RUN_ALL_TESTS();
}
