#pragma once
// par_for_each: every position of a Zip visited once, on the pool. The Zip is halved
// recursively and the halves forked with join_context; a piece is walked sequentially once its
// split budget is spent. The budget halves at each cut made on the thread that owns the piece
// and is restored to the pool's size when a piece moves to another thread, so pieces stay large
// (a few per thread) unless threads run dry and steal.
//
// Header-only on purpose: the per-element function must inline into the walks, where the flat
// walk's single counted loop is what the compiler vectorises.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>

#include "core/parallel/pool.h"
#include "core/parallel/shared_loop.h"
#include "core/parallel/zip.h"
#include "core/views.h"

namespace rastrel::parallel {

namespace detail {

template <class T>
struct ViewLine {
    T* start;
    std::ptrdiff_t step;
    T* operator[](std::size_t i) const noexcept { return start + static_cast<std::ptrdiff_t>(i) * step; }
};

template <bool kColsOuter>
struct IndexLine {
    Index2 start;
    Index2 operator[](std::size_t i) const noexcept {
        return kColsOuter ? Index2{start.row + i, start.col} : Index2{start.row, start.col + i};
    }
};

template <bool kColsOuter, class T>
ViewLine<T> line_of(const View2D<T>& v, std::size_t o) noexcept {
    const auto offset = static_cast<std::ptrdiff_t>(o);
    if constexpr (kColsOuter) return {v.data + offset * v.col_stride, v.row_stride};
    return {v.data + offset * v.row_stride, v.col_stride};
}

template <bool kColsOuter>
IndexLine<kColsOuter> line_of(const Indices& g, std::size_t o) noexcept {
    if constexpr (kColsOuter) return {{g.row0, g.col0 + o}};
    return {{g.row0 + o, g.col0}};
}

// All views are contiguous in the same order: position i of the piece is element i of each. A
// function with a run hook, f.run(n, pointers...), takes the whole piece in one call (a loop
// compiled for the widest vectors the processor has); otherwise f sees one position at a time.
template <class ZipT, class F, std::size_t... I>
void walk_flat(const ZipT& piece, const F& f, std::index_sequence<I...>) {
    const std::size_t n = piece.size();
    if constexpr (requires { f.run(n, std::get<I>(piece.parts()).data...); }) {
        f.run(n, std::get<I>(piece.parts()).data...);
    } else {
        const std::tuple ptrs{std::get<I>(piece.parts()).data...};
        for (std::size_t i = 0; i < n; ++i) f((std::get<I>(ptrs) + i)...);
    }
}

// A function with a piece hook, f.run_piece(views...), walks a whole piece of views itself, in
// the order and the tiles that the strides call for (a transposed band read element by element
// down its columns would touch a new cache line at every step).
template <class ZipT, class F, std::size_t... I>
bool walk_whole(const ZipT& piece, const F& f, std::index_sequence<I...>) {
    if constexpr (requires { f.run_piece(std::get<I>(piece.parts())...); }) {
        f.run_piece(std::get<I>(piece.parts())...);
        return true;
    }
    return false;
}

template <bool kColsOuter, class ZipT, class F, std::size_t... I>
void walk_nested(const ZipT& piece, const F& f, std::index_sequence<I...>) {
    const std::size_t outer = kColsOuter ? piece.cols() : piece.rows();
    const std::size_t inner = kColsOuter ? piece.rows() : piece.cols();
    for (std::size_t o = 0; o < outer; ++o) {
        const std::tuple lines{line_of<kColsOuter>(std::get<I>(piece.parts()), o)...};
        // Lines of unit step (rows of a window into a wider raster) are runs like a flat piece.
        if constexpr (requires { f.run(inner, std::get<I>(lines).start...); }) {
            if (((std::get<I>(lines).step == 1) && ...)) {
                f.run(inner, std::get<I>(lines).start...);
                continue;
            }
        }
        for (std::size_t i = 0; i < inner; ++i) f(std::get<I>(lines)[i]...);
    }
}

}  // namespace detail

// Visits every position of `piece` on the calling thread: one flat loop when all views are
// contiguous in one order, else the function's own walk of the piece where it has one, else
// rows outside (columns outside when the tendency is below 0). A fault of f ends the walk at
// that position and travels on.
template <class... Parts, class F>
void walk(const Zip<Parts...>& piece, const F& f) {
    constexpr auto seq = std::index_sequence_for<Parts...>{};
    if constexpr (Zip<Parts...>::kAllViews) {
        if ((piece.flags() & (kLayoutC | kLayoutF)) != 0) return detail::walk_flat(piece, f, seq);
        if (detail::walk_whole(piece, f, seq)) return;
    }
    if (piece.tendency() < 0) return detail::walk_nested<true>(piece, f, seq);
    detail::walk_nested<false>(piece, f, seq);
}

// What the traversal needs from a pool: its size and a join. WorkerPool serves through
// PoolExecutor; tests substitute a sequential executor to follow the cutting deterministically.
// With an interruption, the thread that hands the loop in waits through it (see Interruption).
class PoolExecutor {
public:
    explicit PoolExecutor(WorkerPool& pool, Interruption* interruption = nullptr) noexcept
        : pool_(pool), interruption_(interruption) {}
    std::size_t num_threads() const noexcept { return pool_.num_threads(); }
    template <class A, class B>
    void join_context(A&& a, B&& b) {
        pool_.join_context(std::forward<A>(a), std::forward<B>(b), interruption_);
    }

private:
    WorkerPool& pool_;
    Interruption* interruption_;
};

namespace detail {

template <class Exec, class ZipT, class Visit>
void bridge_step(Exec& exec, const ZipT& piece, std::size_t budget, bool migrated, const Visit& visit,
                 std::size_t min_piece) {
    std::size_t next;
    if (migrated) {
        next = std::max(exec.num_threads(), budget / 2);
    } else if (budget == 0) {
        return visit(piece);
    } else {
        next = budget / 2;
    }
    if (piece.size() / 2 < min_piece || !piece.can_halve(piece.rows(), piece.cols())) return visit(piece);
    const auto halves = piece.split();
    exec.join_context([&](bool m) { bridge_step(exec, halves.first, next, m, visit, min_piece); },
                      [&](bool m) { bridge_step(exec, halves.second, next, m, visit, min_piece); });
}

}  // namespace detail

// Cuts `z` and hands each final piece to visit(piece) through `exec`; no piece is cut into
// halves of fewer than `min_piece` elements, nor of fewer lines than z.min_extent() along the
// cut. A Zip of at most one element (or too small to cut) is visited whole on the calling
// thread. Faults: see par_for_each.
template <class Exec, class ZipT, class Visit>
void bridge_pieces(Exec& exec, const ZipT& z, const Visit& visit, std::size_t min_piece = 1) {
    const std::size_t n = exec.num_threads();
    min_piece = std::max<std::size_t>(min_piece, 1);
    if (z.size() / 2 < min_piece || !z.can_halve(z.rows(), z.cols())) return visit(z);
    const std::size_t budget = n / 2;
    const auto halves = z.split();
    exec.join_context([&](bool m) { detail::bridge_step(exec, halves.first, budget, m, visit, min_piece); },
                      [&](bool m) { detail::bridge_step(exec, halves.second, budget, m, visit, min_piece); });
}

// bridge_pieces with every piece walked element by element.
template <class Exec, class ZipT, class F>
void bridge_unindexed(Exec& exec, const ZipT& z, const F& f) {
    bridge_pieces(exec, z, [&f](const ZipT& piece) { walk(piece, f); });
}

// Calls f once per position of `z`, on `pool`; returns when all are done. For a View2D<T> part f
// receives a T* to that part's element at the position, for Indices an Index2 with the absolute
// position. f must be safe to call from several threads at once. A fault (any exception) of f
// ends its piece; every other piece is still walked, and then the fault of the earliest piece in
// cutting order is raised on the calling thread.
template <class... Parts, class F>
void par_for_each(WorkerPool& pool, const Zip<Parts...>& z, const F& f) {
    PoolExecutor exec(pool);
    bridge_unindexed(exec, z, f);
}

// As above on the calling worker's pool, or the process-wide one from any other thread. Faults
// before visiting anything when the process-wide pool is missing, even for an empty Zip.
template <class... Parts, class F>
void par_for_each(const Zip<Parts...>& z, const F& f) {
    par_for_each(current_pool(), z, f);
}

// As above for a caller that may give the loop up part-way: once `interruption` says stop, the
// pieces that have not started are skipped, and the call returns when the running ones are done.
template <class... Parts, class F>
void par_for_each(const Zip<Parts...>& z, const F& f, Interruption& interruption) {
    PoolExecutor exec(current_pool(), &interruption);
    bridge_pieces(exec, z, [&f, &interruption](const Zip<Parts...>& piece) {
        if (!interruption.stop_requested()) walk(piece, f);
    });
}

// ---- loops sized by their work ----

// What one element of a loop costs, in units of about one pixel of the normalized difference
// computed in cache on one processor (a fraction of a nanosecond here).
struct LoopCost {
    std::size_t per_element = 1;
};

// Thresholds of loops sized by their work, in LoopCost units, set from side-by-side timings on
// 2-processor virtual machines (an awake worker notices a posted loop within about a
// microsecond; a sleeping one takes tens of microseconds to wake on another processor).
struct LoopSizes {
    // Below this the whole loop runs on the calling thread: a chunk handed to a worker, even an
    // awake one, would come back later than the caller finishes the loop alone. Between 16k and
    // 64k units (3 to 12 microseconds) sharing gained little in back-to-back calls and lost 5 to
    // 15% when each call followed other work on a loaded machine; from 64k on (256 x 256 of the
    // normalized difference) it gained in both, 0.62 and 0.75 of the time on one processor.
    std::size_t inline_below = std::size_t{64} << 10;
    // No chunk smaller than this: each chunk costs a claim, a cut and a call of its own on
    // whichever thread walks it. Chunks of 16k units (four for a 256 x 256 normalized
    // difference, eight for EVI) beat 4k ones back to back at 256 x 256 to 1024 x 1024 (the
    // fastest fifth of calls 0.61-0.64 -> 0.58-0.60 of one processor's time for the normalized
    // difference at 256 x 256, 0.68-0.75 -> 0.63-0.74 for EVI); halves (one chunk per thread)
    // were no faster, and a caller then waits out the whole of a late worker's half.
    std::size_t grain = std::size_t{16} << 10;
    // From this size on the caller wakes every sleeping worker it can use. Below it, it wakes
    // one if the previous loop came less than `run_gap` before: that one arrives (tens of
    // microseconds later) after this loop has ended, but then lingers awake for the next ones, as
    // in a run of calls over the tiles of a raster. A lone call does not wake anyone: the wake-up
    // itself cost the caller 6 to 20 microseconds on a loaded machine, as much as a 256 x 256
    // loop. Nor does a call a millisecond after the last (each after other work in a pipeline):
    // with a gap of 4 ms, such calls woke a worker that came too late, or was preempted while
    // it held a chunk, and took its share's lines to the other processor, so that a 256 x 256
    // call took 0.68-0.74 of a process pinned to one processor instead of 0.97 (and 0.65 instead
    // of 0.92-0.97 for EVI); back to back, calls come microseconds apart and wake one as before.
    std::size_t wake_from = std::size_t{256} << 10;
    std::chrono::microseconds run_gap{300};
    // A loop that runs alone this close behind the previous one is taken for a pipeline's (a
    // call after each millisecond or so of other work): it wakes the worker that naps between
    // such loops (Sleep::kNap) if that one has slept past its naps' window, once a pipeline.
    std::chrono::microseconds pipeline_gap = Sleep::kLinger;
    // A thread walks adjacent chunks of its claims as one piece up to this much work (about a
    // millisecond), or up to an eighth of the loop if that is more, so that an interruption still
    // gets in between pieces; below that, every piece costs its cuts and its own call.
    std::size_t block = std::size_t{1} << 20;
};

namespace detail {

// Chunk i of a loop cut in 2^depth: the piece reached by halving `depth` times, taking the
// second half where bit (depth - 1 - level) of i is set, so chunks are numbered in cutting order.
// The cuts are followed on the shape alone and the piece is taken in one step at the end
// (splitting every part at every level cost as much as walking small chunks).
template <class ZipT>
ZipT chunk_of(const ZipT& z, unsigned depth, std::size_t i) {
    std::size_t row0 = 0, col0 = 0, rows = z.rows(), cols = z.cols();
    for (unsigned level = depth; level-- > 0;) {
        const bool second = ((i >> level) & 1) != 0;
        if (z.split_axis(rows, cols) == Axis::kRows) {
            const std::size_t k = rows / 2;
            row0 += second ? k : 0;
            rows = second ? rows - k : k;
        } else {
            const std::size_t k = cols / 2;
            col0 += second ? k : 0;
            cols = second ? cols - k : k;
        }
    }
    return z.window(row0, col0, rows, cols);
}

template <class ZipT, class Visit>
struct LoopRecord : SharedLoop {
    LoopRecord(const ZipT& z_, const Visit& visit_, unsigned depth_, int caller_cpu, Interruption* interruption,
               std::size_t shares, unsigned block_level) noexcept
        : SharedLoop(&walk, depth_, caller_cpu, interruption, shares, block_level),
          z(z_),
          visit(visit_),
          depth(depth_) {}

    static void walk(const SharedLoop& loop, std::size_t first, unsigned level) {
        const auto& self = static_cast<const LoopRecord&>(loop);
        self.visit(chunk_of(self.z, self.depth - level, first >> level));
    }

    const ZipT z;  // a copy, in the record's own lines
    const Visit& visit;
    unsigned depth;
};

// The largest level (at most depth) whose blocks of 2^level chunks keep within `block` work, or
// within an eighth of the loop if that is more.
inline unsigned block_level(std::size_t work, unsigned depth, std::size_t block) {
    unsigned level = depth > 3 ? depth - 3 : 0;
    while (level < depth && (work >> (depth - level - 1)) <= block) ++level;
    return level;
}

// At most 2^kMaxChunkDepth chunks: claims take many chunks at once, so small last chunks (for
// an even end) cost few claims.
inline constexpr unsigned kMaxChunkDepth = 8;

// How many times to halve `z` so that every chunk keeps at least `min_piece` elements and
// z.min_extent() lines along each cut. The first half of a cut is never the larger, so chunk 0
// is the smallest.
template <class ZipT>
unsigned chunk_depth(const ZipT& z, std::size_t min_piece) {
    unsigned depth = 0;
    std::size_t rows = z.rows(), cols = z.cols();
    while (depth < kMaxChunkDepth && z.can_halve(rows, cols)) {
        const bool along_rows = z.split_axis(rows, cols) == Axis::kRows;
        const std::size_t r = along_rows ? rows / 2 : rows, c = along_rows ? cols : cols / 2;
        if (r * c < min_piece) break;
        rows = r;
        cols = c;
        ++depth;
    }
    return depth;
}

}  // namespace detail

// Whether par_for_each_piece runs a loop of `size` elements whole on the calling thread, without
// cutting it or looking at the pool's workers: a caller that knows this may visit its whole
// extent itself and spare the combination of its parts.
// The work of a loop of `size` elements, saturated.
inline std::size_t loop_work(std::size_t size, LoopCost cost) noexcept {
    const std::size_t per = std::max<std::size_t>(cost.per_element, 1);
    return size > SIZE_MAX / per ? SIZE_MAX : size * per;
}

inline bool runs_whole_here(const WorkerPool& pool, std::size_t size, LoopCost cost, const LoopSizes& sizes = {}) {
    return loop_work(size, cost) < sizes.inline_below || size <= 1 || pool.num_threads() == 1;
}

// Visits every final piece of `z` like par_for_each_piece, but sized by the loop's work: a small
// loop runs whole on the calling thread (the pool is not woken); a larger one is cut into chunks
// of at least `sizes.grain` work that the caller walks itself while awake workers (or those it
// wakes: every sleeping one for a long loop, one for a loop close behind another) take the
// others; when every worker sleeps and none is to be woken, it too runs whole on the calling
// thread. Falls back to the pool's jobs, with pieces of at least
// the grain, when called from a worker or when the pool's board is full. Faults as par_for_each:
// a faulting piece stops, the others finish, the earliest piece's fault is raised. With an
// interruption, the caller asks it now and then between its chunks; once it says stop, chunks
// not yet started are skipped.
template <class... Parts, class Visit>
void par_for_each_piece(WorkerPool& pool, const Zip<Parts...>& z, const Visit& visit, LoopCost cost,
                        const LoopSizes& sizes = {}, Interruption* interruption = nullptr) {
    if (runs_whole_here(pool, z.size(), cost, sizes)) return visit(z);
    const std::size_t per = std::max<std::size_t>(cost.per_element, 1);
    const std::size_t work = loop_work(z.size(), cost);
    const std::size_t min_piece = std::max<std::size_t>((sizes.grain + per - 1) / per, 1);
    if (WorkerThread::current() == nullptr) {
        const unsigned depth = detail::chunk_depth(z, min_piece);
        const auto gap_before = [&pool] { return pool.board().restamp(std::chrono::steady_clock::now()); };
        // With every worker asleep and none to be woken, nobody can take a chunk: posting the
        // loop, claiming and withdrawing it would only cost the caller (cache lines last written
        // by the workers: 0.3-1.1 us of a 256 x 256 call that no worker joined). With a worker
        // awake, the post comes first: that worker is looking at the board now, and its share
        // ends the loop.
        const bool asleep = pool.all_asleep();
        std::chrono::nanoseconds gap{};
        const int cpu = current_cpu();
        if (asleep) {
            gap = gap_before();
            // Unposted, but stamped with its processor: a worker at the end of a nap (Sleep::kNap)
            // takes it for a pipeline's loop, and the one beside this caller stays asleep.
            if (work < sizes.wake_from && gap >= sizes.run_gap) {
                pool.board().note_caller(cpu);
                if (gap < sizes.pipeline_gap) pool.wake_napper(cpu);
                return visit(z);
            }
        }
        detail::LoopRecord<Zip<Parts...>, Visit> record(z, visit, depth, cpu, interruption, pool.num_threads(),
                                                        detail::block_level(work, depth, sizes.block));
        const int slot = pool.board().post(record);
        if (slot >= 0) {
            if (!asleep) gap = gap_before();
            const bool in_a_run = gap < sizes.run_gap;
            pool.announce_loop(cpu, work >= sizes.wake_from ? record.chunks() - 1 : in_a_run ? 1 : 0);
            record.help_as_caller();
            pool.board().withdraw(slot, record);
            record.rethrow_fault();
            return;
        }
    }
    PoolExecutor exec(pool, interruption);
    bridge_pieces(exec, z, visit, min_piece);
}

// par_for_each sized by the loop's work, on the calling worker's pool or the process-wide one.
// Faults before visiting anything when the process-wide pool is missing, even for an empty Zip.
template <class... Parts, class F>
void par_for_each(const Zip<Parts...>& z, const F& f, LoopCost cost, Interruption& interruption) {
    const auto visit = [&f, &interruption](const Zip<Parts...>& piece) {
        if (!interruption.stop_requested()) walk(piece, f);
    };
    par_for_each_piece(current_pool(), z, visit, cost, {}, &interruption);
}

}  // namespace rastrel::parallel
