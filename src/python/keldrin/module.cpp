// The keldrin module: multi-phase initialisation, every object it needs kept in its state, so
// that each interpreter importing it, sub-interpreters with their own GIL included, gets a module
// of its own; and its functions.

#include <algorithm>
#include <array>
#include <limits>
#include <utility>
#include <vector>

#include "python/keldrin/arguments.h"
#include "python/keldrin/classes.h"
#include "python/keldrin/convert.h"
#include "python/keldrin/record.h"
#include "types/bigsize.h"

#ifndef KELDRIN_VERSION
#error "KELDRIN_VERSION, the distribution's version, is defined by the build"
#endif

namespace keldrin::python::keldrin_module {

void raise_system_error(const std::string& message) noexcept {
  const std::string& said = message.empty() ? "internal failure in keldrin" : message;
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(said.data(), static_cast<Py_ssize_t>(said.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_SystemError, text.get());
}

namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();

PyObject* Module_decode(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return frame([&] {
    std::array<PyObject*, kDecodeSignature.names.size()> given{};
    match_arguments(kDecodeSignature, args, nargs, kwnames, given);
    const BytesView data(given[0], kDecodeSignature.argument(0));
    return decode_any(module_state(module), data.bytes(), flag_value(given[1], true));
  });
}

// _unpickle(data): what __reduce__ names, the lenient decode of a message's encoding.
PyObject* Module_unpickle(PyObject* module, PyObject* data) {
  return frame([&] {
    const BytesView bytes(data, {"_unpickle", "data"});
    return decode_any(module_state(module), bytes.bytes(), false);
  });
}

constexpr const char* kDecodeStreamNames[] = {"data", "known", "strict"};
constexpr const char* kDecodeStreamDefaults[] = {"()", "True"};
constexpr Signature kDecodeStreamSignature{"decode_tlv_stream", kDecodeStreamNames, 1, 1,
                                           kDecodeStreamDefaults};

PyObject* Module_decode_tlv_stream(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return frame([&] {
    std::array<PyObject*, std::size(kDecodeStreamNames)> given{};
    match_arguments(kDecodeStreamSignature, args, nargs, kwnames, given);
    const BytesView data(given[0], kDecodeStreamSignature.argument(0));
    std::vector<KnownRecord> known;
    if (given[1] != nullptr) {
      PyRef iterator = PyRef::steal(PyObject_GetIter(given[1]));
      if (!iterator) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_pending();
        PyErr_Clear();
        throw_argument_type(kDecodeStreamSignature.argument(1), "a collection of int", given[1]);
      }
      while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        known.push_back({.type = to_unsigned(item.get(), kDecodeStreamSignature.argument(1),
                                             kMaxU64),
                         .name = "known type"});
      }
      if (PyErr_Occurred()) throw_pending();
      std::ranges::sort(known, {}, &KnownRecord::type);
    }
    const bool strict = flag_value(given[2], true);
    WireReader reader(data.bytes());
    auto stream = Stream::decode(reader, {strict, strict, known});
    const ModuleState& state = module_state(module);
    if (!stream) throw_decode_failure(state, std::move(stream).error().within("tlv stream"));
    return records_tuple(state, stream.value());
  });
}

// encode_tlv_stream(records)
PyObject* Module_encode_tlv_stream(PyObject*, PyObject* records) {
  return frame([&] {
    const Stream stream = to_stream(records, {"encode_tlv_stream", "records"});
    if (auto failure = stream.check({.increasing = true, .refuse_unknown_even = false, .known = {}})) {
      throw_format(PyExc_ValueError, "encode_tlv_stream(): %s", failure->message.c_str());
    }
    std::vector<std::uint8_t> wire(stream.wire_size());
    WireWriter writer(wire);
    stream.to_wire(writer);
    return bytes_object(wire);
  });
}

// encode_bigsize(n)
PyObject* Module_encode_bigsize(PyObject*, PyObject* n) {
  return frame([&] {
    const BigSize value{to_unsigned(n, {"encode_bigsize", "n"}, kMaxU64)};
    std::array<std::uint8_t, 9> wire;
    WireWriter writer(std::span(wire.data(), value.wire_size()));
    value.to_wire(writer);
    return bytes_object(std::span(wire.data(), value.wire_size()));
  });
}

// decode_bigsize(data) -> (value, length read)
PyObject* Module_decode_bigsize(PyObject* module, PyObject* data) {
  return frame([&] {
    const BytesView bytes(data, {"decode_bigsize", "data"});
    WireReader reader(bytes.bytes());
    auto value = BigSize::from_wire(reader);
    if (!value) {
      const bool short_read = value.error().kind == WireErrorKind::EndOfInput;
      throw_decode_failure(
          module_state(module),
          {short_read ? Fault::kShort : Fault::kNotMinimal, 0,
           "bigsize: " + (short_read ? describe(reader.shortfall()) : "not minimally encoded")});
    }
    return checked(Py_BuildValue("(KK)", static_cast<unsigned long long>(value.value().value),
                                 static_cast<unsigned long long>(reader.position())));
  });
}

constexpr auto kDecodeDoc = documented<kDecodeSignature>(
    "decode",
    "Decodes `data` (any bytes-like object), one whole message, into an instance of the class\n"
    "its type names, or of Unknown for any other type. Strict, it applies every rule a\n"
    "receiving node must apply; strict=False waives exactly four: the order of record types\n"
    "(so repeats too), unknown even record types, unknown even message types, and the limit\n"
    "of 65535 bytes. What decodes encodes again to exactly `data`. Raises DecodeError.");

constexpr auto kDecodeStreamDoc = documented<kDecodeStreamSignature>(
    "decode_tlv_stream",
    "The records of a TLV stream, as a tuple of Record. `known` holds the types the caller\n"
    "understands: strict, an unknown even type fails and an unknown odd one is kept, and the\n"
    "types must strictly increase. Raises DecodeError.");

PyMethodDef kFunctions[] = {
    {"decode", method_cast(Module_decode), METH_FASTCALL | METH_KEYWORDS,
     kDecodeDoc.data()},
    {"decode_tlv_stream", method_cast(Module_decode_tlv_stream), METH_FASTCALL | METH_KEYWORDS,
     kDecodeStreamDoc.data()},
    {"encode_tlv_stream", Module_encode_tlv_stream, METH_O,
     "encode_tlv_stream(records, /)\n--\n\n"
     "The encoding of an iterable of Record (or (type, value) pairs), whose types must strictly\n"
     "increase (ValueError otherwise)."},
    {"encode_bigsize", Module_encode_bigsize, METH_O,
     "encode_bigsize(n, /)\n--\n\nThe BigSize encoding of n, an integer 0..2**64-1."},
    {"decode_bigsize", Module_decode_bigsize, METH_O,
     "decode_bigsize(data, /)\n--\n\n"
     "The BigSize at the start of `data`, as (value, length read). Raises DecodeError when it\n"
     "is cut short or not in its shortest form."},
    {"_unpickle", Module_unpickle, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Every public name, in the order __all__ lists them: the classes, then the functions.
PyRef all_names(const ModuleState& state) {
  PyRef all = checked(PyList_New(0));
  auto add = [&](PyRef name) {
    if (PyList_Append(all.get(), name.get()) < 0) throw_pending();
  };
  for (PyObject* cls : state.classes) add(checked(PyType_GetName(reinterpret_cast<PyTypeObject*>(cls))));
  add(checked(PyUnicode_FromString("Record")));
  add(checked(PyUnicode_FromString("DecodeError")));
  for (const PyMethodDef* f = kFunctions; f->ml_name != nullptr; ++f) {
    if (f->ml_name[0] != '_') add(checked(PyUnicode_FromString(f->ml_name)));
  }
  return all;
}

int Module_exec(PyObject* module) {
  try {
    ModuleState& state = module_state(module);
    state.decode_error = checked(PyErr_NewExceptionWithDoc(
        "keldrin.DecodeError",
        "A message or stream that breaks the rules of the protocol. Its text says what was\n"
        "being read and why it failed; its `offset` is where in the input the faulty field\n"
        "or record starts.",
        PyExc_ValueError, nullptr)).release();
    if (PyModule_AddObjectRef(module, "DecodeError", state.decode_error) < 0) throw_pending();
    state.record_type = make_record_class(module).release();
    if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(state.record_type)) < 0) {
      throw_pending();
    }
    add_classes(module, state);
    state.unpickle = checked(PyObject_GetAttrString(module, "_unpickle")).release();
    PyRef all = all_names(state);
    if (PyModule_AddObjectRef(module, "__all__", all.get()) < 0) throw_pending();
    if (PyModule_AddStringConstant(module, "__version__", KELDRIN_VERSION) < 0) throw_pending();
    return 0;
  } catch (...) {
    raise_in_flight(raise_system_error);
    return -1;
  }
}

// Every object the state holds, for the collector: the classes refer back to the module. The
// interpreter calls m_traverse, m_clear and m_free only while the state exists; an object not
// made yet, or already released, is null.
template <class Visit>
void for_each_held(PyObject* module, Visit&& visit) {
  ModuleState& state = *static_cast<ModuleState*>(PyModule_GetState(module));
  visit(state.decode_error);
  visit(state.record_type);
  visit(state.unpickle);
  for (PyObject*& cls : state.classes) visit(cls);
}

int Module_traverse(PyObject* module, visitproc visit, void* arg) {
  int result = 0;
  for_each_held(module, [&](PyObject* held) {
    if (result == 0 && held != nullptr) result = visit(held, arg);
  });
  return result;
}

int Module_clear(PyObject* module) {
  for_each_held(module, [](PyObject*& held) { PyRef::steal(std::exchange(held, nullptr)); });
  return 0;
}

void Module_free(void* module) { Module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Module_exec)},
#if PY_MINOR_VERSION >= 12
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#if PY_MINOR_VERSION >= 13
    // Instances never change and the state is made before any call can read it, so the module
    // needs no lock of the interpreter's.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "keldrin",
    .m_doc = "Every message of the Lightning Network's base protocol (BOLT #1), as immutable\n"
             "values: read their fields, build them with keyword arguments, encode() them to\n"
             "the exact bytes a peer sends, and decode() what a peer sent by the rules a\n"
             "receiving node applies. Any input is safe: a malformed one raises DecodeError.",
    .m_size = sizeof(ModuleState),
    .m_methods = kFunctions,
    .m_slots = kSlots,
    .m_traverse = Module_traverse,
    .m_clear = Module_clear,
    .m_free = Module_free,
};

}  // namespace

}  // namespace keldrin::python::keldrin_module

PyMODINIT_FUNC PyInit_keldrin() { return PyModuleDef_Init(&keldrin::python::keldrin_module::kModuleDef); }
