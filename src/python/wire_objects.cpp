#include "python/wire_objects.h"

#include <array>

#include "python/errors.h"

namespace keldrin::python {

namespace {

// The ints 0..255, fetched once; the module keeps a reference to each for the life of the process.
const std::array<PyObject*, 256>& small_ints() {
  static const std::array<PyObject*, 256> table = [] {
    std::array<PyObject*, 256> ints{};
    for (int i = 0; i < 256; ++i) ints[i] = api_object(PyLong_FromLong(i)).release();
    return ints;
  }();
  return table;
}

}  // namespace

PyRef byte_list(ByteSpan bytes) {
  const auto& ints = small_ints();
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(bytes.size())));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), PyRef::borrow(ints[bytes[i]]).release());
  }
  return list;
}

void throw_wire_error(const WireError& error) {
  PyRef message = checked(PyUnicode_FromStringAndSize(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size())));
  throw PythonError(checked(PyObject_CallOneArg(PyExc_OSError, message.get())));
}

}  // namespace keldrin::python
