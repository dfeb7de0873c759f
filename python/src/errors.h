// How the library's failures reach Python: as the exceptions a script already
// handles (OSError and its errno subclasses, ValueError, TimeoutError).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace zorpy {

// A Python exception of a given type, thrown through pybind11.
[[noreturn]] void raise(PyObject* type, const std::string& message);
// OSError for a library error code: errno chosen from the code, so that
// Python picks the subclass (FileNotFoundError, PermissionError, ...); the
// code itself is kept as the exception's zor_error attribute.
[[noreturn]] void raiseOsError(unsigned long code, const std::string& what, const std::string& filename = {});
// The text of a library error code, one line.
std::string errorText(unsigned long code);

}  // namespace zorpy
