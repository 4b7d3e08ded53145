#pragma once
// The call frame shared by every band index: shape check, borrows, views, the lock-released
// parallel loop, and release in reverse order.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "arrays/borrow.h"
#include "arrays/numpy_api.h"
#include "arrays/views.h"
#include "boundary/gil.h"
#include "kernels/shapes.h"
#include "parallel/traversal.h"

namespace rastrel::kernels {

namespace detail {

template <class Pixel, std::size_t... I>
void run_loop(const OutputView& out, const std::array<BandView, sizeof...(I)>& bands, const Pixel& pixel,
              std::index_sequence<I...>) {
    const auto zipped = parallel::zip(out, bands[I]...);
    parallel::par_for_each(zipped, [&pixel](float* o, decltype(bands[I].data)... in) {
        store_pixel(o, pixel(load_sample(in)...));
    });
}

}  // namespace detail

// Runs `pixel` (a pure function of N float32 samples) over every pixel of the bands into `out`.
// The arrays have passed their type tests; the caller keeps them referenced for the call.
// Interpreter lock held on entry and on exit, released in between.
template <std::size_t N, class Pixel>
void run_kernel(const std::array<PyObject*, N>& bands, PyObject* out, const Pixel& pixel) {
    [&]<std::size_t... I>(std::index_sequence<I...>) { check_shapes({bands[I]..., out}); }
    (std::make_index_sequence<N>{});

    // Declared so that destruction releases the output first, then the bands from last to first.
    std::array<std::optional<borrow::PyReadonlyArray>, N> shared;
    for (std::size_t i = 0; i < N; ++i) shared[i].emplace(borrow::readonly(bands[i]));
    const borrow::PyReadwriteArray exclusive = borrow::readwrite(out);

    std::array<BandView, N> views;
    for (std::size_t i = 0; i < N; ++i) views[i] = numpy::band_view(bands[i]);
    const OutputView out_view = numpy::output_view(out);

    const AllowThreads unlocked;
    detail::run_loop(out_view, views, pixel, std::make_index_sequence<N>{});
}

}  // namespace rastrel::kernels
