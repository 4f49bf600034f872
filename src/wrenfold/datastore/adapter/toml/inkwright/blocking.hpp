// System calls that may block, made without the interpreter lock, so that other threads run
// meanwhile and Ctrl-C still reaches the caller.
#pragma once

#include <Python.h>

#include <unistd.h>

#include <cerrno>

namespace wrenfold::inkwright {

// What to do when a call is interrupted by a signal.
enum class OnSignal {
    // Run the signal handlers and stop when one raises (PEP 475): -1 with its exception set
    // and errno EINTR.
    kRunHandlers,
    // Retry at once: the handlers run when the caller is back in the interpreter. For calls
    // that must not stop half way.
    kRetry,
};

// Whether other threads may run during the call.
enum class Lock {
    kRelease,
    // For writes in the middle of walking objects that other threads could change.
    kHold,
};

// Calls `call` (returning -1 with errno on failure) without the interpreter lock (unless
// told to hold it), and again for as long as it fails with EINTR and no handler raises.
// Never use it for close(), which must not be retried.
template <class Call>
auto blocking_call(Call call, OnSignal on_signal = OnSignal::kRunHandlers,
                   Lock lock = Lock::kRelease) -> decltype(call()) {
    // A signal that came while the interpreter lock was held (during the encoding) has not
    // interrupted anything yet: without this, a FIFO nobody opens would wait for ever.
    if (on_signal == OnSignal::kRunHandlers && PyErr_CheckSignals() < 0) {
        errno = EINTR;
        return -1;
    }
    for (;;) {
        decltype(call()) result;
        int err;
        if (lock == Lock::kHold) {
            result = call();
            err = errno;
        } else {
            Py_BEGIN_ALLOW_THREADS;
            result = call();
            err = errno;
            Py_END_ALLOW_THREADS;
        }
        if (result != -1 || err != EINTR) {
            errno = err;
            return result;
        }
        if (on_signal == OnSignal::kRunHandlers && PyErr_CheckSignals() < 0) {
            errno = EINTR;
            return -1;
        }
    }
}

// close() without the interpreter lock (it may flush to a network file system), never
// retried: the descriptor is gone whatever it returns. EINTR counts as success.
inline int blocking_close(int fd) {
    int result;
    int err;
    Py_BEGIN_ALLOW_THREADS;
    result = ::close(fd);
    err = errno;
    Py_END_ALLOW_THREADS;
    errno = err;
    return result < 0 && err != EINTR ? -1 : 0;
}

}  // namespace wrenfold::inkwright
