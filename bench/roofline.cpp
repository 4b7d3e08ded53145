// The copy-like roofline for bench_peers.py: the same memory traffic as a band index (two or
// three uint16 reads, or two float32 ones, and one 32-bit write per pixel) with no arithmetic, on as many threads as
// the process may use, each taking one contiguous share. Whatever a kernel does beyond this is
// arithmetic or scheduling that the memory system does not explain.
//
// A shared library built by CMake (target `roofline`, with RASTREL_BUILD_BENCH) and called by
// bench_peers.py through ctypes. On x86-64 the packing loop uses AVX2 where the processor has it;
// elsewhere, and on x86-64 processors without it, a plain loop that the compiler vectorises for
// the target's baseline.
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

struct Task {
    std::uint32_t* out;
    const std::uint16_t* band[3];
    int bands;
    std::size_t n;
    bool streaming;
    const std::uint32_t* wide[2];  // two 32-bit bands instead, when set
};

// Each output word packs two samples side by side (and, for three bands, takes the third in by
// exclusive or): every byte read reaches the output, so nothing can be optimised away.
inline void pack_one(const Task& t, std::size_t k) {
    if (t.wide[0] != nullptr) {
        t.out[k] = t.wide[0][k] ^ t.wide[1][k];
        return;
    }
    std::uint32_t v = t.band[0][k] | (std::uint32_t{t.band[1][k]} << 16);
    if (t.bands == 3) v ^= t.band[2][k];
    t.out[k] = v;
}

void pack_portable(const Task& t, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) pack_one(t, i);
}

#if defined(__x86_64__)
template <bool kStreaming>
__attribute__((target("avx2"))) void pack_avx2(const Task& t, std::size_t begin, std::size_t end) {
    std::size_t i = begin;
    // Up to the output's next 32-byte boundary element by element: streaming stores need it.
    for (; i < end && (reinterpret_cast<std::uintptr_t>(t.out + i) & 31) != 0; ++i) pack_one(t, i);
    for (; t.wide[0] != nullptr && i + 8 <= end; i += 8) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.wide[0] + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.wide[1] + i));
        auto* o = reinterpret_cast<__m256i*>(t.out + i);
        if constexpr (kStreaming) {
            _mm256_stream_si256(o, _mm256_xor_si256(a, b));
        } else {
            _mm256_storeu_si256(o, _mm256_xor_si256(a, b));
        }
    }
    for (; t.wide[0] == nullptr && i + 16 <= end; i += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.band[0] + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(t.band[1] + i));
        const __m256i lo = _mm256_unpacklo_epi16(a, b);
        const __m256i hi = _mm256_unpackhi_epi16(a, b);
        __m256i first = _mm256_permute2x128_si256(lo, hi, 0x20);
        __m256i second = _mm256_permute2x128_si256(lo, hi, 0x31);
        if (t.bands == 3) {
            const __m128i c0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.band[2] + i));
            const __m128i c1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.band[2] + i + 8));
            first = _mm256_xor_si256(first, _mm256_cvtepu16_epi32(c0));
            second = _mm256_xor_si256(second, _mm256_cvtepu16_epi32(c1));
        }
        auto* o = reinterpret_cast<__m256i*>(t.out + i);
        if constexpr (kStreaming) {
            _mm256_stream_si256(o, first);
            _mm256_stream_si256(o + 1, second);
        } else {
            _mm256_storeu_si256(o, first);
            _mm256_storeu_si256(o + 1, second);
        }
    }
    for (; i < end; ++i) pack_one(t, i);
    if constexpr (kStreaming) _mm_sfence();
}

const bool kHasAvx2 = __builtin_cpu_supports("avx2");
#endif

void run_share(const Task& t, std::size_t share, std::size_t shares) {
    // Shares end on 64-byte boundaries of the output, so no cache line is written by two threads.
    const std::size_t per = (t.n / shares + 15) / 16 * 16;
    const std::size_t begin = std::min(t.n, share * per);
    const std::size_t end = share + 1 == shares ? t.n : std::min(t.n, begin + per);
#if defined(__x86_64__)
    if (kHasAvx2) {
        if (t.streaming) {
            pack_avx2<true>(t, begin, end);
        } else {
            pack_avx2<false>(t, begin, end);
        }
        return;
    }
#endif
    pack_portable(t, begin, end);
}

// A short pause in a spin-wait loop, where the processor has one.
inline void spin_pause() {
#if defined(__x86_64__)
    _mm_pause();
#endif
}

// Threads that wait for the next task by spinning briefly and then sleeping (a futex through
// std::atomic::wait), so that back-to-back calls cost about what a pool's wake-up costs.
class Team {
public:
    Team() {
        cpu_set_t set;
        CPU_ZERO(&set);
        const int count = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
        threads_ = count > 0 ? static_cast<std::size_t>(count) : 1;
        for (std::size_t k = 1; k < threads_; ++k) {
            std::thread([this, k] { serve(k); }).detach();
        }
    }

    std::size_t threads() const { return threads_; }

    void run(const Task& task) {
        // Small tasks are not worth a wake-up.
        const std::size_t bytes =
            task.n * (task.wide[0] != nullptr ? 12 : 4 + 2 * static_cast<std::size_t>(task.bands));
        if (threads_ == 1 || bytes < (std::size_t{1} << 18)) return run_share(task, 0, 1);
        task_ = task;
        done_.store(0);
        generation_.fetch_add(1);
        generation_.notify_all();
        run_share(task, 0, threads_);
        for (std::size_t seen; (seen = done_.load()) != threads_ - 1;) done_.wait(seen);
    }

private:
    void serve(std::size_t index) {
        std::uint64_t seen = 0;
        for (;;) {
            for (int spin = 0; spin < 2000 && generation_.load() == seen; ++spin) spin_pause();
            generation_.wait(seen);
            seen = generation_.load();
            run_share(task_, index, threads_);
            done_.fetch_add(1);
            done_.notify_one();
        }
    }

    std::size_t threads_;
    Task task_{};
    alignas(64) std::atomic<std::uint64_t> generation_{0};
    alignas(64) std::atomic<std::size_t> done_{0};
};

Team& team() {
    static Team* instance = new Team;  // its threads live as long as the process
    return *instance;
}

}  // namespace

extern "C" {

int roofline_threads() { return static_cast<int>(team().threads()); }

// n pixels: out (n 32-bit words), a and b (n uint16 each), c (n uint16, or null for two bands).
void roofline_run(void* out, const void* a, const void* b, const void* c, std::size_t n, int streaming) {
    Task t{static_cast<std::uint32_t*>(out),
           {static_cast<const std::uint16_t*>(a), static_cast<const std::uint16_t*>(b),
            static_cast<const std::uint16_t*>(c)},
           c != nullptr ? 3 : 2,
           n,
           streaming != 0,
           {nullptr, nullptr}};
    team().run(t);
}

// n pixels: out (n 32-bit words), a and b (n float32 or other 32-bit words each).
void roofline_run32(void* out, const void* a, const void* b, std::size_t n, int streaming) {
    Task t{static_cast<std::uint32_t*>(out),
           {nullptr, nullptr, nullptr},
           2,
           n,
           streaming != 0,
           {static_cast<const std::uint32_t*>(a), static_cast<const std::uint32_t*>(b)}};
    team().run(t);
}
}
