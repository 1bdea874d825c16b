#include "python/libkeldrin/args.h"

#include <string_view>

#include "python/errors.h"

namespace keldrin::python {

namespace {

// One parse: positional arguments first, then keywords one by one, then the check for a missing
// argument. The order decides which error a wrong call gets.
class ArgParser {
 public:
  ArgParser(const ArgDescription& description, PyObject* const* args, Py_ssize_t nargs)
      : owner_(description.owner), signature_(description.signature) {
    const auto given = static_cast<std::size_t>(nargs);
    const std::size_t accepted = signature_.parameter != nullptr ? 1 : 0;
    if (given > accepted) {
      throw_format(PyExc_TypeError, "%s.%s() takes %zu positional arguments but %zu %s given",
                   owner_, signature_.name, accepted, given, given == 1 ? "was" : "were");
    }
    if (given == 1) value_ = args[0];
  }

  void keyword(PyObject* name, PyObject* value) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) {
      PyErr_Clear();
    } else if (signature_.parameter != nullptr &&
               std::string_view(utf8, static_cast<std::size_t>(size)) == signature_.parameter) {
      if (value_ != nullptr) {
        throw_format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'", owner_,
                     signature_.name, signature_.parameter);
      }
      value_ = value;
      return;
    }
    PyRef text = checked(PyObject_Str(name));
    throw_format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'", owner_,
                 signature_.name, text.get());
  }

  PyObject* finish() const {
    if (signature_.parameter != nullptr && value_ == nullptr) {
      throw_format(PyExc_TypeError, "%s.%s() missing 1 required positional argument: '%s'",
                   owner_, signature_.name, signature_.parameter);
    }
    return value_;
  }

 private:
  const char* owner_;
  const MethodSignature& signature_;
  PyObject* value_ = nullptr;
};

}  // namespace

PyObject* parse_vector_args(const ArgDescription& description, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames) {
  // The usual call: the one argument by position, which none of the checks can refuse.
  if (kwnames == nullptr && nargs == 1 && description.signature.parameter != nullptr) {
    return args[0];
  }
  ArgParser parser(description, args, nargs);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      parser.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    }
  }
  return parser.finish();
}

PyObject* parse_tuple_args(const ArgDescription& description, PyObject* args, PyObject* kwargs) {
  // The documented view of a tuple's item array; taking the address of PyTuple_GET_ITEM works
  // only while that macro expands to an array element.
  ArgParser parser(description, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) parser.keyword(name, value);
  }
  return parser.finish();
}

}  // namespace keldrin::python
