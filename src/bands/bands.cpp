#include "bands/bands.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/aligned_buffer.hpp"
#include "core/cr_math.hpp"
#include "core/fault.hpp"
#include "core/float_format.hpp"
#include "core/isa_variants.hpp"
#include "core/nan_rule.hpp"
#include "parallel/parallel_for.hpp"

namespace ostrel {
namespace {

constexpr float kOffsetScale = 65536.0f;         // Q counts 2^-16 stops
constexpr double kOffsetUnit = 1.0 / 65536.0;    // exact
constexpr double kSlopeScale = 1048576.0;        // A counts 2^-20
constexpr double kSlopeUnit = 1.0 / 1048576.0;   // exact
constexpr double kVarianceScale = 4294967296.0;  // Q * Q counts 2^-32 stops^2

// The band centres in sixths of a turn, red again at 6, and the reciprocal
// widths of the segments between them (rounded once to float).
constexpr float kCentres[kBandCount + 1] = {0.0f, 0.5f, 1.0f, 2.0f, 3.0f, 4.0f, 4.5f, 5.25f, 6.0f};

struct BandSetup {
    float low;
    float inv_range;
    float base[kBandCount];   // o_k
    float delta[kBandCount];  // o_k+1 - o_k
    float inv[kBandCount];    // 1 / (c_k+1 - c_k)
};

BandSetup band_setup(const Bands& b) noexcept {
    BandSetup s{};
    s.low = b.low;
    s.inv_range = static_cast<float>(1.0 / (static_cast<double>(b.high) - static_cast<double>(b.low)));
    for (std::size_t k = 0; k < kBandCount; ++k) {
        s.base[k] = b.offsets[k];
        s.delta[k] = b.offsets[(k + 1) % kBandCount] - b.offsets[k];
        s.inv[k] = static_cast<float>(1.0 / (static_cast<double>(kCentres[k + 1]) - static_cast<double>(kCentres[k])));
    }
    return s;
}

[[gnu::always_inline]] inline float clamp01(float t) noexcept {
    t = t > 0.0f ? t : 0.0f;  // NaN: 0
    return t < 1.0f ? t : 1.0f;
}

[[gnu::always_inline]] inline float smoothstep(float t) noexcept { return (t * t) * (3.0f - (2.0f * t)); }

// One pixel's raw offset in stops (0 where its weight is 0) and its gate.
[[gnu::always_inline]] inline float raw_offset(float r, float g, float b, const BandSetup& s, bool& on) noexcept {
    const float rs = std::sqrt(r > 0.0f ? r : 0.0f);
    const float gs = std::sqrt(g > 0.0f ? g : 0.0f);
    const float bs = std::sqrt(b > 0.0f ? b : 0.0f);
    const float big = std::max(std::max(rs, gs), bs);
    const float small = std::min(std::min(rs, gs), bs);
    const float chroma = big - small;
    const float saturation = chroma / std::max(big, kSaturationFloor);
    const float w = smoothstep(clamp01((saturation - s.low) * s.inv_range));

    const bool red = big == rs;
    const bool green = !red && big == gs;
    const float n = red ? gs - bs : (green ? bs - rs : rs - gs);
    const float base = red ? 0.0f : (green ? 2.0f : 4.0f);
    float h = (n / chroma) + base;
    h = h < 0.0f ? h + 6.0f : h;

    float centre = kCentres[0];
    float inv = s.inv[0];
    float o = s.base[0];
    float d = s.delta[0];
    for (std::size_t k = 1; k < kBandCount; ++k) {
        const bool above = h >= kCentres[k];
        centre = above ? kCentres[k] : centre;
        inv = above ? s.inv[k] : inv;
        o = above ? s.base[k] : o;
        d = above ? s.delta[k] : d;
    }
    const float band = o + (d * smoothstep(clamp01((h - centre) * inv)));
    constexpr float kLargest = std::numeric_limits<float>::max();
    const float magnitude = (std::fabs(r) + std::fabs(g)) + std::fabs(b);
    const float weight = magnitude <= kLargest ? w : 0.0f;  // a NaN or an infinity: neutral
    on = weight > 0.0f;
    return on ? weight * band : 0.0f;
}

// x rounded to the nearest whole number, ties to even, for |x| < 2^22: the
// sum's last place is a unit, so adding and removing 1.5 * 2^23 rounds.
[[gnu::always_inline]] inline float rounded(float x) noexcept {
    constexpr float kShift = 12582912.0f;  // 1.5 * 2^23
    return (x + kShift) - kShift;
}

// The same in double precision, for |x| < 2^51.
[[gnu::always_inline]] inline double rounded(double x) noexcept {
    constexpr double kShift = 6755399441055744.0;  // 1.5 * 2^52
    return (x + kShift) - kShift;
}

// Whole numbers to double by their bits, so that the loops vectorise where
// the instruction set has no such conversion. Both give static_cast's value.
// Signed, |x| < 2^51: exact.
[[gnu::always_inline]] inline double exact_double(std::int64_t x) noexcept {
    constexpr std::uint64_t kBias = 0x4338000000000000ull;  // the bits of 1.5 * 2^52
    return std::bit_cast<double>(static_cast<std::uint64_t>(x) + kBias) - 6755399441055744.0;
}

// Non-negative, below 2^63: the two halves exact, their sum rounded once.
[[gnu::always_inline]] inline double rounded_double(std::int64_t x) noexcept {
    constexpr std::uint64_t kExponent = 0x4330000000000000ull;  // the bits of 2^52
    const auto u = static_cast<std::uint64_t>(x);
    const double high = std::bit_cast<double>((u >> 32) | kExponent) - 4503599627370496.0;
    const double low = std::bit_cast<double>((u & 0xFFFFFFFFull) | kExponent) - 4503599627370496.0;
    return (high * 4294967296.0) + low;
}

// Q and the gate (1 or 0) of a run of pixels.
struct AnalyseRun {
    [[gnu::always_inline]] static inline void run(const float* rgb, std::int32_t* q, std::int32_t* gate,
                                                  std::size_t count, const BandSetup& setup) noexcept {
        const BandSetup s = setup;  // a copy the stores cannot alias
        for (std::size_t i = 0; i < count; ++i) {
            bool on = false;
            const float raw = raw_offset(rgb[3 * i], rgb[(3 * i) + 1], rgb[(3 * i) + 2], s, on);
            q[i] = static_cast<std::int32_t>(rounded(raw * kOffsetScale));
            gate[i] = on ? 1 : 0;
        }
    }
};

// The filter's coefficients from the window sums of Q and Q * Q.
struct CoefficientRun {
    [[gnu::always_inline]] static inline void run(const std::int64_t* s1, const std::int64_t* s2, const double* n,
                                                  double eps, std::int32_t* a_out, std::int32_t* b_out,
                                                  std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const double mean = exact_double(s1[i]) * n[i];
            double var = (rounded_double(s2[i]) * n[i]) - (mean * mean);
            var = var > 0.0 ? var : 0.0;
            const double a = var / (var + eps);
            const double b = mean - (a * mean);
            a_out[i] = static_cast<std::int32_t>(rounded(a * kSlopeScale));
            b_out[i] = static_cast<std::int32_t>(rounded(b));
        }
    }
};

// The smoothed offset from the window sums of A and B, gated.
struct BlendRun {
    [[gnu::always_inline]] static inline void run(const std::int64_t* sa, const std::int64_t* sb, const double* n,
                                                  const std::int32_t* q, const std::int32_t* gate, float* o,
                                                  std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const double slope = (exact_double(sa[i]) * n[i]) * kSlopeUnit;
            const double value = (slope * static_cast<double>(q[i])) + (exact_double(sb[i]) * n[i]);
            const auto smoothed = static_cast<float>(value * kOffsetUnit);
            o[i] = gate[i] != 0 ? smoothed : 0.0f;
        }
    }
};

struct UnfilteredRun {
    [[gnu::always_inline]] static inline void run(const std::int32_t* q, float* o, std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) o[i] = static_cast<float>(static_cast<double>(q[i]) * kOffsetUnit);
    }
};

struct ApplyRun {
    [[gnu::always_inline]] static inline void run(const float* lum, const float* gain, float* out,
                                                  std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const float l = lum[i];
            const float product = l * gain[i];
            out[i] = nan_rule::is_nan(l) ? nan_rule::quiet(l) : product;
        }
    }
};

using AnalyseRuns = LoopVariants<AnalyseRun, const float*, std::int32_t*, std::int32_t*, std::size_t, const BandSetup&>;
using CoefficientRuns = LoopVariants<CoefficientRun, const std::int64_t*, const std::int64_t*, const double*, double,
                                     std::int32_t*, std::int32_t*, std::size_t>;
using BlendRuns = LoopVariants<BlendRun, const std::int64_t*, const std::int64_t*, const double*, const std::int32_t*,
                               const std::int32_t*, float*, std::size_t>;
using UnfilteredRuns = LoopVariants<UnfilteredRun, const std::int32_t*, float*, std::size_t>;
using ApplyRuns = LoopVariants<ApplyRun, const float*, const float*, float*, std::size_t>;

// Adds (Add) or removes a row of x and x * x (Square), or of x and y, from
// the column sums; the sums wrap modulo 2^64.
template <bool Square, bool Add>
struct SlideRun {
    [[gnu::always_inline]] static inline void run(const std::int32_t* xs, const std::int32_t* ys,
                                                  std::uint64_t* __restrict first, std::uint64_t* __restrict second,
                                                  std::size_t count) noexcept {
        for (std::size_t i = 0; i < count; ++i) {
            const auto x = static_cast<std::int64_t>(xs[i]);
            const auto u = static_cast<std::uint64_t>(x);
            const auto v = static_cast<std::uint64_t>(Square ? x * x : static_cast<std::int64_t>(ys[i]));
            first[i] = Add ? first[i] + u : first[i] - u;
            second[i] = Add ? second[i] + v : second[i] - v;
        }
    }
};

// The window sums of the windows that the row's ends do not clip: the
// differences of running sums `reach` ahead and `back` behind.
struct InnerRun {
    [[gnu::always_inline]] static inline void run(const std::uint64_t* run_first, const std::uint64_t* run_second,
                                                  std::int64_t* __restrict first, std::int64_t* __restrict second,
                                                  std::size_t back, std::size_t reach, std::size_t count) noexcept {
        for (std::size_t i = back; i < count; ++i) {
            first[i] = static_cast<std::int64_t>(run_first[i + reach] - run_first[i - back]);
            second[i] = static_cast<std::int64_t>(run_second[i + reach] - run_second[i - back]);
        }
    }
};

template <bool Square, bool Add>
using SlideVariants = LoopVariants<SlideRun<Square, Add>, const std::int32_t*, const std::int32_t*, std::uint64_t*,
                                   std::uint64_t*, std::size_t>;
using InnerRuns = LoopVariants<InnerRun, const std::uint64_t*, const std::uint64_t*, std::int64_t*, std::int64_t*,
                               std::size_t, std::size_t, std::size_t>;

// Rows of a plane kept in a ring of `rows` rows, row y at y mod rows.
class RowRing {
public:
    RowRing(std::size_t rows, std::size_t width) : rows_(rows), width_(width), data_(rows * width) {}
    std::int32_t* row(std::size_t y) noexcept { return data_.data() + (y % rows_) * width_; }

private:
    std::size_t rows_;
    std::size_t width_;
    AlignedBuffer<std::int32_t> data_;
};

// Window sums of two quantities over (2 radius + 1)^2 windows clipped at the
// border: column sums over the window's rows, slid down one row at a time,
// then a running sum along the row. The sums wrap modulo 2^64, so the
// difference of two running sums is the window's exact sum whatever the
// row's total; no bit depends on where the sums started.
class WindowSums {
public:
    WindowSums(std::size_t width, std::size_t radius)
        : width_(width),
          radius_(radius),
          first_(width),
          second_(width),
          run_first_(width + 1),
          run_second_(width + 1),
          sum_first_(width),
          sum_second_(width),
          count_(width),
          inner_(InnerRuns::table.select(active_isa())) {}

    void reset() noexcept {
        std::fill_n(first_.data(), width_, std::uint64_t{0});
        std::fill_n(second_.data(), width_, std::uint64_t{0});
    }

    // Adds (Add) or removes a row: x and x * x (Square), or x and y.
    template <bool Square, bool Add>
    void slide(const std::int32_t* xs, const std::int32_t* ys) noexcept {
        static const auto entry = SlideVariants<Square, Add>::table.select(active_isa());
        entry(xs, ys, first_.data(), second_.data(), width_);
    }

    // The window sums along the row, the column sums covering `rows_in`
    // rows, and the reciprocals of the windows' pixel counts.
    void across(std::size_t rows_in) noexcept {
        std::uint64_t* run_first = run_first_.data();
        std::uint64_t* run_second = run_second_.data();
        std::uint64_t total_first = 0;
        std::uint64_t total_second = 0;
        run_first[0] = 0;
        run_second[0] = 0;
        for (std::size_t i = 0; i < width_; ++i) {
            total_first += first_[i];
            total_second += second_[i];
            run_first[i + 1] = total_first;
            run_second[i + 1] = total_second;
        }
        // Windows clipped at the left, the inner ones, those clipped at the right.
        const std::size_t inner_begin = std::min(width_, radius_);
        const std::size_t inner_end = width_ > radius_ + 1 ? std::max(inner_begin, width_ - radius_ - 1) : inner_begin;
        const auto window = [&](std::size_t i) {
            const std::size_t lo = i > radius_ ? i - radius_ : 0;
            const std::size_t hi = std::min(width_, i + radius_ + 1);
            sum_first_[i] = static_cast<std::int64_t>(run_first[hi] - run_first[lo]);
            sum_second_[i] = static_cast<std::int64_t>(run_second[hi] - run_second[lo]);
            count_[i] = 1.0 / static_cast<double>(rows_in * (hi - lo));
        };
        for (std::size_t i = 0; i < inner_begin; ++i) window(i);
        const double full = 1.0 / static_cast<double>(rows_in * (2 * radius_ + 1));
        for (std::size_t i = inner_begin; i < inner_end; ++i) count_[i] = full;
        inner_(run_first, run_second, sum_first_.data(), sum_second_.data(), radius_, radius_ + 1, inner_end);
        for (std::size_t i = inner_end; i < width_; ++i) window(i);
    }

    const std::int64_t* first() const noexcept { return sum_first_.data(); }
    const std::int64_t* second() const noexcept { return sum_second_.data(); }
    const double* count() const noexcept { return count_.data(); }

private:
    std::size_t width_;
    std::size_t radius_;
    AlignedBuffer<std::uint64_t> first_;
    AlignedBuffer<std::uint64_t> second_;
    AlignedBuffer<std::uint64_t> run_first_;
    AlignedBuffer<std::uint64_t> run_second_;
    AlignedBuffer<std::int64_t> sum_first_;
    AlignedBuffer<std::int64_t> sum_second_;
    AlignedBuffer<double> count_;
    InnerRuns::Entry inner_;
};

// The smoothed, gated offsets of rows [begin, end) into `offsets`, streamed:
// Q and the gate in a ring of 2 radius + 2 rows (the rows up to 2 radius
// below the output row), the coefficients in another. A strip recomputes the
// rows of its neighbours that it needs, with the same bits.
class SmoothedStrip {
public:
    SmoothedStrip(const ImageView& rgb, const Bands& b, const BandSetup& setup)
        : rgb_(rgb),
          height_(rgb.height()),
          width_(rgb.width()),
          radius_(b.radius),
          eps_(static_cast<double>(b.eps) * kVarianceScale),
          setup_(setup),
          q_(2 * radius_ + 2, width_),
          gate_(2 * radius_ + 2, width_),
          slope_(2 * radius_ + 2, width_),
          intercept_(2 * radius_ + 2, width_),
          q_sums_(width_, radius_),
          ab_sums_(width_, radius_),
          analyse_(AnalyseRuns::table.select(active_isa())),
          coefficients_(CoefficientRuns::table.select(active_isa())),
          blend_(BlendRuns::table.select(active_isa())) {}

    void run(std::size_t begin, std::size_t end, float* offsets) {
        next_q_ = begin > 2 * radius_ ? begin - 2 * radius_ : 0;
        next_c_ = begin > radius_ ? begin - radius_ : 0;
        first_c_ = next_c_;
        for (std::size_t y = begin; y < end; ++y) {
            const std::size_t last_c = std::min(height_ - 1, y + radius_);
            while (next_c_ <= last_c) coefficient_row(next_c_++);
            if (y == begin) {
                ab_sums_.reset();
                for (std::size_t c = first_c_; c <= last_c; ++c)
                    ab_sums_.slide<false, true>(slope_.row(c), intercept_.row(c));
            } else {
                if (y + radius_ < height_)
                    ab_sums_.slide<false, true>(slope_.row(y + radius_), intercept_.row(y + radius_));
                if (y > radius_) {
                    const std::size_t gone = y - radius_ - 1;
                    ab_sums_.slide<false, false>(slope_.row(gone), intercept_.row(gone));
                }
            }
            ab_sums_.across(last_c - (y > radius_ ? y - radius_ : 0) + 1);
            blend_(ab_sums_.first(), ab_sums_.second(), ab_sums_.count(), q_.row(y), gate_.row(y), offsets + y * width_,
                   width_);
        }
    }

private:
    void coefficient_row(std::size_t c) {
        const std::size_t last_q = std::min(height_ - 1, c + radius_);
        while (next_q_ <= last_q) {
            analyse_(rgb_.origin + 3 * next_q_ * width_, q_.row(next_q_), gate_.row(next_q_), width_, setup_);
            ++next_q_;
        }
        const std::size_t first_q = c > radius_ ? c - radius_ : 0;
        if (c == first_c_) {
            q_sums_.reset();
            for (std::size_t r = first_q; r <= last_q; ++r) q_sums_.slide<true, true>(q_.row(r), q_.row(r));
        } else {
            if (c + radius_ < height_) q_sums_.slide<true, true>(q_.row(c + radius_), q_.row(c + radius_));
            if (c > radius_) q_sums_.slide<true, false>(q_.row(c - radius_ - 1), q_.row(c - radius_ - 1));
        }
        q_sums_.across(last_q - first_q + 1);
        coefficients_(q_sums_.first(), q_sums_.second(), q_sums_.count(), eps_, slope_.row(c), intercept_.row(c),
                      width_);
    }

    const ImageView& rgb_;
    std::size_t height_;
    std::size_t width_;
    std::size_t radius_;
    double eps_;
    const BandSetup& setup_;
    RowRing q_;
    RowRing gate_;
    RowRing slope_;
    RowRing intercept_;
    WindowSums q_sums_;
    WindowSums ab_sums_;
    AnalyseRuns::Entry analyse_;
    CoefficientRuns::Entry coefficients_;
    BlendRuns::Entry blend_;
    std::size_t next_q_ = 0;
    std::size_t next_c_ = 0;
    std::size_t first_c_ = 0;
};

// The gated offset map o (stops) of the rgb view into `offsets` (H * W floats).
void offset_map(const ImageView& rgb, const Bands& b, float* offsets) {
    const std::size_t height = rgb.height();
    const std::size_t width = rgb.width();
    if (height == 0 || width == 0) return;
    const BandSetup setup = band_setup(b);
    if (b.radius == 0) {
        const auto analyse = AnalyseRuns::table.select(active_isa());
        const auto unfiltered = UnfilteredRuns::table.select(active_isa());
        parallel::for_each_block(height, width, [&](std::size_t y0, std::size_t y1, std::size_t x0, std::size_t x1) {
            const std::size_t count = x1 - x0;
            AlignedBuffer<std::int32_t> q(count);
            AlignedBuffer<std::int32_t> gate(count);
            for (std::size_t y = y0; y < y1; ++y) {
                const std::size_t at = y * width + x0;
                analyse(rgb.origin + 3 * at, q.data(), gate.data(), count, setup);
                unfiltered(q.data(), offsets + at, count);
            }
        });
        return;
    }
    // Strips a few times taller than the rows they recompute.
    const std::size_t radius = b.radius;
    const std::size_t pieces = 2 * parallel::pool_size();
    const std::size_t tall = std::max({(height + pieces - 1) / pieces, 8 * radius, std::size_t{32}});
    const std::size_t strips = (height + tall - 1) / tall;
    parallel::for_each_range(
        strips,
        [&](std::size_t first, std::size_t last) {
            SmoothedStrip strip(rgb, b, setup);
            for (std::size_t k = first; k < last; ++k) strip.run(k * tall, std::min(height, (k + 1) * tall), offsets);
        },
        1);
}

std::string plane_problem(const ImageView& rgb) {
    if (rgb.channels() != 3) return "bands expects (H, W, 3) RGB input, got shape " + shape_text(rgb.shape);
    return {};
}

}  // namespace

std::string bands_problem(const Bands& b) {
    for (std::size_t k = 0; k < kBandCount; ++k) {
        if (!std::isfinite(b.offsets[k]) || std::fabs(b.offsets[k]) > 4.0f) {
            return "offsets must be finite and at most 4 either way, got " + format_float32(b.offsets[k]);
        }
    }
    if (b.radius > kMaxBandsRadius) return "radius must be at most 2048, got " + std::to_string(b.radius);
    if (!(b.eps > 0.0f && b.eps <= 16.0f)) return "eps must be above 0, up to 16, got " + format_float32(b.eps);
    if (!(b.low >= 0.0f && b.low < b.high && b.high <= 1.0f)) {
        return "thresholds must be 0 <= low < high <= 1, got " + format_float32(b.low) + " and " +
               format_float32(b.high);
    }
    return {};
}

KernelResult band_offsets(const ImageView& rgb, const Bands& b) {
    const std::string shape = plane_problem(rgb);
    if (!shape.empty()) return shape_error(shape);
    const std::string problem = bands_problem(b);
    if (!problem.empty()) raise_internal_fault("bands: " + problem);
    if (!rgb.is_c_contiguous()) raise_internal_fault("bands: rgb must be C-contiguous");
    ResultBuffer output(Shape3{rgb.height(), rgb.width(), 1});
    offset_map(rgb, b, output.data());
    return output;
}

KernelResult bands(const ImageView& rgb, const ImageView& lum, const Bands& b) {
    const std::string shape = plane_problem(rgb);
    if (!shape.empty()) return shape_error(shape);
    if (lum.channels() != 1) {
        return shape_error("bands expects (H, W, 1) luminance, got shape " + shape_text(lum.shape));
    }
    if (lum.height() != rgb.height() || lum.width() != rgb.width()) {
        return shape_error("bands: luminance of shape " + shape_text(lum.shape) + " for RGB of shape " +
                           shape_text(rgb.shape));
    }
    const std::string problem = bands_problem(b);
    if (!problem.empty()) raise_internal_fault("bands: " + problem);
    if (!rgb.is_c_contiguous()) raise_internal_fault("bands: rgb must be C-contiguous");
    if (!lum.is_c_contiguous()) raise_internal_fault("bands: lum must be C-contiguous");
    ResultBuffer output(lum.shape);
    float* target = output.data();
    offset_map(rgb, b, target);
    const auto apply = ApplyRuns::table.select(active_isa());
    const float* source = lum.origin;
    parallel::for_each_range(rgb.height() * rgb.width(), [&](std::size_t begin, std::size_t end) {
        cr_exp2f_batch(target + begin, target + begin, end - begin);
        apply(source + begin, target + begin, target + begin, end - begin);
    });
    return output;
}

}  // namespace ostrel
