// GuidedFilterParams: the radius and eps of the guided filter, readable and
// writable from Python, guarded by a per-object borrow flag.
#include "local_contrast/guided_filter_params_py.hpp"

#include <array>
#include <limits>
#include <new>
#include <string>

#include "core/float_format.hpp"
#include "module/arguments.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/registry.hpp"

namespace ostrel::py {
namespace {

struct GuidedFilterParamsObject {
    PyObject_HEAD
    // > 0: that many shared borrows; -1: the exclusive borrow; 0: free.
    std::atomic<std::int32_t> borrow;
    std::uint32_t radius;
    float eps;
};

GuidedFilterParamsObject* as_params(PyObject* self) { return reinterpret_cast<GuidedFilterParamsObject*>(self); }

constexpr std::int32_t kExclusive = -1;

bool try_shared(std::atomic<std::int32_t>& flag) noexcept {
    std::int32_t current = flag.load(std::memory_order_relaxed);
    do {
        if (current < 0 || current == std::numeric_limits<std::int32_t>::max()) return false;
    } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
}

bool try_exclusive(std::atomic<std::int32_t>& flag) noexcept {
    std::int32_t expected = 0;
    return flag.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed);
}

// Scoped exclusive borrow for the plain store of an assignment.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(std::atomic<std::int32_t>& flag) noexcept : flag_(flag), held_(try_exclusive(flag)) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ~ExclusiveBorrow() {
        if (held_) flag_.store(0, std::memory_order_release);
    }
    explicit operator bool() const noexcept { return held_; }

private:
    std::atomic<std::int32_t>& flag_;
    bool held_;
};

void raise_mutably_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed"); }

constexpr Parameter kParameters[] = {{"radius"}, {"eps"}};
constexpr Signature kSignature{"GuidedFilterParams.__new__", kParameters};

PyObject* params_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        if (!match_tuple_and_dict(kSignature, args, kwargs, slots)) return nullptr;
        std::uint32_t radius = 0;
        if (!to_uint32(slots[0], "radius", radius)) return nullptr;
        float eps = 0.0f;
        if (!to_float32(slots[1], "eps", eps)) return nullptr;
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = alloc(type, 0);
        if (self == nullptr) return nullptr;
        GuidedFilterParamsObject* params = as_params(self);
        new (&params->borrow) std::atomic<std::int32_t>(0);
        params->radius = radius;
        params->eps = eps;
        return self;
    });
}

PyObject* get_radius(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        SharedBorrow hold;
        if (!hold.acquire(self)) return nullptr;
        return PyLong_FromUnsignedLong(as_params(self)->radius);
    });
}

PyObject* get_eps(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        SharedBorrow hold;
        if (!hold.acquire(self)) return nullptr;
        return PyFloat_FromDouble(static_cast<double>(as_params(self)->eps));
    });
}

// Assignments convert first, so no Python code runs while the exclusive
// borrow is held, then store only if no shared borrow is out.
template <class Value, class Store>
int assign(PyObject* self, PyObject* value, bool (*convert)(PyObject*, std::string_view, Value&), std::string_view name,
           Store store) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "property has no deleter");
        return -1;
    }
    Value converted{};
    if (!convert(value, name, converted)) return -1;
    GuidedFilterParamsObject* params = as_params(self);
    ExclusiveBorrow exclusive(params->borrow);
    if (!exclusive) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return -1;
    }
    store(*params, converted);
    return 0;
}

int set_radius(PyObject* self, PyObject* value, void*) noexcept {
    return guarded([&]() -> int {
        return assign<std::uint32_t>(self, value, to_uint32, "radius",
                                     [](GuidedFilterParamsObject& p, std::uint32_t v) { p.radius = v; });
    });
}

int set_eps(PyObject* self, PyObject* value, void*) noexcept {
    return guarded([&]() -> int {
        return assign<float>(self, value, to_float32, "eps", [](GuidedFilterParamsObject& p, float v) { p.eps = v; });
    });
}

PyObject* params_repr(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        SharedBorrow hold;
        if (!hold.acquire(self)) return nullptr;
        const GuidedFilterParamsObject* params = as_params(self);
        std::string text = "GuidedFilterParams(radius=";
        text += std::to_string(params->radius);
        text += ", eps=";
        text += format_float32(params->eps);
        text += ')';
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

constexpr const char kRadiusDoc[] = "Filter radius in pixels. The window is `(2r+1) \u00d7 (2r+1)`.";
constexpr const char kEpsDoc[] =
    "Regularisation term \u03b5. Controls the degree of smoothing.\n"
    "Larger values \u2192 more smoothing, less edge preservation.";

PyGetSetDef params_getset[] = {
    {"radius", get_radius, set_radius, kRadiusDoc, nullptr},
    {"eps", get_eps, set_eps, kEpsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "GuidedFilterParams(radius, eps)\n--\n\n"
    "Parameters for the guided filter.\n"
    "\n"
    "```python\n"
    "params = ostrel_core.GuidedFilterParams(radius=8, eps=0.01)\n"
    "```";

PyType_Slot params_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(params_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_plain_instance)},
    {Py_tp_repr, reinterpret_cast<void*>(params_repr)},
    {Py_tp_str, reinterpret_cast<void*>(params_repr)},
    {Py_tp_getset, params_getset},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec params_spec{
    "builtins.GuidedFilterParams", sizeof(GuidedFilterParamsObject), 0, Py_TPFLAGS_DEFAULT, params_slots,
};

}  // namespace

ClassSlot guided_filter_params_class{&params_spec};

bool SharedBorrow::acquire(PyObject* params) {
    release();
    std::atomic<std::int32_t>& flag = as_params(params)->borrow;
    if (!try_shared(flag)) {
        raise_mutably_borrowed();
        return false;
    }
    owner_ = Ref::borrow(params);
    flag_ = &flag;
    return true;
}

void SharedBorrow::release() noexcept {
    if (flag_ != nullptr) {
        flag_->fetch_sub(1, std::memory_order_release);
        flag_ = nullptr;
    }
    owner_ = Ref();
}

bool guided_filter_params_argument(PyObject* slot, std::string_view name, GuidedFilterSettings& out,
                                   SharedBorrow& hold) {
    PyTypeObject* type = get_class(guided_filter_params_class);
    if (type == nullptr) return false;
    if (!check_instance(slot, type, "GuidedFilterParams", name)) return false;
    if (!hold.acquire(slot)) return false;
    const GuidedFilterParamsObject* params = as_params(slot);
    out.radius = params->radius;
    out.eps = params->eps;
    return true;
}

}  // namespace ostrel::py
