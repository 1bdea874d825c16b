#include "python/keldrin/convert.h"

#include "python/critical_section.h"

namespace keldrin::python::keldrin_module {

namespace {

// "Init() argument 'tlvs'" (and " item 2 value"), as a str.
PyRef label(const Argument& argument) {
  if (argument.item < 0) {
    return checked(PyUnicode_FromFormat("%s() argument '%s'", argument.callable, argument.name));
  }
  return checked(PyUnicode_FromFormat("%s() argument '%s' item %zd%s%s", argument.callable,
                                      argument.name, argument.item, argument.part ? " " : "",
                                      argument.part ? argument.part : ""));
}

// The short name of obj's type ("str", "Record").
PyRef type_name(PyObject* obj) {
  return or_placeholder(PyRef::steal(PyType_GetName(Py_TYPE(obj))), "?");
}

}  // namespace

void throw_argument_type(const Argument& argument, const char* expected, PyObject* obj) {
  PyRef name = type_name(obj);
  throw_format(PyExc_TypeError, "%U must be %s, not %U", label(argument).get(), expected,
               name.get());
}

void throw_argument_value(const Argument& argument, const std::string& complaint) {
  throw_format(PyExc_ValueError, "%U %s", label(argument).get(), complaint.c_str());
}

BytesView::BytesView(PyObject* obj, const Argument& argument) {
#ifdef Py_GIL_DISABLED
  if (PyByteArray_CheckExact(obj)) {
    CriticalSection section(obj);
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AS_STRING(obj));
    copy_.assign(data, data + PyByteArray_GET_SIZE(obj));
    bytes_ = copy_;
    return;
  }
#endif
  // bytes, what a message almost always arrives as, are viewed directly: asking for a buffer and
  // releasing it is some 4% of the instructions of a decode of a small message.
  if (PyBytes_CheckExact(obj)) {
    bytes_ = ByteSpan(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(obj)),
                      static_cast<std::size_t>(PyBytes_GET_SIZE(obj)));
    return;
  }
  if (!PyObject_CheckBuffer(obj)) throw_argument_type(argument, "a bytes-like object", obj);
  if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0) {
    bytes_ = ByteSpan(static_cast<const std::uint8_t*>(view_.buf),
                      static_cast<std::size_t>(view_.len));
    return;
  }
  // Only a buffer that is not contiguous refuses the simple form: it is copied in order.
  if (!PyErr_ExceptionMatches(PyExc_BufferError)) throw_pending();
  PyErr_Clear();
  Py_buffer strided;
  if (PyObject_GetBuffer(obj, &strided, PyBUF_FULL_RO) < 0) throw_pending();
  copy_.resize(static_cast<std::size_t>(strided.len));
  const int copied = PyBuffer_ToContiguous(copy_.data(), &strided, strided.len, 'C');
  PyBuffer_Release(&strided);
  if (copied < 0) throw_pending();
  bytes_ = copy_;
}

BytesView::~BytesView() {
  if (view_.obj != nullptr) PyBuffer_Release(&view_);
}

std::uint64_t to_unsigned(PyObject* obj, const Argument& argument, std::uint64_t max) {
  if (!PyIndex_Check(obj)) throw_argument_type(argument, "int", obj);
  PyRef index = checked(PyNumber_Index(obj));
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) throw_pending();
  if (overflow == 0 && value >= 0 && static_cast<unsigned long long>(value) <= max) {
    return static_cast<std::uint64_t>(value);
  }
  if (overflow > 0) {
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index.get());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
    } else if (wide <= max) {
      return wide;
    }
  }
  std::string complaint = "must be in range 0.." + std::to_string(max);
  if (overflow == 0) complaint += ", not " + std::to_string(value);
  throw_argument_value(argument, complaint);
}

std::vector<std::uint8_t> to_bytes(PyObject* obj, const Argument& argument,
                                   std::size_t max_size) {
  const BytesView view(obj, argument);
  const ByteSpan bytes = view.bytes();
  if (bytes.size() > max_size) {
    throw_argument_value(argument, "must be at most " + std::to_string(max_size) +
                                       " bytes, not " + std::to_string(bytes.size()));
  }
  return {bytes.begin(), bytes.end()};
}

Stream to_stream(PyObject* obj, const Argument& argument) {
  constexpr const char* kExpected = "an iterable of Record";
  // Bytes and str iterate, but over ints and strs, never records.
  const bool iterable = Py_TYPE(obj)->tp_iter != nullptr || PySequence_Check(obj);
  if (!iterable || PyObject_CheckBuffer(obj) || PyUnicode_Check(obj)) {
    throw_argument_type(argument, kExpected, obj);
  }
  // A tuple, never the caller's list: converting an item runs Python code (__index__, a
  // buffer's) that may change the list, and so may another thread on a free-threaded build.
  PyRef items = checked(PySequence_Tuple(obj));
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  PyObject* const* item = PySequence_Fast_ITEMS(items.get());
  // The values stay viewed where they are, in the items that `items` keeps alive, until the
  // stream has copied them.
  std::deque<BytesView> values;
  std::vector<Record> records;
  records.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!PyTuple_Check(item[i]) || PyTuple_GET_SIZE(item[i]) != 2) {
      throw_argument_type({argument.callable, argument.name, i},
                          "a Record or a (type, value) pair", item[i]);
    }
    const std::uint64_t type =
        to_unsigned(PyTuple_GET_ITEM(item[i], 0), {argument.callable, argument.name, i, "type"},
                    std::numeric_limits<std::uint64_t>::max());
    values.emplace_back(PyTuple_GET_ITEM(item[i], 1),
                        Argument{argument.callable, argument.name, i, "value"});
    records.push_back({type, values.back().bytes()});
  }
  return Stream::from_records(records);
}

PyRef bytes_object(ByteSpan bytes) {
  return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<Py_ssize_t>(bytes.size())));
}

void throw_decode_failure(const ModuleState& state, const DecodeFailure& failure) {
  PyRef message = checked(PyUnicode_FromStringAndSize(
      failure.message.data(), static_cast<Py_ssize_t>(failure.message.size())));
  PyRef error = checked(PyObject_CallOneArg(state.decode_error, message.get()));
  PyRef offset = checked(PyLong_FromUnsignedLongLong(failure.offset));
  if (PyObject_SetAttrString(error.get(), "offset", offset.get()) < 0) throw_pending();
  throw PythonError(std::move(error));
}

}  // namespace keldrin::python::keldrin_module
