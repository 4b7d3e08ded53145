#pragma once
// Bands of any of the sample types rasters are stored in, and what makes one of their pixels
// invalid. Plain values handed to worker threads; interpreter-free.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/views.h"

namespace rastrel {

enum class SampleType : std::uint8_t { u8, i8, u16, i16, u32, i32, f32, f64 };

constexpr std::size_t sample_size(SampleType type) {
    switch (type) {
        case SampleType::u8:
        case SampleType::i8: return 1;
        case SampleType::u16:
        case SampleType::i16: return 2;
        case SampleType::u32:
        case SampleType::i32:
        case SampleType::f32: return 4;
        case SampleType::f64: break;
    }
    return 8;
}

// A 2-D view of samples of `type`; strides count elements of that type. The data need not be
// aligned to the item size.
struct SampleView {
    const void* data;
    std::size_t rows;
    std::size_t cols;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
    SampleType type;
};

// Which raw samples of a band mark its pixel invalid. The value is compared in the band's own
// type: an integer band's nodata must be an integer it can hold (else no sample matches), a
// float32 band's is rounded to float32 as NumPy rounds a Python float compared with one, and a
// NaN nodata of a float band means every NaN sample.
struct Nodata {
    enum class Kind : std::uint8_t { none, equal, nan };

    Kind kind = Kind::none;
    union {
        std::int64_t integer;
        float f32;
        double f64;
    } value{0};

    static Nodata of(SampleType type, double v) {
        Nodata n;
        switch (type) {
            case SampleType::f32:
                n.kind = std::isnan(v) ? Kind::nan : Kind::equal;
                n.value.f32 = static_cast<float>(v);
                return n;
            case SampleType::f64:
                n.kind = std::isnan(v) ? Kind::nan : Kind::equal;
                n.value.f64 = v;
                return n;
            default: break;
        }
        const auto bits = 8 * sample_size(type);
        const bool is_signed = type == SampleType::i8 || type == SampleType::i16 || type == SampleType::i32;
        const double low = is_signed ? -std::ldexp(1.0, static_cast<int>(bits) - 1) : 0.0;
        const double high =
            is_signed ? std::ldexp(1.0, static_cast<int>(bits) - 1) - 1 : std::ldexp(1.0, static_cast<int>(bits)) - 1;
        // A value no sample of the type can hold matches nothing: the test is dropped.
        if (!(v >= low && v <= high) || v != std::floor(v)) return n;
        n.kind = Kind::equal;
        n.value.integer = static_cast<std::int64_t>(v);
        return n;
    }
};

// One band of a call: its samples and how they become the formula's values,
// float32(sample) * scale + offset (two roundings), or float32(sample) alone when scale is 1 and
// offset 0.
struct BandInput {
    SampleView view;
    float scale = 1.0f;
    float offset = 0.0f;
    Nodata nodata;

    bool scaled() const { return !(scale == 1.0f && offset == 0.0f); }
};

// A boolean mask of the output's shape: a nonzero byte marks the pixel invalid.
using MaskView = View2D<const std::uint8_t>;

}  // namespace rastrel
