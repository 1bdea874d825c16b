#include "python/libkeldrin/convert.h"

#include <algorithm>
#include <array>

#include "python/critical_section.h"

namespace keldrin::python {

namespace {

// A sequence's reported length only sizes the first allocation; one that claims more than this
// gets this much and the vector grows as items really arrive.
constexpr Py_ssize_t kMaxLengthHint = 1 << 20;

// The value of an exact int, or -1 when it is large. The unstable tier's compact-int reads skip
// a call per item, but may change in any 3.x.0: they are used only on the series they were
// tested with, and any later one takes the public call.
Py_ssize_t small_value(PyObject* item) {
#if PY_MINOR_VERSION >= 12 && PY_MINOR_VERSION <= 15
  auto* number = reinterpret_cast<PyLongObject*>(item);
  return PyUnstable_Long_IsCompact(number) ? PyUnstable_Long_CompactValue(number) : -1;
#else
  // Cannot fail for an exact int: too large only sets `overflow`.
  int overflow = 0;
  const long v = PyLong_AsLongAndOverflow(item, &overflow);
  return overflow != 0 ? -1 : static_cast<Py_ssize_t>(v);
#endif
}

// Items of an exact list or tuple that are all exact ints 0..255 are copied directly: reading
// them runs no Python code, so the result is what the general path would give. Returns false,
// having changed nothing, when any item would need the general path. One pass both checks and
// copies: the item array of a large sequence does not stay in the caches for a second one.
bool copy_small_ints(PyObject* const* items, Py_ssize_t count, std::vector<std::uint8_t>& out) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyLong_CheckExact(items[i])) return false;
    const Py_ssize_t v = small_value(items[i]);
    if (v < 0 || v > 255) return false;
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
  }
  out = std::move(bytes);
  return true;
}

// The fast path for an exact list or tuple; false when it does not apply.
bool copy_exact_sequence(PyObject* obj, std::vector<std::uint8_t>& out) {
  if (PyTuple_CheckExact(obj)) {
    return copy_small_ints(PySequence_Fast_ITEMS(obj), PyTuple_GET_SIZE(obj), out);
  }
  if (!PyList_CheckExact(obj)) return false;
#ifdef Py_GIL_DISABLED
  // Another thread may resize the list, and move its item array, while the items are read.
  CriticalSection section(obj);
#endif
  return copy_small_ints(PySequence_Fast_ITEMS(obj), PyList_GET_SIZE(obj), out);
}

// The general path: any sequence, read through its iterator.
void read_items(PyObject* obj, std::vector<std::uint8_t>& out) {
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    // A failing length only costs the first allocation. KeyboardInterrupt, SystemExit and the
    // like are no answer about the length but a request to stop, and go on unchanged.
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw_pending();
    PyErr_Clear();
    hint = 0;
  }
  out.reserve(static_cast<std::size_t>(std::min(hint, kMaxLengthHint)));
  PyRef iterator = checked(PyObject_GetIter(obj));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    out.push_back(to_unsigned<std::uint8_t>(item.get()));
  }
  if (PyErr_Occurred()) throw_pending();
}

// CPython 3.12 and later make the small ints immortal: reference counting leaves them alone, so a
// list may hold them without a reference being taken for each item. On 3.11 each item needs one.
constexpr bool kImmortalSmallInts = PY_MINOR_VERSION >= 12;

// The ints 0..255, fetched once; the module keeps a reference to each for the life of the process.
// On a free-threaded build a second thread may wait here, attached, while the first fills the
// table; that is safe because filling it only reads the interpreter's own small ints, which
// allocates nothing and so never waits for the other thread.
const std::array<PyObject*, 256>& small_ints() {
  static const std::array<PyObject*, 256> table = [] {
    std::array<PyObject*, 256> made{};
    long value = 0;
    for (PyObject*& entry : made) entry = checked(PyLong_FromLong(value++)).release();
    return made;
  }();
  return table;
}

}  // namespace

PyRef byte_list(ByteSpan bytes) {
  const std::array<PyObject*, 256>& ints = small_ints();
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(bytes.size())));
  // The item array is read once: PyList_SET_ITEM would fetch it again for every byte, as the
  // reference-count store before it might, for all the compiler knows, have moved it.
  PyObject** items = PySequence_Fast_ITEMS(list.get());
  const std::uint8_t* in = bytes.data();
  const std::size_t size = bytes.size();
  if constexpr (kImmortalSmallInts) {
    // Most of the time of wire() on a large message goes here: one load and one store a byte.
    for (std::size_t i = 0; i < size; ++i) items[i] = ints[in[i]];
  } else {
    for (std::size_t i = 0; i < size; ++i) items[i] = PyRef::borrow(ints[in[i]]).release();
  }
  return list;
}

std::array<std::uint8_t, 32> to_channel_id(PyObject* obj) {
  std::array<std::uint8_t, 32> out{};
  if (!PySequence_Check(obj)) throw_conversion_error(obj, "Sequence");
  const Py_ssize_t length = PyObject_Size(obj);
  if (length < 0) throw_pending();
  if (length != static_cast<Py_ssize_t>(out.size())) {
    throw_format(PyExc_ValueError, "expected a sequence of length %zu (got %zd)", out.size(), length);
  }
  for (std::size_t i = 0; i < out.size(); ++i) {
    PyRef index = checked(PyLong_FromUnsignedLongLong(i));
    PyRef item = checked(PyObject_GetItem(obj, index.get()));
    out[i] = to_unsigned<std::uint8_t>(item.get());
  }
  return out;
}

ByteInput ByteInput::from_sequence(PyObject* obj) {
  ByteInput input;
  if (PyBytes_CheckExact(obj)) {
    input.bytes_ = ByteSpan(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return input;
  }
  if (PyByteArray_CheckExact(obj)) {
#ifdef Py_GIL_DISABLED
    // Another thread may resize it during the decode: copied under its lock, not viewed.
    CriticalSection section(obj);
#endif
    const ByteSpan bytes(reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj)),
                         static_cast<std::size_t>(PyByteArray_GET_SIZE(obj)));
#ifdef Py_GIL_DISABLED
    input.owned_.assign(bytes.begin(), bytes.end());
    input.bytes_ = input.owned_;
#else
    input.bytes_ = bytes;
#endif
    return input;
  }
  if (PyUnicode_Check(obj)) throw_error(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) throw_conversion_error(obj, "Sequence");
  if (!copy_exact_sequence(obj, input.owned_)) read_items(obj, input.owned_);
  input.bytes_ = input.owned_;
  return input;
}

}  // namespace keldrin::python
