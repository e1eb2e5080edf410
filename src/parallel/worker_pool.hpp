#pragma once
// The process-wide pool of worker threads behind the parallel loops.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>

#include "parallel/function_ref.hpp"

namespace ostrel::parallel {

class LoopState;

// A rectangle of the index grid waiting to be processed.
struct Piece {
    std::size_t row_begin, row_end, col_begin, col_end;
    std::size_t budget;
    LoopState* loop;
};

class WorkerPool {
public:
    // The pool of this process, created on first need. A forked child gets a
    // fresh pool (the parent's threads do not exist there).
    static WorkerPool& instance();

    std::size_t size() const noexcept { return size_; }

    // Runs body over every piece of the rows x cols grid and blocks until all
    // are done; rethrows the first exception a piece threw.
    void run(std::size_t rows, std::size_t cols,
             FunctionRef<void(std::size_t, std::size_t, std::size_t, std::size_t)> body);

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

private:
    explicit WorkerPool(std::size_t size);
    void start_threads();
    static void* thread_main(void* pool) noexcept;
    void worker_loop() noexcept;

    void process(Piece piece, bool taken_over) noexcept;
    bool enqueue(Piece* piece) noexcept;
    bool reclaim(Piece* piece) noexcept;

    std::size_t size_;
    std::size_t running_threads_ = 0;
    std::size_t started_threads_ = 0;  // workers that reached their loop, under mutex_
    std::mutex mutex_;
    std::condition_variable work_available_;
    std::condition_variable worker_started_;
    std::deque<Piece*> queue_;
};

}  // namespace ostrel::parallel
