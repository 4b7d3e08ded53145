#pragma once
// A fault is an unrecoverable condition of the module's own making (a refused borrow, a broken
// invariant, a missing pool). It travels as a C++ exception, across worker threads too, and the
// call boundary turns it into PanicException whose str() is exactly the text. This header is
// interpreter-free so that the pool and the per-pixel code can raise faults.
#include <stdexcept>
#include <string>

namespace rastrel {

class Fault : public std::runtime_error {
public:
    explicit Fault(const std::string& text) : std::runtime_error(text) {}
    explicit Fault(const char* text) : std::runtime_error(text) {}
};

// Cold, out of line at every call site: building the message must not bloat hot loops.
[[noreturn]] void raise_fault(std::string text);

}  // namespace rastrel
