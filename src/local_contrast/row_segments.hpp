#pragma once
// A parallel element loop over the flat row-major index range of an (H, W)
// grid, handed to the body one row segment at a time, so that the inner loops
// run along contiguous columns without a division per pixel.
#include <algorithm>
#include <cstddef>

#include "parallel/parallel_for.hpp"

namespace ostrel {

// row(y, x_begin, x_end) for every run of one row inside each piece.
template <class Row>
void for_each_row_segment(std::size_t height, std::size_t width, Row&& row) {
    parallel::for_each_range(height * width, [&](std::size_t begin, std::size_t end) {
        std::size_t y = begin / width;
        std::size_t x = begin % width;
        std::size_t k = begin;
        while (k < end) {
            const std::size_t stop = std::min(end - k, width - x) + x;
            row(y, x, stop);
            k += stop - x;
            ++y;
            x = 0;
        }
    });
}

}  // namespace ostrel
