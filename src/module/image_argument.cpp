#include "module/image_argument.hpp"

#include <cstdint>

#include "module/conversions.hpp"
#include "module/numpy_api.hpp"

namespace ostrel::py {
namespace {

constexpr std::ptrdiff_t kElementBytes = sizeof(float);

}  // namespace

bool ImageArgument::convert(PyObject* object, const char* name) {
    const NumpyApi* numpy = numpy_api();
    if (numpy == nullptr) return false;
    if (!PyObject_TypeCheck(object, numpy->array_type)) {
        return check_instance(object, numpy->array_type, "ndarray", name);
    }
    const auto* fields = reinterpret_cast<const NumpyArrayFields*>(object);
    Ref float32 = Ref::steal(numpy->descr_from_type(kNumpyFloat32));
    if (!float32) return false;
    if (fields->ndim != 3 || !numpy->equiv_types(fields->descr, float32.get())) {
        Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
        if (!qualname) return false;
        PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of 'ndarray'", name,
                     qualname.get());
        return false;
    }
    Shape3 shape{static_cast<std::size_t>(fields->dimensions[0]), static_cast<std::size_t>(fields->dimensions[1]),
                 static_cast<std::size_t>(fields->dimensions[2])};
    // Kernels address whole float32 elements; an array whose data or steps
    // fall between elements (possible for unaligned views) cannot be read
    // through element strides, so it is refused rather than misread.
    bool aligned = shape.height * shape.width * shape.channels == 0 ||
                   reinterpret_cast<std::uintptr_t>(fields->data) % kElementBytes == 0;
    for (int axis = 0; axis < 3; ++axis) {
        if (fields->dimensions[axis] > 1 && fields->strides[axis] % kElementBytes != 0) aligned = false;
    }
    if (!aligned) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': array data is not aligned to whole float32 elements; "
                     "pass a copy such as numpy.ascontiguousarray(%s)",
                     name, name);
        return false;
    }
    const auto stride = [&](int axis) -> std::ptrdiff_t {
        return fields->dimensions[axis] > 1 ? fields->strides[axis] / kElementBytes : 0;
    };
    view_ = ImageView{reinterpret_cast<const float*>(fields->data), shape, stride(0), stride(1), stride(2)};
    array_ = Ref::borrow(object);
    return true;
}

}  // namespace ostrel::py
