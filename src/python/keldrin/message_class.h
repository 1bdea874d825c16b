#pragma once

// One Python class per message, derived from its description (ClassDescription below) and its
// codec struct: the slots, the attribute table, the keyword constructor, repr, equality, hashing,
// pickling, __match_args__ and the class's `type` all come from there. classes.cpp describes each
// class once and makes them.
//
// Instances are immutable values. An instance holds its message by value (the codec struct), and
// makes Python objects of its fields when they are read; the tuple of records is made on first
// read and kept, since a stream of many records is costly to turn into objects, and a decode that
// never reads it never pays for it.

#include <array>
#include <atomic>
#include <algorithm>
#include <cstddef>
#include <string_view>
#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "bolt/bolt1/messages.h"
#include "python/instance.h"
#include "python/keldrin/arguments.h"
#include "python/keldrin/classes.h"
#include "python/keldrin/convert.h"
#include "python/keldrin/record.h"
#include "python/keldrin/state.h"

namespace keldrin::python::keldrin_module {

/// The codec entry points of a message class.
template <class M>
struct CodecEntries {
  DecodeResult<M> (*decode)(ByteSpan input, bool strict);
  void (*to_wire)(const M& message, WireWriter& writer);
  std::size_t (*wire_size)(const M& message);
  bool (*equal)(const M& a, const M& b);
  std::optional<std::string> (*sending_fault)(const M& message);
};

/// A message of the shared codec (bolt/message.h) has these entry points.
template <Message M>
constexpr CodecEntries<M> message_codec() {
  return {decode_message<M>, keldrin::to_wire<M>, keldrin::wire_size<M>, same_fields<M>,
          sending_fault<M>};
}

/// Everything of a class that its codec struct does not say.
template <class M>
struct ClassDescription {
  const char* name;  // "keldrin.Init"
  const char* doc;   // after the signature, which is derived from the fields
  CodecEntries<M> codec;
  std::span<const PyGetSetDef> derived = {};  // read-only attributes computed from the fields
  std::span<const PyMethodDef> methods = {};  // beyond those every class has
  std::size_t required = 0;                   // leading fields that have no default
};

/// The description of M's class, as the static constexpr member `value`; classes.cpp gives one
/// for each class.
template <class M>
struct Describe;

template <class M>
inline constexpr const ClassDescription<M>& kClass = Describe<M>::value;

/// The Python fields of M: its fixed fields in wire order, then its extension as `tlvs`.
template <class M>
constexpr auto python_fields() {
  if constexpr (requires { M::kTlvs; }) {
    return std::tuple_cat(M::fields(), std::tuple{Field{"tlvs", M::kTlvs}});
  } else {
    return M::fields();
  }
}

template <class M>
inline constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(python_fields<M>())>;

/// The type of the I-th Python field of M.
template <class M, std::size_t I>
using FieldType = std::remove_cvref_t<
    decltype(std::declval<M&>().*(std::get<I>(python_fields<M>()).member))>;

/// What an instance holds: its message, and the tuple of its records and its hash once made.
template <class M>
struct Contents {
  // An rvalue reference, not a value, here and on the way here: a message is moved once, from
  // the decode's result, since GCC moves a vector with 16-byte loads that stall on the stores
  // that just filled it.
  explicit Contents(M&& m) noexcept : message(std::move(m)) {}
  ~Contents() { PyRef::steal(records.load(std::memory_order_relaxed)); }
  Contents(const Contents&) = delete;
  Contents& operator=(const Contents&) = delete;

  M message;
  // Made on first read; on a free-threaded build the first of two racing readers to store its
  // tuple wins (keep_first).
  std::atomic<PyObject*> records = nullptr;
  std::atomic<Py_hash_t> hash = -1;
};

/// The memory block of an instance.
template <class M>
struct MessageObject {
  PyObject ob_base;
  Contents<M> contents;
};

/// REQUIRES: `obj` is an instance of M's class.
template <class M>
Contents<M>& contents_of(PyObject* obj) {
  return reinterpret_cast<MessageObject<M>*>(obj)->contents;
}

/// A new instance of M's class, of the module whose state is `state`.
template <class M>
PyRef new_message(const ModuleState& state, M&& message) {
  auto* cls = reinterpret_cast<PyTypeObject*>(state.classes[class_index<M>()]);
  return checked(allocate_object<MessageObject<M>>(cls, std::move(message)));
}

/// `message` as a new instance of `cls`, once it passes the checks of what a sending node may
/// send (ValueError "<Class>(): <why>" otherwise).
template <class M>
PyRef checked_message(PyTypeObject* cls, M&& message, const char* callable) {
  if (auto fault = kClass<M>.codec.sending_fault(message)) {
    throw_format(PyExc_ValueError, "%s(): %s", callable, fault->c_str());
  }
  return checked(allocate_object<MessageObject<M>>(cls, std::move(message)));
}

/// The message's encoding as a new bytes object.
template <class M>
PyRef encode(const M& message) {
  const std::size_t size = kClass<M>.codec.wire_size(message);
  PyRef bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  WireWriter writer(std::span(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get())), size));
  kClass<M>.codec.to_wire(message, writer);
  return bytes;
}

/// The short class name ("Init"), as error texts and repr give it.
template <class M>
constexpr const char* short_name() {
  return kClass<M>.name + std::string_view(kClass<M>.name).find('.') + 1;
}

// ---- Fields, between their Python and their codec form -----------------------------------------

inline PyRef field_object(std::uint16_t value) { return checked(PyLong_FromLong(value)); }
template <std::size_t N>
PyRef field_object(const std::array<std::uint8_t, N>& value) {
  return bytes_object(value);
}
inline PyRef field_object(const BitFlag& value) { return bytes_object(value.bytes); }
inline PyRef field_object(const std::vector<std::uint8_t>& value) { return bytes_object(value); }

/// The tuple of records of an instance, made on first read and kept.
template <class M>
PyRef records_of(PyObject* self) {
  Contents<M>& contents = contents_of<M>(self);
  if (PyObject* made = contents.records.load(std::memory_order_acquire)) {
    return PyRef::borrow(made);
  }
  PyRef made = records_tuple(class_state(Py_TYPE(self)), contents.message.*M::kTlvs);
  return PyRef::borrow(keep_first(contents.records, std::move(made)));
}

/// The value of field I of an instance, as a new object.
template <class M, std::size_t I>
PyRef field_value(PyObject* self) {
  if constexpr (std::is_same_v<FieldType<M, I>, Stream>) {
    return records_of<M>(self);
  } else {
    constexpr auto field = std::get<I>(python_fields<M>());
    return field_object(contents_of<M>(self).message.*field.member);
  }
}

/// Sets field I of `message` from a Python value, converted as the constructor converts it.
template <class M, std::size_t I>
void set_field(M& message, PyObject* value, const char* callable) {
  constexpr auto field = std::get<I>(python_fields<M>());
  using T = FieldType<M, I>;
  const Argument argument{callable, field.name.data()};
  auto& target = message.*field.member;
  if constexpr (std::is_same_v<T, std::uint16_t>) {
    target = static_cast<std::uint16_t>(to_unsigned(value, argument, 65535));
  } else if constexpr (std::is_same_v<T, BitFlag>) {
    target.bytes = to_bytes(value, argument, field.max_size);
  } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
    target = to_bytes(value, argument, kMaxMessageSize);
  } else if constexpr (std::is_same_v<T, Stream>) {
    target = to_stream(value, argument);
  } else {
    target = to_byte_array<std::tuple_size_v<T>>(value, argument);
  }
}

/// The default of a field of type T, as the signature writes it.
template <class T>
constexpr const char* default_text() {
  if constexpr (std::is_same_v<T, std::uint16_t>) {
    return "0";
  } else if constexpr (std::is_same_v<T, Stream>) {
    return "()";
  } else if constexpr (std::is_same_v<T, std::array<std::uint8_t, 32>>) {
    // bytes(32), as a literal: a signature's defaults must be literals.
    return "b'\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00"
           "\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00'";
  } else {
    return "b''";
  }
}

/// The names of M's fields, in order.
template <class M>
constexpr auto field_names() {
  return std::apply([](const auto&... field) { return std::array{field.name.data()...}; },
                    python_fields<M>());
}

template <class M>
inline constexpr auto kFieldNames = field_names<M>();

/// The defaults of the fields a constructor may leave out, as the signature writes them.
template <class M>
inline constexpr auto kFieldDefaults = []<std::size_t... I>(std::index_sequence<I...>) {
  return std::array<const char*, sizeof...(I)>{
      default_text<FieldType<M, kClass<M>.required + I>>()...};
}(std::make_index_sequence<kFieldCount<M> - kClass<M>.required>{});

/// The constructor's parameters: every field, by position or keyword.
template <class M>
inline constexpr Signature kConstructorSignature{short_name<M>(), kFieldNames<M>, kFieldCount<M>,
                                                 kClass<M>.required, kFieldDefaults<M>};

/// Calls f(std::integral_constant<std::size_t, I>) for each field index I of M.
template <class M, class F>
void for_each_field(F&& f) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (f(std::integral_constant<std::size_t, I>{}), ...);
  }(std::make_index_sequence<kFieldCount<M>>{});
}

/// Sets the fields that `given` holds (null: keep the message's own).
template <class M>
void set_fields(M& message, std::span<PyObject* const> given, const char* callable) {
  for_each_field<M>([&](auto index) {
    if (PyObject* value = given[index]) set_field<M, index>(message, value, callable);
  });
}

// ---- Slots and methods ------------------------------------------------------------------------

template <class M>
PyObject* Message_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    std::array<PyObject*, kFieldCount<M>> given{};
    match_arguments(kConstructorSignature<M>, args, kwargs, given);
    M message{};
    set_fields(message, given, short_name<M>());
    return checked_message(cls, std::move(message), short_name<M>());
  });
}

template <class M, std::size_t I>
PyObject* Message_get(PyObject* self, void*) {
  return frame([&] { return field_value<M, I>(self); });
}

// "keldrin.Init(globalfeatures=b'', features=b'', tlvs=())": the call that makes it again.
template <class M>
PyObject* Message_repr(PyObject* self) {
  return frame([&] {
    PyRef parts = checked(PyList_New(kFieldCount<M>));
    for_each_field<M>([&](auto index) {
      PyRef value = field_value<M, index>(self);
      PyList_SET_ITEM(parts.get(), index,
                      checked(PyUnicode_FromFormat("%s=%R", kFieldNames<M>[index], value.get()))
                          .release());
    });
    PyRef separator = checked(PyUnicode_FromString(", "));
    PyRef arguments = checked(PyUnicode_Join(separator.get(), parts.get()));
    return checked(PyUnicode_FromFormat("%s(%U)", kClass<M>.name, arguments.get()));
  });
}

template <class M>
PyObject* Message_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal =
      kClass<M>.codec.equal(contents_of<M>(self).message, contents_of<M>(other).message);
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// The hash of the encoding, which two equal messages share; made on first use and kept.
template <class M>
Py_hash_t Message_hash(PyObject* self) {
  Contents<M>& contents = contents_of<M>(self);
  Py_hash_t hash = contents.hash.load(std::memory_order_relaxed);
  if (hash != -1) return hash;
  try {
    hash = PyObject_Hash(encode(contents.message).get());  // a bytes object's cannot fail
  } catch (...) {
    raise_in_flight(raise_system_error);
    return -1;
  }
  contents.hash.store(hash, std::memory_order_relaxed);
  return hash;
}

template <class M>
PyObject* Message_encode(PyObject* self, PyObject*) {
  return frame([&] { return encode(contents_of<M>(self).message); });
}

/// The name a method's errors give it: short_name<M>() then `suffix` (".decode"), NUL-terminated.
template <class M, std::size_t kSuffixSize>
consteval auto method_name(const char (&suffix)[kSuffixSize]) {
  constexpr std::string_view name = short_name<M>();
  std::array<char, name.size() + kSuffixSize> text{};
  std::ranges::copy(std::string_view(suffix), std::ranges::copy(name, text.begin()).out);
  return text;
}

template <class M>
PyObject* Message_decode(PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  return frame([&] {
    static constexpr auto callable = method_name<M>(".decode");
    static constexpr Signature signature = [] {
      Signature named = kDecodeSignature;
      named.callable = callable.data();
      return named;
    }();
    std::array<PyObject*, signature.names.size()> given{};
    match_arguments(signature, args, nargs, kwnames, given);
    const bool strict = flag_value(given[1], true);
    const BytesView data(given[0], signature.argument(0));
    const ModuleState& state = class_state(reinterpret_cast<PyTypeObject*>(cls));
    auto decoded = kClass<M>.codec.decode(data.bytes(), strict);
    if (!decoded) throw_decode_failure(state, decoded.error());
    return checked(allocate_object<MessageObject<M>>(reinterpret_cast<PyTypeObject*>(cls),
                                                     std::move(decoded).value()));
  });
}

// Pickled as the lenient decode of its encoding, which gives back every object, one decoded
// leniently included, where the constructor would refuse some.
template <class M>
PyObject* Message_reduce(PyObject* self, PyObject*) {
  return frame([&] {
    PyRef encoded = encode(contents_of<M>(self).message);
    return checked(Py_BuildValue("O(O)", class_state(Py_TYPE(self)).unpickle, encoded.get()));
  });
}

// An immutable value is its own copy.
inline PyObject* Message_copy(PyObject* self, PyObject*) { return PyRef::borrow(self).release(); }

// copy.replace(msg, field=value, ...): the fields given replaced, checked as the constructor
// checks them.
template <class M>
PyObject* Message_replace(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return frame([&] {
    static constexpr auto callable = method_name<M>(".__replace__");
    std::array<PyObject*, kFieldCount<M>> given{};
    match_arguments({callable.data(), kFieldNames<M>, 0, 0}, args, nargs, kwnames, given);
    M message = contents_of<M>(self).message;
    set_fields(message, given, callable.data());
    return checked_message(Py_TYPE(self), std::move(message), callable.data());
  });
}

/// The docstring of a field attribute, from the field's type; the class's docstring says what
/// each field means.
template <class T>
constexpr const char* field_doc() {
  if constexpr (std::is_same_v<T, std::uint16_t>) {
    return "An int 0..65535.";
  } else if constexpr (std::is_same_v<T, BitFlag>) {
    return "bytes; on the wire, their length as a u16 comes first.";
  } else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>) {
    return "bytes: every byte of the message after its type.";
  } else if constexpr (std::is_same_v<T, Stream>) {
    return "The extension: a tuple of Record, in the order of the wire form.";
  } else {
    static_assert(std::is_same_v<T, std::array<std::uint8_t, 32>>);
    return "32 bytes.";
  }
}

/// The attribute table: one read-only attribute per field, then the derived ones.
template <class M>
constexpr auto make_attributes() {
  constexpr std::span<const PyGetSetDef> derived = kClass<M>.derived;
  std::array<PyGetSetDef, kFieldCount<M> + derived.size() + 1> table{};
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((table[I] = PyGetSetDef{kFieldNames<M>[I], Message_get<M, I>, nullptr,
                             field_doc<FieldType<M, I>>(), nullptr}),
     ...);
  }(std::make_index_sequence<kFieldCount<M>>{});
  for (std::size_t i = 0; i < derived.size(); ++i) table[kFieldCount<M> + i] = derived[i];
  return table;
}

template <class M>
constinit inline auto kAttributes = make_attributes<M>();

inline constexpr auto kClassDecodeDoc = documented<kDecodeSignature, true>(
    "decode",
    "Decodes `data`, one whole message of this class's type. Strict, it applies\n"
    "every rule a receiving node must apply; strict=False waives the order of\n"
    "record types, unknown even record types and message types, and the limit of\n"
    "65535 bytes. Raises DecodeError.");

// Built when the module is loaded: a method table holds function pointers cast to one type, which
// no constant expression may do.
template <class M>
auto make_methods() {
  constexpr std::size_t kExtra = kClass<M>.methods.size();
  const std::array common{
      PyMethodDef{"decode", method_cast(Message_decode<M>),
                  METH_CLASS | METH_FASTCALL | METH_KEYWORDS,
                  kClassDecodeDoc.data()},
      PyMethodDef{"encode", Message_encode<M>, METH_NOARGS,
                  "encode($self, /)\n--\n\nThe message as the bytes a peer sends."},
      PyMethodDef{"__bytes__", Message_encode<M>, METH_NOARGS,
                  "__bytes__($self, /)\n--\n\nbytes(message): the same as encode()."},
      PyMethodDef{"__reduce__", Message_reduce<M>, METH_NOARGS, nullptr},
      PyMethodDef{"__copy__", Message_copy, METH_NOARGS,
                  "__copy__($self, /)\n--\n\nThe message itself, which is immutable."},
      PyMethodDef{"__deepcopy__", Message_copy, METH_O,
                  "__deepcopy__($self, memo, /)\n--\n\nThe message itself, which is immutable."},
      PyMethodDef{"__replace__", method_cast(Message_replace<M>), METH_FASTCALL | METH_KEYWORDS,
                  "__replace__($self, /, **fields)\n--\n\n"
                  "copy.replace(message, field=value, ...): a message with the fields given\n"
                  "replaced, checked as the constructor checks them."},
  };
  std::array<PyMethodDef, std::tuple_size_v<decltype(common)> + kExtra + 1> table{};
  std::ranges::copy(common, table.begin());
  std::ranges::copy(kClass<M>.methods, table.begin() + common.size());
  return table;
}

template <class M>
inline auto kMethods = make_methods<M>();

/// "Init(globalfeatures=b'', features=b'', tlvs=())\n--\n\n<doc>": the class's docstring, its
/// first part the signature that help() and inspect show.
template <class M>
std::string class_doc() {
  std::string doc;
  write_text_signature(short_name<M>(), kConstructorSignature<M>, false,
                       [&](char c) { doc += c; });
  return doc + kClass<M>.doc;
}

/// Makes M's class for `module`: a new reference.
template <class M>
PyRef make_class(PyObject* module) {
  const std::string doc = class_doc<M>();
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc.c_str())},
      {Py_tp_new, reinterpret_cast<void*>(Message_new<M>)},
      {Py_tp_repr, reinterpret_cast<void*>(Message_repr<M>)},
      {Py_tp_richcompare, reinterpret_cast<void*>(Message_richcompare<M>)},
      {Py_tp_hash, reinterpret_cast<void*>(Message_hash<M>)},
      {Py_tp_getset, kAttributes<M>.data()},
      {Py_tp_methods, kMethods<M>.data()},
      object_release_slot<MessageObject<M>, raise_system_error>(),
      {0, nullptr},
  };
  // No subclass (no Py_TPFLAGS_BASETYPE), and no attribute of the class may be changed.
  PyType_Spec spec = {kClass<M>.name, static_cast<int>(sizeof(MessageObject<M>)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyRef cls = class_from_spec(module, spec, nullptr);
  PyObject* dict = reinterpret_cast<PyTypeObject*>(cls.get())->tp_dict;
  PyRef match_args = checked(PyTuple_New(kFieldCount<M>));
  for_each_field<M>([&](auto index) {
    PyTuple_SET_ITEM(match_args.get(), index,
                     checked(PyUnicode_FromString(kFieldNames<M>[index])).release());
  });
  if (PyDict_SetItemString(dict, "__match_args__", match_args.get()) < 0) throw_pending();
  if constexpr (requires { M::kType; }) {
    PyRef type = checked(PyLong_FromLong(M::kType));
    if (PyDict_SetItemString(dict, "type", type.get()) < 0) throw_pending();
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(cls.get()));
  return cls;
}

}  // namespace keldrin::python::keldrin_module
