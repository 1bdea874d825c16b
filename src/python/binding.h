#pragma once

// The Python bindings: the only part of the project that includes Python.h. Two modules sit over
// the one codec: libkeldrin (python/libkeldrin/), the original module with its fixed contract, and
// the keldrin package (python/keldrin/). What both use lives here in python/: owned references,
// errors, call frames, the memory of instances.
//
// Naming key
//   - codec types are PascalCase (WireReader, BigSize, Stream), functions snake_case (from_wire).
//   - private members end in an underscore, constants start with k.
//   - interpreter entry points are <Class>_<slot> (Message_new<M>, Record_wire_decode<T>;
//     Module_decode for a module function), where Record is any libkeldrin class and Message
//     any keldrin one, so a grep for "Record_" lists every way the interpreter can enter a
//     libkeldrin class; the part of an entry that holds its logic is <Class>_<slot>_impl.
//   - record fields keep the protocol's names (num_pong_bytes, init_tlvs).
//
// Error convention inside the binding: a failed C-API call is turned into a thrown PythonError
// carrying the raised exception; any other C++ exception is an internal failure. Every entry
// point runs in a call frame (call_frame.h) that turns both back into a raised Python exception,
// so nothing ever unwinds into the interpreter.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/compat.h"
