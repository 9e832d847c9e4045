// A second thread for the PNG decoder: it reconstructs the rows of inflated
// pieces while the calling thread inflates the next ones, so that on two or
// more processors the unfiltering costs little time beside the inflate.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "png/row_reconstructor.hpp"

namespace tessarin::png {

struct RowWorkerThread;

// The process's row worker, claimed for one image. The thread is one of the
// interpreter's own (started through its thread API, with no Python state,
// as it never touches an object) and is started on first use and then kept,
// asleep between images. It is not claimed where the calling thread may run
// on one processor only, where another image holds it, or where the host
// cannot start a thread: the caller then reconstructs rows itself.
//
// Pieces wait in a short queue, so that the caller seldom waits for a
// thread that wakes late; at the end the caller takes back what the worker
// has not begun. Every call is made holding the interpreter lock; waits
// release it.
class RowWorker {
public:
    // The most pieces handed over and not yet done.
    static constexpr size_t queue_length = 4;

    RowWorker() noexcept = default;
    RowWorker(const RowWorker&) = delete;
    RowWorker& operator=(const RowWorker&) = delete;
    // Waits for the piece the worker is on, drops the rest, gives it up.
    ~RowWorker();

    // Claims the worker for the rows of one image; false when it cannot be
    // had (no exception).
    bool claim(RowReconstructor& rows) noexcept;
    bool claimed() const noexcept { return thread_ != nullptr; }

    // Queues `data` for the worker to feed to the rows, first waiting while
    // the queue is full. The caller keeps `data` alive until queue_length
    // more pieces have been handed over or finish_here() has returned, and
    // leaves the rows alone until then.
    void hand(std::span<const uint8_t> data) noexcept;
    // Waits for the piece the worker is on, if any, and feeds the pieces it
    // has not begun to the rows on the calling thread.
    void finish_here() noexcept;

private:
    // The pieces the worker has not begun, taken out of its queue, once it
    // is done with the one it is on; returns how many.
    size_t take_back(std::span<const uint8_t> (&pieces)[queue_length]) noexcept;

    RowWorkerThread* thread_ = nullptr;
};

}  // namespace tessarin::png
