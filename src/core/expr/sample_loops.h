#pragma once
// The loops that read bands of any sample type into the block evaluator's runs: conversion to
// float32 (with scale and offset), the nodata tests on raw samples, masks, and the fill of
// invalid pixels. Plain elementwise loops, inlined into each instruction set's copy
// (block_runs.cpp), where the compiler vectorises them at that width. Every conversion is the
// one C++ defines, which is the one NumPy's astype(float32) performs: exact up to 16 bits,
// rounded to nearest even from 32-bit integers and float64.
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/samples.h"

namespace rastrel::sample_loops {

template <class T, bool kScaled>
[[gnu::always_inline]] inline void convert(float* __restrict d, const void* from, float scale, float offset,
                                           std::size_t n) {
    const T* __restrict s = static_cast<const T*>(from);
    for (std::size_t i = 0; i < n; ++i) {
        float v = static_cast<float>(s[i]);
        if constexpr (kScaled) {
            // Two roundings, in this order; the build never fuses them.
            v = v * scale;
            v = v + offset;
        }
        d[i] = v;
    }
}

template <class T>
[[gnu::always_inline]] inline T nodata_value(const Nodata& nodata) {
    if constexpr (std::is_same_v<T, float>) {
        return nodata.value.f32;
    } else if constexpr (std::is_same_v<T, double>) {
        return nodata.value.f64;
    } else {
        return static_cast<T>(nodata.value.integer);
    }
}

// invalid[i] |= the sample equals the nodata value.
template <class T>
[[gnu::always_inline]] inline void match_equal(std::uint8_t* __restrict invalid, const void* from, const Nodata& nodata,
                                               std::size_t n) {
    const T* __restrict s = static_cast<const T*>(from);
    const T value = nodata_value<T>(nodata);
    for (std::size_t i = 0; i < n; ++i) invalid[i] |= static_cast<std::uint8_t>(s[i] == value);
}

// invalid[i] |= the sample is NaN.
template <class T>
[[gnu::always_inline]] inline void match_nan(std::uint8_t* __restrict invalid, const void* from, const Nodata&,
                                             std::size_t n) {
    const T* __restrict s = static_cast<const T*>(from);
    for (std::size_t i = 0; i < n; ++i) invalid[i] |= static_cast<std::uint8_t>(s[i] != s[i]);
}

// invalid[i] |= the mask is set; any nonzero byte counts, as a NumPy bool does.
[[gnu::always_inline]] inline void mask_or(std::uint8_t* __restrict invalid, const void* from, const Nodata&,
                                           std::size_t n) {
    const std::uint8_t* __restrict m = static_cast<const std::uint8_t*>(from);
    for (std::size_t i = 0; i < n; ++i) invalid[i] |= static_cast<std::uint8_t>(m[i] != 0);
}

// out[i] = fill where invalid[i]. Most runs of real rasters hold no invalid pixel, so they are
// found first and left alone.
[[gnu::always_inline]] inline void fill_invalid(float* __restrict out, const std::uint8_t* __restrict invalid,
                                                float fill, std::size_t n) {
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < n; ++i) any |= invalid[i];
    if (any == 0) return;
    for (std::size_t i = 0; i < n; ++i) out[i] = invalid[i] != 0 ? fill : out[i];
}

}  // namespace rastrel::sample_loops
