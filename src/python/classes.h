#pragma once

#include "bolt/bolt1/messages.h"
#include "python/class_object.h"
#include "tlv/stream.h"
#include "types/bitflag.h"

namespace keldrin::python {

/// The type cache of the class whose record is T: one per class, for the life of the process.
template <class T>
LazyTypeObject& class_of();

template <> LazyTypeObject& class_of<bolt1::Init>();
template <> LazyTypeObject& class_of<bolt1::Error>();
template <> LazyTypeObject& class_of<bolt1::Ping>();
template <> LazyTypeObject& class_of<bolt1::Pong>();
template <> LazyTypeObject& class_of<bolt1::Warning>();
template <> LazyTypeObject& class_of<Stream>();
template <> LazyTypeObject& class_of<BitFlag>();

/// A new instance of T's class holding `contents`; new reference.
template <class T>
PyRef new_instance(T contents) {
  return create_instance(std::move(contents), class_of<T>().get());
}

}  // namespace keldrin::python
