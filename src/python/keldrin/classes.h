#pragma once

#include "core/wire_reader.h"
#include "python/keldrin/arguments.h"
#include "python/keldrin/state.h"
#include "python/py_ref.h"

namespace keldrin::python::keldrin_module {

/// Makes every message class for `module`, in the order of MessageClasses, keeps each in
/// `state.classes` and puts each on the module under its name. Throws on failure, leaving the
/// classes made so far in `state`, for the module to drop.
void add_classes(PyObject* module, ModuleState& state);

inline constexpr const char* kDecodeNames[] = {"data", "strict"};
inline constexpr const char* kDecodeDefaults[] = {"True"};
/// The parameters of keldrin.decode and of each class's decode.
inline constexpr Signature kDecodeSignature{"decode", kDecodeNames, 1, 1, kDecodeDefaults};

/// Decodes `data`, one whole message, into an instance of the class its type names, or of
/// Unknown for any other type. Raises keldrin.DecodeError on failure.
PyRef decode_any(const ModuleState& state, ByteSpan data, bool strict);

}  // namespace keldrin::python::keldrin_module
