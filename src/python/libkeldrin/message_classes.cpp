// The field-only messages (Error, Ping, Pong, Warning) and the internal Stream and BitFlag
// classes: no constructor, no methods, and for the messages one write-only attribute per field.

#include "python/libkeldrin/classes.h"
#include "python/libkeldrin/convert.h"
#include "python/libkeldrin/setters.h"

namespace keldrin::python {

namespace {

using bolt1::Error;
using bolt1::Ping;
using bolt1::Pong;
using bolt1::Warning;

constexpr PyGetSetDef kEnd{nullptr, nullptr, nullptr, nullptr, nullptr};

// Error and Warning share their fields but are separate classes with separate tables.
template <class T>
PyGetSetDef channel_message_attributes[] = {
    write_only<T, &T::ty, to_unsigned<std::uint16_t>>("ty"),
    write_only<T, &T::channel_id, to_channel_id>("channel_id"),
    write_only<T, &T::data, copy_bitflag>("data"),
    kEnd,
};

PyGetSetDef kPingAttributes[] = {
    write_only<Ping, &Ping::ty, to_unsigned<std::uint16_t>>("ty"),
    write_only<Ping, &Ping::num_pong_bytes, to_unsigned<std::uint16_t>>("num_pong_bytes"),
    write_only<Ping, &Ping::ignored, copy_bitflag>("ignored"),
    kEnd,
};

PyGetSetDef kPongAttributes[] = {
    write_only<Pong, &Pong::ty, to_unsigned<std::uint16_t>>("ty"),
    write_only<Pong, &Pong::ignored, copy_bitflag>("ignored"),
    kEnd,
};

constexpr char kStreamDoc[] =
    "Stream - A `tlv_stream` is a series of (possibly zero) `tlv_record`s, represented as the\n"
    "concatenation of the encoded `tlv_record`s. When used to extend existing\n"
    "messages, a `tlv_stream` is typically placed after all currently defined fields.";

// The slot table of a class without constructor or methods. A null docstring or attribute table
// gives the class none, as leaving the slot out does.
template <class T, PyGetSetDef* Attributes = nullptr, const char* Doc = nullptr>
PyType_Slot field_only_slots[] = {
    {Py_tp_doc, const_cast<char*>(Doc)},
    {Py_tp_getset, Attributes},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_defined)},
    alloc_slot<T>(),
    release_slot<T>(),
    {0, nullptr},
};

}  // namespace

template <>
PyType_Spec ClassSpec<Error>::spec =
    class_spec<Error>("builtins.Error", field_only_slots<Error, channel_message_attributes<Error>>);
template <>
PyType_Spec ClassSpec<Ping>::spec =
    class_spec<Ping>("builtins.Ping", field_only_slots<Ping, kPingAttributes>);
template <>
PyType_Spec ClassSpec<Pong>::spec =
    class_spec<Pong>("builtins.Pong", field_only_slots<Pong, kPongAttributes>);
template <>
PyType_Spec ClassSpec<Warning>::spec = class_spec<Warning>(
    "builtins.Warning", field_only_slots<Warning, channel_message_attributes<Warning>>);
template <>
PyType_Spec ClassSpec<Stream>::spec =
    class_spec<Stream>("builtins.Stream", field_only_slots<Stream, nullptr, kStreamDoc>);
template <>
PyType_Spec ClassSpec<BitFlag>::spec =
    class_spec<BitFlag>("builtins.BitFlag", field_only_slots<BitFlag>);

}  // namespace keldrin::python
