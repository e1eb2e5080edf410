#include "local_contrast/guided_filter.hpp"

#include <algorithm>
#include <atomic>
#include <string>
#include <type_traits>

#include "core/aligned_buffer.hpp"
#include "core/fault.hpp"
#include "core/nan_rule.hpp"
#include "local_contrast/row_segments.hpp"
#include "parallel/parallel_for.hpp"

// Memory. Whole-plane form: never more than two double tables and two float
// planes (24 bytes per pixel, the result included). The squares are formed
// while their table is built, the coefficients are rounded to float as they
// are computed, the tables of a and b overwrite those of I and I*I once
// nothing reads them, and the float plane a lives in the result's storage
// until its table is built.
//
// Rolling form: a window sum reads only table rows y + r and y - r - 1, so
// the tables advance a band of rows at a time and each keeps about
// 2r + band rows in a ring (capped at the height), b keeps about a band of
// rows, and a again lives in the result's rows until the output overwrites
// them: some 2 bytes per pixel at radius 64 on a 12 MP plane. Each table
// entry and each pixel goes through exactly the operations of the
// whole-plane form, so both give the same bits.

namespace ostrel {
namespace {

struct Geometry {
    std::size_t height;
    std::size_t width;
    std::uint64_t radius;
    const double* zero_row;  // `width` zeros: the row above row 0 of every table
};

// The rows of one table: a whole plane when `slots` is the height, a ring
// of the latest `slots` rows otherwise.
struct TableRows {
    double* base;
    std::size_t width;
    std::size_t slots;

    double* row(std::size_t y) const noexcept { return base + (y % slots) * width; }
};

// The planes that tables are built from: row(y) once per row, then
// at(row, x) gives P(y, x) in double.
struct PlaneSource {  // I
    const PlaneView* plane;
    const float* row(std::size_t y) const noexcept {
        return plane->origin + static_cast<std::ptrdiff_t>(y) * plane->row_stride;
    }
    double at(const float* row, std::size_t x) const noexcept {
        return static_cast<double>(row[static_cast<std::ptrdiff_t>(x) * plane->col_stride]);
    }
};

struct SquareSource {  // I * I, rounded to float
    const PlaneView* plane;
    const float* row(std::size_t y) const noexcept {
        return plane->origin + static_cast<std::ptrdiff_t>(y) * plane->row_stride;
    }
    double at(const float* row, std::size_t x) const noexcept {
        const float v = row[static_cast<std::ptrdiff_t>(x) * plane->col_stride];
        const float square = v * v;
        return static_cast<double>(square);
    }
};

struct FloatRows {  // a or b: a whole plane, or a ring of `slots` rows
    const float* base;
    std::size_t width;
    std::size_t slots;
    const float* row(std::size_t y) const noexcept { return base + (y % slots) * width; }
    double at(const float* row, std::size_t x) const noexcept { return static_cast<double>(row[x]); }
};

// The kernels below are written once over an arithmetic A: nan_rule::Plain
// (plain operations) or nan_rule::Ruled (the project's NaN rule, operands in
// the order written). A plane is filtered with plain operations; only when
// the result holds a NaN, whose payload the hardware and the compiler's
// operand order would choose, is it filtered again by the rule
// (with_nan_rule). Every other result is the same bits either way. They are
// kept out of line, so that the whole-plane and the rolling form run the very
// same machine code.

// T(y, x) = ((P(y, x) + top) + left) - corner, in double, where a neighbour
// outside the table reads as +0.0. Each entry waits for its left neighbour,
// so a row alone is one long chain of dependent additions; bands of kBand
// rows are therefore walked as a staircase, row k of the band trailing row
// k - 1 by one column, which keeps kBand independent chains in flight. Every
// entry still sees exactly the same operands and operations.
constexpr std::size_t kBand = 4;

// Builds the table rows [y_begin, y_end); row y_begin - 1 must be built.
// Both forms start every staircase at a multiple of kBand, so each row is
// built by the same code path in both.
template <class A, class Source>
[[gnu::noinline]] void build_table(const Geometry& g, const TableRows& table, std::size_t y_begin, std::size_t y_end,
                                   const Source& source) noexcept {
    const std::size_t w = g.width;
    const auto above_row = [&](std::size_t y) -> const double* { return y == 0 ? g.zero_row : table.row(y - 1); };
    std::size_t y = y_begin;
    for (; y + kBand <= y_end; y += kBand) {
        double* out[kBand];
        const double* above[kBand];
        const float* in[kBand];
        double left[kBand];
        double corner[kBand];
        for (std::size_t k = 0; k < kBand; ++k) {
            out[k] = table.row(y + k);
            in[k] = source.row(y + k);
            above[k] = above_row(y + k);
            left[k] = 0.0;
            corner[k] = 0.0;
        }
        const auto step = [&](std::size_t k, std::size_t x) {
            const double top = above[k][x];
            const double t = A::sub(A::add(A::add(source.at(in[k], x), top), left[k]), corner[k]);
            out[k][x] = t;
            left[k] = t;
            corner[k] = top;
        };
        // Diagonal s holds the entries (y + k, s - k).
        const std::size_t full_begin = std::min(kBand - 1, w);
        for (std::size_t s = 0; s < full_begin; ++s) {
            for (std::size_t k = 0; k <= s; ++k) step(k, s - k);
        }
        for (std::size_t s = full_begin; s < w; ++s) {
#pragma GCC unroll 8
            for (std::size_t k = 0; k < kBand; ++k) step(k, s - k);
        }
        for (std::size_t s = std::max(w, full_begin); s < w + kBand - 1; ++s) {
            for (std::size_t k = s - w + 1; k < kBand; ++k) {
                if (k <= s) step(k, s - k);
            }
        }
    }
    for (; y < y_end; ++y) {
        const double* above = above_row(y);
        const float* in = source.row(y);
        double* out = table.row(y);
        double left = 0.0;
        double corner = 0.0;
        for (std::size_t x = 0; x < w; ++x) {
            const double top = above[x];
            const double t = A::sub(A::add(A::add(source.at(in, x), top), left), corner);
            out[x] = t;
            left = t;
            corner = top;
        }
    }
}

// Runs first() and second() at once, one per thread when the pool has two,
// or one after the other on this thread when `cells` is too few to hand off.
template <class First, class Second>
void run_pair(std::size_t cells, First&& first, Second&& second) {
    const std::size_t sequential_below = cells < parallel::kSequentialBelow ? 3 : 1;
    parallel::for_each_range(
        2,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                if (k == 0) {
                    first();
                } else {
                    second();
                }
            }
        },
        sequential_below);
}

// ((br - top) - left) + corner; the row above a window that starts at row 0
// is the zero row, and a window that starts at column 0 has no left terms.
template <class A>
inline double window_sum(const double* bottom, const double* top, std::size_t x1, std::size_t xl,
                         bool has_left) noexcept {
    const double br = bottom[x1];
    const double up = top[x1];
    const double left = has_left ? bottom[xl] : 0.0;
    const double corner = has_left ? top[xl] : 0.0;
    return A::add(A::sub(A::sub(br, up), left), corner);
}

// Calls emit(x, s1, s2, n) for the pixels (y, xa) .. (y, xb - 1) with the
// window sums s1 over t1 and s2 over t2 and the window's pixel count n.
template <class A, class Emit>
void row_windows(const Geometry& g, const TableRows& t1, const TableRows& t2, std::size_t y, std::size_t xa,
                 std::size_t xb, Emit&& emit) noexcept {
    const std::uint64_t r = g.radius;
    const std::size_t w = g.width;
    const bool has_top = y > r;
    const std::size_t y0 = has_top ? static_cast<std::size_t>(y - r) : 0;
    const std::size_t y1 = static_cast<std::size_t>(std::min<std::uint64_t>(g.height - 1, y + r));
    const std::uint64_t rows = y1 - y0 + 1;
    const double* bottom1 = t1.row(y1);
    const double* bottom2 = t2.row(y1);
    const double* top1 = has_top ? t1.row(y0 - 1) : g.zero_row;
    const double* top2 = has_top ? t2.row(y0 - 1) : g.zero_row;

    const auto clipped = [&](std::size_t x) {
        const bool has_left = x > r;
        const std::size_t x0 = has_left ? static_cast<std::size_t>(x - r) : 0;
        const std::size_t x1 = static_cast<std::size_t>(std::min<std::uint64_t>(w - 1, x + r));
        const std::size_t xl = has_left ? x0 - 1 : 0;
        const auto n = static_cast<double>(rows * (x1 - x0 + 1));
        emit(x, window_sum<A>(bottom1, top1, x1, xl, has_left), window_sum<A>(bottom2, top2, x1, xl, has_left), n);
    };

    // Full-width windows: x - r >= 1 and x + r <= W - 1.
    const std::uint64_t inner_begin = r + 1;
    const std::uint64_t inner_end = w > r ? w - r : 0;
    const std::size_t ia = static_cast<std::size_t>(std::clamp<std::uint64_t>(inner_begin, xa, xb));
    const std::size_t ib = static_cast<std::size_t>(std::clamp<std::uint64_t>(inner_end, ia, xb));
    for (std::size_t x = xa; x < ia; ++x) clipped(x);
    if (ia < ib) {
        const auto rr = static_cast<std::size_t>(r);
        const auto n = static_cast<double>(rows * (2 * r + 1));
        for (std::size_t x = ia; x < ib; ++x) {
            emit(x, window_sum<A>(bottom1, top1, x + rr, x - rr - 1, true),
                 window_sum<A>(bottom2, top2, x + rr, x - rr - 1, true), n);
        }
    }
    for (std::size_t x = ib; x < xb; ++x) clipped(x);
}

// The coefficients of the pixels (y, xa) .. (y, xb - 1) from the window sums
// of I and I*I, rounded to float as they are stored.
template <class A>
[[gnu::noinline]] void coefficient_row(const Geometry& g, const TableRows& t_i, const TableRows& t_i2, double eps,
                                       std::size_t y, std::size_t xa, std::size_t xb, float* a_row,
                                       float* b_row) noexcept {
    row_windows<A>(g, t_i, t_i2, y, xa, xb, [&](std::size_t x, double s_i, double s_i2, double n) {
        const double mean_i = A::div(s_i, n);
        const double mean_i2 = A::div(s_i2, n);
        const double var = A::sub(mean_i2, A::mul(mean_i, mean_i));
        const double d = A::add(eps, var);
        const double a = d > 0.0 ? A::div(var, d) : 0.0;
        const double b = A::mul(A::sub(1.0, a), mean_i);
        a_row[x] = static_cast<float>(a);
        b_row[x] = static_cast<float>(b);
    });
}

// q = mean_b + I * mean_a in double, rounded once, for (y, xa) .. (y, xb - 1).
// Returns whether any of them is NaN.
template <class A, class ColumnStride>
[[gnu::noinline]] bool output_row(const Geometry& g, const TableRows& t_a, const TableRows& t_b, const PlaneView& plane,
                                  ColumnStride column_stride, std::size_t y, std::size_t xa, std::size_t xb,
                                  float* q_row) noexcept {
    const float* i_row = plane.origin + static_cast<std::ptrdiff_t>(y) * plane.row_stride;
    const std::ptrdiff_t step = column_stride;
    std::uint32_t nan_flags = 0;
    row_windows<A>(g, t_a, t_b, y, xa, xb, [&](std::size_t x, double s_a, double s_b, double n) {
        const double mean_a = A::div(s_a, n);
        const double mean_b = A::div(s_b, n);
        const double i = i_row[static_cast<std::ptrdiff_t>(x) * step];
        const auto q = static_cast<float>(A::add(mean_b, A::mul(i, mean_a)));
        nan_flags |= nan_rule::nan_flag(q);
        q_row[x] = q;
    });
    return nan_rule::any_nan(nan_flags);
}

// Sets *flag once any caller reports a NaN.
inline void note_nan(bool any_nan, std::atomic<bool>& flag) noexcept {
    if (any_nan) flag.store(true, std::memory_order_relaxed);
}

// Calls pass(column_stride) with a unit column stride known at compile time
// when the plane has one, which lets the output loop vectorise.
template <class Pass>
void with_column_stride(const PlaneView& plane, Pass&& pass) {
    if (plane.col_stride == 1) {
        pass(std::integral_constant<std::ptrdiff_t, 1>{});
    } else {
        pass(plane.col_stride);
    }
}

// Pixels per rolling step. A step hands two loops to the pool, each hand-off
// a few microseconds (waking a parked worker), and the filter runs at about
// 4 ns a pixel on two threads (53 ms for 12 MP, see the README), so 2^18
// pixels (about a millisecond of work) keep the hand-offs near 1 % of the
// time; longer steps would only enlarge the rings.
constexpr std::size_t kStepPixels = std::size_t{1} << 18;
// At least four staircases (kBand rows each) per step on very wide planes, so
// that the per-step work besides the tables stays a small share.
constexpr std::size_t kMinBandRows = 16;
// At small radii the band is most of a ring: 64 rows keep the four rings of a
// 4000-pixel-wide plane at radius 2 to 4 x (2 * 2 + 64 + 4) rows x 4000 x 8
// bytes = 9.2 MB, about 0.9 bytes per pixel of a 12 MP image with b's rows.
// A plane narrower than kStepPixels / 64 = 4096 pixels may take up to a 64th
// of its height instead, so that it needs no more than 64 steps.
constexpr std::size_t kMaxBandRows = 64;

// Rows per rolling step, a whole number of staircases.
std::size_t band_rows_for(std::size_t height, std::size_t width, std::size_t requested) {
    std::size_t rows = requested;
    if (rows == 0) rows = std::clamp(kStepPixels / width, kMinBandRows, std::max(kMaxBandRows, height / 64));
    rows = std::min(rows, height);
    return (rows + kBand - 1) / kBand * kBand;
}

// Ring rows of each table: every row from y - r - 1 of the oldest pending
// window up to the newest band, and the up to kBand - 1 rows of a and b
// that wait for their staircase to fill before their tables grow.
std::size_t ring_slots(std::size_t height, std::uint64_t radius, std::size_t band) {
    const std::uint64_t span = 2 * radius + band + kBand;
    return static_cast<std::size_t>(std::min<std::uint64_t>(height, span));
}

// Rows of b: a step's band and the rows still waiting for their staircase.
std::size_t coefficient_slots(std::size_t height, std::size_t band) { return std::min(height, band + kBand - 1); }

// The whole-plane form in arithmetic A; sets any_nan when q holds a NaN.
template <class A>
ResultBuffer plain_form(const PlaneView& plane, std::uint32_t radius, float eps, bool& any_nan) {
    const std::size_t height = plane.height;
    const std::size_t width = plane.width;
    ResultBuffer q(Shape3{height, width, 1});
    if (height == 0 || width == 0) return q;

    const std::size_t pixels = height * width;
    AlignedBuffer<double> zero_row(width);
    std::fill(zero_row.data(), zero_row.data() + width, 0.0);
    const Geometry g{height, width, radius, zero_row.data()};
    const double eps_d = eps;

    // T_I and T_I2 (the squares rounded to float as the table reads them).
    AlignedBuffer<double> table1(pixels);
    AlignedBuffer<double> table2(pixels);
    const TableRows rows1{table1.data(), width, height};
    const TableRows rows2{table2.data(), width, height};
    run_pair(
        pixels, [&] { build_table<A>(g, rows1, 0, height, PlaneSource{&plane}); },
        [&] { build_table<A>(g, rows2, 0, height, SquareSource{&plane}); });

    // Coefficients, rounded to float as they are stored: a in q's storage.
    float* a_plane = q.data();
    AlignedBuffer<float> b_plane(pixels);
    {
        float* b_out = b_plane.data();
        for_each_row_segment(height, width, [&](std::size_t y, std::size_t xa, std::size_t xb) {
            coefficient_row<A>(g, rows1, rows2, eps_d, y, xa, xb, a_plane + y * width, b_out + y * width);
        });
    }

    // T_a and T_b replace T_I and T_I2, which nothing reads any more.
    run_pair(
        pixels, [&] { build_table<A>(g, rows1, 0, height, FloatRows{a_plane, width, height}); },
        [&] { build_table<A>(g, rows2, 0, height, FloatRows{b_plane.data(), width, height}); });
    b_plane = AlignedBuffer<float>();

    // The output overwrites a.
    float* q_out = q.data();
    std::atomic<bool> nan_seen{false};
    with_column_stride(plane, [&](auto column_stride) {
        for_each_row_segment(height, width, [&](std::size_t y, std::size_t xa, std::size_t xb) {
            note_nan(output_row<A>(g, rows1, rows2, plane, column_stride, y, xa, xb, q_out + y * width), nan_seen);
        });
    });
    any_nan = nan_seen.load(std::memory_order_relaxed);
    return q;
}

// The rolling form in arithmetic A; sets any_nan when q holds a NaN.
template <class A>
ResultBuffer rolling_form(const PlaneView& plane, std::uint32_t radius, float eps, std::size_t band_rows,
                          bool& any_nan) {
    const std::size_t height = plane.height;
    const std::size_t width = plane.width;
    ResultBuffer q(Shape3{height, width, 1});
    if (height == 0 || width == 0) return q;

    const std::uint64_t r = radius;
    const std::size_t band = band_rows_for(height, width, band_rows);
    const std::size_t slots = ring_slots(height, r, band);
    const std::size_t b_slots = coefficient_slots(height, band);
    // One block: the zero row, the rings of T_I, T_I2, T_a and T_b, then b.
    AlignedBuffer<double> block(width + 4 * slots * width + (b_slots * width + 1) / 2);
    double* const zero_row = block.data();
    std::fill(zero_row, zero_row + width, 0.0);
    const Geometry g{height, width, r, zero_row};
    const double eps_d = eps;
    const TableRows t_i{zero_row + width, width, slots};
    const TableRows t_i2{t_i.base + slots * width, width, slots};
    const TableRows t_a{t_i2.base + slots * width, width, slots};
    const TableRows t_b{t_a.base + slots * width, width, slots};
    float* const b_ring = reinterpret_cast<float*>(t_b.base + slots * width);
    float* const q_out = q.data();  // a's rows until the output overwrites them
    const FloatRows a_rows{q_out, width, height};
    const FloatRows b_rows{b_ring, width, b_slots};

    // Rows done so far: tables of I and I*I, coefficients, tables of a and
    // b, output. A window of row y needs table rows up to min(H - 1, y + r).
    std::size_t built = 0;
    std::size_t coefficients = 0;
    std::size_t second = 0;
    std::size_t output = 0;
    const auto ready = [&](std::size_t rows_built) -> std::size_t {
        if (rows_built == height) return height;
        return rows_built > r ? static_cast<std::size_t>(rows_built - r) : 0;
    };
    // The oldest table row that windows from row y on still read.
    const auto oldest_needed = [&](std::size_t y) -> std::size_t {
        return y > r ? static_cast<std::size_t>(y - r - 1) : 0;
    };
    const auto check_ring = [&](const char* what, std::size_t end, std::size_t oldest, std::size_t size) {
        if (end - oldest <= size) return;
        raise_internal_fault(std::string("guided_filter: the ring of ") + what + " would overwrite row " +
                             std::to_string(oldest) + " with row " + std::to_string(end - 1));
    };

    std::atomic<bool> nan_seen{false};
    with_column_stride(plane, [&](auto column_stride) {
        while (output < height) {
            // The next band of T_I, T_I2 and the pending rows of T_a, T_b:
            // one chain of each pair per thread. Staircases start at
            // multiples of kBand, as in the whole-plane form, so that each
            // row goes through the same code path (see build_table).
            const std::size_t built_to = std::min(height, built + band);
            const std::size_t second_to = coefficients == height ? height : coefficients / kBand * kBand;
            if (built_to > built) check_ring("I", built_to, oldest_needed(coefficients), slots);
            if (second_to > second) check_ring("a", second_to, oldest_needed(output), slots);
            if (built_to > built || second_to > second) {
                const std::size_t cells = (built_to - built + second_to - second) * width;
                run_pair(
                    cells,
                    [&] {
                        build_table<A>(g, t_i, built, built_to, PlaneSource{&plane});
                        build_table<A>(g, t_a, second, second_to, a_rows);
                    },
                    [&] {
                        build_table<A>(g, t_i2, built, built_to, SquareSource{&plane});
                        build_table<A>(g, t_b, second, second_to, b_rows);
                    });
            }
            built = built_to;
            second = second_to;

            // The coefficient rows whose windows are now complete (at most a
            // band, which b's ring holds besides the rows waiting for their
            // staircase) and the output rows likewise, in one parallel loop
            // over their pixels.
            const std::size_t coefficients_to = std::min(ready(built), coefficients + band);
            const std::size_t output_to = ready(second);
            check_ring("b", coefficients_to, second, b_slots);
            const std::size_t coefficient_count = coefficients_to - coefficients;
            const std::size_t rows = coefficient_count + (output_to - output);
            const std::size_t first_coefficient = coefficients;
            const std::size_t first_output = output;
            parallel::for_each_range(rows * width, [&](std::size_t begin, std::size_t end) {
                std::size_t k = begin / width;
                std::size_t xa = begin % width;
                for (std::size_t done = begin; done < end; ++k, xa = 0) {
                    const std::size_t xb = std::min(end - done, width - xa) + xa;
                    if (k < coefficient_count) {
                        const std::size_t y = first_coefficient + k;
                        coefficient_row<A>(g, t_i, t_i2, eps_d, y, xa, xb, q_out + y * width,
                                           b_ring + (y % b_slots) * width);
                    } else {
                        const std::size_t y = first_output + (k - coefficient_count);
                        note_nan(output_row<A>(g, t_a, t_b, plane, column_stride, y, xa, xb, q_out + y * width),
                                 nan_seen);
                    }
                    done += xb - xa;
                }
            });
            coefficients = coefficients_to;
            output = output_to;
        }
    });
    any_nan = nan_seen.load(std::memory_order_relaxed);
    return q;
}

// Runs form(arithmetic, any_nan) with plain operations, and once more by the
// NaN rule when the result holds a NaN (the first result is freed before).
template <class Form>
ResultBuffer with_nan_rule(const Form& form) {
    {
        bool any_nan = false;
        ResultBuffer q = form(nan_rule::Plain{}, any_nan);
        if (!any_nan) return q;
    }
    bool any_nan = false;
    return form(nan_rule::Ruled{}, any_nan);
}

}  // namespace

ResultBuffer guided_filter_plain(const PlaneView& plane, std::uint32_t radius, float eps) {
    return with_nan_rule(
        [&](auto arithmetic, bool& any_nan) { return plain_form<decltype(arithmetic)>(plane, radius, eps, any_nan); });
}

ResultBuffer guided_filter_rolling(const PlaneView& plane, std::uint32_t radius, float eps, std::size_t band_rows) {
    return with_nan_rule([&](auto arithmetic, bool& any_nan) {
        return rolling_form<decltype(arithmetic)>(plane, radius, eps, band_rows, any_nan);
    });
}

ResultBuffer guided_filter(const PlaneView& plane, std::uint32_t radius, float eps) {
    const std::uint64_t height = plane.height;
    const std::uint64_t width = plane.width;
    // Working bytes besides the result, rings against whole planes; a radius
    // near the height makes the rings the larger.
    if (height == 0 || width == 0) return guided_filter_plain(plane, radius, eps);
    const std::size_t band = band_rows_for(plane.height, plane.width, 0);
    const std::uint64_t rolling =
        (4 * 8 * ring_slots(plane.height, radius, band) + 4 * coefficient_slots(plane.height, band)) * width;
    const std::uint64_t whole = (2 * 8 + 4) * height * width;
    if (rolling < whole) return guided_filter_rolling(plane, radius, eps, 0);
    return guided_filter_plain(plane, radius, eps);
}

}  // namespace ostrel
