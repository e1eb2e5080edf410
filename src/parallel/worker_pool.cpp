#include "parallel/worker_pool.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <list>
#include <memory>
#include <new>

#include "core/platform.hpp"
#include "parallel/pool_size.hpp"

namespace ostrel::parallel {

// Book-keeping of one parallel loop: its body, the pieces split off so far,
// how many are unfinished, and the first exception any piece threw.
class LoopState {
public:
    using Body = FunctionRef<void(std::size_t, std::size_t, std::size_t, std::size_t)>;

    LoopState(Body body, std::size_t threads) : body_(body), threads_(threads) {}

    std::size_t threads() const noexcept { return threads_; }

    // Storage for a split-off piece; stable until the loop ends.
    Piece* new_piece(const Piece& piece) {
        std::lock_guard lock(mutex_);
        pieces_.push_back(piece);
        pending_.fetch_add(1, std::memory_order_relaxed);
        return &pieces_.back();
    }

    void run_body(const Piece& piece) noexcept {
        try {
            body_(piece.row_begin, piece.row_end, piece.col_begin, piece.col_end);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
        }
    }

    void finish_piece() noexcept {
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard lock(mutex_);
            done_ = true;
            all_done_.notify_all();
        }
    }

    void wait() {
        std::unique_lock lock(mutex_);
        all_done_.wait(lock, [this] { return done_; });
    }

    std::exception_ptr failure() const noexcept { return failure_; }

private:
    Body body_;
    std::size_t threads_;
    std::mutex mutex_;
    std::condition_variable all_done_;
    std::list<Piece> pieces_;              // a list keeps addresses stable while it grows
    std::atomic<std::size_t> pending_{1};  // the root piece
    bool done_ = false;
    std::exception_ptr failure_;
};

namespace {

std::mutex creation_mutex;
WorkerPool* current_pool = nullptr;
thread_local bool on_worker_thread = false;

// Worker stacks: the deepest kernel frames hold a few KiB of tiles
// (zone_system 3 x 256 floats, encode_srgb 512) and the loop book-keeping
// about 1 KiB, far below 2 MiB; the default would reserve `ulimit -s`
// (8 MiB on common systems) of address space per worker.
constexpr std::size_t kWorkerStackBytes = 2u << 20;

void prepare_fork() noexcept { creation_mutex.lock(); }
void parent_after_fork() noexcept { creation_mutex.unlock(); }
void child_after_fork() noexcept {
    // The parent's workers do not exist in the child: forget that pool (its
    // locks may even be held by threads that are gone) and make a new one on
    // the next loop.
    current_pool = nullptr;
    creation_mutex.unlock();
}

std::size_t element_count(const Piece& piece) noexcept {
    return (piece.row_end - piece.row_begin) * (piece.col_end - piece.col_begin);
}

// Cuts `piece` in two: the outer axis while it spans more than one row, then
// the inner one. `piece` keeps the first half; the second is returned.
Piece cut(Piece& piece) noexcept {
    Piece second = piece;
    if (piece.row_end - piece.row_begin > 1) {
        const std::size_t middle = piece.row_begin + (piece.row_end - piece.row_begin) / 2;
        piece.row_end = middle;
        second.row_begin = middle;
    } else {
        const std::size_t middle = piece.col_begin + (piece.col_end - piece.col_begin) / 2;
        piece.col_end = middle;
        second.col_begin = middle;
    }
    return second;
}

}  // namespace

WorkerPool& WorkerPool::instance() {
    static const bool fork_handlers = [] {
        platform::at_fork(prepare_fork, parent_after_fork, child_after_fork);
        return true;
    }();
    (void)fork_handlers;
    std::lock_guard lock(creation_mutex);
    if (current_pool == nullptr) {
        // Never destroyed: workers may still be parked in it when the process exits.
        auto* pool = new WorkerPool(configured_pool_size());
        pool->start_threads();
        current_pool = pool;
    }
    return *current_pool;
}

WorkerPool::WorkerPool(std::size_t size) : size_(std::max<std::size_t>(size, 1)) {}

void WorkerPool::start_threads() {
    // Workers block every signal, so signals reach the interpreter's threads.
    running_threads_ = platform::start_detached_threads(size_, &WorkerPool::thread_main, this, kWorkerStackBytes);
    // The pool is ready only once every worker is parked in its loop. A
    // thread still starting up may hold locks of the C runtime or of a
    // sanitizer's allocator; a fork taken then would leave the child stuck on
    // them, and a process may fork as soon as the first kernel returns.
    std::unique_lock lock(mutex_);
    worker_started_.wait(lock, [this] { return started_threads_ == running_threads_; });
}

void* WorkerPool::thread_main(void* pool) noexcept {
    on_worker_thread = true;
    static_cast<WorkerPool*>(pool)->worker_loop();
    return nullptr;
}

void WorkerPool::worker_loop() noexcept {
    {
        std::lock_guard lock(mutex_);
        ++started_threads_;
    }
    worker_started_.notify_one();
    for (;;) {
        Piece* piece = nullptr;
        {
            std::unique_lock lock(mutex_);
            work_available_.wait(lock, [this] { return !queue_.empty(); });
            piece = queue_.front();
            queue_.pop_front();
        }
        process(*piece, true);
    }
}

bool WorkerPool::enqueue(Piece* piece) noexcept {
    try {
        std::lock_guard lock(mutex_);
        queue_.push_back(piece);
    } catch (...) {
        return false;
    }
    work_available_.notify_one();
    return true;
}

bool WorkerPool::reclaim(Piece* piece) noexcept {
    std::lock_guard lock(mutex_);
    const auto found = std::find(queue_.rbegin(), queue_.rend(), piece);
    if (found == queue_.rend()) return false;  // an idle thread took it over
    queue_.erase(std::next(found).base());
    return true;
}

void WorkerPool::process(Piece piece, bool taken_over) noexcept {
    LoopState& loop = *piece.loop;
    if (taken_over) piece.budget = std::max(loop.threads(), piece.budget / 2);
    // Split off second halves for idle threads while the budget lasts, keep
    // the first half, then take back whatever nobody has picked up. Each cut
    // halves the budget, so a 64-bit budget allows at most 64 cuts here.
    std::array<Piece*, 65> split_off{};
    std::size_t split_count = 0;
    while (element_count(piece) >= 2 && piece.budget > 0 && split_count < split_off.size()) {
        piece.budget /= 2;
        Piece first = piece;
        const Piece second_half = cut(first);
        Piece* second = nullptr;
        try {
            second = loop.new_piece(second_half);
        } catch (const std::bad_alloc&) {
            break;  // no memory for book-keeping: process the rest here
        }
        piece = first;
        if (!enqueue(second)) {
            process(*second, false);
            continue;
        }
        split_off[split_count++] = second;
    }
    loop.run_body(piece);
    for (std::size_t i = split_count; i-- > 0;) {
        if (reclaim(split_off[i])) process(*split_off[i], false);
    }
    loop.finish_piece();
}

void WorkerPool::run(std::size_t rows, std::size_t cols, LoopState::Body body) {
    LoopState loop(body, size_);
    Piece root{0, rows, 0, cols, size_, &loop};
    if (running_threads_ == 0 || on_worker_thread) {
        // No workers could be started, or a loop nested inside a piece: run it here.
        process(root, false);
    } else if (!enqueue(&root)) {
        throw std::bad_alloc();
    }
    loop.wait();
    if (const auto failure = loop.failure()) std::rethrow_exception(failure);
}

}  // namespace ostrel::parallel
