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

constexpr ArgDescription kNewArgs{"Init.__new__()", nullptr};
constexpr ArgDescription kWireDecodeArgs{"Init.wire_decode()", "buff"};

PyObject* Init_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return object_frame([&] {
    parse_tuple_args(kNewArgs, args, kwargs);
    return checked(allocate<Init>(type));
  });
}

PyRef Init_wire_impl(Instance<Init>& self) {
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
  return object_frame([&] { return Init_wire_impl(instance_of<Init>(self)); });
}

// `self` is only checked and borrowed, never read: the result is always a new object.
PyRef Init_wire_decode_impl(Instance<Init>& self, PyObject* buff) {
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
    return Init_wire_decode_impl(instance_of<Init>(self), buff);
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
