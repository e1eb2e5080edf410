#include "module/arguments.hpp"

#include <string>
#include <vector>

namespace ostrel::py {
namespace {

std::string function_text(const Signature& signature) { return std::string(signature.display_name) + "()"; }

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const std::size_t count = signature.parameters.size();
    std::string message = function_text(signature);
    if (signature.required() == count) {
        message += " takes " + std::to_string(count);
    } else {
        message += " takes from " + std::to_string(signature.required()) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

void raise_missing(const Signature& signature, std::span<PyObject*> slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < signature.required(); ++i) {
        if (slots[i] == nullptr) missing.push_back(signature.parameters[i].name);
    }
    std::string message = function_text(signature) + " missing " + std::to_string(missing.size()) +
                          " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": ";
    for (std::size_t i = 0; i < missing.size(); ++i) {
        if (i > 0) message += missing.size() == 2 ? " " : ", ";
        if (i > 0 && i + 1 == missing.size()) message += "and ";
        message += '\'';
        message += missing[i];
        message += '\'';
    }
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// Binds one keyword argument; false with TypeError set.
bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value, std::span<PyObject*> slots) {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &length) : nullptr;
    if (text == nullptr) PyErr_Clear();  // not representable in UTF-8: it cannot name a parameter
    const std::string_view name =
        text != nullptr ? std::string_view(text, static_cast<std::size_t>(length)) : std::string_view();
    for (std::size_t i = 0; text != nullptr && i < signature.parameters.size(); ++i) {
        if (signature.parameters[i].name != name) continue;
        if (slots[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", function_text(signature).c_str(),
                         std::string(name).c_str());
            return false;
        }
        slots[i] = value;
        return true;
    }
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", function_text(signature).c_str(),
                 keyword);
    return false;
}

bool bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, std::span<PyObject*> slots) {
    for (auto& slot : slots) slot = nullptr;
    if (static_cast<std::size_t>(nargs) > signature.parameters.size()) {
        raise_too_many_positional(signature, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    return true;
}

bool check_required(const Signature& signature, Py_ssize_t nargs, std::span<PyObject*> slots) {
    if (static_cast<std::size_t>(nargs) >= signature.required()) return true;
    for (std::size_t i = 0; i < signature.required(); ++i) {
        if (slots[i] == nullptr) {
            raise_missing(signature, slots);
            return false;
        }
    }
    return true;
}

}  // namespace

bool match_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> slots) {
    if (!bind_positional(signature, args, nargs, slots)) return false;
    const Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        if (!bind_keyword(signature, PyTuple_GetItem(kwnames, k), args[nargs + k], slots)) return false;
    }
    return check_required(signature, nargs, slots);
}

bool match_tuple_and_dict(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
    const Py_ssize_t nargs = PyTuple_Size(args);
    if (nargs < 0) return false;
    std::vector<PyObject*> positional(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) positional[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    if (!bind_positional(signature, positional.data(), nargs, slots)) return false;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(signature, keyword, value, slots)) return false;
        }
    }
    return check_required(signature, nargs, slots);
}

}  // namespace ostrel::py
