#include "png/row_worker.hpp"

#include <atomic>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

namespace tessarin::png {

// The thread and what it is handed. Each lock is held while its event has
// not happened, and released by the other side to signal it; the locks
// also order the accesses to `rows` and `data` between the two threads.
struct RowWorkerThread {
    PyThread_type_lock piece_posted = nullptr;
    PyThread_type_lock piece_done = nullptr;
    std::atomic<bool> claimed{false};
    RowReconstructor* rows = nullptr;
    std::span<const uint8_t> data;
};

namespace {

// The thread of this process, and the process that started it. A child made
// by fork has no thread of its parent's: it starts one of its own, with new
// locks, as the parent's may have been held by a thread the child lacks.
RowWorkerThread process_thread;
bool process_thread_started = false;
long process_thread_owner = 0;

long current_process() noexcept {
#if defined(__unix__) || defined(__APPLE__)
    return static_cast<long>(getpid());
#else
    return 0;
#endif
}

// Whether the calling thread may run on more than one processor. Asked on
// every claim, so that a caller that narrows its affinity (to measure one
// thread's work, say) gets a decoder on one thread.
bool several_processors() noexcept {
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed) > 1;
#endif
#if defined(_SC_NPROCESSORS_ONLN)
    return sysconf(_SC_NPROCESSORS_ONLN) > 1;
#else
    return false;
#endif
}

void thread_main(void* argument) {
    auto& thread = *static_cast<RowWorkerThread*>(argument);
    for (;;) {
        PyThread_acquire_lock(thread.piece_posted, WAIT_LOCK);
        thread.rows->feed(thread.data);
        PyThread_release_lock(thread.piece_done);
    }
}

PyThread_type_lock held_lock() noexcept {
    PyThread_type_lock lock = PyThread_allocate_lock();
    if (lock) PyThread_acquire_lock(lock, NOWAIT_LOCK);
    return lock;
}

bool start_process_thread() noexcept {
    PyThread_type_lock posted = held_lock();
    PyThread_type_lock done = held_lock();
    if (posted && done) {
        process_thread.piece_posted = posted;
        process_thread.piece_done = done;
        process_thread.claimed.store(false);
        // The identifier is unsigned on some hosts and signed on others;
        // either way a failure is all bits set.
        const auto ident = PyThread_start_new_thread(thread_main, &process_thread);
        if (static_cast<unsigned long>(ident) != static_cast<unsigned long>(-1)) return true;
    }
    if (posted) PyThread_free_lock(posted);
    if (done) PyThread_free_lock(done);
    return false;
}

}  // namespace

bool RowWorker::claim() noexcept {
    if (thread_ || !several_processors()) return thread_ != nullptr;
    const long process = current_process();
    if (!process_thread_started || process_thread_owner != process) {
        process_thread_started = start_process_thread();
        process_thread_owner = process;
        if (!process_thread_started) return false;
    }
    bool free = false;
    if (!process_thread.claimed.compare_exchange_strong(free, true)) return false;
    thread_ = &process_thread;
    return true;
}

void RowWorker::hand(RowReconstructor& rows, std::span<const uint8_t> data) noexcept {
    wait();
    thread_->rows = &rows;
    thread_->data = data;
    in_hand_ = true;
    PyThread_release_lock(thread_->piece_posted);
}

void RowWorker::wait() noexcept {
    if (!in_hand_) return;
    if (!PyThread_acquire_lock(thread_->piece_done, NOWAIT_LOCK)) {
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(thread_->piece_done, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    in_hand_ = false;
}

RowWorker::~RowWorker() {
    if (!thread_) return;
    wait();
    thread_->claimed.store(false);
}

}  // namespace tessarin::png
