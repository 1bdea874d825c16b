#pragma once

// One Python class per record, derived from its description (Describe<T> below, given for each
// class in classes.h): the attribute table, the constructor, the codec methods, the slots and the
// PyType_Spec all come from there.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/libkeldrin/args.h"
#include "python/libkeldrin/class_object.h"
#include "python/libkeldrin/convert.h"
#include "tlv/stream.h"
#include "types/bitflag.h"

namespace keldrin::python {

/// How Python code may make an instance of a class.
enum class Constructor {
  kNone,         // TypeError "No constructor defined for <name>", whatever the arguments
  kNoArguments,  // Cls(): the record's defaults
};

/// The codec of a record with a wire form, which its class offers as wire() and wire_decode(buff).
template <class T>
struct WireCodec {
  WireResult<T> (*from_wire)(WireReader& reader);
  void (T::*to_wire)(WireWriter& writer) const;
  std::size_t (T::*wire_size)() const;
};

template <class T>
  requires FromWire<T> && ToWire<T>
constexpr WireCodec<T> wire_codec() {
  return {&T::from_wire, &T::to_wire, &T::wire_size};
}

/// Everything of a class but its attributes.
template <class T>
struct ClassInfo {
  const char* name;  // "builtins.Init"; see LazyTypeObject for the prefix
  const char* doc = nullptr;  // after the constructor's text signature, if any; null for none
  Constructor constructor = Constructor::kNone;
  std::optional<WireCodec<T>> codec = std::nullopt;
};

/// One write-only attribute of a class: its name, and the member of the record that it replaces.
template <class Record, class Member>
struct Attribute {
  const char* name;
  Member Record::*member;
};

template <class Record, class Member>
constexpr Attribute<Record, Member> attribute(const char* name, Member Record::*member) {
  return {name, member};
}

/// The description of the class whose record is T: the static constexpr members `info` (a
/// ClassInfo<T>) and `attributes` (a tuple of Attribute, in the order of the class's table).
template <class T>
struct Describe;

/// The class's name without the module prefix: "Init".
template <class T>
constexpr const char* short_name() {
  constexpr std::string_view name = Describe<T>::info.name;
  return name.substr(name.find('.') + 1).data();
}

// ---- Instances ----------------------------------------------------------------------------------

template <class T>
PyType_Spec& spec_of();

/// The holder of the type object of the class whose record is T, which makes it on first need:
/// one per class, for the life of the process.
template <class T>
LazyTypeObject& lazy_type() {
  static constinit LazyTypeObject type(spec_of<T>);
  return type;
}

/// A deep copy of the record of an instance of T's class (or of a subclass); TypeError
/// "'<type>' object cannot be converted to '<Class>'" for any other object.
template <class T>
T copy_record(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, lazy_type<T>().get())) throw_conversion_error(obj, short_name<T>());
  auto& instance = instance_of<T>(obj);
  SharedBorrow borrow(instance.borrow_flag);
  return instance.contents;
}

/// A new instance of T's class holding `contents`; new reference.
template <class T>
PyRef new_instance(T contents) {
  return checked(allocate<T>(lazy_type<T>().get(), std::move(contents)));
}

// ---- Attributes ---------------------------------------------------------------------------------

/// The Python value of an attribute as the member's type: the one converter of each type that a
/// member may have. May run Python code.
template <class Member>
Member convert_attribute(PyObject* value) {
  if constexpr (std::is_same_v<Member, std::uint16_t>) {
    return to_unsigned<std::uint16_t>(value);
  } else if constexpr (std::is_same_v<Member, std::array<std::uint8_t, 32>>) {
    return to_channel_id(value);
  } else {
    static_assert(std::is_same_v<Member, BitFlag> || std::is_same_v<Member, Stream>);
    return copy_record<Member>(value);
  }
}

/// The one setter protocol, shared by every attribute (the I-th of T's class): refuse deletion;
/// convert and copy the value (its TypeError named after the attribute) while the object is still
/// free, since conversion may run Python code that touches it; then replace the field under the
/// exclusive borrow. A failure at any step leaves the object as it was.
template <class T, std::size_t I>
int set_attribute(PyObject* self, PyObject* value, void*) {
  static constexpr auto attribute = std::get<I>(Describe<T>::attributes);
  using Member = std::remove_cvref_t<decltype(std::declval<T&>().*attribute.member)>;
  return setter_frame([&] {
    if (value == nullptr) throw_error(PyExc_AttributeError, "can't delete attribute");
    Member converted =
        convert_argument(attribute.name, [&] { return convert_attribute<Member>(value); });
    auto& instance = instance_of<T>(self);
    ExclusiveBorrow borrow(instance.borrow_flag);
    using std::swap;
    swap(instance.contents.*attribute.member, converted);
    // `converted` now holds the old contents and releases them on the way out.
  });
}

/// The attribute table: one write-only entry per attribute, then the end marker.
template <class T>
constexpr auto make_attribute_table() {
  constexpr std::size_t kCount = std::tuple_size_v<decltype(Describe<T>::attributes)>;
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return std::array<PyGetSetDef, kCount + 1>{
        PyGetSetDef{std::get<I>(Describe<T>::attributes).name, nullptr, set_attribute<T, I>,
                    "", nullptr}...,
        PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr}};
  }(std::make_index_sequence<kCount>{});
}

template <class T>
constinit inline auto kAttributeTable = make_attribute_table<T>();

// ---- Constructor and codec methods --------------------------------------------------------------

inline constexpr MethodSignature kConstructorSignature{"__new__", nullptr};
inline constexpr MethodSignature kWireSignature{"wire", nullptr};
inline constexpr MethodSignature kWireDecodeSignature{"wire_decode", "buff"};

/// "wire_decode($self, buff)\n--\n\n": the docstring that gives a method its text signature.
inline std::string method_doc(const MethodSignature& signature) {
  std::string doc = std::string(signature.name) + "($self";
  if (signature.parameter != nullptr) doc += std::string(", ") + signature.parameter;
  return doc + ")\n--\n\n";
}

template <class T>
PyObject* Record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return object_frame([&] {
    parse_tuple_args({short_name<T>(), kConstructorSignature}, args, kwargs);
    return checked(allocate<T>(type));
  });
}

template <class T>
PyRef Record_wire_impl(Instance<T>& self) {
  constexpr WireCodec<T> codec = *Describe<T>::info.codec;
  SharedBorrow reading(self.borrow_flag);
  // A typical message is encoded on the stack: allocating and freeing a buffer for it would cost
  // a good part of what the encode costs. The list is filled from the buffer either way.
  std::array<std::uint8_t, 1024> small;
  std::unique_ptr<std::uint8_t[]> large;
  const std::size_t size = (self.contents.*codec.wire_size)();
  std::uint8_t* buffer = small.data();
  if (size > small.size()) {
    large = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    buffer = large.get();
  }
  WireWriter writer(std::span(buffer, size));
  (self.contents.*codec.to_wire)(writer);
  return byte_list(ByteSpan(buffer, size));
}

template <class T>
PyObject* Record_wire(PyObject* self, PyObject*) {
  return object_frame([&] { return Record_wire_impl(instance_of<T>(self)); });
}

// `self` is only checked and borrowed, never read: the result is always a new object.
template <class T>
PyRef Record_wire_decode_impl(Instance<T>& self, PyObject* buff) {
  SharedBorrow borrow(self.borrow_flag);
  const ByteInput input = convert_argument(kWireDecodeSignature.parameter,
                                           [&] { return ByteInput::from_sequence(buff); });
  WireReader reader(input.bytes());
  auto decoded = Describe<T>::info.codec->from_wire(reader);
  if (!decoded) throw_wire_error(decoded.error());
  return new_instance(std::move(decoded).value());
}

template <class T>
PyObject* Record_wire_decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return object_frame([&] {
    PyObject* buff =
        parse_vector_args({short_name<T>(), kWireDecodeSignature}, args, nargs, kwnames);
    return Record_wire_decode_impl(instance_of<T>(self), buff);
  });
}

// ---- The class ----------------------------------------------------------------------------------

/// The method table of a class with a codec, or null for one without.
template <class T>
PyMethodDef* methods_of() {
  if constexpr (Describe<T>::info.codec.has_value()) {
    static const std::string wire_doc = method_doc(kWireSignature);
    static const std::string wire_decode_doc = method_doc(kWireDecodeSignature);
    static PyMethodDef methods[] = {
        {kWireSignature.name, method_cast(Record_wire<T>), METH_NOARGS, wire_doc.c_str()},
        {kWireDecodeSignature.name, method_cast(Record_wire_decode<T>),
         METH_FASTCALL | METH_KEYWORDS, wire_decode_doc.c_str()},
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
  } else {
    return nullptr;
  }
}

/// The class's docstring: the constructor's text signature ("Init()\n--\n\n") if it has one,
/// then the description's doc.
template <class T>
std::optional<std::string> class_doc() {
  constexpr ClassInfo<T> info = Describe<T>::info;
  std::string doc;
  if constexpr (info.constructor == Constructor::kNoArguments) {
    doc = std::string(short_name<T>()) + "()\n--\n\n";
  }
  if (info.doc != nullptr) doc += info.doc;
  if (doc.empty()) return std::nullopt;
  return doc;
}

/// The PyType_Spec of T's class, made on first call: the type is made from it once, on first need
/// (lazy_type), and it stays for the life of the process.
template <class T>
PyType_Spec& spec_of() {
  static const std::optional<std::string> doc = class_doc<T>();
  static PyType_Slot slots[] = {
      // A null docstring, constructor or table gives the class none, as leaving the slot out does.
      {Py_tp_doc, doc ? const_cast<char*>(doc->c_str()) : nullptr},
      {Py_tp_new, Describe<T>::info.constructor == Constructor::kNoArguments
                      ? reinterpret_cast<void*>(Record_new<T>)
                      : reinterpret_cast<void*>(no_constructor_defined)},
      {Py_tp_methods, methods_of<T>()},
      {Py_tp_getset, kAttributeTable<T>.size() > 1 ? kAttributeTable<T>.data() : nullptr},
      alloc_slot<T>(),
      release_slot<T>(),
      {0, nullptr},
  };
  static PyType_Spec spec{Describe<T>::info.name, static_cast<int>(sizeof(Instance<T>)), 0,
                          Py_TPFLAGS_DEFAULT, slots};
  return spec;
}

}  // namespace keldrin::python
