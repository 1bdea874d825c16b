// Pieces of the binding that Python code reaches only in part: the argument parser with
// descriptions that the module's two callables do not use, and how an entry point's failures
// reach Python (the module throws InternalFailure and C++ exceptions only when the interpreter
// or the allocator fails).

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "embedded.h"
#include "python/args.h"

namespace keldrin::python {
namespace {

constexpr const char* kNames[] = {"a", "b", "c"};

struct ParseCase {
  std::size_t required;
  Py_ssize_t nargs;                    // the first nargs of x, y, z by position
  std::vector<const char*> keywords;   // then the rest by these names
  const char* result;                  // the slots as the values' names, "-" for empty; or the error
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.result; }

class ParserTest : public ::testing::TestWithParam<ParseCase> {};

// Vector form against a three-parameter description whose first parameter is positional-only.
// The array holds a value past the arguments given, which no slot may pick up.
TEST_P(ParserTest, FillsSlotsOrNamesTheProblem) {
  const ParseCase& c = GetParam();
  const ArgDescription description{"C", "f", kNames, 1, c.required};
  const PyRef values[] = {testing::eval("'x'"), testing::eval("'y'"), testing::eval("'z'"),
                          testing::eval("'!'")};
  PyObject* args[] = {values[0].get(), values[1].get(), values[2].get(), values[3].get()};
  PyRef kwnames = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(c.keywords.size())));
  for (std::size_t i = 0; i < c.keywords.size(); ++i) {
    PyTuple_SET_ITEM(kwnames.get(), i, PyUnicode_FromString(c.keywords[i]));
  }
  std::array<PyObject*, 3> slots{};
  std::string got;
  try {
    parse_vector_args(description, args, c.nargs, c.keywords.empty() ? nullptr : kwnames.get(), slots);
    for (PyObject* slot : slots) got += slot == nullptr ? "-" : PyUnicode_AsUTF8(slot);
  } catch (PythonError& error) {
    PyErr_SetRaisedException(error.take());
    got = testing::take_error();
  }
  EXPECT_EQ(got, c.result);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ParserTest,
    ::testing::Values(
        ParseCase{2, 2, {}, "xy-"}, ParseCase{2, 3, {}, "xyz"}, ParseCase{2, 1, {"c", "b"}, "xzy"},
        ParseCase{2, 0, {}, "TypeError: C.f() missing 2 required positional arguments: 'a' and 'b'"},
        ParseCase{3, 0, {},
                  "TypeError: C.f() missing 3 required positional arguments: 'a', 'b', and 'c'"},
        ParseCase{3, 1, {"c"}, "TypeError: C.f() missing 1 required positional argument: 'b'"},
        ParseCase{2, 1, {"a"}, "TypeError: C.f() got an unexpected keyword argument 'a'"},
        ParseCase{2, 2, {"b"}, "TypeError: C.f() got multiple values for argument 'b'"}));

// Tuple form: positional items from the tuple, keywords from the dict.
TEST(ParserTupleTest, KeywordsFromTheDict) {
  const ArgDescription description{"C", "f", kNames, 1, 2};
  PyRef args = testing::eval("('x',)"), kwargs = testing::eval("{'c': 'z', 'b': 'y'}");
  std::array<PyObject*, 3> slots{};
  parse_tuple_args(description, args.get(), kwargs.get(), slots);
  EXPECT_EQ(PyUnicode_AsUTF8(slots[0]) + std::string(PyUnicode_AsUTF8(slots[1])) +
                PyUnicode_AsUTF8(slots[2]),
            "xyz");
  // The required parameters are checked in this form too.
  kwargs = testing::eval("{'c': 'z'}");
  args = testing::eval("()");
  try {
    parse_tuple_args(description, args.get(), kwargs.get(), slots);
    ADD_FAILURE() << "a call without its required arguments was accepted";
  } catch (PythonError& error) {
    PyErr_SetRaisedException(error.take());
  }
  EXPECT_EQ(testing::take_error(),
            "TypeError: C.f() missing 2 required positional arguments: 'a' and 'b'");
}

// A class that the interpreter refuses to make (a slot it does not know). Registration raises
// RuntimeError with the interpreter's error as its cause; any other use prints that error,
// without recording it as sys.last_value, and raises the internal failure. Nothing is kept, so
// the next use tries again.
TEST(LazyTypeObjectTest, ReportsAClassThatCannotBeMade) {
  static constexpr PyType_Slot kUnknownSlot[] = {{9999, nullptr}};
  // Kept by reference, as the module's own descriptions are.
  static const ClassDescription kBad{"Bad", "", nullptr, nullptr, nullptr, kUnknownSlot,
                                     sizeof(PyObject), nullptr, nullptr, nullptr};
  LazyTypeObject lazy(kBad);
  EXPECT_EQ(object_frame([&]() -> PyRef { lazy.get_or_register(); return {}; }), nullptr);
  PyRef raised = PyRef::steal(PyErr_GetRaisedException());
  PyRef cause = PyRef::steal(PyException_GetCause(raised.get()));
  PyErr_SetRaisedException(raised.release());
  EXPECT_EQ(testing::take_error(), "RuntimeError: An error occurred while initializing class Bad");
  PyErr_SetRaisedException(cause.release());
  EXPECT_EQ(testing::take_error(), "RuntimeError: invalid slot offset");

  PyRef captured = testing::eval("__import__('io').StringIO()");
  PyRef saved = PyRef::borrow(PySys_GetObject("stderr"));
  PySys_SetObject("last_value", nullptr);
  PyErr_Clear();
  PySys_SetObject("stderr", captured.get());
  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(object_frame([&]() -> PyRef { lazy.get(); return {}; }), nullptr);
    EXPECT_EQ(testing::take_error(), "InternalError: failed to create type object for Bad");
  }
  PySys_SetObject("stderr", saved.get());
  PyRef printed = PyRef::steal(PyObject_CallMethod(captured.get(), "getvalue", nullptr));
  const std::string text = PyUnicode_AsUTF8(printed.get());
  EXPECT_NE(text.find("RuntimeError: invalid slot offset"), std::string::npos) << text;
  EXPECT_EQ(PySys_GetObject("last_value"), nullptr);
  EXPECT_FALSE(lazy.made());
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
        FrameCase{"ApiObjectNoMemory", [] { PyErr_NoMemory(); api_object(nullptr); },
                  "MemoryError: "},
        FrameCase{"Other", [] { throw 5; }, "InternalError: internal failure in libkeldrin"},
        FrameCase{"NoMemory", [] { throw std::bad_alloc(); }, "MemoryError: "}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace keldrin::python
