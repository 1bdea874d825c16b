// The binding tests run in one interpreter, with the module built in, that lives as long as the
// process: the module's type objects do too, and finalising would only tear them down.

#include "embedded.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (PyImport_AppendInittab("libkeldrin", PyInit_libkeldrin) < 0) return 2;
  Py_Initialize();
  return RUN_ALL_TESTS();
}
