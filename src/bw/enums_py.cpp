// The enumerations LuminanceStandard and ColorFilter: members are instances
// carrying a code, equal to that code, unhashable, not constructible.
#include "bw/enums_py.hpp"

#include <array>
#include <string>

#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/py_ref.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

struct MemberObject {
    PyObject_HEAD
    std::uint8_t code;
};

std::uint8_t code_of(PyObject* member) { return reinterpret_cast<MemberObject*>(member)->code; }

struct EnumDescription {
    const char* class_name;
    const std::string_view* members;  // by code
    std::size_t count;
};

constexpr std::array<std::string_view, 3> kStandardMembers{"Bt601", "Bt709", "Bt2020"};
constexpr std::array<std::string_view, 6> kFilterMembers{"NoFilter", "Yellow8K2", "Orange21",
                                                         "Red25A",   "Green11X1", "Blue47C5"};
constexpr EnumDescription kStandard{"LuminanceStandard", kStandardMembers.data(), kStandardMembers.size()};
constexpr EnumDescription kFilter{"ColorFilter", kFilterMembers.data(), kFilterMembers.size()};

const EnumDescription& description_of(PyObject* member) {
    return Py_TYPE(member) == luminance_standard_class.type ? kStandard : kFilter;
}

PyObject* member_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        const EnumDescription& d = description_of(self);
        const std::uint8_t code = code_of(self);
        if (code >= d.count) {
            raise_panic("enumeration member with an invalid code");
            return nullptr;
        }
        const std::string text = std::string(d.class_name) + "." + std::string(d.members[code]);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

PyObject* member_int(PyObject* self) noexcept { return PyLong_FromLong(code_of(self)); }

PyObject* member_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return guarded([&]() -> PyObject* {
        if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
        long long other_code = 0;
        if (Py_TYPE(other) == Py_TYPE(self)) {
            other_code = code_of(other);
        } else {
            // A member equals its code and anything whose __index__ gives it.
            Ref index = Ref::steal(PyNumber_Index(other));
            if (!index) {
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
            other_code = PyLong_AsLongLong(index.get());
            if (other_code == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
        }
        const bool equal = other_code == code_of(self);
        return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
    });
}

// Adds the members, in code order, as attributes of the new class.
bool add_members(PyTypeObject* type, const EnumDescription& d) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    for (std::size_t code = 0; code < d.count; ++code) {
        Ref member = Ref::steal(alloc(type, 0));
        if (!member) return false;
        reinterpret_cast<MemberObject*>(member.get())->code = static_cast<std::uint8_t>(code);
        const std::string name(d.members[code]);
        if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name.c_str(), member.get()) < 0) return false;
    }
    return true;
}

bool add_standard_members(PyTypeObject* type) { return add_members(type, kStandard); }
bool add_filter_members(PyTypeObject* type) { return add_members(type, kFilter); }

constexpr const char kStandardDoc[] =
    "ITU-R luminance standard for B&W conversion.\n"
    "\n"
    "Selects which RGB primaries' Y-row coefficients to use when computing\n"
    "the perceptual luminance of a scene-referred linear f32 image.\n"
    "`Bt709` is the default and the correct choice for sRGB-primary data\n"
    "(the vast majority of consumer RAW pipelines).";

constexpr const char kFilterDoc[] =
    "Wratten-style coloured-filter preset for B&W contrast control.\n"
    "\n"
    "Each variant represents a gel filter placed in front of the lens.\n"
    "The filter attenuates light by channel, shifting the relative tonal\n"
    "values of differently coloured subjects.\n"
    "\n"
    "Channel transmission values are sampled at the centroid wavelengths\n"
    "of a nominal sRGB camera's R/G/B channels (~620, ~540, ~450 nm) from\n"
    "the Kodak Wratten Gelatin Filters datasheet, B3-203 (5th ed.).\n"
    "These are approximations \u2014 real Wratten curves are continuous spectra.\n"
    "\n"
    "**Note:** real filters reduce total exposure. This kernel does not\n"
    "apply exposure compensation \u2014 do that in the exposure kernel.";


PyType_Slot standard_slots[] = {
    {Py_tp_doc, const_cast<char*>(kStandardDoc)},
    {Py_tp_repr, reinterpret_cast<void*>(member_repr)},
    {Py_nb_int, reinterpret_cast<void*>(member_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(member_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_plain_instance)},
    {0, nullptr},
};

PyType_Slot filter_slots[] = {
    {Py_tp_doc, const_cast<char*>(kFilterDoc)},
    {Py_tp_repr, reinterpret_cast<void*>(member_repr)},
    {Py_nb_int, reinterpret_cast<void*>(member_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(member_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_plain_instance)},
    {0, nullptr},
};

PyType_Spec standard_spec{"builtins.LuminanceStandard", sizeof(MemberObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, standard_slots};
PyType_Spec filter_spec{"builtins.ColorFilter", sizeof(MemberObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, filter_slots};

bool member_argument(PyObject* slot, std::string_view name, ClassSlot& klass, std::string_view qualname,
                     std::uint8_t default_code, std::uint8_t& code) {
    if (slot == nullptr) {
        code = default_code;
        return true;
    }
    PyTypeObject* type = get_class(klass);
    if (type == nullptr) return false;
    if (!check_instance(slot, type, qualname, name)) return false;
    code = code_of(slot);
    return true;
}

}  // namespace

ClassSlot luminance_standard_class{&standard_spec, add_standard_members};
ClassSlot color_filter_class{&filter_spec, add_filter_members};

bool luminance_standard_argument(PyObject* slot, std::string_view name, std::uint8_t& code) {
    return member_argument(slot, name, luminance_standard_class, "LuminanceStandard", 1, code);
}

bool color_filter_argument(PyObject* slot, std::string_view name, std::uint8_t& code) {
    return member_argument(slot, name, color_filter_class, "ColorFilter", 0, code);
}

}  // namespace ostrel::py
