// The library-wide settings as the module offers them.
#pragma once

#include <pybind11/pybind11.h>

namespace zorpy {

namespace py = pybind11;

// The module's own defaults, set when it is imported.
void setModuleDefaults();
// Sets the settings named by keyword and returns all of them, as now set.
py::dict configure(const py::kwargs& kw);

}  // namespace zorpy
