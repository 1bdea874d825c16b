// Every message class of the keldrin module, each described once; message_class.h derives the
// class from its description and its codec struct.

#include "python/keldrin/classes.h"

#include "python/keldrin/message_class.h"

namespace keldrin::python::keldrin_module {

using bolt1::Error;
using bolt1::Init;
using bolt1::PeerStorage;
using bolt1::PeerStorageRetrieval;
using bolt1::Ping;
using bolt1::Pong;
using bolt1::Unknown;
using bolt1::Warning;

namespace {

// The record types of init's extension that it reads.
constexpr std::uint64_t kNetworks = Init::kKnownRecords[0].type;
constexpr std::uint64_t kRemoteAddr = Init::kKnownRecords[1].type;

PyObject* Init_networks(PyObject* self, void*) {
  return frame([&] {
    auto record = contents_of<Init>(self).message.init_tlvs.first(kNetworks);
    if (!record) return PyRef::borrow(Py_None);
    // A whole number of hashes: decoding and construction both refuse any other length.
    constexpr std::size_t kHash = Init::kKnownRecords[0].unit;
    const std::size_t count = record->value.size() / kHash;
    PyRef hashes = checked(PyTuple_New(static_cast<Py_ssize_t>(count)));
    for (std::size_t i = 0; i < count; ++i) {
      PyTuple_SET_ITEM(hashes.get(), static_cast<Py_ssize_t>(i),
                       bytes_object(record->value.subspan(i * kHash, kHash)).release());
    }
    return hashes;
  });
}

PyObject* Init_remote_addr(PyObject* self, void*) {
  return frame([&] {
    auto record = contents_of<Init>(self).message.init_tlvs.first(kRemoteAddr);
    return record ? bytes_object(record->value) : PyRef::borrow(Py_None);
  });
}

PyObject* Init_feature_bits(PyObject* self, void*) {
  return frame([&] {
    PyRef bits = checked(PyFrozenSet_New(nullptr));
    for (std::uint32_t bit : bolt1::feature_bits(contents_of<Init>(self).message)) {
      PyRef number = checked(PyLong_FromUnsignedLong(bit));
      if (PySet_Add(bits.get(), number.get()) < 0) throw_pending();
    }
    return bits;
  });
}

constexpr PyGetSetDef kInitDerived[] = {
    {"networks", Init_networks, nullptr,
     "The chain hashes of the `networks` record (type 1), as a tuple of 32-byte bytes, or None\n"
     "without one. After a lenient decode that repeated the record, the first one's.",
     nullptr},
    {"remote_addr", Init_remote_addr, nullptr,
     "The value of the `remote_addr` record (type 3), or None without one. After a lenient\n"
     "decode that repeated the record, the first one's.",
     nullptr},
    {"feature_bits", Init_feature_bits, nullptr,
     "The numbers of the feature bits set in globalfeatures or features, as a frozenset: the\n"
     "two maps are one, aligned at their last byte, whose lowest bit is bit 0.",
     nullptr},
};

PyObject* Ping_pong(PyObject* self, PyObject*) {
  return frame([&] {
    auto pong = bolt1::pong_for(contents_of<Ping>(self).message);
    if (!pong) return PyRef::borrow(Py_None);
    return new_message(class_state(Py_TYPE(self)), std::move(*pong));
  });
}

constexpr PyMethodDef kPingMethods[] = {
    {"pong", Ping_pong, METH_NOARGS,
     "pong($self, /)\n--\n\n"
     "The Pong a node must send in reply: num_pong_bytes zero bytes. None when num_pong_bytes\n"
     "is 65532 or more, as such a ping must be ignored."},
};

}  // namespace

template <>
struct Describe<Init> {
  static constexpr ClassDescription<Init> value{
      .name = "keldrin.Init",
      .doc = "The `init` message (type 16): the features a node supports, sent first on every\n"
             "connection. globalfeatures and features are bit maps, the lowest bit last;\n"
             "tlvs, the extension, is a tuple of Record in increasing type, where type 1\n"
             "(networks) holds chain hashes and type 3 (remote_addr) an address.",
      .codec = message_codec<Init>(),
      .derived = kInitDerived,
  };
};

template <>
struct Describe<Error> {
  static constexpr ClassDescription<Error> value{
      .name = "keldrin.Error",
      .doc = "The `error` message (type 17): the sender has failed the channel that channel_id\n"
             "names, or every channel when it is all zeros. data says why, and is not always\n"
             "printable. tlvs is the extension.",
      .codec = message_codec<Error>(),
  };
};

template <>
struct Describe<Warning> {
  static constexpr ClassDescription<Warning> value{
      .name = "keldrin.Warning",
      .doc = "The `warning` message (type 1): a problem worth logging with the channel that\n"
             "channel_id names, or with the connection when it is all zeros; no channel fails.\n"
             "data says what, and is not always printable. tlvs is the extension.",
      .codec = message_codec<Warning>(),
  };
};

template <>
struct Describe<Ping> {
  static constexpr ClassDescription<Ping> value{
      .name = "keldrin.Ping",
      .doc = "The `ping` message (type 18): asks for a Pong of num_pong_bytes bytes, which\n"
             "pong() makes. ignored is padding, to be zeros; tlvs is the extension.",
      .codec = message_codec<Ping>(),
      .methods = kPingMethods,
  };
};

template <>
struct Describe<Pong> {
  static constexpr ClassDescription<Pong> value{
      .name = "keldrin.Pong",
      .doc = "The `pong` message (type 19): the reply to a Ping, ignored holding as many bytes\n"
             "as it asked for. tlvs is the extension.",
      .codec = message_codec<Pong>(),
  };
};

template <>
struct Describe<PeerStorage> {
  static constexpr ClassDescription<PeerStorage> value{
      .name = "keldrin.PeerStorage",
      .doc = "The `peer_storage` message (type 7): a blob of at most 65531 bytes that a node\n"
             "asks its peer to keep for it. tlvs is the extension.",
      .codec = message_codec<PeerStorage>(),
  };
};

template <>
struct Describe<PeerStorageRetrieval> {
  static constexpr ClassDescription<PeerStorageRetrieval> value{
      .name = "keldrin.PeerStorageRetrieval",
      .doc = "The `peer_storage_retrieval` message (type 9): the last blob a node kept for its\n"
             "peer, sent back to it. tlvs is the extension.",
      .codec = message_codec<PeerStorageRetrieval>(),
  };
};

template <>
struct Describe<Unknown> {
  static constexpr ClassDescription<Unknown> value{
      .name = "keldrin.Unknown",
      .doc = "A message of any type other than the seven above, its payload (every byte after\n"
             "the type) kept opaque. An odd type may be ignored; an even one must not be, so a\n"
             "strict decode refuses it.",
      .codec = {Unknown::decode,
                [](const Unknown& m, WireWriter& writer) { m.to_wire(writer); },
                [](const Unknown& m) { return m.wire_size(); },
                [](const Unknown& a, const Unknown& b) { return a == b; },
                [](const Unknown& m) { return m.sending_fault(); }},
      .required = 1,
  };
};

void add_classes(PyObject* module, ModuleState& state) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    ((state.classes[I] = make_class<std::tuple_element_t<I, MessageClasses>>(module).release()),
     ...);
  }(std::make_index_sequence<kClassCount>{});
  for (PyObject* cls : state.classes) {
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(cls)) < 0) throw_pending();
  }
}

PyRef decode_any(const ModuleState& state, ByteSpan data, bool strict) {
  auto decode = [&]<class M>(std::type_identity<M>) {
    auto decoded = kClass<M>.codec.decode(data, strict);
    if (!decoded) throw_decode_failure(state, decoded.error());
    return new_message(state, std::move(decoded).value());
  };
  WireReader reader(data);
  if (auto type = reader.read_u16()) {
    PyRef message;
    // The classes as types alone: a tuple of messages to apply over would build and destroy a
    // message of every class on every call.
    [&]<class... M>(std::tuple<M...>*) {
      ((type.value() == M::kType ? (message = decode(std::type_identity<M>{}), 0) : 0), ...);
    }(static_cast<bolt1::Messages*>(nullptr));
    if (message) return message;
  }
  return decode(std::type_identity<Unknown>{});
}

}  // namespace keldrin::python::keldrin_module
