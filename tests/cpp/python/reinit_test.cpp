// A process that embeds Python and finalises it, then starts a new runtime: the module's classes
// belong to the first runtime, so the second gets a clear ImportError instead of a dead module.
// Its own executable, as the runtime it finalises is the one every other binding test uses.

#include <gtest/gtest.h>

#include <string>

#include "embedded.h"

namespace keldrin::python {
namespace {

// Imports the module; "" on success, else the exception's type name and text.
std::string import_outcome() {
  PyRef module = PyRef::steal(PyImport_ImportModule("libkeldrin"));
  return testing::take_error();
}

TEST(Runtime, RecordsAreConstructedAndANewRuntimeIsRefused) {
  ASSERT_EQ(PyImport_AppendInittab("libkeldrin", PyInit_libkeldrin), 0);
  Py_Initialize();
  ASSERT_EQ(import_outcome(), "");
  // An instance made by object.__new__, reached through a __new__ that Python code put on the
  // class, holds the default record (the type 16, not zeroed memory) and is free to borrow.
  PyRef made = testing::eval(
      "(lambda m: (setattr(m.Init, '__new__', staticmethod(lambda c: object.__new__(c))),"
      " m.Init())[1])(__import__('libkeldrin'))");
  ASSERT_TRUE(made);
  EXPECT_EQ(instance_of<bolt1::Init>(made.get()).contents.ty, 16);
  EXPECT_EQ(instance_of<bolt1::Init>(made.get()).borrow_flag, 0u);
  made = PyRef();
  ASSERT_EQ(Py_FinalizeEx(), 0);

  ASSERT_EQ(PyImport_AppendInittab("libkeldrin", PyInit_libkeldrin), 0);
  Py_Initialize();
  for (int attempt = 0; attempt < 2; ++attempt) {
    const std::string outcome = import_outcome();
    EXPECT_EQ(outcome.rfind("ImportError: ", 0), 0u) << outcome;
    EXPECT_NE(outcome.find("finalised"), std::string::npos) << outcome;
  }
  ASSERT_EQ(Py_FinalizeEx(), 0);
}

}  // namespace
}  // namespace keldrin::python
