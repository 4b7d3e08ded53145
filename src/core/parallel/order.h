#pragma once
// Where this pool relies on a store followed by a load of another variable staying in that
// order (two threads each store their own flag, then load the other's).
#include <atomic>

namespace rastrel::parallel {

// Between a sequentially consistent store and a sequentially consistent load of another
// variable. The language already orders the two, and so does every processor this builds for;
// the fence is for emulators that translate an aarch64 release store and acquire load one by
// one: on an x86 host the store then waits in the store buffer while the load goes ahead (the
// deque lost or doubled a job about once in forty runs of its test that way). A full barrier is
// what they translate faithfully. ThreadSanitizer does not model fences and needs none: the
// accesses themselves carry the order it checks.
inline void order_store_before_load() noexcept {
#if !defined(__SANITIZE_THREAD__)
    std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
}

}  // namespace rastrel::parallel
