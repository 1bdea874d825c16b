#include "python/wire_objects.h"

#include <array>

#include "python/errors.h"

namespace keldrin::python {

namespace {

// The ints 0..255, fetched once; the module keeps a reference to each for the life of the process.
struct SmallInts {
  std::array<PyObject*, 256> ints{};
  // Whether every one of them is immortal, as CPython 3.12 and later make the small ints.
  // Reference counting leaves an immortal object alone, so a list may then hold them without a
  // reference being taken for each item.
  bool immortal = true;
};

bool is_immortal(PyObject* obj) {
#if PY_VERSION_HEX >= 0x030E0000
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

}  // namespace

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

void throw_wire_error(const WireError& error) {
  PyRef message = checked(PyUnicode_FromStringAndSize(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size())));
  throw PythonError(checked(PyObject_CallOneArg(PyExc_OSError, message.get())));
}

}  // namespace keldrin::python
