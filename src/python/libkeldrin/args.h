#pragma once

#include "python/binding.h"

namespace keldrin::python {

/// A callable that takes no parameter, or one required one that may be given by keyword. This one
/// declaration gives both the parser's error texts ("Init.wire_decode() takes ...") and the text
/// signature that help() and inspect show ("wire_decode($self, buff)").
struct MethodSignature {
  const char* name;       // "wire_decode"; "__new__" for a constructor
  const char* parameter;  // null for none
};

/// The method `signature` of the class `owner` ("Init"), as the parser checks its arguments.
struct ArgDescription {
  const char* owner;
  const MethodSignature& signature;
};

/// Vector form (METH_FASTCALL | METH_KEYWORDS): the argument, borrowed (null when the callable
/// takes none), from `nargs` positional arguments followed in `args` by the values of the
/// keywords named in `kwnames`. Throws the TypeError of the first problem found.
PyObject* parse_vector_args(const ArgDescription& description, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames);

/// Tuple form (tp_new): the same from a tuple and a dict (or null).
PyObject* parse_tuple_args(const ArgDescription& description, PyObject* args, PyObject* kwargs);

}  // namespace keldrin::python
