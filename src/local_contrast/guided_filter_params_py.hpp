#pragma once
// The GuidedFilterParams class (defined in guided_filter_params_py.cpp,
// registered through guided_filter_params_class) and what the local_contrast
// frame needs from it.
//
// Each instance carries a borrow flag: any number of shared borrows (getters,
// repr, a running local_contrast call) or one exclusive borrow (an attribute
// assignment). An assignment while a shared borrow is held fails at once with
// RuntimeError "Already borrowed" instead of changing the value under a kernel
// that runs without the interpreter lock.
#include <atomic>
#include <cstdint>
#include <string_view>

#include "local_contrast/guided_filter.hpp"
#include "module/py_ref.hpp"
#include "module/python.hpp"

namespace ostrel::py {

// A shared borrow of one GuidedFilterParams object, with a reference to it;
// released when the guard is destroyed, which needs the interpreter lock.
class SharedBorrow {
public:
    SharedBorrow() noexcept = default;
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    ~SharedBorrow() { release(); }

    // `params` must be a GuidedFilterParams instance. Returns false with
    // RuntimeError set if it is exclusively borrowed.
    bool acquire(PyObject* params);
    void release() noexcept;

private:
    Ref owner_;
    std::atomic<std::int32_t>* flag_ = nullptr;
};

// Converts the `params` argument of local_contrast: checks that `slot` is a
// GuidedFilterParams, takes a shared borrow of it into `hold` (kept by the
// caller until the kernel has returned) and reads radius and eps into `out`.
// Returns false with the exception set ("argument '<name>': ..." TypeError for
// another type). The interpreter lock must be held.
bool guided_filter_params_argument(PyObject* slot, std::string_view name, GuidedFilterSettings& out,
                                   SharedBorrow& hold);

}  // namespace ostrel::py
