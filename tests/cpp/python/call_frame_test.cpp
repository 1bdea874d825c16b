// How an entry point's failures reach Python: what Python code cannot provoke, since the module
// throws InternalFailure and the C++ exceptions only when the interpreter or the allocator fails.

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "embedded.h"

namespace keldrin::python {
namespace {

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
        FrameCase{"Other", [] { throw 5; }, "InternalError: internal failure in libkeldrin"},
        FrameCase{"NoMemory", [] { throw std::bad_alloc(); }, "MemoryError: "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keldrin::python
