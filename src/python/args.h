#pragma once

#include <cstddef>
#include <span>

#include "python/binding.h"

namespace keldrin::python {

/// The parameters of one callable, as its error messages name them.
struct ArgDescription {
  const char* class_name;
  const char* function_name;
  std::span<const char* const> positional;  // names, in order
  std::size_t positional_only;
  std::size_t required;  // the first `required` positional parameters must be given
};

/// Vector form (METH_FASTCALL | METH_KEYWORDS): fills `slots` (one per positional parameter,
/// borrowed references, null where not given) from `nargs` positional arguments followed in
/// `args` by the values of the keywords named in `kwnames`. Throws the TypeError of the first
/// problem found.
void parse_vector_args(const ArgDescription& description, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, std::span<PyObject*> slots);

/// Tuple form (tp_new, tp_init): the same from a tuple and a dict (or null).
void parse_tuple_args(const ArgDescription& description, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> slots);

}  // namespace keldrin::python
