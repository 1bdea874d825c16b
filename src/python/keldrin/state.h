#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <tuple>

#include "bolt/bolt1/messages.h"
#include "python/call_frame.h"

namespace keldrin::python::keldrin_module {

/// Every message class, in the order of the module's __all__: the messages of the protocol, then
/// Unknown for any other type.
using MessageClasses = decltype(std::tuple_cat(bolt1::Messages{}, std::tuple<bolt1::Unknown>{}));
inline constexpr std::size_t kClassCount = std::tuple_size_v<MessageClasses>;

/// M's position in MessageClasses.
template <class M>
constexpr std::size_t class_index() {
  return []<std::size_t... I>(std::index_sequence<I...>) {
    std::size_t index = 0;
    ((std::is_same_v<M, std::tuple_element_t<I, MessageClasses>> ? (index = I, 0) : 0), ...);
    return index;
  }(std::make_index_sequence<kClassCount>{});
}

/// The module's state: every Python object the module needs, made by its exec slot and dropped
/// with the module. Each interpreter that imports the module gets a module and a state of its
/// own, and no Python object is shared between them. Borrowed pointers: the module owns them.
struct ModuleState {
  PyObject* decode_error = nullptr;  // keldrin.DecodeError
  PyObject* record_type = nullptr;   // keldrin.Record
  PyObject* unpickle = nullptr;      // keldrin._unpickle, which __reduce__ names
  std::array<PyObject*, kClassCount> classes{};
};

/// REQUIRES: `module` is a keldrin module object.
inline ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

/// The state of the module that made `cls`.
/// REQUIRES: `cls` is one of the module's classes (they admit no subclass).
inline ModuleState& class_state(PyTypeObject* cls) {
  return *static_cast<ModuleState*>(PyType_GetModuleState(cls));
}

/// A new class made from `spec` for `module`, with `base` (null: object). CPython 3.12 returns
/// null without an exception when its copy of the class's name cannot be allocated; that null is
/// a MemoryError here, as lack of memory is then the only cause.
inline PyRef class_from_spec(PyObject* module, PyType_Spec& spec, PyObject* base) {
  PyObject* made = PyType_FromModuleAndSpec(module, &spec, base);
  if (made == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
  return checked(made);
}

/// A failure of the module's own code reaches Python as SystemError, a class every interpreter
/// has, rather than a class of the module's that another interpreter could not use.
void raise_system_error(const std::string& message) noexcept;

/// The call frame of every entry point of this module (see call_frame.h).
template <class Body>
PyObject* frame(Body&& body) noexcept {
  return object_frame<raise_system_error>(std::forward<Body>(body));
}

}  // namespace keldrin::python::keldrin_module
