#include "python/args.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>
#include <string_view>

#include "python/errors.h"

namespace keldrin::python {

namespace {

// One parse: positional arguments first, then keywords one by one, then the check for missing
// required parameters. The order decides which error a wrong call gets.
class ArgParser {
 public:
  ArgParser(const ArgDescription& description, std::span<PyObject*> slots)
      : d_(description), slots_(slots) {
    for (PyObject*& slot : slots_) slot = nullptr;
  }

  void positional(PyObject* const* args, std::size_t count) {
    given_ = count;
    if (count > d_.positional.size()) {
      throw_format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                   full_name().c_str(), d_.positional.size(), count, count == 1 ? "was" : "were");
    }
    for (std::size_t i = 0; i < count; ++i) slots_[i] = args[i];
  }

  void keyword(PyObject* name, PyObject* value) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
    if (utf8 == nullptr) {
      PyErr_Clear();
      unexpected_keyword(name);
    }
    const std::string_view key(utf8, static_cast<std::size_t>(size));
    for (std::size_t i = d_.positional_only; i < d_.positional.size(); ++i) {
      if (key != d_.positional[i]) continue;
      if (slots_[i] != nullptr) {
        throw_format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     full_name().c_str(), d_.positional[i]);
      }
      slots_[i] = value;
      return;
    }
    unexpected_keyword(name);
  }

  void finish() {
    if (given_ >= d_.required) return;
    std::size_t count = 0;
    for (std::size_t i = given_; i < d_.required; ++i) count += slots_[i] == nullptr;
    if (count == 0) return;
    // Names between single quotes, joined as in English: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
    std::string names;
    std::size_t written = 0;
    for (std::size_t i = given_; i < d_.required; ++i) {
      if (slots_[i] != nullptr) continue;
      if (written > 0) names += count == 2 ? " and " : (written + 1 == count ? ", and " : ", ");
      names += std::string("'") + d_.positional[i] + "'";
      ++written;
    }
    throw_format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 full_name().c_str(), count, count == 1 ? "argument" : "arguments", names.c_str());
  }

 private:
  [[noreturn]] void unexpected_keyword(PyObject* name) {
    PyRef text = PyRef::steal(PyObject_Str(name));
    if (!text) throw_pending();
    throw_format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                 full_name().c_str(), text.get());
  }

  // "Class.function()", as every message names the callable. Built only for an error.
  std::string full_name() const {
    return std::string(d_.class_name) + "." + d_.function_name + "()";
  }

  const ArgDescription& d_;
  std::span<PyObject*> slots_;
  std::size_t given_ = 0;
};

}  // namespace

void parse_vector_args(const ArgDescription& description, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::span<PyObject*> slots) {
  // One slot a parameter: every slot of the span is written, so it must be the caller's own.
  assert(slots.size() == description.positional.size());
  // The usual call: positional arguments only, enough of them and not too many. None of the
  // checks below can fail for it, so the slots are filled straight away.
  const auto given = static_cast<std::size_t>(nargs);
  if (kwnames == nullptr && given >= description.required &&
      given <= description.positional.size()) {
    std::fill(slots.begin(), slots.end(), nullptr);
    std::copy_n(args, given, slots.begin());
    return;
  }
  ArgParser parser(description, slots);
  parser.positional(args, static_cast<std::size_t>(nargs));
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      parser.keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]);
    }
  }
  parser.finish();
}

void parse_tuple_args(const ArgDescription& description, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> slots) {
  assert(slots.size() == description.positional.size());
  ArgParser parser(description, slots);
  // The documented view of a tuple's item array; taking the address of PyTuple_GET_ITEM works
  // only while that macro expands to an array element.
  parser.positional(PySequence_Fast_ITEMS(args), static_cast<std::size_t>(PyTuple_GET_SIZE(args)));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) parser.keyword(name, value);
  }
  parser.finish();
}

}  // namespace keldrin::python
