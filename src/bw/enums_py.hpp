#pragma once
// LuminanceStandard and ColorFilter (registered through their ClassSlots) and
// what the luminance frames need from them.
#include <string_view>

#include "bw/luminance.hpp"
#include "module/python.hpp"

namespace ostrel::py {

// Converts a `standard` argument to its enumerator; an omitted argument
// (nullptr) is kDefaultStandard. Only members of the class itself are accepted.
bool luminance_standard_argument(PyObject* slot, std::string_view name, LuminanceStandard& value);
// The same for a `filter` argument; an omitted one is kDefaultFilter.
bool color_filter_argument(PyObject* slot, std::string_view name, ColorFilter& value);

}  // namespace ostrel::py
