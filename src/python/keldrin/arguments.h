#pragma once

#include <cstddef>
#include <span>

#include "python/binding.h"

namespace keldrin::python::keldrin_module {

/// The parameters of a callable, as Python code would declare them: `names`, of which the first
/// `positional` may be given by position and the first `required` must be given at all; every
/// parameter may be given by keyword.
struct Signature {
  const char* callable;  // as error texts name it: "Init", "decode"
  std::span<const char* const> names;
  std::size_t positional;
  std::size_t required;
};

/// Matches a call's arguments to the parameters of `signature`: given[i] becomes the argument of
/// names[i] (borrowed), or stays null where none was given. Throws the TypeError that Python
/// gives for the same mistake ("Init() got an unexpected keyword argument 'x'").
/// REQUIRES: given.size() == signature.names.size().
void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> given);

/// The same for a vector call: `nargs` positional arguments, then in `args` the values of the
/// keywords that `kwnames` names.
void match_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> given);

/// A flag's value: the truth of `value`, or `absent` when it was not given (null). May run Python
/// code (__bool__).
bool flag_value(PyObject* value, bool absent);

}  // namespace keldrin::python::keldrin_module
