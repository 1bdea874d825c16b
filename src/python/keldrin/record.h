#pragma once

#include <cstdint>

#include "core/wire_reader.h"
#include "python/keldrin/state.h"
#include "python/py_ref.h"
#include "tlv/stream.h"

namespace keldrin::python::keldrin_module {

/// The class keldrin.Record: a tuple (type, value) of an int 0..2^64-1 and a bytes object.
/// New reference to a class made for the module `module`.
PyRef make_record_class(PyObject* module);

/// A new Record of the module whose state is `state`.
PyRef new_record(const ModuleState& state, std::uint64_t type, ByteSpan value);

/// A new tuple of one Record per record of `stream`, in stream order.
PyRef records_tuple(const ModuleState& state, const Stream& stream);

}  // namespace keldrin::python::keldrin_module
