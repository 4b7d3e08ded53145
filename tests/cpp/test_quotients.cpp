// The copies whose normalized difference and ratio divide without the divider must give its bits
// for every pair of uint16 samples: 2^32 pairs per formula, through the fixed kernels and the
// expression's fused loop, against plain float32 division. The sanitizer builds check every
// 61st value of the second band only, in the time of the others' whole tests.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "core/epsilon.h"
#include "core/expr/block_runs.h"
#include "core/expr/fused.h"
#include "core/isa.h"
#include "core/kernels/runs.h"

using namespace rastrel;

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::uint32_t kStep = 61;
#else
constexpr std::uint32_t kStep = 1;
#endif

constexpr std::size_t kSamples = 65536;

// IEEE division, one rounding per operation in the written order; vectorised by the compiler for
// the build's baseline, where division is the instruction's own.
void reference(float* nd, float* ratio, const float* a, float b) {
    for (std::size_t i = 0; i < kSamples; ++i) {
        const float d = a[i] - b;
        float s = a[i] + b;
        s = s + DENOM_EPSILON;
        nd[i] = d / s;
        const float t = b + DENOM_EPSILON;
        ratio[i] = a[i] / t;
    }
}

std::size_t first_difference(const std::vector<float>& got, const std::vector<float>& want) {
    if (std::memcmp(got.data(), want.data(), got.size() * sizeof(float)) == 0) return got.size();
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::memcmp(&got[i], &want[i], sizeof(float)) != 0) return i;
    }
    return got.size();
}

// Band a takes every sample, band b one value at a time.
void check_every_pair(Isa isa) {
    const kernels::RunTable& table = *kernels::run_table(isa);
    const BlockRuns& blocks = *block_runs_for(isa);
    const FusedFn fused_nd = blocks.fused(FusedShape::normalized_difference, FusedKind::samples, false);
    const FusedFn fused_ratio = blocks.fused(FusedShape::ratio, FusedKind::samples, false);
    FusedArgs args{};
    std::vector<std::uint16_t> a(kSamples), b(kSamples);
    std::vector<float> a_floats(kSamples);
    for (std::size_t i = 0; i < kSamples; ++i) {
        a[i] = static_cast<std::uint16_t>(i);
        a_floats[i] = static_cast<float>(i);
    }
    std::vector<float> want_nd(kSamples), want_ratio(kSamples), got(kSamples);
    const std::uint16_t* bands[] = {a.data(), b.data()};
    const void* fused_bands[] = {a.data(), b.data()};
    int reported = 0;
    const auto compare = [&](const char* what, const std::vector<float>& want, std::uint32_t value) {
        const std::size_t at = first_difference(got, want);
        if (at != kSamples && reported++ < 5) {
            CHECK_MSG(false, isa_name(isa) << " " << what << " a=" << at << " b=" << value << ": got bits "
                                           << std::bit_cast<std::uint32_t>(got[at]) << ", want "
                                           << std::bit_cast<std::uint32_t>(want[at]));
        }
    };
    for (std::uint32_t value = 0; value < kSamples; value += kStep) {
        std::fill(b.begin(), b.end(), static_cast<std::uint16_t>(value));
        reference(want_nd.data(), want_ratio.data(), a_floats.data(), static_cast<float>(value));
        table.normalized_difference({}, got.data(), bands, kSamples, Stores::kCached);
        compare("normalized difference", want_nd, value);
        table.ratio({}, got.data(), bands, kSamples, Stores::kCached);
        compare("ratio", want_ratio, value);
        fused_nd(args, got.data(), fused_bands, kSamples, Stores::kCached);
        compare("fused normalized difference", want_nd, value);
        fused_ratio(args, got.data(), fused_bands, kSamples, Stores::kCached);
        compare("fused ratio", want_ratio, value);
    }
}

}  // namespace

int main() {
    if (!isa_supported(Isa::kAvx512)) {
        std::printf("skipped: this build or processor lacks the avx512 copy\n");
        return 0;
    }
    check_every_pair(Isa::kAvx512);
    std::printf("checked: avx512, every %u-th value of the second band\n", kStep);
    return check::exit_code();
}
