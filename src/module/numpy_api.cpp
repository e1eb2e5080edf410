#include "module/numpy_api.hpp"

#include <atomic>
#include <mutex>
#include <string>

#include "module/errors.hpp"
#include "module/py_ref.hpp"

namespace ostrel::py {
namespace {

// Slots of NumPy's published function table (stable across 1.x and 2.x).
constexpr int kSlotArrayType = 2;
constexpr int kSlotDescrFromType = 45;
constexpr int kSlotNewFromDescr = 94;
constexpr int kSlotEquivTypes = 182;
constexpr int kSlotSetBaseObject = 282;

std::mutex lookup_mutex;
std::atomic<const NumpyApi*> published_api{nullptr};
NumpyApi api_storage;
const char* core_package = nullptr;  // decided once: "numpy._core" or "numpy.core"

// NumPy 2 moved its core package; ask NumPy itself which major version it is.
const char* find_core_package() {
    if (core_package != nullptr) return core_package;
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) return nullptr;
    Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) return nullptr;
    Ref numpy_lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
    if (!numpy_lib) return nullptr;
    Ref parsed = Ref::steal(PyObject_CallMethod(numpy_lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) return nullptr;
    Ref major_object = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_object) return nullptr;
    const long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred()) return nullptr;
    if (major < 0 || major > 255) {
        PyErr_Format(PyExc_ValueError, "unexpected NumPy major version %ld", major);
        return nullptr;
    }
    core_package = major >= 2 ? "numpy._core" : "numpy.core";
    return core_package;
}

bool load_table(NumpyApi& api) {
    const char* package = find_core_package();
    if (package == nullptr) return false;
    Ref multiarray = Ref::steal(PyImport_ImportModule((std::string(package) + ".multiarray").c_str()));
    if (!multiarray) return false;
    Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) return false;
    if (!PyCapsule_CheckExact(capsule.get())) {
        PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
        return false;
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr && PyErr_Occurred()) return false;
    auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), name));
    if (table == nullptr) return false;
    api.array_type = static_cast<PyTypeObject*>(table[kSlotArrayType]);
    api.descr_from_type = reinterpret_cast<decltype(api.descr_from_type)>(table[kSlotDescrFromType]);
    api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[kSlotNewFromDescr]);
    api.equiv_types = reinterpret_cast<decltype(api.equiv_types)>(table[kSlotEquivTypes]);
    api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[kSlotSetBaseObject]);
    return true;
}

void raise_lookup_failure() {
    std::string message = kNumpyLookupFailure;
    if (PyObject* raised = PyErr_GetRaisedException()) {
        Ref error = Ref::steal(raised);
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(error.get())));
        Ref text = Ref::steal(PyObject_Str(error.get()));
        const char* type_text = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), nullptr) : nullptr;
        const char* detail = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
        PyErr_Clear();
        if (type_text != nullptr) message += std::string(": ") + type_text;
        if (detail != nullptr && *detail != '\0') message += std::string(": ") + detail;
    }
    raise_panic(message);
}

}  // namespace

const NumpyApi* numpy_api() {
    if (const NumpyApi* api = published_api.load(std::memory_order_acquire)) return api;
    // Another thread may be importing NumPy; wait for it without holding the
    // interpreter lock, which that import may need, and let the mutex go
    // before asking for the lock again (a thread may stay parked there while
    // the interpreter exits).
    std::unique_lock lock(lookup_mutex, std::try_to_lock);
    while (!lock.owns_lock()) {
        {
            GilReleased unlocked;
            std::lock_guard wait_for_lookup(lookup_mutex);
        }
        if (const NumpyApi* api = published_api.load(std::memory_order_acquire)) return api;
        lock.try_lock();
    }
    if (const NumpyApi* api = published_api.load(std::memory_order_acquire)) return api;
    NumpyApi candidate{};
    if (!load_table(candidate)) {
        raise_lookup_failure();
        return nullptr;
    }
    api_storage = candidate;
    published_api.store(&api_storage, std::memory_order_release);
    return &api_storage;
}

}  // namespace ostrel::py
