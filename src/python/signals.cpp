#include "python/signals.h"

#include <sys/syscall.h>
#include <unistd.h>

#include "python/errors.h"
#include "python/gil.h"

namespace rastrel {

using namespace std::chrono_literals;

SignalWatch::SignalWatch() noexcept : Interruption(100ms), state_(PyThreadState_Get()) {}

bool SignalWatch::should_stop() noexcept {
    // The interpreter runs handlers on the thread that started it (or, after a fork, the thread
    // that forked), which is the one whose thread id is the process id. Elsewhere the check
    // would do nothing but contend for the lock.
    if (on_main_thread_ < 0) on_main_thread_ = syscall(SYS_gettid) == getpid() ? 1 : 0;
    if (on_main_thread_ == 0) return false;
    take_lock_back(state_);
    bool stop = false;
    if (PyErr_CheckSignals() < 0) {
        stop = true;
        try {
            throw Error::fetch();
        } catch (...) {
            raised_ = std::current_exception();
        }
    }
    PyEval_SaveThread();
    return stop;
}

void SignalWatch::raise_if_stopped() const {
    if (raised_) std::rethrow_exception(raised_);
}

}  // namespace rastrel
