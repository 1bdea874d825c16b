// Pieces of the binding that Python code reaches only in part: a class that cannot be made, and
// how an entry point's failures reach Python (the module throws InternalFailure and C++
// exceptions only when the interpreter or the allocator fails).

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "embedded.h"
#include "python/libkeldrin/class_object.h"

namespace keldrin::python {
namespace {

// A class that the interpreter refuses to make (a slot it does not know). Registration raises
// RuntimeError with the interpreter's error as its cause; any other use prints that error,
// without recording it as sys.last_value, and raises the internal failure. Nothing is kept, so
// the next use tries again.
TEST(LazyTypeObjectTest, ReportsAClassThatCannotBeMade) {
  LazyTypeObject lazy([]() -> PyType_Spec& {
    static PyType_Slot unknown_slot[] = {{9999, nullptr}, {0, nullptr}};
    static PyType_Spec bad{"builtins.Bad", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, unknown_slot};
    return bad;
  });
  EXPECT_EQ(object_frame([&]() -> PyRef { lazy.get_or_register(); return {}; }), nullptr);
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  PyRef cause = PyRef::steal(PyException_GetCause(raised.get()));
  PyErr_SetRaisedException(raised.release());
  EXPECT_EQ(testing::take_error(), "RuntimeError: An error occurred while initializing class Bad");
  PyErr_SetRaisedException(cause.release());
  EXPECT_EQ(testing::take_error(), "RuntimeError: invalid slot offset");

  PySys_SetObject("last_value", nullptr);
  PyErr_Clear();
  testing::exec("import io, sys\nstderr, sys.stderr = sys.stderr, io.StringIO()");
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(object_frame([&]() -> PyRef { lazy.get(); return {}; }), nullptr);
    EXPECT_EQ(testing::take_error(), "InternalError: failed to create type object for Bad");
  }
  // Printed once for each attempt: the second tried again.
  testing::exec("printed, sys.stderr = sys.stderr.getvalue(), stderr");
  PyRef count = testing::eval("printed.count('RuntimeError: invalid slot offset')");
  EXPECT_EQ(PyLong_AsLong(count.get()), 2) << PyUnicode_AsUTF8(testing::eval("printed").get());
  EXPECT_EQ(PySys_GetObject("last_value"), nullptr);
}

struct FrameCase {
  const char* name;
  std::function<void()> raise;
  const char* error;
};

class CallFrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(CallFrameTest, RaisesOneExceptionAndReturnsNull) {
  EXPECT_EQ(object_frame([]() -> PyRef { GetParam().raise(); return {}; }), nullptr);
  EXPECT_EQ(testing::take_error(), GetParam().error);
  EXPECT_EQ(setter_frame([] { GetParam().raise(); }), -1);
  EXPECT_EQ(testing::take_error(), GetParam().error);
  // One class, made once, that `except Exception` does not catch.
  PyObject* cls = internal_error_class();
  EXPECT_EQ(cls, internal_error_class());
  EXPECT_EQ(PyObject_IsSubclass(cls, PyExc_BaseException), 1);
  EXPECT_EQ(PyObject_IsSubclass(cls, PyExc_Exception), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, CallFrameTest,
    ::testing::Values(
        FrameCase{"Python", [] { throw_error(PyExc_KeyError, "k"); }, "KeyError: 'k'"},
        FrameCase{"Internal", [] { throw InternalFailure{"lost"}; }, "InternalError: lost"},
        FrameCase{"InternalEmpty", [] { throw InternalFailure{}; },
                  "InternalError: internal failure in libkeldrin"},
        FrameCase{"Std", [] { throw std::logic_error("odd"); }, "InternalError: odd"},
        FrameCase{"StdNotUtf8", [] { throw std::runtime_error("odd \xff"); },
                  "InternalError: odd \xef\xbf\xbd"},
        FrameCase{"NothingPending", [] { throw_pending(); },
                  "SystemError: attempted to fetch exception but none was set"},
        FrameCase{"CheckedNoMemory", [] { PyErr_NoMemory(); checked(nullptr); },
                  "MemoryError: "},
        FrameCase{"Other", [] { throw 5; }, "InternalError: internal failure in libkeldrin"},
        FrameCase{"NoMemory", [] { throw std::bad_alloc(); }, "MemoryError: "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keldrin::python
