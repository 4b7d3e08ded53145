// Every compiled copy of the contiguous, strided and block runs (each instruction set this processor has, cached and
// streaming stores) against a scalar float32 reference written out step by step: same bits for
// every pixel (NaN by class, the sign of zero included), at every length that leaves a vector
// tail, from pointers off their item alignment, with inexact coefficients, under which a fused
// multiply-add or a regrouped sum would show.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "check.h"
#include "core/epsilon.h"
#include "core/kernels/runs.h"
#include "core/targets/copies.h"

using namespace rastrel;
using namespace rastrel::kernels;

namespace {

using Rng = std::mt19937_64;

// The reference: one rounding per operation, in the written order, one pixel per call, never
// vectorised.
#define SCALAR [[gnu::noinline, gnu::optimize("no-tree-vectorize")]]

SCALAR float ref_normalized_difference(float a, float b) {
    volatile float d = a - b;
    volatile float s = a + b;
    s = s + DENOM_EPSILON;
    return d / s;
}

SCALAR float ref_ratio(float a, float b) {
    volatile float s = b + DENOM_EPSILON;
    return a / s;
}

SCALAR float ref_adjusted_difference(float a, float b, float l) {
    volatile float factor = l + 1.0f;
    volatile float d = a - b;
    volatile float s = a + b;
    s = s + l;
    s = s + DENOM_EPSILON;
    volatile float q = d / s;
    return factor * q;
}

SCALAR float ref_evi(float n, float r, float b, float g, float c1, float c2, float l) {
    volatile float d = n - r;
    volatile float t = c1 * r;
    t = t + n;
    volatile float u = c2 * b;
    t = t - u;
    t = t + l;
    t = t + DENOM_EPSILON;
    volatile float q = d / t;
    return g * q;
}

bool same_bits(float x, float y) {
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y);
    return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y);
}

// Samples biased towards the extremes of uint16 and the values next to them.
std::uint16_t sample(Rng& rng) {
    static constexpr std::uint16_t kEdges[] = {0, 1, 2, 3, 255, 256, 32767, 32768, 65533, 65534, 65535};
    if (rng() % 3 == 0) return kEdges[rng() % std::size(kEdges)];
    return static_cast<std::uint16_t>(rng());
}

// Coefficients: the inexact ones users pass, and random ones of any magnitude and sign,
// including those that make a denominator exactly zero.
float coefficient(Rng& rng) {
    static constexpr float kPicks[] = {1.05f, 0.5f, 0.0f, -1.0f, -DENOM_EPSILON, 6.1f, 7.3f, 2.5f, 1e30f, -65535.0f};
    if (rng() % 2 == 0) return kPicks[rng() % std::size(kPicks)];
    std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
    std::uniform_int_distribution<int> exponent(-30, 30);
    return std::ldexp(mantissa(rng), exponent(rng));
}

// Byte buffers with room to start a run at any offset: pointers need not be aligned to their
// item size, and streaming stores must then fall back.
struct Buffers {
    std::vector<unsigned char> band[3];
    std::vector<unsigned char> out;

    Buffers(Rng& rng, std::size_t n) {
        for (auto& b : band) {
            b.resize(2 * n + 64);
            for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
                const std::uint16_t v = sample(rng);
                std::memcpy(&b[i], &v, 2);
            }
        }
        out.resize(4 * n + 128);
    }
};

struct Offsets {
    std::size_t band, out;  // bytes past a 64-byte boundary
};

template <class Pixel, class Reference>
void check_runs(const RunTable& table, const Pixel& pixel, int bands, const Reference& reference,
                const std::string& what, Rng& rng, std::size_t n, Offsets at, Stores stores) {
    Buffers buf(rng, n);
    const auto base = [](std::vector<unsigned char>& v, std::size_t offset) {
        const auto address = reinterpret_cast<std::uintptr_t>(v.data());
        return v.data() + (64 - address % 64) % 64 + offset;
    };
    const std::uint16_t* in[3];
    for (int k = 0; k < bands; ++k) {
        in[k] = reinterpret_cast<const std::uint16_t*>(base(buf.band[k], (at.band + 3 * k) % 4));
    }
    unsigned char* out_bytes = base(buf.out, at.out);
    auto* out = reinterpret_cast<float*>(out_bytes);
    // A sentinel after the run: nothing past n may be written.
    const float sentinel = std::bit_cast<float>(std::uint32_t{0x7FC0BEEF});
    std::memcpy(out_bytes + 4 * n, &sentinel, 4);

    table.of<Pixel>()(pixel, out, in, n, stores);

    const auto at_index = [](const std::uint16_t* p, std::size_t i) {
        std::uint16_t v;
        std::memcpy(&v, reinterpret_cast<const unsigned char*>(p) + 2 * i, 2);
        return static_cast<float>(v);
    };
    int wrong = 0;
    for (std::size_t i = 0; i < n && wrong < 3; ++i) {
        float got;
        std::memcpy(&got, out_bytes + 4 * i, 4);
        float want;
        if (bands == 2) {
            want = reference(at_index(in[0], i), at_index(in[1], i), 0.0f);
        } else {
            want = reference(at_index(in[0], i), at_index(in[1], i), at_index(in[2], i));
        }
        if (!same_bits(got, want)) {
            ++wrong;
            CHECK_MSG(false, table.isa << " " << what << " n=" << n << " pixel " << i << ": got " << got << " ("
                                       << std::bit_cast<std::uint32_t>(got) << "), want " << want
                                       << (stores == Stores::kStreaming ? " streaming" : " cached")
                                       << " out+" << at.out << " bands+" << at.band);
        }
    }
    float after;
    std::memcpy(&after, out_bytes + 4 * n, 4);
    CHECK_MSG(std::bit_cast<std::uint32_t>(after) == std::bit_cast<std::uint32_t>(sentinel),
              table.isa << " " << what << " wrote past n=" << n);
}

// Every kernel on one copy, one length, one placement, with fresh coefficients.
void check_all_kernels(const RunTable& table, Rng& rng, std::size_t n, Offsets at, Stores stores) {
    check_runs(table, NormalizedDifference{}, 2,
               [](float a, float b, float) { return ref_normalized_difference(a, b); }, "normalized difference",
               rng, n, at, stores);
    check_runs(table, Ratio{}, 2, [](float a, float b, float) { return ref_ratio(a, b); }, "ratio", rng, n, at,
               stores);
    const float l = coefficient(rng);
    check_runs(table, AdjustedDifference(l), 2,
               [l](float a, float b, float) { return ref_adjusted_difference(a, b, l); },
               "adjusted difference l=" + std::to_string(l), rng, n, at, stores);

    // The usual gain and coefficients, made inexact; then random ones.
    EnhancedVegetationIndex evi{2.5f, 6.1f, 7.3f, 1.05f};
    if (rng() % 2 == 0) evi = {coefficient(rng), coefficient(rng), coefficient(rng), coefficient(rng)};
    check_runs(table, evi, 3,
               [evi](float nir, float red, float blue) {
                   return ref_evi(nir, red, blue, evi.g, evi.c1, evi.c2, evi.l);
               },
               "evi g=" + std::to_string(evi.g) + " c1=" + std::to_string(evi.c1) +
                   " c2=" + std::to_string(evi.c2) + " l=" + std::to_string(evi.l),
               rng, n, at, stores);
}

// The strided runs of one kernel: samples `steps[k]` apart (negative ones walk backwards), the
// output `out_step` apart, every element in between the output's own left as it was.
template <class Pixel, class Reference>
void check_strided(const RunTable& table, const Pixel& pixel, int bands, const Reference& reference,
                   const std::string& what, Rng& rng, std::size_t n, const std::ptrdiff_t* steps,
                   std::ptrdiff_t out_step, std::size_t misalign, Stores stores) {
    const auto span = [n](std::ptrdiff_t step) { return (n + 1) * static_cast<std::size_t>(std::abs(step)) + 16; };
    std::vector<unsigned char> band[3];
    const std::uint16_t* in[3];
    for (int k = 0; k < bands; ++k) {
        // Each band's memory ends on the line's last sample (starts on it, walking backwards),
        // so that the sanitizer's build sees a read past it.
        const std::size_t last = 2 * (n > 0 ? n - 1 : 0) * std::size_t(std::abs(steps[k]));
        band[k].resize(misalign % 2 + last + 2);
        for (auto& byte : band[k]) byte = static_cast<unsigned char>(sample(rng));
        in[k] = reinterpret_cast<const std::uint16_t*>(band[k].data() + misalign % 2 + (steps[k] < 0 ? last : 0));
    }
    const std::uint32_t sentinel = 0x7FC0BEEF;
    std::vector<unsigned char> out_bytes(4 * span(out_step) + 8);
    const std::size_t out_first = (out_step < 0 ? 4 * (n + 1) * std::size_t(-out_step) : 0) + misalign % 4;
    // Sentinels on the output's own grid of 4-byte elements.
    for (std::size_t i = misalign % 4; i + 4 <= out_bytes.size(); i += 4) std::memcpy(&out_bytes[i], &sentinel, 4);
    auto* out = reinterpret_cast<float*>(out_bytes.data() + out_first);

    table.strided_of<Pixel>()(pixel, out, out_step, in, steps, n, stores);

    const auto sample_at = [&](int k, std::size_t i) {
        std::uint16_t v;
        std::memcpy(&v, reinterpret_cast<const unsigned char*>(in[k]) + 2 * steps[k] * std::ptrdiff_t(i), 2);
        return static_cast<float>(v);
    };
    std::vector<bool> written(out_bytes.size() / 4 + 1);
    int wrong = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t byte = out_first + 4 * out_step * std::ptrdiff_t(i);
        written[byte / 4] = true;
        float got;
        std::memcpy(&got, &out_bytes[byte], 4);
        const float want = reference(sample_at(0, i), sample_at(1, i), bands == 3 ? sample_at(2, i) : 0.0f);
        if (!same_bits(got, want) && wrong++ < 3) {
            CHECK_MSG(false, table.isa << " strided " << what << " n=" << n << " pixel " << i << " steps " << steps[0]
                                       << "," << steps[1] << " out " << out_step << " stores "
                                       << static_cast<int>(stores));
        }
    }
    bool untouched = true;
    for (std::size_t byte = misalign % 4; byte + 4 <= out_bytes.size(); byte += 4) {
        std::uint32_t v;
        std::memcpy(&v, &out_bytes[byte], 4);
        untouched &= written[byte / 4] || v == sentinel;
    }
    CHECK_MSG(untouched, table.isa << " strided " << what << " wrote between outputs, n=" << n << " out " << out_step);
}

void check_strided_copy(const RunTable& table) {
    Rng rng(0x57de ^ std::hash<std::string>{}(table.isa));
    constexpr std::ptrdiff_t kSteps[] = {1, 2, -1, 3, -2, 1000};
    for (std::size_t n : {0, 1, 7, 15, 16, 17, 31, 33, 70, 127, 129, 511, 513, 1100}) {
        // A contiguous output streamed too.
        constexpr std::pair<std::ptrdiff_t, Stores> kOutputs[] = {{2, Stores::kCached},  {1, Stores::kCached},
                                                                  {3, Stores::kCached},  {-1, Stores::kCached},
                                                                  {-2, Stores::kCached}, {1, Stores::kStreaming}};
        for (const auto& [out_step, stores] : kOutputs) {
            std::ptrdiff_t steps[3] = {kSteps[rng() % 6], kSteps[rng() % 6], kSteps[rng() % 6]};
            // Every band taking every other sample has loops of its own, up to the line's last
            // pixel, which is read with the sample before it; into every other element of the
            // output, one more.
            // Every third sample too, read in whole vectors that end on the line's last one.
            if (rng() % 3 == 0 || (out_step == 2 && n % 2 == 1)) {
                steps[0] = steps[1] = steps[2] = 2;
            } else if (rng() % 3 == 0) {
                steps[0] = steps[1] = steps[2] = 3;
            }
            const std::size_t misalign = rng() % 4;
            check_strided(
                table, NormalizedDifference{}, 2,
                [](float a, float b, float) { return ref_normalized_difference(a, b); }, "normalized difference", rng,
                n, steps, out_step, misalign, stores);
            check_strided(
                table, Ratio{}, 2, [](float a, float b, float) { return ref_ratio(a, b); }, "ratio", rng, n, steps,
                out_step, misalign, stores);
            const float l = coefficient(rng);
            check_strided(
                table, AdjustedDifference(l), 2,
                [l](float a, float b, float) { return ref_adjusted_difference(a, b, l); }, "adjusted difference", rng,
                n, steps, out_step, misalign, stores);
            const EnhancedVegetationIndex evi{2.5f, 6.1f, 7.3f, 1.05f};
            check_strided(
                table, evi, 3,
                [evi](float a, float b, float c) { return ref_evi(a, b, c, evi.g, evi.c1, evi.c2, evi.l); }, "evi", rng,
                n, steps, out_step, misalign, stores);
        }
    }
}

// Element strides (row, col) of an array of R x C: row- and column-major, reversed, every other
// column, a transposed one of every other row, a window of unit-step rows spaced wider than they
// are long, rows or columns repeated through a zero stride, every third column.
using Strides = std::pair<std::ptrdiff_t, std::ptrdiff_t>;
Strides strides_of(int kind, std::ptrdiff_t r, std::ptrdiff_t c) {
    switch (kind) {
        case 0: return {c, 1};
        case 1: return {1, r};
        case 2: return {-c, -1};
        case 3: return {-1, -r};
        case 4: return {2 * c + 1, 2};
        case 5: return {2, 2 * r + 3};
        case 6: return {3 * c, -3};
        case 7: return {c + 5, 1};
        case 8: return {0, 1};
        case 9: return {1, 0};
        default: return {3 * c + 2, 3};
    }
}
constexpr int kOutputKinds = 8;  // a written array cannot repeat elements
constexpr int kKinds = 10;  // drawn at random; kind 10 (every third column) only where asked for

// A 2-D array of T placed by `kind` at `misalign` bytes past an aligned address in a buffer of
// the sentinel byte 0xA5.
template <class T>
struct Placed {
    std::vector<unsigned char> bytes;
    View2D<T> view{};
    Placed(std::size_t rows, std::size_t cols, int kind, std::size_t misalign) {
        const auto [rs, cs] = strides_of(kind, std::ptrdiff_t(rows), std::ptrdiff_t(cols));
        const bool empty = rows == 0 || cols == 0;
        const std::ptrdiff_t er = empty ? 0 : rs * std::ptrdiff_t(rows - 1),
                             ec = empty ? 0 : cs * std::ptrdiff_t(cols - 1);
        const std::ptrdiff_t low = std::min<std::ptrdiff_t>(er, 0) + std::min<std::ptrdiff_t>(ec, 0);
        const std::ptrdiff_t high = std::max<std::ptrdiff_t>(er, 0) + std::max<std::ptrdiff_t>(ec, 0);
        bytes.assign(sizeof(T) * std::size_t(high - low + 1) + 64 + misalign, 0xA5);
        const auto address = reinterpret_cast<std::uintptr_t>(bytes.data());
        unsigned char* origin = bytes.data() + (64 - address % 64) % 64 + misalign - sizeof(T) * low;
        view = {reinterpret_cast<T*>(origin), rows, cols, rs, cs};
    }
    unsigned char* at(std::size_t r, std::size_t c) const {
        return reinterpret_cast<unsigned char*>(const_cast<std::remove_const_t<T>*>(
            view.data + std::ptrdiff_t(r) * view.row_stride + std::ptrdiff_t(c) * view.col_stride));
    }
};

// The block run of one kernel over one shape with random placements: every pixel against the
// reference, and not a byte of the output's buffer written outside its elements.
template <class Pixel, class Reference>
void check_block(const RunTable& table, const Pixel& pixel, int bands, const Reference& reference, Rng& rng,
                 std::size_t rows, std::size_t cols, Stores stores, int kind, int out_kind) {
    std::vector<Placed<const std::uint16_t>> in;
    for (int k = 0; k < bands; ++k) {
        in.emplace_back(rows, cols, kind < 0 ? int(rng() % kKinds) : kind, rng() % 2);
        for (std::size_t r = 0; r < rows; ++r)
            for (std::size_t c = 0; c < cols; ++c) {
                const std::uint16_t v = sample(rng);
                std::memcpy(in.back().at(r, c), &v, 2);
            }
    }
    Placed<float> out(rows, cols, out_kind < 0 ? int(rng() % kOutputKinds) : out_kind, rng() % 4);
    BandView views[3];
    for (int k = 0; k < bands; ++k) views[k] = in[std::size_t(k)].view;
    table.block_of<Pixel>()(pixel, out.view, views, stores);

    const auto sample_at = [&](int k, std::size_t r, std::size_t c) {
        std::uint16_t v;
        std::memcpy(&v, in[std::size_t(k)].at(r, c), 2);
        return static_cast<float>(v);
    };
    int wrong = 0;
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) {
            float got;
            std::memcpy(&got, out.at(r, c), 4);
            const float want =
                reference(sample_at(0, r, c), sample_at(1, r, c), bands == 3 ? sample_at(2, r, c) : 0.0f);
            if (!same_bits(got, want) && wrong++ < 3) {
                CHECK_MSG(false, table.isa << " block " << rows << "x" << cols << " at " << r << "," << c
                                           << " out strides " << out.view.row_stride << "," << out.view.col_stride
                                           << " band 0 strides " << views[0].row_stride << "," << views[0].col_stride);
            }
            std::memset(out.at(r, c), 0xA5, 4);
        }
    bool untouched = true;
    for (const unsigned char byte : out.bytes) untouched &= byte == 0xA5;
    CHECK_MSG(untouched, table.isa << " block " << rows << "x" << cols << " wrote outside the output");
}

void check_block_copy(const RunTable& table) {
    Rng rng(0xb10c ^ std::hash<std::string>{}(table.isa));
    // Shapes across whole and partial tiles and transposes, single rows and columns.
    constexpr std::pair<std::size_t, std::size_t> kShapes[] = {{0, 5},  {1, 1},  {1, 70},  {70, 1},  {2, 3},
                                                               {9, 33}, {33, 9}, {37, 53}, {64, 64}, {70, 131}};
    // Random placements, then every band taking every other column into an output that does too,
    // or into a contiguous one with cached stores: loops of their own; then every band taking
    // every third column into a contiguous output, cached and streamed.
    for (int round = 0; round < 11; ++round) {
        const int kind = round < 6 ? -1 : round < 9 ? 4 : 10, out_kind = round < 8 ? kind : 0;
        for (const auto& [rows, cols] : kShapes) {
            const Stores stores = round % 2 == 0 ? Stores::kCached : Stores::kStreaming;
            check_block(
                table, NormalizedDifference{}, 2,
                [](float a, float b, float) { return ref_normalized_difference(a, b); }, rng, rows, cols, stores, kind,
                out_kind);
            const float l = coefficient(rng);
            check_block(
                table, AdjustedDifference(l), 2,
                [l](float a, float b, float) { return ref_adjusted_difference(a, b, l); }, rng, rows, cols, stores,
                kind, out_kind);
            const EnhancedVegetationIndex evi{2.5f, 6.1f, 7.3f, 1.05f};
            check_block(
                table, evi, 3,
                [evi](float a, float b, float c) { return ref_evi(a, b, c, evi.g, evi.c1, evi.c2, evi.l); }, rng, rows,
                cols, stores, kind, out_kind);
        }
    }
}

void check_copy(const RunTable& table) {
    check_strided_copy(table);
    check_block_copy(table);
    Rng rng(0x5eed ^ std::hash<std::string>{}(table.isa));
    for (const Stores stores : {Stores::kCached, Stores::kStreaming}) {
        // Every tail length a vector of up to 16 lanes leaves, from every alignment of the
        // inputs and of the output.
        for (std::size_t n = 0; n <= 70; ++n) {
            for (std::size_t band = 0; band < 4; ++band) {
                for (std::size_t out : {0, 1, 2, 4, 12}) check_all_kernels(table, rng, n, {band, out}, stores);
            }
        }
        // Long enough for whole streamed blocks between a head up to the next cache line and a
        // tail; an output off its item alignment must fall back to cached stores.
        for (std::size_t n : {127, 128, 143, 144, 271, 1040, 4099}) {
            for (std::size_t out : {0, 1, 3, 4, 32, 60}) check_all_kernels(table, rng, n, {out % 3, out}, stores);
        }
    }
}

}  // namespace

int main() {
    int ran = 0;
    const RunTable* widest = nullptr;  // the instruction sets come narrowest first
    for (const Isa isa : kAllIsas) {
        const RunTable* table = run_table(isa);
        if (table == nullptr) {
            std::printf("skipped: this build or processor lacks the %s copy\n", isa_name(isa));
            continue;
        }
        check_copy(*table);
        std::printf("checked: %s\n", table->isa);
        widest = table;
        ++ran;
    }
    CHECK_MSG(run_table(Isa::kPortable) != nullptr, "the portable copy is always there");
    CHECK_MSG(widest_copies().kernels == widest, "chosen " << widest_copies().name << ", widest " << widest->isa);
    // The tables that pick a narrower copy for some runs, whether or not this processor's calls
    // take them: their entries wired to the right formulas.
    const RunTable* paced = nullptr;
#if defined(__x86_64__)
    if (isa_supported(Isa::kAvx512) && targets::kAvx512.calls != targets::kAvx512.kernels) {
        paced = targets::kAvx512.calls;
        check_copy(*paced);
    }
#endif
    if (&runs() != widest && &runs() != paced) check_copy(runs());
    std::printf("chosen at run time: %s (%d copies checked)\n", runs().isa, ran);
    return check::exit_code();
}
