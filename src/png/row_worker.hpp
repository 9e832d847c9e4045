// A second thread for the PNG decoder: it reconstructs the rows of one
// inflated piece while the calling thread inflates the next, so that on two
// or more processors the unfiltering costs no time beside the inflate.
#pragma once

#include <Python.h>

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
// Every call is made holding the interpreter lock; waits release it.
class RowWorker {
public:
    RowWorker() noexcept = default;
    RowWorker(const RowWorker&) = delete;
    RowWorker& operator=(const RowWorker&) = delete;
    // Waits for the piece in hand, then gives the worker up.
    ~RowWorker();

    // Claims the worker; false when it cannot be had (no exception).
    bool claim() noexcept;
    bool claimed() const noexcept { return thread_ != nullptr; }

    // Waits for the piece before, then has the worker feed `data` to
    // `rows`. The caller keeps `data` alive, and leaves `rows` alone, until
    // wait() has returned.
    void hand(RowReconstructor& rows, std::span<const uint8_t> data) noexcept;
    // Waits until the worker is done with the piece in hand, if any.
    void wait() noexcept;

private:
    RowWorkerThread* thread_ = nullptr;
    bool in_hand_ = false;
};

}  // namespace tessarin::png
