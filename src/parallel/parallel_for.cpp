#include "parallel/parallel_for.hpp"

#include "parallel/worker_pool.hpp"

namespace ostrel::parallel {

void for_each_range(std::size_t count, FunctionRef<void(std::size_t, std::size_t)> body) {
    if (count == 0) return;
    WorkerPool::instance().run(1, count, [&](std::size_t, std::size_t, std::size_t begin, std::size_t end) {
        body(begin, end);
    });
}

void for_each_block(std::size_t rows, std::size_t cols,
                    FunctionRef<void(std::size_t, std::size_t, std::size_t, std::size_t)> body) {
    if (rows == 0 || cols == 0) return;
    WorkerPool::instance().run(rows, cols, body);
}

std::size_t pool_size() { return WorkerPool::instance().size(); }

}  // namespace ostrel::parallel
