// The guided filter and the local-contrast kernel: the documented small
// cases, NaN spreading through the tables, layouts, bit equality with a
// plain transcription of the table / window / coefficient steps, and bit
// equality of the rolling-row form with the whole-plane form.
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "local_contrast/guided_filter.hpp"
#include "local_contrast/local_contrast.hpp"
#include "parallel/parallel_for.hpp"

namespace {

using ostrel::ImageView;
using ostrel::PlaneView;
using ostrel::Shape3;

std::uint32_t bits(float value) { return std::bit_cast<std::uint32_t>(value); }

PlaneView contiguous(const std::vector<float>& values, std::size_t height, std::size_t width) {
    return PlaneView{values.data(), height, width, static_cast<std::ptrdiff_t>(width), 1};
}

std::vector<float> filter(const PlaneView& plane, std::uint32_t radius, float eps) {
    const ostrel::ResultBuffer q = ostrel::guided_filter(plane, radius, eps);
    return {q.data(), q.data() + q.size()};
}

// The steps written out one by one, with explicit neighbour tests, double
// coefficient planes and pixel counts taken by walking each window.
struct Reference {
    std::size_t h, w;
    std::uint64_t r;

    std::vector<double> table(const std::vector<float>& p) const {
        std::vector<double> t(h * w, 0.0);
        for (std::size_t y = 0; y < h; ++y) {
            for (std::size_t x = 0; x < w; ++x) {
                const double top = y > 0 ? t[(y - 1) * w + x] : 0.0;
                const double left = x > 0 ? t[y * w + x - 1] : 0.0;
                const double corner = (y > 0 && x > 0) ? t[(y - 1) * w + x - 1] : 0.0;
                t[y * w + x] = ((static_cast<double>(p[y * w + x]) + top) + left) - corner;
            }
        }
        return t;
    }

    // Window sum and pixel count of (y, x).
    std::pair<double, double> window(const std::vector<double>& t, std::size_t y, std::size_t x) const {
        const std::size_t y0 = r >= y ? 0 : static_cast<std::size_t>(y - r);
        const std::size_t x0 = r >= x ? 0 : static_cast<std::size_t>(x - r);
        const std::size_t y1 = static_cast<std::size_t>(std::min<std::uint64_t>(h - 1, y + r));
        const std::size_t x1 = static_cast<std::size_t>(std::min<std::uint64_t>(w - 1, x + r));
        std::uint64_t count = 0;
        for (std::size_t yy = y0; yy <= y1; ++yy) {
            for (std::size_t xx = x0; xx <= x1; ++xx) ++count;
        }
        const double br = t[y1 * w + x1];
        const double top = y > r ? t[(y0 - 1) * w + x1] : 0.0;
        const double left = x > r ? t[y1 * w + x0 - 1] : 0.0;
        const double corner = (y > r && x > r) ? t[(y0 - 1) * w + x0 - 1] : 0.0;
        return {((br - top) - left) + corner, static_cast<double>(count)};
    }

    std::vector<float> run(const std::vector<float>& in, float eps) const {
        std::vector<float> sq(h * w);
        for (std::size_t k = 0; k < h * w; ++k) sq[k] = in[k] * in[k];
        const auto t_i = table(in);
        const auto t_i2 = table(sq);
        std::vector<double> a(h * w), b(h * w);
        for (std::size_t y = 0; y < h; ++y) {
            for (std::size_t x = 0; x < w; ++x) {
                const auto [s_i, n] = window(t_i, y, x);
                const double s_i2 = window(t_i2, y, x).first;
                const double mean_i = s_i / n;
                const double var = s_i2 / n - mean_i * mean_i;
                const double d = static_cast<double>(eps) + var;
                const double ak = d > 0.0 ? var / d : 0.0;
                a[y * w + x] = ak;
                b[y * w + x] = (1.0 - ak) * mean_i;
            }
        }
        std::vector<float> af(h * w), bf(h * w);
        for (std::size_t k = 0; k < h * w; ++k) {
            af[k] = static_cast<float>(a[k]);
            bf[k] = static_cast<float>(b[k]);
        }
        const auto t_a = table(af);
        const auto t_b = table(bf);
        std::vector<float> q(h * w);
        for (std::size_t y = 0; y < h; ++y) {
            for (std::size_t x = 0; x < w; ++x) {
                const auto [s_a, n] = window(t_a, y, x);
                const double s_b = window(t_b, y, x).first;
                q[y * w + x] = static_cast<float>(s_b / n + static_cast<double>(in[y * w + x]) * (s_a / n));
            }
        }
        return q;
    }
};

std::vector<float> random_plane(std::size_t count, std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    std::vector<float> values(count);
    for (float& v : values) v = uniform(engine);
    return values;
}

// Values over some eighty binary orders of magnitude, of both signs: the
// table sums then lose low bits, so any change in the order of the double
// operations shows up in the float results.
std::vector<float> wide_range_plane(std::size_t count, std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-40, 40);
    std::vector<float> values(count);
    for (float& v : values) v = std::ldexp(uniform(engine), exponent(engine));
    return values;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (bits(a[k]) != bits(b[k])) return false;
    }
    return true;
}

std::vector<float> values_of(const ostrel::ResultBuffer& q) { return {q.data(), q.data() + q.size()}; }

// Three inputs per seed: uniform in [0, 1), wide range, and wide range with a
// NaN, +inf and -inf planted where a part of the result stays finite.
std::vector<float> test_plane(std::size_t h, std::size_t w, std::uint32_t seed, int variant) {
    if (variant == 0) return random_plane(h * w, seed);
    std::vector<float> values = wide_range_plane(h * w, seed);
    if (variant == 2) {
        const float specials[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                  -std::numeric_limits<float>::infinity()};
        const std::size_t rows[] = {h * 2 / 3, h - 1, h / 2};
        const std::size_t cols[] = {w / 2, w / 3, w - 1};
        for (std::size_t k = 0; k < 3; ++k) values[rows[k] * w + cols[k]] = specials[k];
    }
    return values;
}

// Runs `body` in a forked child whose pool has `threads` workers (the pool
// size is fixed once per process); true when the child reports success.
// User-mode emulators (qemu-user) cannot fork a process that has threads:
// scripts/test names the emulator in OSTREL_EMULATOR, and the case is skipped.
bool in_child_with_threads(const char* threads, const std::function<bool()>& body) {
    if (const char* emulator = std::getenv("OSTREL_EMULATOR")) {
        SKIP(std::string("fork in a multithreaded process is not supported under user-mode emulation (") + emulator +
             ")");
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        setenv("RAYON_NUM_THREADS", threads, 1);
        const bool ok = ostrel::parallel::pool_size() == std::strtoul(threads, nullptr, 10) && body();
        _exit(ok ? 0 : 1);
    }
    if (child < 0) return false;
    int status = 0;
    if (waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST_CASE("guided_filter: the 1 x 2 plane [0, 1]") {
    const std::vector<float> plane{0.0f, 1.0f};
    CHECK(filter(contiguous(plane, 1, 2), 1, 0.25f) == (std::vector<float>{0.25f, 0.75f}));
    CHECK(filter(contiguous(plane, 1, 2), 1, 0.0f) == (std::vector<float>{0.0f, 1.0f}));
    for (float eps : {1e-30f, 0.01f, 0.25f, 1e30f, std::numeric_limits<float>::infinity()}) {
        CHECK_MSG(filter(contiguous(plane, 1, 2), 0, eps) == (std::vector<float>{0.0f, 1.0f}), "eps " << eps);
    }
}

TEST_CASE("guided_filter: a constant plane comes back unchanged for every radius and eps >= 0") {
    const std::vector<float> plane(7 * 9, 0.5f);
    for (std::uint32_t radius : {0u, 1u, 3u, 8u, 100u, 0xFFFFFFFFu}) {
        for (float eps : {0.0f, 1e-8f, 0.01f, 1e9f}) {
            for (float v : filter(contiguous(plane, 7, 9), radius, eps)) {
                CHECK_MSG(bits(v) == bits(0.5f), "radius " << radius << " eps " << eps << " gives " << v);
            }
        }
    }
}

TEST_CASE("guided_filter: bit equality with the step-by-step formulation") {
    struct Case {
        std::size_t h, w;
        std::uint32_t radius;
        float eps;
    };
    // 5 x 5 / r=1 has windows of 4, 6 and 9 pixels; 70 x 90 runs the parallel
    // passes in several pieces; radii reach past the plane.
    const Case cases[] = {{5, 5, 1, 0.01f},   {1, 1, 0, 0.01f},    {1, 7, 2, 0.001f},   {7, 1, 3, 0.1f},
                          {6, 11, 2, 0.0f},   {13, 8, 4, -0.01f},  {9, 9, 9, 0.05f},    {4, 30, 40, 0.02f},
                          {70, 90, 0, 0.01f}, {70, 90, 3, 0.001f}, {70, 90, 17, 1e-6f}, {64, 64, 63, 0.3f},
                          {9, 2, 1, 0.01f},   {11, 3, 0, 0.02f},   {4, 4, 1, 0.01f},    {3, 50, 2, 0.01f}};
    std::uint32_t seed = 1;
    for (const Case& c : cases) {
        const auto plane = random_plane(c.h * c.w, seed++);
        const Reference reference{c.h, c.w, c.radius};
        CHECK_MSG(same_bits(filter(contiguous(plane, c.h, c.w), c.radius, c.eps), reference.run(plane, c.eps)),
                  c.h << "x" << c.w << " radius " << c.radius << " eps " << c.eps);
        const auto wide = wide_range_plane(c.h * c.w, seed++);
        CHECK_MSG(same_bits(filter(contiguous(wide, c.h, c.w), c.radius, c.eps), reference.run(wide, c.eps)),
                  "wide range " << c.h << "x" << c.w << " radius " << c.radius << " eps " << c.eps);
    }
}

TEST_CASE("guided_filter: the reference walks 4, 6 and 9 pixel windows on a 5 x 5 plane") {
    // The table of a plane of ones holds (y + 1)(x + 1), so each window sum is
    // its pixel count; the bit-equality case above runs 5 x 5 with radius 1.
    const Reference reference{5, 5, 1};
    std::vector<double> table(25);
    for (std::size_t y = 0; y < 5; ++y) {
        for (std::size_t x = 0; x < 5; ++x) table[y * 5 + x] = static_cast<double>((y + 1) * (x + 1));
    }
    CHECK(reference.window(table, 0, 0) == std::make_pair(4.0, 4.0));
    CHECK(reference.window(table, 0, 2) == std::make_pair(6.0, 6.0));
    CHECK(reference.window(table, 2, 4) == std::make_pair(6.0, 6.0));
    CHECK(reference.window(table, 2, 2) == std::make_pair(9.0, 9.0));
    CHECK(reference.window(table, 4, 4) == std::make_pair(4.0, 4.0));
}

TEST_CASE("guided_filter: a radius covering the plane makes q one linear function of I") {
    const auto plane = random_plane(6 * 5, 7);
    const auto whole = filter(contiguous(plane, 6, 5), 5, 0.02f);
    CHECK(same_bits(whole, filter(contiguous(plane, 6, 5), 0xFFFFFFFFu, 0.02f)));
    CHECK(same_bits(whole, filter(contiguous(plane, 6, 5), 1000, 0.02f)));
    CHECK(same_bits(whole, Reference{6, 5, 0xFFFFFFFFu}.run(plane, 0.02f)));
}

TEST_CASE("guided_filter: one NaN spreads to every pixel at or after (i - 2r, j - 2r)") {
    const auto nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> plane = random_plane(64, 3);
    plane[1 * 8 + 1] = nan;
    for (float v : filter(contiguous(plane, 8, 8), 1, 0.01f)) CHECK(std::isnan(v));

    plane = random_plane(64, 4);
    plane[5 * 8 + 5] = nan;
    const auto q = filter(contiguous(plane, 8, 8), 1, 0.01f);
    int nans = 0;
    for (std::size_t y = 0; y < 8; ++y) {
        for (std::size_t x = 0; x < 8; ++x) {
            const bool expect_nan = y >= 3 && x >= 3;
            CHECK_MSG(std::isnan(q[y * 8 + x]) == expect_nan, "(" << y << ", " << x << ")");
            nans += std::isnan(q[y * 8 + x]) ? 1 : 0;
        }
    }
    CHECK(nans == 25);

    // An infinity makes the same pixels non-finite.
    plane = random_plane(64, 5);
    plane[6 * 8 + 4] = std::numeric_limits<float>::infinity();
    const auto qi = filter(contiguous(plane, 8, 8), 1, 0.01f);
    for (std::size_t y = 0; y < 8; ++y) {
        for (std::size_t x = 0; x < 8; ++x) {
            CHECK_MSG(std::isfinite(qi[y * 8 + x]) == !(y >= 4 && x >= 2), "(" << y << ", " << x << ")");
        }
    }
}

TEST_CASE("guided_filter: strided views give the bits of a contiguous copy") {
    const std::size_t h = 23;
    const std::size_t w = 31;
    const auto plane = random_plane(h * w, 11);
    const auto expected = filter(contiguous(plane, h, w), 3, 0.005f);

    // Every second column of a wider array.
    std::vector<float> wide(h * w * 2, -7.0f);
    for (std::size_t k = 0; k < h * w; ++k) wide[2 * k] = plane[k];
    CHECK(same_bits(filter(PlaneView{wide.data(), h, w, static_cast<std::ptrdiff_t>(2 * w), 2}, 3, 0.005f), expected));

    // Stored transposed.
    std::vector<float> transposed(h * w);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) transposed[x * h + y] = plane[y * w + x];
    }
    CHECK(
        same_bits(filter(PlaneView{transposed.data(), h, w, 1, static_cast<std::ptrdiff_t>(h)}, 3, 0.005f), expected));

    // Rows stored bottom-up (a negative row stride).
    std::vector<float> flipped(h * w);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) flipped[(h - 1 - y) * w + x] = plane[y * w + x];
    }
    const PlaneView upside{flipped.data() + (h - 1) * w, h, w, -static_cast<std::ptrdiff_t>(w), 1};
    CHECK(same_bits(filter(upside, 3, 0.005f), expected));

    // Columns stored right to left (a negative column stride).
    std::vector<float> mirrored(h * w);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) mirrored[y * w + (w - 1 - x)] = plane[y * w + x];
    }
    const PlaneView mirror{mirrored.data() + (w - 1), h, w, static_cast<std::ptrdiff_t>(w), -1};
    CHECK(same_bits(filter(mirror, 3, 0.005f), expected));
}

TEST_CASE("guided_filter: empty planes give empty results") {
    const ostrel::ResultBuffer rows = ostrel::guided_filter(PlaneView{nullptr, 0, 5, 5, 1}, 2, 0.01f);
    CHECK(rows.size() == 0);
    CHECK(rows.shape() == (Shape3{0, 5, 1}));
    const ostrel::ResultBuffer cols = ostrel::guided_filter(PlaneView{nullptr, 4, 0, 0, 1}, 2, 0.01f);
    CHECK(cols.size() == 0);
    CHECK(cols.shape() == (Shape3{4, 0, 1}));
}

TEST_CASE("guided_filter_rolling: the bits of the whole-plane form for any size, radius and band") {
    // Heights around the bands (4 .. 16 and the automatic 64), single rows
    // and columns, radii from 0 past the height, eps of both signs.
    const std::size_t sizes[][2] = {{1, 1},  {1, 2},  {2, 1},  {1, 9},  {9, 1},  {2, 2},  {3, 5},  {4, 7},
                                    {5, 3},  {7, 8},  {8, 6},  {9, 9},  {12, 4}, {15, 2}, {16, 3}, {17, 5},
                                    {31, 6}, {33, 1}, {34, 9}, {1, 40}, {63, 3}, {64, 2}, {65, 7}, {129, 2}};
    const std::size_t bands[] = {1, 4, 5, 8, 12, 16, 0};  // whole staircases of 4 rows
    const float epsilons[] = {0.01f, 0.0f, -0.01f, 1e-6f};
    std::uint32_t seed = 100;
    for (const auto& size : sizes) {
        const std::size_t h = size[0];
        const std::size_t w = size[1];
        const auto hr = static_cast<std::uint32_t>(h);
        const std::uint32_t radii[] = {0, 1, 2, 3, 5, hr - 1, hr, hr + 1, 0xFFFFFFFFu};
        for (int variant = 0; variant < 3; ++variant) {
            const std::vector<float> values = test_plane(h, w, seed++, variant);
            const PlaneView view = contiguous(values, h, w);
            for (std::uint32_t radius : radii) {
                const float eps = epsilons[(radius + seed) % 4];
                const auto expected = values_of(ostrel::guided_filter_plain(view, radius, eps));
                for (std::size_t band : bands) {
                    CHECK_MSG(same_bits(values_of(ostrel::guided_filter_rolling(view, radius, eps, band)), expected),
                              h << "x" << w << " variant " << variant << " radius " << radius << " band " << band);
                }
                CHECK_MSG(same_bits(filter(view, radius, eps), expected),
                          "guided_filter " << h << "x" << w << " variant " << variant << " radius " << radius);
            }
        }
    }
}

TEST_CASE("guided_filter_rolling: strided, transposed and reversed views give the bits of a contiguous copy") {
    const std::size_t h = 37;
    const std::size_t w = 23;
    const auto plane = test_plane(h, w, 9, 2);
    std::vector<float> spaced(h * w * 3, -5.0f);
    std::vector<float> transposed(h * w);
    std::vector<float> reversed(h * w);
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            spaced[3 * (y * w + x) + 1] = plane[y * w + x];
            transposed[x * h + y] = plane[y * w + x];
            reversed[(h - 1 - y) * w + (w - 1 - x)] = plane[y * w + x];
        }
    }
    const PlaneView views[] = {
        {spaced.data() + 1, h, w, static_cast<std::ptrdiff_t>(3 * w), 3},
        {transposed.data(), h, w, 1, static_cast<std::ptrdiff_t>(h)},
        {reversed.data() + h * w - 1, h, w, -static_cast<std::ptrdiff_t>(w), -1},
    };
    for (std::uint32_t radius : {0u, 2u, 5u, 36u, 40u}) {
        const auto expected = values_of(ostrel::guided_filter_plain(contiguous(plane, h, w), radius, 0.003f));
        for (std::size_t v = 0; v < 3; ++v) {
            for (std::size_t band : {1u, 4u, 0u}) {
                CHECK_MSG(same_bits(values_of(ostrel::guided_filter_rolling(views[v], radius, 0.003f, band)), expected),
                          "view " << v << " radius " << radius << " band " << band);
            }
            CHECK_MSG(same_bits(filter(views[v], radius, 0.003f), expected), "view " << v << " radius " << radius);
        }
    }
}

TEST_CASE("guided_filter_rolling: the same bits for 1, 2, 3 and 8 pool threads") {
    // Wide enough that every step's table pair and pixel loop go to the pool.
    const std::size_t h = 211;
    const std::size_t w = 331;
    const auto plane = test_plane(h, w, 77, 2);
    const PlaneView view = contiguous(plane, h, w);
    const std::uint32_t radii[] = {0, 3, 20, 150};
    const std::size_t bands[] = {7, 16, 0};
    std::vector<std::vector<float>> expected;
    for (std::uint32_t radius : radii) expected.push_back(values_of(ostrel::guided_filter_plain(view, radius, 0.01f)));
    for (const char* threads : {"1", "2", "3", "8"}) {
        const bool ok = in_child_with_threads(threads, [&] {
            for (std::size_t k = 0; k < std::size(radii); ++k) {
                for (std::size_t band : bands) {
                    const auto q = values_of(ostrel::guided_filter_rolling(view, radii[k], 0.01f, band));
                    if (!same_bits(q, expected[k])) return false;
                }
                if (!same_bits(filter(view, radii[k], 0.01f), expected[k])) return false;
            }
            return true;
        });
        CHECK_MSG(ok, threads << " threads");
    }
}

TEST_CASE("local_contrast: strengths on the documented planes") {
    const std::vector<float> pair{0.0f, 1.0f};
    const ImageView view = ImageView::contiguous(pair.data(), Shape3{1, 2, 1});
    const auto run = [&](const ImageView& v, std::uint32_t radius, float eps, float strength) {
        ostrel::KernelResult result = ostrel::local_contrast(v, radius, eps, strength);
        REQUIRE(result.ok());
        CHECK(result.value().shape() == v.shape);
        return std::vector<float>(result.value().data(), result.value().data() + result.value().size());
    };
    CHECK(run(view, 1, 0.25f, 1.0f) == (std::vector<float>{-0.25f, 1.25f}));
    CHECK(run(view, 1, 0.25f, 2.0f) == (std::vector<float>{-0.5f, 1.5f}));
    CHECK(run(view, 1, 0.25f, 0.0f) == (std::vector<float>{0.0f, 1.0f}));
    CHECK(run(view, 1, 0.25f, -1.0f) == (std::vector<float>{0.25f, 0.75f}));

    const std::vector<float> three{0.0f, 0.5f, 1.0f};
    const auto out = run(ImageView::contiguous(three.data(), Shape3{1, 3, 1}), 1, 0.01f, 1.0f);
    REQUIRE(out.size() == 3);
    CHECK(std::fabs(out[0] - -0.031392321f) < 1e-8f);
    CHECK(out[1] == 0.5f);
    CHECK(std::fabs(out[2] - 1.0313923f) < 1e-7f);
}

TEST_CASE("local_contrast: only the last axis is tested, and its text names the shape") {
    std::vector<float> data(4 * 5 * 3);
    ostrel::KernelResult rgb = ostrel::local_contrast(ImageView::contiguous(data.data(), Shape3{4, 5, 3}), 1, 0.1f, 1);
    REQUIRE(!rgb.ok());
    CHECK(rgb.error_text() == "local_contrast expects (H, W, 1) luminance input, got shape [4, 5, 3]");
    ostrel::KernelResult none = ostrel::local_contrast(ImageView{nullptr, Shape3{4, 5, 0}, 0, 0, 1}, 1, 0.1f, 1);
    REQUIRE(!none.ok());
    CHECK(none.error_text() == "local_contrast expects (H, W, 1) luminance input, got shape [4, 5, 0]");
    ostrel::KernelResult empty = ostrel::local_contrast(ImageView{nullptr, Shape3{0, 7, 1}, 7, 1, 1}, 1, 0.1f, 1);
    REQUIRE(empty.ok());
    CHECK(empty.value().shape() == (Shape3{0, 7, 1}));
}
