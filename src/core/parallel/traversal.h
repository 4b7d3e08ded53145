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
#include <cstddef>
#include <tuple>
#include <utility>

#include "core/parallel/pool.h"
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
// contiguous in one order, else rows outside (columns outside when the tendency is below 0).
// A fault of f ends the walk at that position and travels on.
template <class... Parts, class F>
void walk(const Zip<Parts...>& piece, const F& f) {
    constexpr auto seq = std::index_sequence_for<Parts...>{};
    if constexpr (Zip<Parts...>::kAllViews) {
        if ((piece.flags() & (kLayoutC | kLayoutF)) != 0) return detail::walk_flat(piece, f, seq);
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
void bridge_step(Exec& exec, const ZipT& piece, std::size_t budget, bool migrated, const Visit& visit) {
    std::size_t next;
    if (migrated) {
        next = std::max(exec.num_threads(), budget / 2);
    } else if (budget == 0) {
        return visit(piece);
    } else {
        next = budget / 2;
    }
    if (piece.size() <= 1) return visit(piece);
    const auto halves = piece.split();
    exec.join_context([&](bool m) { bridge_step(exec, halves.first, next, m, visit); },
                      [&](bool m) { bridge_step(exec, halves.second, next, m, visit); });
}

}  // namespace detail

// Cuts `z` and hands each final piece to visit(piece) through `exec`. A Zip of at most one
// element is visited whole on the calling thread. Faults: see par_for_each.
template <class Exec, class ZipT, class Visit>
void bridge_pieces(Exec& exec, const ZipT& z, const Visit& visit) {
    const std::size_t n = exec.num_threads();
    if (z.size() <= 1) return visit(z);
    const std::size_t budget = n / 2;
    const auto halves = z.split();
    exec.join_context([&](bool m) { detail::bridge_step(exec, halves.first, budget, m, visit); },
                      [&](bool m) { detail::bridge_step(exec, halves.second, budget, m, visit); });
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

}  // namespace rastrel::parallel
