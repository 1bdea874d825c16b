#include "python/call_frame.h"

#include <atomic>
#include <exception>
#include <new>
#include <string>

namespace keldrin::python {

// An internal failure becomes the internal-error class with its text. Making either can fail
// only for lack of memory, and the MemoryError that leaves pending is then the truthful report.
// The text is decoded with replacement: a what() that is not UTF-8 must not turn the failure
// into a decoding error.
void raise_internal_error(const std::string& message) noexcept {
  PyObject* cls = internal_error_class();
  if (cls == nullptr) return;
  const std::string& said = message.empty() ? "internal failure in libkeldrin" : message;
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(said.data(), static_cast<Py_ssize_t>(said.size()), "replace"));
  if (text) PyErr_SetObject(cls, text.get());
}

PyObject* internal_error_class() noexcept {
  static std::atomic<PyObject*> cls = nullptr;
  if (PyObject* made = cls.load(std::memory_order_acquire)) return made;
  PyRef made = PyRef::steal(PyErr_NewExceptionWithDoc(
      "libkeldrin.InternalError",
      "A failure inside libkeldrin itself rather than in the data or arguments it was given.\n"
      "It derives from BaseException so that a plain `except Exception` does not hide it.",
      PyExc_BaseException, nullptr));
  // Left unmade, it is tried again at the next internal failure.
  if (!made) return nullptr;
  return keep_first(cls, std::move(made));
}

void raise_in_flight(InternalReport report) noexcept {
  try {
    throw;
  } catch (PythonError& error) {
    PyErr_SetRaisedException(error.take());
  } catch (const InternalFailure& failure) {
    report(failure.message);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    report(e.what());
  } catch (...) {
    report({});
  }
}

}  // namespace keldrin::python
