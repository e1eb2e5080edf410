#pragma once
// Parallel element loops on the process-wide worker pool.
//
// The index range is cut by recursive halving under a split budget (it starts
// at the pool size, halves at each cut, and grows back to at least the pool
// size when an idle thread takes a piece over); every piece that is not cut
// is handed to the body as one contiguous range, on whichever thread holds it.
// The caller blocks until every piece is done. An exception thrown by a piece
// (an InternalFault, std::bad_alloc) does not stop the other pieces; the first
// one is rethrown on the calling thread afterwards and the pool carries on.
//
// Kernels must make each element depend only on its own index, so that no
// result depends on how the range was cut or on the number of threads.
#include <cstddef>

#include "parallel/function_ref.hpp"

namespace ostrel::parallel {

// Below this many elements a loop runs on the calling thread: handing work to
// the pool and waking the caller again costs more than it saves.
inline constexpr std::size_t kSequentialBelow = 4096;

// body(begin, end) for pieces of the flat range [0, count). Loops shorter than
// `sequential_below` elements run as one piece on the calling thread.
void for_each_range(std::size_t count, FunctionRef<void(std::size_t, std::size_t)> body,
                    std::size_t sequential_below = kSequentialBelow);

// body(row_begin, row_end, col_begin, col_end) for pieces of the rows x cols
// grid: cut across the rows while a piece holds more than one row, then
// across the columns of the single remaining row.
void for_each_block(std::size_t rows, std::size_t cols,
                    FunctionRef<void(std::size_t, std::size_t, std::size_t, std::size_t)> body,
                    std::size_t sequential_below = kSequentialBelow);

// The number of worker threads (decided once, when the pool is created).
std::size_t pool_size();

}  // namespace ostrel::parallel
