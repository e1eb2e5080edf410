#pragma once
// LuminanceStandard and ColorFilter (registered through their ClassSlots) and
// what the luminance frames need from them.
#include <cstdint>
#include <string_view>

#include "module/python.hpp"

namespace ostrel::py {

// Converts a `standard` argument to its member code; an omitted argument
// (nullptr) is Bt709. Only members of the class itself are accepted.
bool luminance_standard_argument(PyObject* slot, std::string_view name, std::uint8_t& code);
// The same for a `filter` argument; an omitted one is NoFilter.
bool color_filter_argument(PyObject* slot, std::string_view name, std::uint8_t& code);

}  // namespace ostrel::py
