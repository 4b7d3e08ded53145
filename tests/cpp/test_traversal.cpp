// Layout flags, the cutting rule and split budget (followed deterministically through a
// sequential executor that never lets a piece move), walking order, absolute index positions,
// and the fault rules, on the sequential executor and on a real pool.
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/fault.h"
#include "core/parallel/traversal.h"
#include "check.h"
#include "watchdog.h"

using namespace rastrel::parallel;
using rastrel::BandView;
using rastrel::Fault;
using rastrel::OutputView;

namespace {

struct Piece {
    std::size_t row0, col0, rows, cols;
    bool operator==(const Piece&) const = default;
};

// Runs both halves of every join on the calling thread, first half first, as a pool would when
// nothing is stolen: the join handed in from outside runs its halves as migrated, nested ones
// not. Records each walked piece from the positions visited inside it.
class SequentialExecutor {
public:
    explicit SequentialExecutor(std::size_t n) : n_(n) {}
    std::size_t num_threads() const { return n_; }

    template <class A, class B>
    void join_context(A&& a, B&& b) {
        ++joins;
        const bool migrated = depth_++ == 0;
        std::exception_ptr fault_a, fault_b;
        run_half(a, migrated, fault_a);
        run_half(b, migrated, fault_b);
        --depth_;
        if (fault_a) std::rethrow_exception(fault_a);
        if (fault_b) std::rethrow_exception(fault_b);
    }

    void visit(std::size_t r, std::size_t c) {
        order.push_back({r, c});
        if (current_ == nullptr) return;
        if (current_->rows == 0) *current_ = {r, c, 1, 1};
        current_->rows = std::max(current_->rows, r - current_->row0 + 1);
        current_->cols = std::max(current_->cols, c - current_->col0 + 1);
    }

    std::vector<Piece> pieces;
    std::vector<Index2> order;
    int joins = 0;

private:
    template <class H>
    void run_half(H& half, bool migrated, std::exception_ptr& fault) {
        const int joins_before = joins;
        Piece piece{0, 0, 0, 0};
        Piece* const outer = current_;
        current_ = &piece;
        try {
            half(migrated);
        } catch (...) {
            fault = std::current_exception();
        }
        current_ = outer;
        if (joins == joins_before) pieces.push_back(piece);  // a leaf: walked, not cut
    }

    std::size_t n_;
    int depth_ = 0;
    Piece* current_ = nullptr;
};

std::vector<float> g_out(1 << 20);
std::vector<std::uint16_t> g_in(1 << 20);

OutputView out_c(std::size_t r, std::size_t c) { return {g_out.data(), r, c, std::ptrdiff_t(c), 1}; }
OutputView out_f(std::size_t r, std::size_t c) { return {g_out.data(), r, c, 1, std::ptrdiff_t(r)}; }
BandView in_c(std::size_t r, std::size_t c) { return {g_in.data(), r, c, std::ptrdiff_t(c), 1}; }
BandView in_f(std::size_t r, std::size_t c) { return {g_in.data(), r, c, 1, std::ptrdiff_t(r)}; }

// Follows the cutting of zip(view, band, band), locating each visit through the output view.
SequentialExecutor cut(std::size_t n, const OutputView& o, const BandView& a, const BandView& b) {
    SequentialExecutor exec(n);
    bridge_unindexed(exec, zip(o, a, b), [&](float* p, const std::uint16_t*, const std::uint16_t*) {
        const std::ptrdiff_t off = p - o.data;
        if (o.row_stride >= o.col_stride) exec.visit(off / o.row_stride, off % o.row_stride);
        else exec.visit(off % o.col_stride, off / o.col_stride);
    });
    return exec;
}

void test_layouts() {
    const unsigned all = kLayoutC | kLayoutF | kLayoutCLeaning | kLayoutFLeaning;
    struct Row {
        const char* what;
        OutputView v;
        unsigned flags;
        int tendency;
    } rows[] = {
        {"row-major", out_c(4, 5), kLayoutC | kLayoutCLeaning, 2},
        {"column-major", out_f(4, 5), kLayoutF | kLayoutFLeaning, -2},
        {"single row", out_c(1, 5), all, 0},
        {"single column", out_f(5, 1), all, 0},
        {"empty", {g_out.data(), 0, 5, 7, 3}, all, 0},
        {"rows of a wider array", {g_out.data(), 4, 5, 9, 1}, kLayoutCLeaning, 1},
        {"columns of a taller array", {g_out.data(), 4, 5, 1, 9}, kLayoutFLeaning, -1},
        {"every other element", {g_out.data(), 4, 5, 10, 2}, 0, 0},
        {"rows reversed", {g_out.data() + 15, 4, 5, -5, 1}, kLayoutCLeaning, 1},
    };
    for (const Row& r : rows) {
        const Layout l = layout_of(r.v);
        CHECK_EQ(l.flags, r.flags, r.what);
        CHECK_EQ(l.tendency, r.tendency, r.what);
    }
    // F output with two C inputs: no common flag, tendencies sum to +2, bands of rows.
    const auto mixed = zip(out_f(8, 8), in_c(8, 8), in_c(8, 8));
    CHECK(mixed.flags() == 0 && mixed.tendency() == 2 && mixed.split_axis() == Axis::kRows);
    CHECK(zip(out_f(8, 8), in_f(8, 8), in_c(8, 8)).split_axis() == Axis::kCols);
    CHECK(zip(Indices{0, 0, 8, 8}, out_c(8, 8)).flags() == 0);

    std::string text;
    try {
        zip(out_c(4, 5), in_c(4, 6));
    } catch (const Fault& f) {
        text = f.what();
    }
    CHECK_EQ(text, "assertion failed: part.equal_dim(dimension)", "shape mismatch");
}

void test_piece_counts_and_shapes() {
    // 4 threads, nothing stolen: 32 bands of 32 whole rows, in order.
    const SequentialExecutor four = cut(4, out_c(1024, 1024), in_c(1024, 1024), in_c(1024, 1024));
    CHECK_EQ(four.pieces.size(), 32u, "1024 x 1024 on 4 threads");
    for (std::size_t i = 0; i < four.pieces.size(); ++i) CHECK(four.pieces[i] == (Piece{32 * i, 0, 32, 1024}));

    // 2^(floor(log2 n) + 3) pieces for any thread count.
    for (std::size_t n : {1, 2, 3, 4, 5, 7, 8, 16}) {
        std::size_t expected = 8;
        for (std::size_t m = n; m > 1; m /= 2) expected *= 2;
        CHECK_EQ(cut(n, out_c(1024, 64), in_c(1024, 64), in_c(1024, 64)).pieces.size(), expected, "n=" << n);
    }

    struct Case {
        const char* what;
        SequentialExecutor exec;
        Piece second;
    } cases[] = {
        {"column-major: bands of columns", cut(1, out_f(64, 64), in_f(64, 64), in_f(64, 64)), {0, 8, 64, 8}},
        {"F output, C inputs: bands of 32 rows", cut(1, out_f(64, 64), in_c(64, 64), in_c(64, 64)), {32, 0, 32, 64}},
        {"single row: runs of columns", cut(1, out_c(1, 64), in_c(1, 64), in_c(1, 64)), {0, 8, 1, 8}},
        {"single column: runs of rows", cut(1, out_f(64, 1), in_f(64, 1), in_f(64, 1)), {8, 0, 8, 1}},
        {"3 rows: 1 then 2", cut(1, out_c(3, 1), in_c(3, 1), in_c(3, 1)), {1, 0, 1, 1}},
    };
    for (const Case& c : cases) {
        CHECK_MSG(c.exec.pieces.size() >= 2 && c.exec.pieces[1] == c.second, c.what);
    }

    const SequentialExecutor empty = cut(4, out_c(0, 64), in_c(0, 64), in_c(0, 64));
    CHECK(empty.order.empty() && empty.joins == 0);
    const SequentialExecutor one = cut(4, out_c(1, 1), in_c(1, 1), in_c(1, 1));
    CHECK(one.order.size() == 1 && one.joins == 0);
}

// Parts running across each other are cut into pieces of at least 32 lines along the cut, by the
// pool's joins and by the chunks of a shared loop alike; others as finely as the size allows.
void test_crossed_extent() {
    struct Case {
        const char* what;
        Zip<OutputView, BandView, BandView> z;
        bool crossed;
    } cases[] = {
        {"F bands, C output", zip(out_c(1024, 512), in_f(1024, 512), in_f(1024, 512)), true},
        {"C bands, F output", zip(out_f(1024, 512), in_c(1024, 512), in_c(1024, 512)), true},
        {"one transposed band", zip(out_c(512, 1024), in_f(512, 1024), in_c(512, 1024)), true},
        {"row-major", zip(out_c(1024, 512), in_c(1024, 512), in_c(1024, 512)), false},
        {"every other column",
         zip(OutputView{g_out.data(), 512, 256, 512, 2}, BandView{g_in.data(), 512, 256, 512, 2},
             BandView{g_in.data(), 512, 256, 512, 2}),
         false},
    };
    for (const Case& c : cases) {
        CHECK_EQ(c.z.min_extent(), c.crossed ? 32u : 1u, c.what);
        const auto along = [&](std::size_t rows, std::size_t cols) {
            return c.z.split_axis() == Axis::kRows ? rows : cols;
        };
        const unsigned depth = detail::chunk_depth(c.z, 1);
        std::size_t least = SIZE_MAX;
        for (std::size_t i = 0; i < (std::size_t{1} << depth); ++i) {
            const auto chunk = detail::chunk_of(c.z, depth, i);
            least = std::min(least, along(chunk.rows(), chunk.cols()));
        }
        CHECK_EQ(least, c.crossed ? 32u : along(c.z.rows(), c.z.cols()) >> depth, c.what << " chunks");
        std::size_t pieces = 0, thinnest = SIZE_MAX;
        SequentialExecutor exec(64);
        bridge_pieces(exec, c.z, [&](const auto& piece) {
            ++pieces;
            thinnest = std::min(thinnest, along(piece.rows(), piece.cols()));
        });
        CHECK_MSG(pieces > 1 && (c.crossed ? thinnest == 32 : thinnest < 32), c.what << " pieces " << thinnest);
    }
}

// Index grid positions are absolute, and the walk inside a piece follows the output's layout.
void test_index_grid_order() {
    for (const bool column_major : {false, true}) {
        // Long enough along the cut axis that pieces are bands several lines wide.
        const std::size_t R = column_major ? 40 : 240, C = column_major ? 240 : 40;
        const OutputView o = column_major ? out_f(R, C) : out_c(R, C);
        SequentialExecutor exec(4);
        bool pointers_match = true;
        bridge_unindexed(exec, zip(Indices{0, 0, R, C}, o), [&](Index2 at, float* p) {
            pointers_match &= p == o.data + std::ptrdiff_t(at.row) * o.row_stride + std::ptrdiff_t(at.col) * o.col_stride;
            exec.visit(at.row, at.col);
        });
        CHECK(pointers_match);
        CHECK_EQ(exec.order.size(), R * C, "column_major=" << column_major);
        bool ordered = true;
        for (std::size_t i = 0; i < exec.order.size(); ++i) {
            const Index2 want = column_major ? Index2{i % R, i / R} : Index2{i / C, i % C};
            ordered &= exec.order[i].row == want.row && exec.order[i].col == want.col;
        }
        CHECK_MSG(ordered && exec.pieces.size() > 1, "pieces walked in " << (column_major ? "column" : "row") << " order");
    }
}

// Faults in three pieces: the earliest piece's fault arrives, every other piece is finished, and
// the faulting pieces stop where they faulted. Where the pieces lie depends on how often work was
// stolen (a stolen piece is cut further, along either axis), so the checks assume only that a
// piece is a rectangle walked in row-major order and spans less than a quarter of the rows:
// everything before the first fault is visited, each faulting element is not, nothing twice, and
// whatever was left out follows a fault closely enough to have shared its piece.
void test_fault_rules() {
    Watchdog watchdog("fault rules", 120);
    const std::size_t R = 1024, C = 64;
    const std::size_t faults[] = {40, 100, 900};
    auto run = [&](auto&& for_each) {
        std::vector<std::atomic<int>> visits(R * C);
        std::string text = "(no fault)";
        try {
            for_each(zip(Indices{0, 0, R, C}, out_c(R, C)), [&](Index2 at, float*) {
                if (at.col == 10 && (at.row == 100 || at.row == 40 || at.row == 900)) throw Fault("row " + std::to_string(at.row));
                visits[at.row * C + at.col].fetch_add(1);
            });
        } catch (const Fault& f) {
            text = f.what();
        }
        CHECK_EQ(text, "row 40", "earliest piece's fault");
        bool once = true, before_first = true, stopped = true, others_done = true;
        for (std::size_t r = 0; r < R; ++r) {
            for (std::size_t c = 0; c < C; ++c) {
                const int n = visits[r * C + c];
                once &= n <= 1;
                if (r < 40 || (r == 40 && c < 10)) before_first &= n == 1;
                if (c == 10 && (r == 40 || r == 100 || r == 900)) stopped &= n == 0;
                if (n == 1 || (c == 10 && (r == 40 || r == 100 || r == 900))) continue;
                bool near_a_fault = false;
                for (const std::size_t f : faults) near_a_fault |= (r > f || (r == f && c > 10)) && r - f < R / 4;
                others_done &= near_a_fault;
            }
        }
        CHECK(once && before_first && stopped && others_done);
    };
    run([](const auto& z, const auto& f) {
        SequentialExecutor exec(4);
        bridge_unindexed(exec, z, f);
    });
    const auto pool = WorkerPool::create(4);
    for (int i = 0; i < 20; ++i) run([&](const auto& z, const auto& f) { par_for_each(*pool, z, f); });

    // On a real pool: a single element stays on the calling thread, and callers on several
    // plain threads at once each get every element of their own loop.
    const auto caller = std::this_thread::get_id();
    par_for_each(*pool, zip(out_c(1, 1), in_c(1, 1)), [&](float*, const std::uint16_t*) {
        CHECK(std::this_thread::get_id() == caller && WorkerThread::current() == nullptr);
    });
    std::vector<std::thread> callers;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            std::vector<int> mine(300 * 200);
            const rastrel::View2D<int> v{mine.data(), 300, 200, 1, 300};
            for (int round = 1; round <= 20; ++round) {
                par_for_each(*pool, zip(Indices{0, 0, 300, 200}, v), [&](Index2 at, int* p) { *p += int(at.row + at.col) + t; });
                for (std::size_t c = 0; c < 200; ++c)
                    for (std::size_t r = 0; r < 300; ++r) wrong += mine[c * 300 + r] != round * (int(r + c) + t);
            }
        });
    }
    for (auto& c : callers) c.join();
    CHECK_EQ(wrong.load(), 0, "concurrent callers");
    pool->terminate();
    pool->wait_until_stopped();
}

}  // namespace

int main() {
    test_layouts();
    test_piece_counts_and_shapes();
    test_crossed_extent();
    test_index_grid_order();
    test_fault_rules();
    return check::exit_code();
}
