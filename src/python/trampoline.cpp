#include "python/trampoline.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

#include "core/fault.h"
#include "python/errors.h"
#include "python/panic.h"

namespace rastrel::detail {
namespace {

// What a fault reports when it carries no text of its own; every fault this module raises does.
constexpr const char* kFaultWithoutText = "native code faulted without a message";

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
}

}  // namespace

// Catches in one fixed order: our errors, our faults, any other C++ exception. A failure while
// converting cannot be reported to Python any more, so it ends the process with a message.
PyObject* convert_error_in_flight() noexcept {
    try {
        try {
            throw;
        } catch (Error& error) {
            std::move(error).restore();
        } catch (const std::exception& fault) {
            restore_panic(fault.what());
        } catch (...) {
            restore_panic(kFaultWithoutText);
        }
    } catch (const Fault& fault) {
        // Taking a pending PanicException while restoring an error resumes it as a fault.
        restore_panic(fault.what());
    } catch (...) {
        abort_at_boundary();
    }
    return nullptr;
}

}  // namespace rastrel::detail
