#pragma once

#include <string>
#include <utility>

#include "core/wire_error.h"
#include "python/py_ref.h"

namespace keldrin::python {

/// Thrown inside the binding when a Python exception has been raised: it carries the exception
/// object, and no Python error indicator is set while it is in flight.
class PythonError {
 public:
  explicit PythonError(PyRef exception) : exception_(std::move(exception)) {}

  /// Takes the pending exception; a SystemError stands in when none is pending.
  static PythonError fetch();

  PyObject* exception() const { return exception_.get(); }
  /// New reference; the error is empty afterwards.
  PyObject* take() { return exception_.release(); }

 private:
  PyRef exception_;
};

/// A failure of the module's own code that is not a Python exception; it reaches Python as the
/// internal-error class.
struct InternalFailure {
  std::string message;
};

/// Throws the pending exception as a PythonError.
[[noreturn]] void throw_pending();

/// Raises `type` with the single argument `message` and throws it.
[[noreturn]] void throw_error(PyObject* type, const char* message);

/// Raises `type` with a printf-style message (PyUnicode_FromFormat codes) and throws it.
[[noreturn]] void throw_format(PyObject* type, const char* format, ...);

/// Returns `result` as an owned reference, or throws the pending exception when it is null.
PyRef checked(PyObject* result);

/// After a failed call: throws the pending exception when it is a MemoryError (or a subclass),
/// which reaches the caller unchanged and unprinted; lack of memory is no fault of the module.
/// Any other pending exception stays pending for the caller's own fallback.
void throw_if_memory_error();

/// `made` when the call that made it succeeded (it is not empty); otherwise a pending MemoryError
/// is thrown and any other failure is cleared and replaced by the str `placeholder`.
PyRef or_placeholder(PyRef made, const char* placeholder);

/// The TypeError "'<qualified type name of obj>' object cannot be converted to '<target>'".
[[noreturn]] void throw_conversion_error(PyObject* obj, const char* target);

/// A decode failure as Python sees it: a plain OSError whose one argument is the message (so
/// errno and strerror are None).
[[noreturn]] void throw_wire_error(const WireError& error);

/// An exception of exactly TypeError becomes a new TypeError "argument '<name>': <text>" with
/// the old one's cause and no link to the old one; anything else is returned unchanged.
PythonError with_argument_name(const char* name, PythonError error);

/// Runs a conversion and puts the argument's name on the TypeError it may throw.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (PythonError& error) {
    throw with_argument_name(name, std::move(error));
  }
}

}  // namespace keldrin::python
