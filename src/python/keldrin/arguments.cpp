#include "python/keldrin/arguments.h"

#include "python/errors.h"

namespace keldrin::python::keldrin_module {

namespace {

void take_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> given) {
  const auto count = static_cast<std::size_t>(nargs);
  if (count > signature.positional) {
    throw_format(PyExc_TypeError, "%s() takes at most %zu positional argument%s (%zu given)",
                 signature.callable, signature.positional,
                 signature.positional == 1 ? "" : "s", count);
  }
  for (std::size_t i = 0; i < count; ++i) given[i] = args[i];
}

void take_keyword(const Signature& signature, PyObject* name, PyObject* value,
                  std::span<PyObject*> given) {
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) {
      if (given[i] != nullptr) {
        throw_format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                     signature.callable, signature.names[i]);
      }
      given[i] = value;
      return;
    }
  }
  throw_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", signature.callable,
               name);
}

void check_required(const Signature& signature, std::span<PyObject*> given) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (given[i] == nullptr) {
      throw_format(PyExc_TypeError, "%s() missing required argument '%s'", signature.callable,
                   signature.names[i]);
    }
  }
}

}  // namespace

void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> given) {
  take_positional(signature, PySequence_Fast_ITEMS(args), PyTuple_GET_SIZE(args), given);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) take_keyword(signature, name, value, given);
  }
  check_required(signature, given);
}

void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> given) {
  take_positional(signature, args, nargs, given);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      take_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], given);
    }
  }
  check_required(signature, given);
}

bool flag_value(PyObject* value, bool absent) {
  if (value == nullptr) return absent;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) throw_pending();
  return truth != 0;
}

}  // namespace keldrin::python::keldrin_module
