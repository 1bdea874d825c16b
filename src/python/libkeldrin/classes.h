#pragma once

#include "bolt/bolt1/messages.h"
#include "python/libkeldrin/class_object.h"
#include "tlv/stream.h"
#include "types/bitflag.h"

namespace keldrin::python {

/// The PyType_Spec of the class whose record is T, defined beside the class.
template <class T>
struct ClassSpec {
  static PyType_Spec spec;
};

template <> PyType_Spec ClassSpec<bolt1::Init>::spec;
template <> PyType_Spec ClassSpec<bolt1::Error>::spec;
template <> PyType_Spec ClassSpec<bolt1::Ping>::spec;
template <> PyType_Spec ClassSpec<bolt1::Pong>::spec;
template <> PyType_Spec ClassSpec<bolt1::Warning>::spec;
template <> PyType_Spec ClassSpec<Stream>::spec;
template <> PyType_Spec ClassSpec<BitFlag>::spec;

/// The holder of the type object of the class whose record is T, which makes it on first need:
/// one per class, for the life of the process.
template <class T>
LazyTypeObject& lazy_type() {
  static constinit LazyTypeObject type(ClassSpec<T>::spec);
  return type;
}

/// A new instance of T's class holding `contents`; new reference.
template <class T>
PyRef new_instance(T contents) {
  return checked(allocate<T>(lazy_type<T>().get(), std::move(contents)));
}

}  // namespace keldrin::python
