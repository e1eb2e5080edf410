#pragma once
// The ZoneParams class (defined in zone_params_py.cpp, registered through
// zone_params_class) and what the zone_system frame needs from it.
#include <string_view>

#include "module/python.hpp"
#include "tone/zone_curve.hpp"

namespace ostrel::py {

// Converts the `params` argument: checks that `slot` is a ZoneParams and
// copies its offset table into `out` (the interpreter lock must be held).
// Returns false with "argument '<name>': ..." TypeError set otherwise.
bool zone_params_argument(PyObject* slot, std::string_view name, ZoneOffsets& out);

}  // namespace ostrel::py
