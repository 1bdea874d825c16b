#pragma once

#include <utility>

#include "python/libkeldrin/class_object.h"

namespace keldrin::python {

/// The one setter protocol, shared by every attribute: refuse deletion; convert and copy the value
/// (its TypeError named after the attribute) while the object is still free, since conversion may
/// run Python code that touches it; then replace the field under the exclusive borrow. A failure
/// at any step leaves the object as it was.
///
/// T is the class record, Field the member replaced, Convert a function from the Python value to
/// the field's type. The attribute name travels in the get-set entry's closure.
template <class T, auto Field, auto Convert>
int set_attribute(PyObject* self, PyObject* value, void* closure) {
  return setter_frame([&] {
    if (value == nullptr) throw_error(PyExc_AttributeError, "can't delete attribute");
    auto converted = convert_argument(static_cast<const char*>(closure), [&] { return Convert(value); });
    auto& instance = instance_of<T>(self);
    ExclusiveBorrow borrow(instance.borrow_flag);
    using std::swap;
    swap(instance.contents.*Field, converted);
    // `converted` now holds the old contents and releases them on the way out.
  });
}

/// A write-only get-set entry for one attribute.
template <class T, auto Field, auto Convert>
constexpr PyGetSetDef write_only(const char* name) {
  return PyGetSetDef{name, nullptr, set_attribute<T, Field, Convert>, "", const_cast<char*>(name)};
}

}  // namespace keldrin::python
