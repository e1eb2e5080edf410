#include "parallel/parallel_for.hpp"

#include "parallel/worker_pool.hpp"

namespace ostrel::parallel {

void for_each_range(std::size_t count, FunctionRef<void(std::size_t, std::size_t)> body, std::size_t sequential_below) {
    if (count == 0) return;
    WorkerPool& pool = WorkerPool::instance();
    if (count < sequential_below) {
        body(0, count);
        return;
    }
    pool.run(1, count, [&](std::size_t, std::size_t, std::size_t begin, std::size_t end) { body(begin, end); });
}

void for_each_block(std::size_t rows, std::size_t cols,
                    FunctionRef<void(std::size_t, std::size_t, std::size_t, std::size_t)> body,
                    std::size_t sequential_below) {
    if (rows == 0 || cols == 0) return;
    WorkerPool& pool = WorkerPool::instance();
    if (rows * cols < sequential_below) {
        body(0, rows, 0, cols);
        return;
    }
    pool.run(rows, cols, body);
}

std::size_t pool_size() { return WorkerPool::instance().size(); }

}  // namespace ostrel::parallel
