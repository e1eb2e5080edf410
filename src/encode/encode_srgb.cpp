#include "encode/encode_srgb.hpp"

#include <algorithm>

#include "core/cr_math.hpp"
#include "core/fault.hpp"
#include "core/isa_variants.hpp"
#include "encode/srgb_tile.hpp"
#include "parallel/parallel_for.hpp"

namespace ostrel {
namespace {

// Encoded a run at a time, a tile at a time (encode/srgb_tile.hpp).
// Compiled once per instruction set; `isa` picks the batch power of the same
// set.
struct EncodeRun {
    [[gnu::always_inline]] static inline void run(const float* input, float* output, std::size_t count,
                                                  const PowfTable& power, Isa isa) noexcept {
        float scratch[srgb::kTile];
        for (std::size_t base = 0; base < count; base += srgb::kTile) {
            const std::size_t n = std::min(srgb::kTile, count - base);
            srgb::encode_tile(input + base, output + base, n, power, isa, scratch);
        }
    }
};

using EncodeRuns = LoopVariants<EncodeRun, const float*, float*, std::size_t, const PowfTable&, Isa>;

}  // namespace

namespace srgb {

const PowfTable& power_table() noexcept {
    // The exponent is a constant: its tables are made once per process.
    static const PowfTable power = make_powf_table(kExponent);
    return power;
}

}  // namespace srgb

KernelResult encode_srgb(const ImageView& input) {
    if (!input.is_c_contiguous()) raise_internal_fault("encode_srgb: input must be C-contiguous");
    ResultBuffer output(input.shape);
    const float* source = input.origin;
    float* target = output.data();
    const PowfTable& power = srgb::power_table();
    const Isa isa = active_isa();  // one instruction set for the whole call
    const auto run = EncodeRuns::table.select(isa);
    parallel::for_each_range(output.size(), [&](std::size_t begin, std::size_t end) {
        run(source + begin, target + begin, end - begin, power, isa);
    });
    return output;
}

}  // namespace ostrel
