#include "png_writer/workers.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/ref.hpp"

namespace tessarin::png_writer {
namespace {

constexpr char worker_capsule_name[] = "Quorvel._png_writer.worker";

// The jobs of one run_jobs call. `next` and `stop` change while threads
// run, and are atomic so that no thread's view of them rests on the
// interpreter lock (which a host may not have); the rest is set before any
// thread starts.
struct Jobs {
    JobFunction run = nullptr;
    void* context = nullptr;
    size_t count = 0;
    std::atomic<size_t> next = 0;
    std::atomic<bool> stop = false;
};

// A host thread taking jobs: the bound methods of the lock it holds while
// it works, and the exception that ended its jobs.
struct Worker {
    Jobs* jobs = nullptr;
    Ref acquire;
    Ref release;
    SavedError error;
};

// Runs the next job while any is left and no thread has failed.
int take_jobs(Jobs& jobs) {
    while (!jobs.stop) {
        const size_t job = jobs.next++;
        if (job >= jobs.count) break;
        if (jobs.run(jobs.context, job, jobs.stop) < 0) {
            jobs.stop = true;
            return -1;
        }
    }
    return 0;
}

// The body of a host thread. Once the lock is released the caller may
// return and its Worker record go, so the release is the last use of it,
// through a reference of this thread's own. Releasing a held lock cannot
// fail; should it, the host reports the error as the thread's own.
PyObject* worker_main(PyObject* capsule, PyObject*) {
    auto* worker = static_cast<Worker*>(PyCapsule_GetPointer(capsule, worker_capsule_name));
    if (!worker) return nullptr;
    if (take_jobs(*worker->jobs) < 0) worker->error = SavedError::take_pending();
    const Ref release = Ref::borrow(worker->release.get());
    Ref released = Ref::steal(PyObject_CallObject(release.get(), nullptr));
    if (!released) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef worker_method = {"worker", worker_main, METH_NOARGS, nullptr};

// Starts a host thread on `worker`, holding a new lock for it to release
// when it is done. -1 with an exception when the host could not.
int start_worker(const ThreadHost& host, Worker& worker) {
    Ref lock = Ref::steal(PyObject_CallObject(host.allocate_lock, nullptr));
    if (!lock) return -1;
    worker.acquire = Ref::steal(PyObject_GetAttr(lock.get(), host.acquire_name));
    worker.release = Ref::steal(PyObject_GetAttr(lock.get(), host.release_name));
    if (!worker.acquire || !worker.release) return -1;
    Ref acquired = Ref::steal(PyObject_CallObject(worker.acquire.get(), nullptr));
    if (!acquired) return -1;
    Ref capsule = Ref::steal(PyCapsule_New(&worker, worker_capsule_name, nullptr));
    if (!capsule) return -1;
    Ref body = Ref::steal(PyCFunction_New(&worker_method, capsule.get()));
    Ref no_arguments = Ref::steal(PyTuple_New(0));
    if (!body || !no_arguments) return -1;
    Ref ident = Ref::steal(
        PyObject_CallFunctionObjArgs(host.start_new_thread, body.get(), no_arguments.get(), nullptr));
    return ident ? 0 : -1;
}

// Waits for `worker` to release its lock. An exception while waiting (a
// signal handler's, such as KeyboardInterrupt) stops the jobs and is kept
// in `interrupted` unless it holds one already; the wait goes on, since the
// worker may still be using the caller's memory until it sees the stop.
void wait_for(Worker& worker, Jobs& jobs, SavedError& interrupted) {
    for (;;) {
        Ref acquired = Ref::steal(PyObject_CallObject(worker.acquire.get(), nullptr));
        if (acquired) return;
        jobs.stop = true;
        SavedError error = SavedError::take_pending();
        if (!interrupted) interrupted = std::move(error);
    }
}

}  // namespace

int run_jobs(const ThreadHost& host, size_t count, size_t threads, JobFunction run, void* context) {
    Jobs jobs;
    jobs.run = run;
    jobs.context = context;
    jobs.count = count;

    Worker workers[max_threads];
    size_t started = 0;
    for (size_t wanted = std::min({threads, count, max_threads}); started + 1 < wanted; ++started) {
        Worker& worker = workers[started];
        worker.jobs = &jobs;
        if (start_worker(host, worker) < 0) {
            PyErr_Clear();
            break;
        }
    }

    SavedError own;
    if (take_jobs(jobs) < 0) own = SavedError::take_pending();
    for (size_t i = 0; i < started; ++i) wait_for(workers[i], jobs, own);
    if (own) {
        own.restore();
        return -1;
    }
    for (size_t i = 0; i < started; ++i) {
        if (workers[i].error) {
            workers[i].error.restore();
            return -1;
        }
    }
    return 0;
}

}  // namespace tessarin::png_writer
