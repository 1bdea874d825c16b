#pragma once

#include <gtest/gtest.h>

#include <string>

#include "python/libkeldrin/classes.h"
#include "python/py_ref.h"

namespace keldrin::python::testing {

/// Evaluates a Python expression in a namespace shared by all tests; new reference (null with the
/// error printed and a test failure recorded if it raises).
PyRef eval(const std::string& expression);

/// Runs Python statements in the shared namespace.
void exec(const std::string& statements);

/// The pending exception's type name and text, clearing it; "" when none is pending.
std::string take_error();

/// Assigns obj.name = value the way Python code does; returns the raised exception as
/// "TypeName: text", or "" on success.
std::string assign(PyObject* obj, const char* name, PyObject* value);

}  // namespace keldrin::python::testing
