#pragma once
// Strided 2-D views of NumPy arrays, as handed to worker threads. Plain values: they own nothing
// and stay valid only while the call holds the array and its borrow.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rastrel {

template <class T>
struct View2D {
    T* data;                    // element (0, 0)
    std::size_t rows;
    std::size_t cols;
    std::ptrdiff_t row_stride;  // in elements
    std::ptrdiff_t col_stride;  // in elements
};

using BandView = View2D<const std::uint16_t>;
using OutputView = View2D<float>;

// NumPy arrays need not be aligned to their item size (a field of a packed record, a view at an
// odd byte offset). Every pixel access goes through these, which the compiler turns into plain
// unaligned loads and stores, vectorised alike.
inline float load_sample(const std::uint16_t* p) {
    std::uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<float>(v);
}

inline void store_pixel(float* p, float v) { std::memcpy(p, &v, sizeof v); }

}  // namespace rastrel
