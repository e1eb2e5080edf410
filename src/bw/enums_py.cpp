// The enumerations LuminanceStandard and ColorFilter: members are instances
// carrying a code, equal to that code, unhashable, not constructible.
#include "bw/enums_py.hpp"

#include <array>
#include <string>

#include "bw/luminance.hpp"
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

// The member names by code: entry i names the enumerator whose code is i.
template <class Enum>
struct Member {
    Enum value;
    std::string_view name;
};

template <class Enum, std::size_t N>
constexpr bool listed_by_code(const std::array<Member<Enum>, N>& members) {
    for (std::size_t i = 0; i < N; ++i) {
        if (static_cast<std::size_t>(members[i].value) != i) return false;
    }
    return true;
}

constexpr std::array<Member<LuminanceStandard>, kStandardCount> kStandardTable{{
    {LuminanceStandard::Bt601, "Bt601"},
    {LuminanceStandard::Bt709, "Bt709"},
    {LuminanceStandard::Bt2020, "Bt2020"},
}};
constexpr std::array<Member<ColorFilter>, kFilterCount> kFilterTable{{
    {ColorFilter::NoFilter, "NoFilter"},
    {ColorFilter::Yellow8K2, "Yellow8K2"},
    {ColorFilter::Orange21, "Orange21"},
    {ColorFilter::Red25A, "Red25A"},
    {ColorFilter::Green11X1, "Green11X1"},
    {ColorFilter::Blue47C5, "Blue47C5"},
}};
static_assert(listed_by_code(kStandardTable) && listed_by_code(kFilterTable));

template <class Enum, std::size_t N>
constexpr std::array<std::string_view, N> names_of(const std::array<Member<Enum>, N>& members) {
    std::array<std::string_view, N> names{};
    for (std::size_t i = 0; i < N; ++i) names[i] = members[i].name;
    return names;
}

constexpr std::array kStandardMembers = names_of(kStandardTable);
constexpr std::array kFilterMembers = names_of(kFilterTable);
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

template <class Enum>
bool member_argument(PyObject* slot, std::string_view name, ClassSlot& klass, std::string_view qualname,
                     Enum default_value, Enum& value) {
    if (slot == nullptr) {
        value = default_value;
        return true;
    }
    PyTypeObject* type = get_class(klass);
    if (type == nullptr) return false;
    if (!check_instance(slot, type, qualname, name)) return false;
    value = static_cast<Enum>(code_of(slot));
    return true;
}

}  // namespace

ClassSlot luminance_standard_class{&standard_spec, add_standard_members};
ClassSlot color_filter_class{&filter_spec, add_filter_members};

bool luminance_standard_argument(PyObject* slot, std::string_view name, LuminanceStandard& value) {
    return member_argument(slot, name, luminance_standard_class, kStandard.class_name, kDefaultStandard, value);
}

bool color_filter_argument(PyObject* slot, std::string_view name, ColorFilter& value) {
    return member_argument(slot, name, color_filter_class, kFilter.class_name, kDefaultFilter, value);
}

}  // namespace ostrel::py
