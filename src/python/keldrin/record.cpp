#include "python/keldrin/record.h"

#include <array>
#include <limits>

#include "python/keldrin/arguments.h"
#include "python/keldrin/convert.h"

namespace keldrin::python::keldrin_module {

namespace {

// A new Record of class `cls` holding two new references. A Record is a tuple, allocated as a
// tuple is, less the copying through a temporary tuple that tuple.__new__ does, the zeroing of
// the memory that tp_alloc does and the collector's tracking: an int and a bytes object can form
// no cycle, so the collector has nothing to look for. Every field is set here.
PyRef pack_record(PyTypeObject* cls, PyRef type, PyRef value) {
  PyObject* record = PyObject_GC_NewVar(PyObject, cls, 2);
  if (record == nullptr) throw_pending();
#if PY_MINOR_VERSION >= 14
  // A tuple keeps its hash from 3.14 on; -1 is "not computed yet".
  reinterpret_cast<PyTupleObject*>(record)->ob_hash = -1;
#endif
  PyTuple_SET_ITEM(record, 0, type.release());
  PyTuple_SET_ITEM(record, 1, value.release());
  return PyRef::steal(record);
}

#ifndef Py_GIL_DISABLED
// What the interpreter's deallocator of a tuple subclass does, less its search for finalizers,
// weak references and a __dict__, which a Record has none of, its guard against deep nesting,
// which an int and a bytes object cannot have, and the untracking: pack_record makes every
// Record (tuple.__new__ refuses the class) and never tracks one. On a free-threaded build the
// interpreter's own runs instead (see object_release_slot).
void Record_dealloc(PyObject* self) {
  PyRef cls = PyRef::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  PyRef type = PyRef::steal(PyTuple_GET_ITEM(self, 0));
  PyRef value = PyRef::steal(PyTuple_GET_ITEM(self, 1));
  Py_TYPE(self)->tp_free(self);
}
#endif

constexpr const char* kRecordNames[] = {"type", "value"};
constexpr Signature kRecordSignature{"Record", kRecordNames, 2, 2};

// Record(type, value): the type an integer 0..2^64-1, the value any bytes-like object, kept as
// bytes.
PyObject* Record_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    std::array<PyObject*, std::size(kRecordNames)> given{};
    match_arguments(kRecordSignature, args, kwargs, given);
    auto [type, value] = given;
    const std::uint64_t t =
        to_unsigned(type, {"Record", "type"}, std::numeric_limits<std::uint64_t>::max());
    PyRef number = checked(PyLong_FromUnsignedLongLong(t));
    PyRef bytes = PyBytes_CheckExact(value)
                      ? PyRef::borrow(value)
                      : bytes_object(BytesView(value, {"Record", "value"}).bytes());
    return pack_record(cls, std::move(number), std::move(bytes));
  });
}

PyObject* Record_repr(PyObject* self) {
  return frame([&] {
    return checked(PyUnicode_FromFormat("keldrin.Record(type=%R, value=%R)",
                                        PyTuple_GET_ITEM(self, 0), PyTuple_GET_ITEM(self, 1)));
  });
}

PyObject* Record_item(PyObject* self, void* index) {
  return PyRef::borrow(PyTuple_GET_ITEM(self, reinterpret_cast<Py_ssize_t>(index))).release();
}

// Pickled and copied as the call that makes it again.
PyObject* Record_reduce(PyObject* self, PyObject*) {
  return frame([&] {
    return checked(Py_BuildValue("O(OO)", Py_TYPE(self), PyTuple_GET_ITEM(self, 0),
                                 PyTuple_GET_ITEM(self, 1)));
  });
}

constexpr auto kRecordDoc = documented<kRecordSignature>(
    "Record",
    "One TLV record: its type, an integer 0..2**64-1, and its value, as bytes.\n"
    "A Record is a tuple, so `type, value = record` works, and it equals the\n"
    "tuple (type, value).");

PyGetSetDef kRecordAttributes[] = {
    {"type", Record_item, nullptr, "The record's type, an integer 0..2**64-1.",
     reinterpret_cast<void*>(Py_ssize_t{0})},
    {"value", Record_item, nullptr, "The record's value, as bytes.",
     reinterpret_cast<void*>(Py_ssize_t{1})},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kRecordMethods[] = {
    {"__reduce__", Record_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kRecordSlots[] = {
    {Py_tp_doc, const_cast<char*>(kRecordDoc.data())},
    {Py_tp_new, reinterpret_cast<void*>(Record_new)},
    {Py_tp_repr, reinterpret_cast<void*>(Record_repr)},
    {Py_tp_getset, kRecordAttributes},
    {Py_tp_methods, kRecordMethods},
#ifndef Py_GIL_DISABLED
    {Py_tp_dealloc, reinterpret_cast<void*>(Record_dealloc)},
#endif
    {0, nullptr},
};

// Sizes 0: a tuple's, inherited from the base.
PyType_Spec kRecordSpec = {"keldrin.Record", 0, 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, kRecordSlots};

}  // namespace

PyRef make_record_class(PyObject* module) {
  PyRef cls = class_from_spec(module, kRecordSpec, reinterpret_cast<PyObject*>(&PyTuple_Type));
  PyRef match_args = checked(Py_BuildValue("(ss)", "type", "value"));
  PyObject* dict = reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict;
  if (PyDict_SetItemString(dict, "__match_args__", match_args.get()) < 0) throw_pending();
  PyType_Modified(reinterpret_cast<PyTypeObject*>(cls.get()));
  return cls;
}

PyRef new_record(const ModuleState& state, std::uint64_t type, ByteSpan value) {
  PyRef number = checked(PyLong_FromUnsignedLongLong(type));
  PyRef bytes = bytes_object(value);
  return pack_record(reinterpret_cast<PyTypeObject*>(state.record_type), std::move(number),
                     std::move(bytes));
}

PyRef records_tuple(const ModuleState& state, const Stream& stream) {
  Py_ssize_t count = 0;
  for (auto it = stream.begin(); it != stream.end(); ++it) ++count;
  PyRef records = checked(PyTuple_New(count));
  Py_ssize_t i = 0;
  for (const Record& record : stream) {
    PyTuple_SET_ITEM(records.get(), i++, new_record(state, record.type, record.value).release());
  }
  return records;
}

}  // namespace keldrin::python::keldrin_module
