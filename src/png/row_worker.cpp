#include "png/row_worker.hpp"

#include <atomic>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sched.h>
#endif

namespace tessarin::png {

// The thread and its queue of pieces, numbered from the start of the
// process: the caller has queued those below `queued`, one thread or the
// other has taken those below `begun`, and the worker has done those below
// `finished`. A side with nothing to do sleeps on a lock of its own, which
// is held while nobody sleeps on it: it first says so (`sleeping`,
// `caller_waiting`), and the other side, taking that flag back, releases
// the lock once.
struct RowWorkerThread {
    PyThread_type_lock wake = nullptr;
    PyThread_type_lock idle = nullptr;
    std::atomic<bool> claimed{false}, sleeping{false}, caller_waiting{false};
    std::atomic<uint64_t> queued{0}, begun{0}, finished{0};
    // Written by the caller only while the worker has no piece.
    RowReconstructor* rows = nullptr;
    std::span<const uint8_t> queue[RowWorker::queue_length];
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

void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Sleeps on `lock` until `ready` holds, through `flag` as the struct above
// says, releasing the interpreter lock while asleep where it is held.
template <typename Ready>
void sleep_until(Ready ready, std::atomic<bool>& flag, PyThread_type_lock lock, bool release_interpreter) {
    while (!ready()) {
        flag.store(true);
        // The other side may have made `ready` hold before seeing the flag.
        if (ready() && flag.exchange(false)) return;
        if (release_interpreter) {
            Py_BEGIN_ALLOW_THREADS
            PyThread_acquire_lock(lock, WAIT_LOCK);
            Py_END_ALLOW_THREADS
        } else {
            PyThread_acquire_lock(lock, WAIT_LOCK);
        }
    }
}

void signal_if_waiting(std::atomic<bool>& flag, PyThread_type_lock lock) noexcept {
    if (flag.exchange(false)) PyThread_release_lock(lock);
}

// The caller waits only for a piece the worker is on, microseconds away,
// and a thread put to sleep wakes late (tens of microseconds or more on a
// virtual machine): it first tries this many times without sleeping. The
// worker sleeps at once, as the queue lets the caller go on while it wakes,
// and a spinning worker was found to slow the caller down.
constexpr int caller_tries = 4000;

void thread_main(void* argument) {
    auto& thread = *static_cast<RowWorkerThread*>(argument);
    for (;;) {
        uint64_t piece = thread.begun.load();
        if (piece == thread.queued.load()) {
            sleep_until([&] { return thread.begun.load() != thread.queued.load(); }, thread.sleeping, thread.wake,
                        false);
            continue;
        }
        // The caller may have taken the rest back.
        if (!thread.begun.compare_exchange_strong(piece, piece + 1)) continue;
        thread.rows->feed(thread.queue[piece % RowWorker::queue_length]);
        thread.finished.store(piece + 1);
        signal_if_waiting(thread.caller_waiting, thread.idle);
    }
}

// A new lock, held.
PyThread_type_lock held_lock() noexcept {
    PyThread_type_lock lock = PyThread_allocate_lock();
    if (lock) PyThread_acquire_lock(lock, NOWAIT_LOCK);
    return lock;
}

bool start_process_thread() noexcept {
    PyThread_type_lock wake = held_lock();
    PyThread_type_lock idle = held_lock();
    if (wake && idle) {
        process_thread.wake = wake;
        process_thread.idle = idle;
        process_thread.claimed.store(false);
        process_thread.sleeping.store(false);
        process_thread.caller_waiting.store(false);
        process_thread.queued.store(0);
        process_thread.begun.store(0);
        process_thread.finished.store(0);
        // The identifier is unsigned on some hosts and signed on others;
        // either way a failure is all bits set.
        const auto ident = PyThread_start_new_thread(thread_main, &process_thread);
        if (static_cast<unsigned long>(ident) != static_cast<unsigned long>(-1)) return true;
    }
    if (wake) PyThread_free_lock(wake);
    if (idle) PyThread_free_lock(idle);
    return false;
}

// Waits until the worker has done the pieces below `count`.
void wait_finished(RowWorkerThread& thread, uint64_t count) {
    const auto done = [&] { return thread.finished.load() >= count; };
    for (int i = 0; i < caller_tries; ++i) {
        if (done()) return;
        spin_pause();
    }
    sleep_until(done, thread.caller_waiting, thread.idle, true);
}

}  // namespace

bool RowWorker::claim(RowReconstructor& rows) noexcept {
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
    thread_->rows = &rows;
    return true;
}

void RowWorker::hand(std::span<const uint8_t> data) noexcept {
    RowWorkerThread& thread = *thread_;
    const uint64_t piece = thread.queued.load();
    // The slot, and the caller's data, of the piece queue_length back must
    // be done with.
    if (piece >= queue_length) wait_finished(thread, piece - queue_length + 1);
    thread.queue[piece % queue_length] = data;
    thread.queued.store(piece + 1);
    signal_if_waiting(thread.sleeping, thread.wake);
}

size_t RowWorker::take_back(std::span<const uint8_t> (&pieces)[queue_length]) noexcept {
    RowWorkerThread& thread = *thread_;
    const uint64_t queued = thread.queued.load();
    const uint64_t first_left = thread.begun.exchange(queued);
    wait_finished(thread, first_left);
    // The pieces taken back count as done, for the next image's waits.
    thread.finished.store(queued);
    size_t count = 0;
    for (uint64_t piece = first_left; piece < queued; ++piece) pieces[count++] = thread.queue[piece % queue_length];
    return count;
}

void RowWorker::finish_here() noexcept {
    if (!thread_) return;
    std::span<const uint8_t> pieces[queue_length];
    const size_t count = take_back(pieces);
    for (size_t i = 0; i < count; ++i) thread_->rows->feed(pieces[i]);
}

RowWorker::~RowWorker() {
    if (!thread_) return;
    std::span<const uint8_t> dropped[queue_length];
    take_back(dropped);
    thread_->claimed.store(false);
}

}  // namespace tessarin::png
