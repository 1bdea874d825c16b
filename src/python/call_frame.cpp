#include "python/call_frame.h"

#include <exception>
#include <new>
#include <string>

namespace keldrin::python {

namespace {

constexpr const char* kGenericInternalFailure = "internal failure in libkeldrin";

void raise_internal(const std::string& message) noexcept {
  PyObject* cls = internal_error_class();
  PyRef text = PyRef::steal(
      PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) Py_FatalError("libkeldrin: could not report an internal failure");
  PyErr_SetObject(cls, text.get());
}

}  // namespace

PyObject* internal_error_class() noexcept {
  static PyObject* cls = nullptr;
  if (cls == nullptr) {
    cls = PyErr_NewExceptionWithDoc(
        "libkeldrin.InternalError",
        "A failure inside libkeldrin itself rather than in the data or arguments it was given.\n"
        "It derives from BaseException so that a plain `except Exception` does not hide it.",
        PyExc_BaseException, nullptr);
    if (cls == nullptr) Py_FatalError("libkeldrin: could not create its internal-error class");
  }
  return cls;
}

void raise_in_flight() noexcept {
  try {
    throw;
  } catch (PythonError& error) {
    PyErr_SetRaisedException(error.take());
  } catch (const InternalFailure& failure) {
    raise_internal(failure.message.empty() ? kGenericInternalFailure : failure.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    raise_internal(kGenericInternalFailure);
  }
}

}  // namespace keldrin::python
