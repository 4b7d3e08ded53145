#pragma once
// A tiny assertion kit for the C++ test programs. A failed check prints where and what and the
// program carries on, so one run reports every failure; main returns check::exit_code(). Checks
// may fail on any thread.
#include <atomic>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <string>

namespace check {

inline std::atomic<int> failures{0};

inline void fail(const char* file, int line, const std::string& what) {
    static std::mutex print_lock;
    failures.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(print_lock);
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what.c_str());
}

inline int exit_code() {
    const int n = failures.load();
    if (n != 0) std::fprintf(stderr, "%d check(s) failed\n", n);
    return n == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) ::check::fail(__FILE__, __LINE__, #cond);        \
    } while (0)

// `context` is streamed (CHECK_MSG(ok, "case " << name)) so table-driven tests name the row.
#define CHECK_MSG(cond, context)                                      \
    do {                                                              \
        if (!(cond)) {                                                \
            std::ostringstream check_os_;                             \
            check_os_ << #cond << " [" << context << "]";             \
            ::check::fail(__FILE__, __LINE__, check_os_.str());       \
        }                                                             \
    } while (0)

#define CHECK_EQ(a, b, context)                                                      \
    do {                                                                             \
        const auto& check_a_ = (a);                                                  \
        const auto& check_b_ = (b);                                                  \
        if (!(check_a_ == check_b_)) {                                               \
            std::ostringstream check_os_;                                            \
            check_os_ << #a << " == " << #b << ": " << check_a_ << " vs " << check_b_ \
                      << " [" << context << "]";                                     \
            ::check::fail(__FILE__, __LINE__, check_os_.str());                      \
        }                                                                            \
    } while (0)
