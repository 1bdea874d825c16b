// The module entry: one module object per process, refused to every interpreter but the first.

#include <atomic>
#include <cstdint>
#include <tuple>

#include "python/libkeldrin/classes.h"

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

constexpr const char* kSubInterpreterMessage =
    "libkeldrin does not support sub-interpreters: it can only be imported in the interpreter that "
    "first loaded it";

// The module made by the first successful initialisation; one strong reference, kept for good.
std::atomic<PyObject*> module_cache = nullptr;

// Puts the class on the module and its name on the module's __all__ list.
void register_class(PyObject* module, PyObject* all, LazyTypeObject& lazy) {
  PyTypeObject* type = lazy.get_or_register();
  PyRef name = checked(PyUnicode_FromString(lazy.name()));
  if (PyList_Append(all, name.get()) < 0) throw_pending();
  if (PyObject_SetAttr(module, name.get(), reinterpret_cast<PyObject*>(type)) < 0) {
    throw_pending();
  }
}

// Checks that the module may serve the calling interpreter, and records the first one. The
// type objects and the cached module belong to the runtime that made them, so they are refused
// to every other interpreter: to a sub-interpreter, and to a main interpreter started by
// Py_Initialize after Py_FinalizeEx, which has the same ID as the first one but none of its
// objects. A runtime that has seen the module carries a mark in its interpreter's own dictionary,
// which finalisation clears.
void claim_interpreter() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) throw_pending();
  const std::int64_t recorded = recorded_interpreter.load();
  if (recorded != -1 && recorded != id) throw_error(PyExc_ImportError, kSubInterpreterMessage);

  PyObject* state = PyInterpreterState_GetDict(interpreter);
  if (state == nullptr) {
    // It fails without an exception, and only for lack of memory.
    PyErr_NoMemory();
    throw_pending();
  }
  PyRef key = checked(PyUnicode_FromString("libkeldrin.runtime"));
  PyObject* mark = PyDict_GetItemWithError(state, key.get());
  if (mark == nullptr && PyErr_Occurred()) throw_pending();
  if (mark == nullptr && recorded == id) {
    throw_error(PyExc_ImportError,
                "libkeldrin cannot be imported in a Python runtime started after the one that "
                "first imported it was finalised: its classes belong to that runtime; use a new "
                "process");
  }
  // Marked before the interpreter is recorded, so that a recorded interpreter always has its mark.
  if (mark == nullptr && PyDict_SetItem(state, key.get(), Py_True) < 0) throw_pending();
  std::int64_t expected = -1;
  if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    throw_error(PyExc_ImportError, kSubInterpreterMessage);
  }
}

PyRef make_module() {
  claim_interpreter();
  if (PyObject* cached = module_cache.load(std::memory_order_acquire)) return PyRef::borrow(cached);

  PyRef module = checked(PyModule_Create2(&kModuleDef, PYTHON_API_VERSION));
#ifdef Py_GIL_DISABLED
  // Every piece of shared state is atomic or taken under a borrow, so the interpreter may keep
  // the GIL off for the whole process.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) throw_pending();
#endif
  PyRef all = checked(PyList_New(0));
  if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) throw_pending();
  std::apply([&](auto... record) {
    (register_class(module.get(), all.get(), lazy_type<decltype(record)>()), ...);
  }, ModuleClasses{});
  // Two threads that import at once each build a module; the first cached is the one both get.
  return PyRef::borrow(keep_first(module_cache, std::move(module)));
}

}  // namespace

}  // namespace keldrin::python

PyMODINIT_FUNC PyInit_libkeldrin() {
  return keldrin::python::object_frame(keldrin::python::make_module);
}
