#pragma once
// The call frame shared by every band index: shape check, borrows, views, the lock-released
// parallel loop, and release in reverse order.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "core/kernels/runs.h"
#include "core/parallel/traversal.h"
#include "core/views.h"
#include "python/borrow.h"
#include "python/gil.h"
#include "python/numpy_api.h"
#include "python/shapes.h"
#include "python/signals.h"

namespace rastrel::kernels {

namespace detail {

// The per-pixel function as the traversal sees it: whole runs of adjacent pixels, or whole
// pieces of any strides, through the copy compiled for this processor's widest vectors.
template <class Pixel>
struct PixelLoop {
    const Pixel& pixel;
    Run<Pixel> run_fn;
    BlockRun<Pixel> block_fn;
    Stores stores;

    template <class... In>
    void operator()(float* o, In... in) const {
        store_pixel(o, pixel(load_sample(in)...));
    }

    template <class... In>
    void run(std::size_t n, float* o, In... in) const noexcept {
        const std::uint16_t* const bands[] = {in...};
        run_fn(pixel, o, bands, n, stores);
    }

    // A piece that is not contiguous in one order: walked in the order (and tiles) its strides
    // call for, every line through the same vector loop.
    template <class... In>
    void run_piece(const OutputView& o, const In&... in) const noexcept {
        const BandView bands[] = {in...};
        block_fn(pixel, o, bands, stores);
    }
};

// A pixel's cost relative to the normalized difference's, on one processor in cache. EVI
// counts as one too: at 256 x 256 it takes 1.0-1.1 times the normalized difference with the
// divider in every vector and 1.5 times without (AVX-512), but counted twice it was cut into
// chunks of 1.5 us whose end came later than that of chunks of 3 us (two threads, calls a worker
// joined: 0.61-0.65 of one processor's time against 0.60-0.62, either way).
template <class Pixel>
constexpr parallel::LoopCost cost_of() {
    return {1};
}

template <class Pixel, std::size_t... I>
void run_loop(const OutputView& out, const std::array<BandView, sizeof...(I)>& bands, const Pixel& pixel, Stores stores,
              SignalWatch& watch, std::index_sequence<I...>) {
    const auto zipped = parallel::zip(out, bands[I]...);
    parallel::par_for_each(zipped, PixelLoop<Pixel>{pixel, runs().of<Pixel>(), runs().block_of<Pixel>(), stores},
                           cost_of<Pixel>(), watch);
}

}  // namespace detail

// What the output held before the call. A new array's pages are zeroed as the loop first touches
// them, which leaves their lines in the cache: writing through the cache then beats streaming
// past it, whatever the size (about 1.2 times on these machines).
enum class Output { kExisting, kNew };

// Runs `pixel` (a pure function of N float32 samples) over every pixel of the bands into `out`.
// The arrays have passed their type tests; the caller keeps them referenced for the call.
// Interpreter lock held on entry and on exit, released in between.
template <std::size_t N, class Pixel>
void run_kernel(const std::array<PyObject*, N>& bands, PyObject* out, const Pixel& pixel,
                Output output = Output::kExisting) {
    [&]<std::size_t... I>(std::index_sequence<I...>) { check_shapes({bands[I]..., out}); }
    (std::make_index_sequence<N>{});

    // Declared so that destruction releases the output first, then the bands from last to first.
    std::array<std::optional<borrow::PyReadonlyArray>, N> shared;
    for (std::size_t i = 0; i < N; ++i) shared[i].emplace(borrow::readonly(bands[i]));
    const borrow::PyReadwriteArray exclusive = borrow::readwrite(out);

    std::array<BandView, N> views;
    for (std::size_t i = 0; i < N; ++i) views[i] = numpy::band_view(bands[i]);
    const OutputView out_view = numpy::output_view(out);

    const Stores stores = output == Output::kNew ? Stores::kCached
                                                 : stores_for(out_view.rows * out_view.cols * sizeof(float));
    SignalWatch watch;
    {
        const AllowThreads unlocked;
        detail::run_loop(out_view, views, pixel, stores, watch, std::make_index_sequence<N>{});
    }
    watch.raise_if_stopped();
}

}  // namespace rastrel::kernels
