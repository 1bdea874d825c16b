// Runs the binding tests inside an embedded interpreter that has the module built in, so the
// tests can reach what Python code cannot: instances of the classes without constructors, and
// valid BitFlag and Stream values.

#include <gtest/gtest.h>

#include "python/binding.h"

extern "C" PyObject* PyInit_libkeldrin();

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (PyImport_AppendInittab("libkeldrin", PyInit_libkeldrin) < 0) return 2;
  Py_Initialize();
  const int result = RUN_ALL_TESTS();
  // The module's type objects live for the whole process; finalising would only tear them down.
  return result;
}
