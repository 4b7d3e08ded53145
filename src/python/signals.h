#pragma once
// Ctrl-C during a long call. The interpreter only runs its signal handlers between bytecodes, on
// the main thread, so while that thread waits for a loop with the lock released a SIGINT would
// otherwise be seen only when the whole call has ended.
#include <exception>

#include "core/parallel/pool.h"
#include "python/python.h"

namespace rastrel {

// Lets a signal stop a loop that the main thread waits for. Every 0.1 s of waiting (and only
// then: short calls and calls from other threads never look), the thread takes the interpreter
// lock back and runs the interpreter's own signal check, so that Python-level handlers run as
// usual; if a handler raises (KeyboardInterrupt, for Ctrl-C), the loop is given up: pieces not
// yet started are skipped and the running ones finish. The output then holds new values in some
// places and old ones elsewhere. Made with the lock held, before the lock is released.
class SignalWatch final : public parallel::Interruption {
public:
    SignalWatch() noexcept;
    // Lock held, after the loop: raises what a signal handler raised, if one did.
    void raise_if_stopped() const;

private:
    bool should_stop() noexcept override;

    PyThreadState* state_;
    int on_main_thread_ = -1;  // learnt at the first look
    std::exception_ptr raised_;
};

}  // namespace rastrel
