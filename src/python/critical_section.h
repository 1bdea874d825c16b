#pragma once

#include "python/binding.h"

namespace keldrin::python {

#ifdef Py_GIL_DISABLED
/// Holds an object's own lock, the one its methods take on a free-threaded build, so that no other
/// thread resizes or refills its storage while the module reads that storage directly. Released on
/// scope exit, so a failed allocation inside cannot leave the object locked.
class CriticalSection {
 public:
  explicit CriticalSection(PyObject* obj) { PyCriticalSection_Begin(&section_, obj); }
  ~CriticalSection() { PyCriticalSection_End(&section_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
  PyCriticalSection section_;
};
#endif

}  // namespace keldrin::python
