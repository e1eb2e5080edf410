#include "local_contrast/guided_filter.hpp"

#include <algorithm>
#include <string>
#include <type_traits>

#include "core/aligned_buffer.hpp"
#include "core/fault.hpp"
#include "local_contrast/row_segments.hpp"
#include "parallel/parallel_for.hpp"

// Memory: the filter never holds more than two double tables and two float
// planes (24 bytes per pixel, the result included). The squares are formed
// while their table is built, the coefficients are rounded to float as they
// are computed, the tables of a and b overwrite those of I and I*I once
// nothing reads them, and the float plane a lives in the result's storage
// until its table is built.

namespace ostrel {
namespace {

struct Geometry {
    std::size_t height;
    std::size_t width;
    std::uint64_t radius;
    const double* zero_row;  // `width` zeros: the row above row 0 of every table
};

// T(y, x) = ((P(y, x) + top) + left) - corner, in double, where a neighbour
// outside the table reads as +0.0. Each entry waits for its left neighbour,
// so a row alone is one long chain of dependent additions; bands of kBand
// rows are therefore walked as a staircase, row k of the band trailing row
// k - 1 by one column, which keeps kBand independent chains in flight. Every
// entry still sees exactly the same operands and operations.
constexpr std::size_t kBand = 4;

template <class Value>
void build_table(const Geometry& g, double* table, Value&& value) noexcept {
    const std::size_t w = g.width;
    std::size_t y = 0;
    for (; y + kBand <= g.height; y += kBand) {
        double* out[kBand];
        const double* above[kBand];
        double left[kBand];
        double corner[kBand];
        for (std::size_t k = 0; k < kBand; ++k) {
            out[k] = table + (y + k) * w;
            above[k] = y + k == 0 ? g.zero_row : table + (y + k - 1) * w;
            left[k] = 0.0;
            corner[k] = 0.0;
        }
        const auto step = [&](std::size_t k, std::size_t x) {
            const double top = above[k][x];
            const double t = ((value(y + k, x) + top) + left[k]) - corner[k];
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
    for (; y < g.height; ++y) {
        const double* above = y == 0 ? g.zero_row : table + (y - 1) * w;
        double* out = table + y * w;
        double left = 0.0;
        double corner = 0.0;
        for (std::size_t x = 0; x < w; ++x) {
            const double top = above[x];
            const double t = ((value(y, x) + top) + left) - corner;
            out[x] = t;
            left = t;
            corner = top;
        }
    }
}

// Builds two independent tables at once, one per thread when the pool has
// two; each table is still built in its own fixed order.
template <class First, class Second>
void build_table_pair(const Geometry& g, double* first_table, First&& first, double* second_table,
                      Second&& second) {
    const std::size_t pixels = g.height * g.width;
    const std::size_t sequential_below = pixels < parallel::kSequentialBelow ? 3 : 1;
    parallel::for_each_range(
        2,
        [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                if (k == 0) {
                    build_table(g, first_table, first);
                } else {
                    build_table(g, second_table, second);
                }
            }
        },
        sequential_below);
}

// ((br - top) - left) + corner; the row above a window that starts at row 0
// is the zero row, and a window that starts at column 0 has no left terms.
inline double window_sum(const double* bottom, const double* top, std::size_t x1, std::size_t xl,
                         bool has_left) noexcept {
    const double br = bottom[x1];
    const double up = top[x1];
    const double left = has_left ? bottom[xl] : 0.0;
    const double corner = has_left ? top[xl] : 0.0;
    return ((br - up) - left) + corner;
}

// Calls emit(x, s1, s2, n) for the pixels (y, xa) .. (y, xb - 1) with the
// window sums s1 over t1 and s2 over t2 and the window's pixel count n.
template <class Emit>
void row_windows(const Geometry& g, const double* t1, const double* t2, std::size_t y, std::size_t xa,
                 std::size_t xb, Emit&& emit) noexcept {
    const std::uint64_t r = g.radius;
    const std::size_t w = g.width;
    const bool has_top = y > r;
    const std::size_t y0 = has_top ? static_cast<std::size_t>(y - r) : 0;
    const std::size_t y1 = static_cast<std::size_t>(std::min<std::uint64_t>(g.height - 1, y + r));
    const std::uint64_t rows = y1 - y0 + 1;
    const double* bottom1 = t1 + y1 * w;
    const double* bottom2 = t2 + y1 * w;
    const double* top1 = has_top ? t1 + (y0 - 1) * w : g.zero_row;
    const double* top2 = has_top ? t2 + (y0 - 1) * w : g.zero_row;

    const auto clipped = [&](std::size_t x) {
        const bool has_left = x > r;
        const std::size_t x0 = has_left ? static_cast<std::size_t>(x - r) : 0;
        const std::size_t x1 = static_cast<std::size_t>(std::min<std::uint64_t>(w - 1, x + r));
        const std::size_t xl = has_left ? x0 - 1 : 0;
        const auto n = static_cast<double>(rows * (x1 - x0 + 1));
        emit(x, window_sum(bottom1, top1, x1, xl, has_left), window_sum(bottom2, top2, x1, xl, has_left), n);
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
            emit(x, window_sum(bottom1, top1, x + rr, x - rr - 1, true),
                 window_sum(bottom2, top2, x + rr, x - rr - 1, true), n);
        }
    }
    for (std::size_t x = ib; x < xb; ++x) clipped(x);
}

void check_plane(const char* what, std::size_t length, std::size_t height, std::size_t width) {
    if (length == height * width) return;
    raise_internal_fault(std::string("guided_filter: ") + what + " shape mismatch: a buffer of " +
                         std::to_string(length) + " elements cannot have the shape (" + std::to_string(height) +
                         ", " + std::to_string(width) + ")");
}

}  // namespace

ResultBuffer guided_filter(const PlaneView& plane, std::uint32_t radius, float eps) {
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
    build_table_pair(
        g, table1.data(), [&](std::size_t y, std::size_t x) { return static_cast<double>(plane.at(y, x)); },
        table2.data(),
        [&](std::size_t y, std::size_t x) {
            const float v = plane.at(y, x);
            const float square = v * v;
            return static_cast<double>(square);
        });

    // Coefficients, rounded to float as they are stored: a in q's storage.
    float* a_plane = q.data();
    AlignedBuffer<float> b_plane(pixels);
    {
        const double* t_i = table1.data();
        const double* t_i2 = table2.data();
        float* b_out = b_plane.data();
        for_each_row_segment(height, width, [&](std::size_t y, std::size_t xa, std::size_t xb) {
            float* a_row = a_plane + y * width;
            float* b_row = b_out + y * width;
            row_windows(g, t_i, t_i2, y, xa, xb, [&](std::size_t x, double s_i, double s_i2, double n) {
                const double mean_i = s_i / n;
                const double mean_i2 = s_i2 / n;
                const double var = mean_i2 - mean_i * mean_i;
                const double d = eps_d + var;
                const double a = d > 0.0 ? var / d : 0.0;
                const double b = (1.0 - a) * mean_i;
                a_row[x] = static_cast<float>(a);
                b_row[x] = static_cast<float>(b);
            });
        });
    }
    check_plane("a", q.size(), height, width);
    check_plane("b", b_plane.size(), height, width);

    // T_a and T_b replace T_I and T_I2, which nothing reads any more.
    {
        const float* a_in = a_plane;
        const float* b_in = b_plane.data();
        build_table_pair(
            g, table1.data(), [&](std::size_t y, std::size_t x) { return static_cast<double>(a_in[y * width + x]); },
            table2.data(), [&](std::size_t y, std::size_t x) { return static_cast<double>(b_in[y * width + x]); });
    }
    b_plane = AlignedBuffer<float>();

    // q = mean_b + I * mean_a in double, rounded once; it overwrites a.
    {
        const double* t_a = table1.data();
        const double* t_b = table2.data();
        float* q_out = q.data();
        const auto output_pass = [&](auto column_stride) {
            for_each_row_segment(height, width, [&](std::size_t y, std::size_t xa, std::size_t xb) {
                float* q_row = q_out + y * width;
                const float* i_row = plane.origin + static_cast<std::ptrdiff_t>(y) * plane.row_stride;
                const std::ptrdiff_t step = column_stride;
                row_windows(g, t_a, t_b, y, xa, xb, [&](std::size_t x, double s_a, double s_b, double n) {
                    const double mean_a = s_a / n;
                    const double mean_b = s_b / n;
                    const double i = i_row[static_cast<std::ptrdiff_t>(x) * step];
                    q_row[x] = static_cast<float>(mean_b + i * mean_a);
                });
            });
        };
        // A unit column stride known at compile time lets the loop vectorise.
        if (plane.col_stride == 1) {
            output_pass(std::integral_constant<std::ptrdiff_t, 1>{});
        } else {
            output_pass(plane.col_stride);
        }
    }
    check_plane("output", q.size(), height, width);
    return q;
}

}  // namespace ostrel
