// The module entry: one module object per process, refused to every interpreter but the first.

#include <atomic>
#include <cstdint>
#include <cstring>

#include "python/classes.h"

namespace keldrin::python {

namespace {

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "libkeldrin",
    .m_doc = "Messages of the Lightning Network's base protocol (BOLT #1), with an exact codec\n"
             "for the init message between its object form and the bytes a peer sends.\n"
             "Decoding is safe on any input: a malformed message raises OSError.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// The module's classes hold process-wide type objects, so the module can serve one interpreter
// only: the first to import it. Set once by compare-and-swap, never reset.
std::atomic<std::int64_t> recorded_interpreter{-1};

// The module made by the first successful initialisation; one strong reference, kept for good.
PyObject* module_cache = nullptr;

PyObject* all_name() {
  static PyObject* name = [] {
    PyObject* str = api_object(PyUnicode_FromStringAndSize("__all__", 7)).release();
    PyUnicode_InternInPlace(&str);
    return str;
  }();
  return name;
}

// The module's __all__ list, made empty if the module has none yet; new reference.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name()));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    all = api_object(PyList_New(0));
    if (PyObject_SetAttr(module, all_name(), all.get()) < 0) throw_pending();
  }
  if (!PyList_Check(all.get())) throw_conversion_error(all.get(), "list");
  return all;
}

void register_class(PyObject* module, LazyTypeObject& lazy) {
  PyTypeObject* type = lazy.get_or_register();
  const char* name = lazy.description().name;
  PyRef name_str = api_object(PyUnicode_FromStringAndSize(name, static_cast<Py_ssize_t>(std::strlen(name))));
  PyRef all = all_list(module);
  if (PyList_Append(all.get(), name_str.get()) < 0) {
    if (memory_error_pending()) throw_pending();
    PyErr_Clear();
    throw InternalFailure{std::string("could not append __name__ to __all__: ") + name};
  }
  if (PyObject_SetAttr(module, name_str.get(), reinterpret_cast<PyObject*>(type)) < 0) {
    throw_pending();
  }
}

PyRef make_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_pending();
  std::int64_t expected = -1;
  if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw_error(PyExc_ImportError,
                "libkeldrin does not support sub-interpreters: it can only be imported in the "
                "interpreter that first loaded it");
  }
  if (module_cache != nullptr) return PyRef::borrow(module_cache);

  PyRef module = checked(PyModule_Create2(&kModuleDef, 1013));
  register_class(module.get(), class_of<bolt1::Init>());
  register_class(module.get(), class_of<bolt1::Error>());
  register_class(module.get(), class_of<bolt1::Ping>());
  register_class(module.get(), class_of<bolt1::Pong>());
  register_class(module.get(), class_of<bolt1::Warning>());
  module_cache = module.release();
  return PyRef::borrow(module_cache);
}

}  // namespace

}  // namespace keldrin::python

PyMODINIT_FUNC PyInit_libkeldrin() {
  return keldrin::python::object_frame(keldrin::python::make_module);
}
