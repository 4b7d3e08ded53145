// The child of a fork has none of its parent's workers. It must get a pool of its own at its
// first loop (sized by the same rules), also when the fork caught workers in the middle of
// another thread's loop, and the parent must carry on unaffected.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "check.h"
#include "core/parallel/cpus.h"
#include "core/parallel/traversal.h"
#include "watchdog.h"

using namespace rastrel;
using namespace rastrel::parallel;

namespace {

// Fills a 513 x 1027 grid with a function of each position on the pool; true if every value
// came out right.
bool loop_gives_right_values() {
    const std::size_t R = 513, C = 1027;
    std::vector<float> out(R * C, -1.0f);
    par_for_each(zip(Indices{0, 0, R, C}, OutputView{out.data(), R, C, std::ptrdiff_t(C), 1}),
                 [](Index2 at, float* p) { *p = static_cast<float>(at.row * 3 + at.col); });
    for (std::size_t r = 0; r < R; ++r)
        for (std::size_t c = 0; c < C; ++c)
            if (out[r * C + c] != static_cast<float>(r * 3 + c)) return false;
    return true;
}

// What a child reports through its exit status: 0 all well, 1 a wrong result, 2 a wrong size.
int child_checks(int depth) {
    if (!loop_gives_right_values()) return 1;
    if (current_num_threads() != available_parallelism().count) return 2;
    if (depth > 0) {
        // The child's own pool must survive a fork of its own.
        const pid_t pid = fork();
        if (pid == 0) _exit(child_checks(depth - 1));
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid) return 3;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 4;
    }
    return 0;
}

// Forks a child that runs child_checks; its exit status, or -1 if it died otherwise. A child
// that hangs is left to the watchdog. Unused where ThreadSanitizer skips the test.
[[maybe_unused]] int fork_and_check(int depth) {
    const pid_t pid = fork();
    if (pid == 0) _exit(child_checks(depth));
    if (pid < 0) return -2;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -3;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main() {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer ends a child that starts threads after a multi-threaded fork.
    return 0;
#else
    Watchdog watchdog("loops in the child of a fork", 120);
    set_up_global_pool();
    CHECK(loop_gives_right_values());
    CHECK_EQ(fork_and_check(1), 0, "fork of an idle pool, and a fork of the child");

    // Every worker busy inside another thread's loop when the fork happens.
    std::atomic<bool> release{false};
    std::atomic<std::size_t> entered{0};
    std::thread caller([&] {
        par_for_each(zip(Indices{0, 0, 64, 64}, OutputView{nullptr, 64, 64, 0, 0}), [&](Index2, float*) {
            entered.fetch_add(1);
            while (!release.load()) std::this_thread::yield();
        });
    });
    while (entered.load() < current_num_threads()) std::this_thread::yield();
    CHECK_EQ(fork_and_check(0), 0, "fork while the workers run another thread's loop");
    release.store(true);
    caller.join();
    CHECK_EQ(entered.load(), std::size_t{64 * 64}, "the parent's loop finished");
    CHECK(loop_gives_right_values());
    return check::exit_code();
#endif
}
