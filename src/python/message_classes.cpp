// The field-only messages (Error, Ping, Pong, Warning) and the internal Stream and BitFlag
// classes: no constructor, no methods, and for the messages one write-only attribute per field.

#include "python/classes.h"
#include "python/convert.h"
#include "python/setters.h"

namespace keldrin::python {

namespace {

using bolt1::Error;
using bolt1::Ping;
using bolt1::Pong;
using bolt1::Warning;

constexpr PyGetSetDef kEnd{nullptr, nullptr, nullptr, nullptr, nullptr};

template <class T>
constexpr ClassDescription field_only(const char* name, PyGetSetDef* attributes,
                                      const char* doc = "") {
  return ClassDescription{
      .name = name,
      .doc = doc,
      .text_signature = nullptr,
      .methods = nullptr,
      .getsets = attributes,
      .own_slots = {},
      .basicsize = sizeof(PyClassObject<T>),
      .alloc = class_alloc<T>,
      .dealloc = class_dealloc<T>,
      .free = class_free<T>,
  };
}

// Error and Warning share their fields but are separate classes with separate tables.
template <class T>
PyGetSetDef channel_message_attributes[] = {
    write_only<T, &T::ty, to_u16>("ty"),
    write_only<T, &T::channel_id, to_channel_id>("channel_id"),
    write_only<T, &T::data, copy_bitflag>("data"),
    kEnd,
};

PyGetSetDef kPingAttributes[] = {
    write_only<Ping, &Ping::ty, to_u16>("ty"),
    write_only<Ping, &Ping::num_pong_bytes, to_u16>("num_pong_bytes"),
    write_only<Ping, &Ping::ignored, copy_bitflag>("ignored"),
    kEnd,
};

PyGetSetDef kPongAttributes[] = {
    write_only<Pong, &Pong::ty, to_u16>("ty"),
    write_only<Pong, &Pong::ignored, copy_bitflag>("ignored"),
    kEnd,
};

constexpr const char* kStreamDoc =
    "Stream - A `tlv_stream` is a series of (possibly zero) `tlv_record`s, represented as the\n"
    "concatenation of the encoded `tlv_record`s. When used to extend existing\n"
    "messages, a `tlv_stream` is typically placed after all currently defined fields.";

const ClassDescription kErrorDescription =
    field_only<Error>("Error", channel_message_attributes<Error>);
const ClassDescription kPingDescription = field_only<Ping>("Ping", kPingAttributes);
const ClassDescription kPongDescription = field_only<Pong>("Pong", kPongAttributes);
const ClassDescription kWarningDescription =
    field_only<Warning>("Warning", channel_message_attributes<Warning>);
const ClassDescription kStreamDescription = field_only<Stream>("Stream", nullptr, kStreamDoc);
const ClassDescription kBitFlagDescription = field_only<BitFlag>("BitFlag", nullptr);

}  // namespace

#define KELDRIN_CLASS_OF(T, description)  \
  template <>                             \
  LazyTypeObject& class_of<T>() {         \
    static LazyTypeObject type(description); \
    return type;                          \
  }

KELDRIN_CLASS_OF(Error, kErrorDescription)
KELDRIN_CLASS_OF(Ping, kPingDescription)
KELDRIN_CLASS_OF(Pong, kPongDescription)
KELDRIN_CLASS_OF(Warning, kWarningDescription)
KELDRIN_CLASS_OF(Stream, kStreamDescription)
KELDRIN_CLASS_OF(BitFlag, kBitFlagDescription)

#undef KELDRIN_CLASS_OF

}  // namespace keldrin::python
