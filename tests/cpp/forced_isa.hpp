#pragma once
// Forces one instruction set for the life of the guard (core/isa.hpp), for
// tests that run a kernel on every set the processor has.
#include <optional>

#include "core/isa.hpp"

namespace check {

class ForcedIsa {
public:
    explicit ForcedIsa(ostrel::Isa isa) : ok_(ostrel::force_isa(isa)) {}
    ForcedIsa(const ForcedIsa&) = delete;
    ForcedIsa& operator=(const ForcedIsa&) = delete;
    ~ForcedIsa() { ostrel::force_isa(std::nullopt); }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

}  // namespace check
