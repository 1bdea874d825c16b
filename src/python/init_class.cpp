// The Init class: the only message with a constructor and a wire form.

#include <array>
#include <memory>

#include "python/args.h"
#include "python/classes.h"
#include "python/convert.h"
#include "python/setters.h"
#include "python/wire_objects.h"

namespace keldrin::python {

namespace {

using bolt1::Init;

constexpr ArgDescription kNewArgs{"Init", "__new__", {}, 0, 0};

constexpr const char* kWireDecodeParameters[] = {"buff"};
constexpr ArgDescription kWireDecodeArgs{"Init", "wire_decode", kWireDecodeParameters, 0, 1};

PyRef Init_new_impl(PyTypeObject* type) { return create_instance(Init{}, type); }

PyObject* Init_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return object_frame([&] {
    parse_tuple_args(kNewArgs, args, kwargs, {});
    return Init_new_impl(type);
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
    PyObject* buff = nullptr;
    parse_vector_args(kWireDecodeArgs, args, nargs, kwnames, std::span(&buff, 1));
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
    write_only<Init, &Init::ty, to_u16>("ty"),
    write_only<Init, &Init::globalfeatures, copy_bitflag>("globalfeatures"),
    write_only<Init, &Init::features, copy_bitflag>("features"),
    write_only<Init, &Init::init_tlvs, copy_stream>("init_tlvs"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyType_Slot kInitSlots[] = {{Py_tp_new, reinterpret_cast<void*>(Init_new)}};

const ClassDescription kInitDescription{
    .name = "Init",
    .doc = "",
    .text_signature = "()",
    .methods = kInitMethods,
    .getsets = kInitAttributes,
    .own_slots = kInitSlots,
    .basicsize = sizeof(PyClassObject<Init>),
    .alloc = class_alloc<Init>,
    .dealloc = class_dealloc<Init>,
    .free = class_free<Init>,
};

}  // namespace

template <>
LazyTypeObject& class_of<Init>() {
  static LazyTypeObject type(kInitDescription);
  return type;
}

}  // namespace keldrin::python
