// The Init class: the only message with a constructor and a wire form.

#include <array>
#include <memory>

#include "python/libkeldrin/args.h"
#include "python/libkeldrin/classes.h"
#include "python/libkeldrin/convert.h"
#include "python/libkeldrin/setters.h"

namespace keldrin::python {

namespace {

using bolt1::Init;

// The ints 0..255, fetched once; the module keeps a reference to each for the life of the process.
struct SmallInts {
  std::array<PyObject*, 256> ints{};
  // Whether every one of them is immortal, as CPython 3.12 and later make the small ints.
  // Reference counting leaves an immortal object alone, so a list may then hold them without a
  // reference being taken for each item.
  bool immortal = true;
};

bool is_immortal(PyObject* obj) {
#if PY_MINOR_VERSION >= 14
  return PyUnstable_IsImmortal(obj);
#elif PY_MINOR_VERSION >= 12
  // 3.12 and 3.13 offer only the private test; its meaning is fixed for those two series.
  return _Py_IsImmortal(obj);
#else
  // 3.11 has no immortal objects: every item a list holds needs a reference of its own.
  static_cast<void>(obj);
  return false;
#endif
}

const SmallInts& small_ints() {
  // On a free-threaded build a second thread may wait here, attached, while the first fills the
  // table; that is safe because filling it only reads the interpreter's own small ints, which
  // allocates nothing and so never waits for the other thread.
  static const SmallInts table = [] {
    SmallInts made;
    long value = 0;
    for (PyObject*& entry : made.ints) {
      entry = api_object(PyLong_FromLong(value++)).release();
      made.immortal = made.immortal && is_immortal(entry);
    }
    return made;
  }();
  return table;
}

// A new list of ints 0..255, one per byte, filled from the interpreter's cached small ints.
PyRef byte_list(ByteSpan bytes) {
  const SmallInts& table = small_ints();
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(bytes.size())));
  // The item array is read once: PyList_SET_ITEM would fetch it again for every byte, as the
  // reference-count store before it might, for all the compiler knows, have moved it.
  PyObject** items = PySequence_Fast_ITEMS(list.get());
  const std::uint8_t* in = bytes.data();
  const std::size_t size = bytes.size();
  if (table.immortal) {
    // Most of the time of wire() on a large message goes here: one load and one store a byte.
    for (std::size_t i = 0; i < size; ++i) items[i] = table.ints[in[i]];
  } else {
    for (std::size_t i = 0; i < size; ++i) items[i] = PyRef::borrow(table.ints[in[i]]).release();
  }
  return list;
}

constexpr ArgDescription kNewArgs{"Init.__new__()", nullptr};
constexpr ArgDescription kWireDecodeArgs{"Init.wire_decode()", "buff"};

PyObject* Init_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return object_frame([&] {
    parse_tuple_args(kNewArgs, args, kwargs);
    return checked(allocate<Init>(type));
  });
}

PyRef Init_wire_impl(PyClassObject<Init>& self) {
  SharedBorrow borrow(self.borrow_flag);
  // A typical message is encoded on the stack: allocating and freeing a buffer for it would cost
  // a good part of what the encode costs. The list is filled from the buffer either way.
  std::array<std::uint8_t, 1024> small;
  std::unique_ptr<std::uint8_t[]> large;
  const std::size_t size = self.contents.wire_size();
  std::uint8_t* buffer = small.data();
  if (size > small.size()) {
    large = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    buffer = large.get();
  }
  WireWriter writer(std::span(buffer, size));
  self.contents.to_wire(writer);
  return byte_list(ByteSpan(buffer, size));
}

PyObject* Init_wire(PyObject* self, PyObject*) {
  return object_frame([&] { return Init_wire_impl(class_object<Init>(self)); });
}

// `self` is only checked and borrowed, never read: the result is always a new object.
PyRef Init_wire_decode_impl(PyClassObject<Init>& self, PyObject* buff) {
  SharedBorrow borrow(self.borrow_flag);
  const ByteInput input = convert_argument("buff", [&] { return ByteInput::from_sequence(buff); });
  WireReader reader(input.bytes());
  auto decoded = Init::from_wire(reader);
  if (!decoded) throw_wire_error(decoded.error());
  return new_instance(std::move(decoded).value());
}

PyObject* Init_wire_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return object_frame([&] {
    PyObject* buff = parse_vector_args(kWireDecodeArgs, args, nargs, kwnames);
    return Init_wire_decode_impl(class_object<Init>(self), buff);
  });
}

PyMethodDef kInitMethods[] = {
    {"wire", method_cast(Init_wire), METH_NOARGS, "wire($self)\n--\n\n"},
    {"wire_decode", method_cast(Init_wire_decode), METH_FASTCALL | METH_KEYWORDS,
     "wire_decode($self, buff)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kInitAttributes[] = {
    write_only<Init, &Init::ty, to_unsigned<std::uint16_t>>("ty"),
    write_only<Init, &Init::globalfeatures, copy_bitflag>("globalfeatures"),
    write_only<Init, &Init::features, copy_bitflag>("features"),
    write_only<Init, &Init::init_tlvs, copy_stream>("init_tlvs"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kInitSlots[] = {
    {Py_tp_doc, const_cast<char*>("Init()\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(Init_new)},
    {Py_tp_methods, kInitMethods},
    {Py_tp_getset, kInitAttributes},
    alloc_slot<Init>(),
    release_slot<Init>(),
    {0, nullptr},
};

}  // namespace

template <>
PyType_Spec ClassSpec<Init>::spec = class_spec<Init>("builtins.Init", kInitSlots);

}  // namespace keldrin::python
