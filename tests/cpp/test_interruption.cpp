// A caller that gives a loop up part-way. It is asked only while it waits, only on its own
// thread, and may itself run loops when asked; once it says stop, the pieces not yet started are
// skipped, the running ones finish, and the call returns with nothing still running. A loop that
// ends within the first period never asks.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "check.h"
#include "core/parallel/traversal.h"
#include "watchdog.h"

using namespace rastrel;
using namespace rastrel::parallel;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kSide = 64;

class Caller final : public Interruption {
public:
    // Says stop at its `stop_at`-th question (never if 0); with `nested`, runs a loop of its own
    // each time it is asked.
    Caller(std::chrono::milliseconds period, int stop_at, bool nested)
        : Interruption(period), stop_at_(stop_at), nested_(nested) {}

    int questions = 0;
    bool asked_elsewhere = false;
    bool nested_loops_right = true;

private:
    bool should_stop() noexcept override {
        asked_elsewhere |= std::this_thread::get_id() != owner_;
        ++questions;
        if (nested_) {
            std::vector<float> out(kSide * kSide, 0.0f);
            par_for_each(zip(Indices{0, 0, kSide, kSide}, OutputView{out.data(), kSide, kSide, kSide, 1}),
                         [](Index2 at, float* p) { *p = static_cast<float>(at.row + at.col); });
            for (std::size_t i = 0; i < out.size(); ++i)
                nested_loops_right &= out[i] == static_cast<float>(i / kSide + i % kSide);
        }
        return questions == stop_at_;
    }

    std::thread::id owner_ = std::this_thread::get_id();
    int stop_at_;
    bool nested_;
};

struct Case {
    const char* name;
    std::chrono::microseconds per_position;
    std::chrono::milliseconds period;
    int stop_at;
    bool nested;
};

}  // namespace

int main() {
    Watchdog watchdog("interrupted loops", 120);
    set_up_global_pool();
    const Case cases[] = {
        {"short loop, never asked", 0us, 10000ms, 1, false},
        {"long loop, stopped at the third question", 300us, 1ms, 3, false},
        {"long loop, never stopped", 100us, 1ms, 0, false},
        {"long loop, a loop of its own at each question", 100us, 1ms, 0, true},
    };
    for (const Case& c : cases) {
        std::vector<std::atomic<int>> visits(kSide * kSide);
        std::atomic<int> running{0};
        Caller caller(c.period, c.stop_at, c.nested);
        par_for_each(
            zip(Indices{0, 0, kSide, kSide}, OutputView{nullptr, kSide, kSide, 0, 0}),
            [&](Index2 at, float*) {
                running.fetch_add(1);
                if (c.per_position.count() != 0) std::this_thread::sleep_for(c.per_position);
                visits[at.row * kSide + at.col].fetch_add(1);
                running.fetch_sub(1);
            },
            caller);
        CHECK_EQ(running.load(), 0, c.name << ": nothing runs after the call");
        std::size_t visited = 0;
        bool twice = false;
        for (const auto& v : visits) {
            visited += v.load() != 0;
            twice |= v.load() > 1;
        }
        CHECK_MSG(!twice, c.name << ": a position visited twice");
        CHECK_MSG(!caller.asked_elsewhere, c.name << ": asked on another thread");
        CHECK_MSG(caller.nested_loops_right, c.name << ": a loop run while asked");
        const bool stops = c.stop_at != 0 && caller.questions >= c.stop_at;
        CHECK_EQ(caller.stop_requested(), stops, c.name);
        if (stops) {
            CHECK_EQ(caller.questions, c.stop_at, c.name << ": asked again after it said stop");
            CHECK_MSG(visited < visits.size(), c.name << ": " << visited << " positions visited");
        } else {
            CHECK_EQ(visited, visits.size(), c.name);
        }
        if (c.per_position.count() == 0) CHECK_EQ(caller.questions, 0, c.name);
        if (c.per_position.count() != 0) CHECK_MSG(caller.questions > 0, c.name << ": never asked");
    }
    return check::exit_code();
}
