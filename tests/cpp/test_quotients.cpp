// The copies that divide without the divider must give its bits for every pair of uint16
// samples: all 2^32 pairs for the normalized difference and the ratio, through the fixed
// kernels and the expression's fused loop, against plain float32 division; the adjusted
// difference with l = 0.5 on every 7th value of the second band, and with the values of l at the
// edges of those that admit the shortcut (and one just past them) on every 61st. The sanitizer
// builds take every 257th value throughout, in the time of the others' whole tests. The loops
// that send every vector through the divider (as on AMD's processors) are checked on every 61st.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "check.h"
#include "core/epsilon.h"
#include "core/expr/block_runs.h"
#include "core/expr/fused.h"
#include "core/isa.h"
#include "core/kernels/runs.h"
#include "core/targets/copies.h"

using namespace rastrel;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint32_t kEvery = 257;
#else
constexpr std::uint32_t kEvery = 1;
#endif

constexpr std::size_t kSamples = 65536;
// Band a's samples in pieces that keep every buffer in the first-level cache.
constexpr std::size_t kPiece = 4096;

enum class Formula { kNormalizedDifference, kRatio, kAdjustedDifference };

// IEEE arithmetic, one rounding per operation in the written order; vectorised by the compiler
// for the build's baseline, whose division is the instruction's own.
void reference(Formula formula, float l, float* want, const float* a, float b) {
    const float factor = l + 1.0f;
    for (std::size_t i = 0; i < kPiece; ++i) {
        const float d = a[i] - b;
        float s = a[i] + b;
        if (formula == Formula::kRatio) s = b;
        if (formula == Formula::kAdjustedDifference) s = s + l;
        s = s + DENOM_EPSILON;
        const float q = (formula == Formula::kRatio ? a[i] : d) / s;
        want[i] = formula == Formula::kAdjustedDifference ? factor * q : q;
    }
}

// Band a takes every sample, band b every `step`-th value, one at a time.
void check_pairs(Isa isa, Formula formula, float l, std::uint32_t step) {
    const kernels::RunTable& table = *kernels::run_table(isa);
    const FusedShape shape = formula == Formula::kNormalizedDifference ? FusedShape::normalized_difference
                             : formula == Formula::kRatio              ? FusedShape::ratio
                                                                       : FusedShape::adjusted_difference;
    const FusedFn fused = block_runs_for(isa)->fused(shape, FusedKind::samples, false);
    FusedArgs args{};
    args.constants[0] = l + 1.0f;
    args.constants[1] = l;
    const kernels::AdjustedDifference adjusted(l);
    std::vector<std::uint16_t> a(kSamples), b(kPiece);
    std::vector<float> a_floats(kSamples), want(kPiece), got(kPiece);
    for (std::size_t i = 0; i < kSamples; ++i) {
        a[i] = static_cast<std::uint16_t>(i);
        a_floats[i] = static_cast<float>(i);
    }
    int reported = 0;
    const auto compare = [&](const char* path, std::size_t first, std::uint32_t value) {
        if (std::memcmp(got.data(), want.data(), kPiece * sizeof(float)) == 0 || reported++ >= 3) return;
        std::size_t at = 0;
        while (std::memcmp(&got[at], &want[at], sizeof(float)) == 0) ++at;
        CHECK_MSG(false, isa_name(isa) << " " << path << " formula " << int(formula) << " l=" << l
                                       << " a=" << first + at << " b=" << value << ": got bits "
                                       << std::bit_cast<std::uint32_t>(got[at]) << ", want "
                                       << std::bit_cast<std::uint32_t>(want[at]));
    };
    for (std::uint32_t value = 0; value < kSamples; value += step) {
        std::fill(b.begin(), b.end(), static_cast<std::uint16_t>(value));
        for (std::size_t first = 0; first < kSamples; first += kPiece) {
            const std::uint16_t* bands[] = {a.data() + first, b.data()};
            const void* fused_bands[] = {a.data() + first, b.data()};
            reference(formula, l, want.data(), a_floats.data() + first, static_cast<float>(value));
            switch (formula) {
                case Formula::kNormalizedDifference:
                    table.normalized_difference({}, got.data(), bands, kPiece, Stores::kCached);
                    break;
                case Formula::kRatio: table.ratio({}, got.data(), bands, kPiece, Stores::kCached); break;
                case Formula::kAdjustedDifference:
                    table.adjusted_difference(adjusted, got.data(), bands, kPiece, Stores::kCached);
                    break;
            }
            compare("kernel", first, value);
            fused(args, got.data(), fused_bands, kPiece, Stores::kCached);
            compare("fused", first, value);
        }
    }
}

}  // namespace

int main() {
    if (!isa_supported(Isa::kAvx512)) {
        std::printf("skipped: this build or processor lacks the avx512 copy\n");
        return 0;
    }
#if defined(__x86_64__)  // the only processors with that copy
    // The loops' pairs of divisions, whichever way this processor's calls take.
    const bool alone = targets::avx512_divider_alone();
    targets::set_avx512_divider_alone(false);
    check_pairs(Isa::kAvx512, Formula::kNormalizedDifference, 0.0f, kEvery);
    check_pairs(Isa::kAvx512, Formula::kRatio, 0.0f, kEvery);
    check_pairs(Isa::kAvx512, Formula::kAdjustedDifference, 0.5f, kEvery == 1 ? 7 : kEvery);
    // The largest l of each power of two that admits the shortcut, l = 0, and the next multiple
    // of 1/8 past the last of them.
    for (const float l : {0.0f, 1.875f, 131073.75f, 393217.5f, 917505.0f, 2.125f}) {
        CHECK_MSG(kernels::adjusted_sample_quotients(l) == (l != 2.125f), "l=" << l);
        check_pairs(Isa::kAvx512, Formula::kAdjustedDifference, l, 61);
    }
    // The same loops with the divider alone, their other way.
    targets::set_avx512_divider_alone(true);
    for (const Formula formula : {Formula::kNormalizedDifference, Formula::kRatio, Formula::kAdjustedDifference})
        check_pairs(Isa::kAvx512, formula, 0.5f, 61);
    targets::set_avx512_divider_alone(alone);
#endif
    std::printf("checked: avx512, every %u-th value of the second band\n", kEvery);
    return check::exit_code();
}
