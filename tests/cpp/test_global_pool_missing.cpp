// A worker thread that cannot start at set-up: set-up returns quietly, the slot is decided but
// empty, and every loop faults with the fixed text before visiting anything, however small.
#include <pthread.h>

#include <cerrno>
#include <string>

#include "core/fault.h"
#include "core/parallel/traversal.h"
#include "check.h"

using namespace rastrel;
using namespace rastrel::parallel;

namespace {

int g_starts = 0;
int start_fails(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    ++g_starts;
    return EAGAIN;
}

template <class Body>
std::string fault_of(Body body) {
    try {
        body();
    } catch (const Fault& f) {
        return f.what();
    }
    return "(no fault)";
}

}  // namespace

int main() {
    const std::string kMissing =
        "The global thread pool has not been initialized.: ThreadPoolBuildError { kind: GlobalPoolAlreadyInitialized }";
    detail::thread_start = &start_fails;
    set_up_global_pool();
    detail::thread_start = &pthread_create;
    set_up_global_pool();  // already decided: changes nothing
    CHECK_EQ(g_starts, 1, "set-up tried once");

    int visited = 0;
    float out = 0;
    const OutputView one{&out, 1, 1, 1, 1};
    CHECK_EQ(fault_of([] { current_num_threads(); }), kMissing, "current_num_threads");
    CHECK_EQ(fault_of([&] { par_for_each(zip(one, one), [&](float*, float*) { ++visited; }); }), kMissing, "1x1");
    CHECK_EQ(fault_of([&] { par_for_each(zip(Indices{}, OutputView{nullptr, 0, 0, 0, 0}), [&](Index2, float*) { ++visited; }); }),
             kMissing, "empty");
    CHECK_EQ(visited, 0, "nothing visited");
    return check::exit_code();
}
