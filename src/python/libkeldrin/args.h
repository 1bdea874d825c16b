#pragma once

#include "python/binding.h"

namespace keldrin::python {

/// A callable that takes no parameter, or one required one that may be given by keyword.
struct ArgDescription {
  const char* callable;   // as every error message names it: "Init.wire_decode()"
  const char* parameter;  // null for none
};

/// Vector form (METH_FASTCALL | METH_KEYWORDS): the argument, borrowed (null when the callable
/// takes none), from `nargs` positional arguments followed in `args` by the values of the
/// keywords named in `kwnames`. Throws the TypeError of the first problem found.
PyObject* parse_vector_args(const ArgDescription& description, PyObject* const* args,
                            Py_ssize_t nargs, PyObject* kwnames);

/// Tuple form (tp_new): the same from a tuple and a dict (or null).
PyObject* parse_tuple_args(const ArgDescription& description, PyObject* args, PyObject* kwargs);

}  // namespace keldrin::python
