// Turns a kernel's result buffer into a NumPy array without copying: the
// buffer is owned by a PySliceContainer set as the array's base.
#include <array>

#include "module/call_frame.hpp"
#include "module/class_registry.hpp"
#include "module/numpy_api.hpp"

namespace ostrel::py {
namespace {

struct SliceContainer {
    PyObject_HEAD
    float* data;  // from ResultBuffer::release_storage
};

void slice_container_dealloc(PyObject* self) {
    free_aligned_bytes(reinterpret_cast<SliceContainer*>(self)->data);
    dealloc_plain_instance(self);
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

PyType_Spec slice_container_spec{
    "builtins.PySliceContainer", sizeof(SliceContainer), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slice_container_slots,
};

ClassSlot slice_container_class{&slice_container_spec};

PyObject* wrap_result(ResultBuffer& result) {
    const NumpyApi* numpy = numpy_api();
    if (numpy == nullptr) return nullptr;
    PyTypeObject* holder_type = get_class(slice_container_class);
    if (holder_type == nullptr) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(holder_type, Py_tp_alloc));
    Ref holder = Ref::steal(alloc(holder_type, 0));
    if (!holder) return nullptr;
    const Shape3 shape = result.shape();
    float* data = result.release_storage();
    reinterpret_cast<SliceContainer*>(holder.get())->data = data;  // the holder frees it from now on

    const std::array<Py_ssize_t, 3> dims{static_cast<Py_ssize_t>(shape.height), static_cast<Py_ssize_t>(shape.width),
                                         static_cast<Py_ssize_t>(shape.channels)};
    // Row-major float32: the byte steps of a C-contiguous array.
    constexpr Py_ssize_t kElementBytes = sizeof(float);
    const std::array<Py_ssize_t, 3> strides{dims[1] * dims[2] * kElementBytes, dims[2] * kElementBytes, kElementBytes};
    PyObject* descr = numpy->descr_from_type(kNumpyFloat32);
    if (descr == nullptr) return nullptr;
    // new_from_descr steals the descriptor reference.
    Ref array = Ref::steal(numpy->new_from_descr(numpy->array_type, descr, 3, dims.data(), strides.data(), data,
                                                 kNumpyArrayWriteable, nullptr));
    if (!array) return nullptr;
    // set_base_object steals the holder reference, even when it fails.
    if (numpy->set_base_object(array.get(), holder.release()) < 0) return nullptr;
    return array.release();
}

}  // namespace

PyObject* finish_kernel_call(KernelOutcome&& outcome) noexcept {
    if (outcome.failure) {
        raise_failure(*outcome.failure);
        return nullptr;
    }
    return guarded([&]() -> PyObject* { return wrap_result(*outcome.result); });
}

}  // namespace ostrel::py
