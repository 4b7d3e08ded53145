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

#include "core/expr/evaluator.h"
#include "core/samples.h"

namespace rastrel::sample_loops {

template <class T, bool kScaled>
[[gnu::always_inline]] inline void convert(float* __restrict d, const void* from, float scale, float offset,
                                           std::size_t n) {
    const T* __restrict s = static_cast<const T*>(from);
    for (std::size_t i = 0; i < n; ++i) {
        float v = static_cast<float>(s[i]);
        if constexpr (kScaled) {
            // Two roundings, in this order; the build never fuses them. As the engine's own
            // operations do, a NaN sample keeps its payload even against a NaN scale or offset,
            // whatever order the compiler gives the operands in each part of the loop.
            v = apply_binary<OpCode::mul>(v, scale);
            v = apply_binary<OpCode::add>(v, offset);
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

// invalid[i] |= the sample equals the nodata value; whether any did.
template <class T>
[[gnu::always_inline]] inline std::uint8_t match_equal(std::uint8_t* __restrict invalid, const void* from,
                                                       const Nodata& nodata, std::size_t n) {
    const T* __restrict s = static_cast<const T*>(from);
    const T value = nodata_value<T>(nodata);
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto hit = static_cast<std::uint8_t>(s[i] == value);
        invalid[i] |= hit;
        any |= hit;
    }
    return any;
}

// invalid[i] |= the sample is NaN; whether any was.
template <class T>
[[gnu::always_inline]] inline std::uint8_t match_nan(std::uint8_t* __restrict invalid, const void* from, const Nodata&,
                                                     std::size_t n) {
    const T* __restrict s = static_cast<const T*>(from);
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto hit = static_cast<std::uint8_t>(s[i] != s[i]);
        invalid[i] |= hit;
        any |= hit;
    }
    return any;
}

// invalid[i] |= the mask is set (any nonzero byte, as for a NumPy bool); whether any was.
[[gnu::always_inline]] inline std::uint8_t mask_or(std::uint8_t* __restrict invalid, const void* from, const Nodata&,
                                                   std::size_t n) {
    const std::uint8_t* __restrict m = static_cast<const std::uint8_t*>(from);
    std::uint8_t any = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto hit = static_cast<std::uint8_t>(m[i] != 0);
        invalid[i] |= hit;
        any |= hit;
    }
    return any;
}

// out[i] = fill where invalid[i]; called only for runs that hold an invalid pixel, which most
// runs of real rasters do not.
[[gnu::always_inline]] inline void fill_invalid(float* __restrict out, const std::uint8_t* __restrict invalid,
                                                float fill, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = invalid[i] != 0 ? fill : out[i];
}

}  // namespace rastrel::sample_loops
