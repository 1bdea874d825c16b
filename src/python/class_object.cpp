#include "python/class_object.h"

#include <string>
#include <vector>

namespace keldrin::python {

namespace {

// A class with a text signature gets it in front of its docstring, where inspect finds it.
std::string built_doc(const ClassDescription& d) {
  return d.text_signature != nullptr ? std::string(d.name) + d.text_signature + "\n--\n\n" + d.doc
                                     : std::string(d.doc);
}

PyRef create_type_object(const ClassDescription& description) {
  // PyType_FromSpec copies the docstring into the type, so this copy need not outlive the call.
  const std::string doc = built_doc(description);
  std::vector<PyType_Slot> slots;
  if (!doc.empty()) slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
  bool has_new = false;
  for (const PyType_Slot& slot : description.own_slots) {
    slots.push_back(slot);
    has_new = has_new || slot.slot == Py_tp_new;
  }
  if (description.methods != nullptr) slots.push_back({Py_tp_methods, description.methods});
  if (description.getsets != nullptr) slots.push_back({Py_tp_getset, description.getsets});
  slots.push_back({Py_tp_base, &PyBaseObject_Type});
  if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor_defined)});
#ifdef Py_GIL_DISABLED
  slots.push_back({Py_tp_free, reinterpret_cast<void*>(description.free)});
#else
  slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(description.dealloc)});
#endif
  slots.push_back({Py_tp_alloc, reinterpret_cast<void*>(description.alloc)});
  slots.push_back({0, nullptr});

  // The "builtins." prefix gives the classes no module of their own: __module__ is "builtins".
  const std::string name = std::string("builtins.") + description.name;
  PyType_Spec spec{
      .name = name.c_str(),
      .basicsize = static_cast<int>(description.basicsize),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots.data(),
  };
  PyObject* type = PyType_FromSpec(&spec);
  // Some allocation failures inside type creation return null without an exception (seen with
  // CPython 3.12's allocator hooks); lack of memory is then the only cause.
  if (type == nullptr && !PyErr_Occurred()) PyErr_NoMemory();
  return checked(type);
}

}  // namespace

PyTypeObject* LazyTypeObject::get_or_register() {
  if (PyTypeObject* type = stored()) return type;
  try {
    return reinterpret_cast<PyTypeObject*>(keep_first(type_, create_type_object(description_)));
  } catch (PythonError& failure) {
    // Lack of memory stays a MemoryError, which a program can handle; the RuntimeError is for
    // a class that cannot be made at all.
    if (PyErr_GivenExceptionMatches(failure.exception(), PyExc_MemoryError)) throw;
    PyRef error = checked(PyUnicode_FromFormat("An error occurred while initializing class %s",
                                               description_.name));
    PyRef runtime = checked(PyObject_CallOneArg(PyExc_RuntimeError, error.get()));
    PyException_SetCause(runtime.get(), failure.take());
    throw PythonError(std::move(runtime));
  }
}

PyTypeObject* LazyTypeObject::get_after_miss() {
  try {
    return get_or_register();
  } catch (PythonError& error) {
    if (PyErr_GivenExceptionMatches(error.exception(), PyExc_MemoryError)) throw;
    PyErr_SetRaisedException(error.take());
    PyErr_PrintEx(0);
    throw InternalFailure{std::string("failed to create type object for ") + description_.name};
  }
}

PyObject* no_constructor_defined(PyTypeObject* type, PyObject*, PyObject*) {
  return object_frame([type]() -> PyRef {
    PyRef name = PyRef::steal(PyType_GetName(type));
    if (!name) {
      throw_if_memory_error();
      PyErr_Clear();
      name = api_object(PyUnicode_FromString("<unknown>"));
    }
    throw_format(PyExc_TypeError, "No constructor defined for %U", name.get());
  });
}

}  // namespace keldrin::python
