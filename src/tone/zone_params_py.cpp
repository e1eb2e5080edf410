// ZoneParams: an immutable zone -> stop-offset table built from a dict.
#include "tone/zone_params_py.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "core/float_format.hpp"
#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/py_ref.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

struct ZoneParamsObject {
    PyObject_HEAD
    ZoneOffsets* table;  // owned; set by the constructor before the object is handed out
};

ZoneParamsObject* as_zone_params(PyObject* self) { return reinterpret_cast<ZoneParamsObject*>(self); }

constexpr Parameter kParameters[] = {{"offsets"}};
constexpr Signature kSignature{"ZoneParams.__new__", kParameters};

// Reads the dict's entries in its own order into a sorted table; false with
// the argument error set.
bool read_offsets(PyObject* dict, ZoneOffsets& table) {
    // A snapshot of the entries: __index__ or __float__ of a key or value may
    // run Python code that changes the dict while we walk it.
    Ref items = Ref::steal(PyDict_Items(dict));
    if (!items) return false;
    const Py_ssize_t count = PyList_Size(items.get());
    if (count < 0) return false;
    ZoneOffsets entries;
    entries.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref item = Ref::borrow(PyList_GetItem(items.get(), i));
        if (!item) return false;
        Ref key = Ref::borrow(PyTuple_GetItem(item.get(), 0));
        Ref value = Ref::borrow(PyTuple_GetItem(item.get(), 1));
        if (!key || !value) return false;
        std::int32_t zone = 0;
        float offset = 0.0f;
        if (!to_int32(key.get(), "offsets", zone)) return false;
        if (!to_float32(value.get(), "offsets", offset)) return false;
        entries.emplace_back(zone, offset);
    }
    table = make_zone_offsets(std::move(entries));
    return true;
}

PyObject* zone_params_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!match_tuple_and_dict(kSignature, args, kwargs, slots)) return nullptr;
        if (!check_instance(slots[0], &PyDict_Type, "dict", "offsets")) return nullptr;
        auto table = std::make_unique<ZoneOffsets>();
        if (!read_offsets(slots[0], *table)) return nullptr;
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        as_zone_params(self)->table = table.release();
        return self;
    });
}

void zone_params_dealloc(PyObject* self) noexcept {
    delete std::exchange(as_zone_params(self)->table, nullptr);
    dealloc_plain_instance(self);
}

PyObject* zone_params_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        std::string text = "ZoneParams({";
        bool first = true;
        for (const auto& [zone, offset] : *as_zone_params(self)->table) {
            if (!first) text += ", ";
            first = false;
            text += std::to_string(zone);
            text += ": ";
            text += format_float32(offset);
        }
        text += "})";
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

constexpr const char kDoc[] =
    "ZoneParams(offsets)\n--\n\n"
    "Zone System tone offsets.\n"
    "\n"
    "Maps zone index (0..=10) to a stop offset in \u22123..+3. Zones not\n"
    "present in the map are treated as having a 0-stop offset.\n"
    "\n"
    "```python\n"
    "# Lift Zone V by half a stop, deepen Zone III by 0.3 stops\n"
    "params = ostrel_core.ZoneParams({5: 0.5, 3: -0.3})\n"
    "```";

PyType_Slot zone_params_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(zone_params_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(zone_params_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(zone_params_repr)},
    {Py_tp_str, reinterpret_cast<void*>(zone_params_repr)},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec zone_params_spec{
    "builtins.ZoneParams", sizeof(ZoneParamsObject), 0, Py_TPFLAGS_DEFAULT, zone_params_slots,
};

}  // namespace

ClassSlot zone_params_class{&zone_params_spec};

bool zone_params_argument(PyObject* slot, std::string_view name, ZoneOffsets& out) {
    PyTypeObject* type = get_class(zone_params_class);
    if (type == nullptr) return false;
    if (!check_instance(slot, type, "ZoneParams", name)) return false;
    out = *as_zone_params(slot)->table;
    return true;
}

}  // namespace ostrel::py
