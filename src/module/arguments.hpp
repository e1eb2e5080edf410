#pragma once
// The argument matcher shared by every function and constructor: binds
// positional and keyword arguments to a fixed list of positional-or-keyword
// parameters and raises TypeError with the interpreter-style messages.
#include <cstddef>
#include <span>
#include <string_view>

#include "module/python.hpp"

namespace ostrel::py {

// A positional-or-keyword parameter. Optional ones may be omitted and come
// after every required one; an optional one's default, as the text
// signature shows it, is `default_text`, or "..." when that is empty.
struct Parameter {
    std::string_view name;
    bool optional = false;
    std::string_view default_text = {};
};

inline constexpr bool kOptional = true;

struct Signature {
    std::string_view display_name;  // "encode_srgb" or "ZoneParams.__new__"
    std::span<const Parameter> parameters;

    // How many leading parameters must be given.
    std::size_t required() const noexcept {
        std::size_t count = 0;
        while (count < parameters.size() && !parameters[count].optional) ++count;
        return count;
    }
};

// Fills slots[i] with a borrowed reference to the argument bound to parameter
// i, or nullptr when it was omitted. Returns false with TypeError set.
bool match_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots);
// The same for a constructor's argument tuple and keyword dictionary (may be null).
bool match_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

}  // namespace ostrel::py
