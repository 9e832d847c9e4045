// Jobs shared out between the calling thread and threads of the host's
// _thread module, for work whose host calls release the interpreter lock
// (deflate in the host's zlib), so that it runs on several processors.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>

namespace tessarin::png_writer {

// At most this many threads run one set of jobs, the caller's included.
inline constexpr size_t max_threads = 16;

// The host services the workers need, held by the module.
struct ThreadHost {
    PyObject* start_new_thread;  // _thread.start_new_thread
    PyObject* allocate_lock;     // _thread.allocate_lock
    PyObject* acquire_name;      // "acquire", interned
    PyObject* release_name;      // "release", interned
};

// Runs job number `job`. Returns 0, or -1 with an exception pending. Between
// its host calls a job returns early, with 0, once `stop` is set: another
// thread has failed and its work is of no use. Jobs run holding the
// interpreter lock, as any code called from Python, but release it while
// they filter and deflate, when other threads may set `stop`.
using JobFunction = int (*)(void* context, size_t job, const std::atomic<bool>& stop);

// Runs jobs 0 to count - 1, each once, in order of their numbers as threads
// come free: on the calling thread and on up to threads - 1 host threads
// started for them (fewer where the host cannot start them; the jobs then
// run on those that did start). Returns once every thread has finished:
// 0 when every job ran, or -1 with the first exception pending (the calling
// thread's own, such as an interrupt, before a worker's). An interrupt while
// the caller waits, or a failed job, stops the other threads at their next
// check.
int run_jobs(const ThreadHost& host, size_t count, size_t threads, JobFunction run, void* context);

}  // namespace tessarin::png_writer
