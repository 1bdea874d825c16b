#pragma once

#include "core/wire_error.h"
#include "core/wire_reader.h"
#include "python/py_ref.h"

namespace keldrin::python {

/// A new list of ints 0..255, one per byte, filled from the interpreter's cached small ints.
PyRef byte_list(ByteSpan bytes);

/// A decode failure as Python sees it: a plain OSError whose one argument is the message (so
/// errno and strerror are None).
[[noreturn]] void throw_wire_error(const WireError& error);

}  // namespace keldrin::python
