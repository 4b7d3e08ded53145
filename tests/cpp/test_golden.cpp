// Golden bits: the float32 outputs of every kernel, of a few hundred seeded random expression
// programs over seeded random bands and layouts, and of the C library's powf, hashed and compared
// with digests that an x86-64 build wrote into golden_digests.txt. The same inputs on another
// processor, another vector width or another C library must give the same bits, so a contracted
// multiply-add, a reordered operation or a powf that rounds differently fails here.
//
//   test_golden            compare with the checked-in digests
//   test_golden --write    write them (on x86-64, after a change that is meant to alter results)
//
// Inputs come from the raw words of a seeded mt19937_64, whose sequence the C++ standard fixes,
// and from exact integer arithmetic, never from a library's distributions. One freedom is left to
// the processor: the sign of a NaN that an invalid operation creates (x86-64 sets it, aarch64 and
// ppc64le do not), so the sign bit of every NaN is cleared before hashing; payloads still count.
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <math.h>

#include "check.h"
#include "core/epsilon.h"
#include "core/expr/block_evaluator.h"
#include "core/expr/evaluator.h"
#include "core/kernels/runs.h"
#include "core/parallel/pool.h"

using namespace rastrel;

namespace {

using Rng = std::mt19937_64;
using Digests = std::map<std::string, std::string>;

// 64-bit FNV-1a over the little-endian bytes of the words, with the NaN sign cleared so that the
// digest reads the same on every processor that computed the same values. Each step is a
// bijection of the running state, so results that differ in one word never share a digest.
std::string digest(const std::vector<float>& values) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (const float v : values) {
        std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
        if (std::isnan(v)) bits &= 0x7FFFFFFFu;
        for (int byte = 0; byte < 4; ++byte) {
            h ^= (bits >> (8 * byte)) & 0xFFu;
            h *= 0x100000001b3u;
        }
    }
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

std::size_t below(Rng& rng, std::size_t n) { return static_cast<std::size_t>(rng() % n); }

std::uint16_t sample(Rng& rng) {
    static constexpr std::uint16_t kEdges[] = {0, 1, 2, 3, 255, 256, 32767, 32768, 65534, 65535};
    if (below(rng, 4) == 0) return kEdges[below(rng, std::size(kEdges))];
    return static_cast<std::uint16_t>(rng());
}

// Any sign, an exponent from 2^-27 to 2^23 and a random mantissa; or a value users write.
float scalar(Rng& rng) {
    static constexpr float kPicks[] = {0.0f,  -0.0f, 1.0f, -1.0f,  0.5f,           2.0f,     3.0f, -2.5f,
                                       1.05f, 6.1f,  7.3f, 1e-10f, -DENOM_EPSILON, INFINITY, NAN,  1e-45f};
    if (below(rng, 2) == 0) return kPicks[below(rng, std::size(kPicks))];
    const std::uint64_t r = rng();
    return std::bit_cast<float>(
        static_cast<std::uint32_t>((r >> 63) << 31 | (100 + r % 51) << 23 | (r >> 8) % (1u << 23)));
}

// ---------------------------------------------------------------------------------------------
// Kernels: every copy this processor runs, cached and streaming, over runs at several lengths
// and byte offsets; all must give the one digest.

struct KernelCase {
    std::string name;
    int bands;
    std::function<void(const kernels::RunTable&, float*, const std::uint16_t* const*, std::size_t, Stores)> run;
};

std::string text(float v) {
    char s[32];
    std::snprintf(s, sizeof s, "%.9g", static_cast<double>(v));
    return s;
}

std::vector<KernelCase> kernel_cases() {
    using namespace kernels;
    std::vector<KernelCase> cases = {
        {"normalized_difference", 2,
         [](auto& t, auto o, auto b, auto n, auto s) { t.normalized_difference({}, o, b, n, s); }},
        {"ratio", 2, [](auto& t, auto o, auto b, auto n, auto s) { t.ratio({}, o, b, n, s); }},
    };
    for (const float l : {0.5f, 1.05f, 0.0f, -1.0f, -DENOM_EPSILON, -65535.0f}) {
        cases.push_back({"adjusted_difference l=" + text(l), 2, [l](auto& t, auto o, auto b, auto n, auto s) {
                             t.adjusted_difference(AdjustedDifference(l), o, b, n, s);
                         }});
    }
    const EnhancedVegetationIndex evis[] = {
        {2.5f, 6.1f, 7.3f, 1.05f}, {2.5f, 6.0f, 7.5f, 1.0f}, {-0.7f, 0.3f, 11.0f, -DENOM_EPSILON}};
    for (const EnhancedVegetationIndex& e : evis) {
        const std::string name = "evi g=" + text(e.g) + " c1=" + text(e.c1) + " c2=" + text(e.c2) + " l=" + text(e.l);
        cases.push_back({name, 3, [e](auto& t, auto o, auto b, auto n, auto s) { t.evi(e, o, b, n, s); }});
    }
    return cases;
}

void kernel_digests(Digests& got) {
    constexpr std::size_t kLengths[] = {1, 7, 64, 129, 1031, 20000};
    Rng rng(15);
    std::vector<std::uint16_t> samples[3];
    for (auto& s : samples) {
        s.resize(21500);
        for (auto& v : s) v = sample(rng);
    }
    for (const KernelCase& c : kernel_cases()) {
        std::string first;
        for (const Isa isa : kAllIsas) {
            const kernels::RunTable* table = kernels::run_table(isa);
            if (table == nullptr) continue;
            for (const Stores stores : {Stores::kCached, Stores::kStreaming}) {
                std::vector<float> all;
                std::vector<unsigned char> out_bytes(4 * 20000 + 64);
                std::size_t start = 0;
                for (std::size_t i = 0; i < std::size(kLengths); ++i) {
                    // Outputs at every byte offset within a word; inputs one sample apart per band.
                    unsigned char* out = out_bytes.data() + i % 4;
                    const std::uint16_t* in[3] = {&samples[0][start], &samples[1][start + 1], &samples[2][start + 2]};
                    c.run(*table, reinterpret_cast<float*>(out), in, kLengths[i], stores);
                    for (std::size_t k = 0; k < kLengths[i]; ++k) {
                        float v;
                        std::memcpy(&v, out + 4 * k, 4);
                        all.push_back(v);
                    }
                    start += kLengths[i] / 3;
                }
                const std::string d = digest(all);
                if (first.empty()) first = d;
                CHECK_MSG(d == first, c.name << ": " << table->isa << (stores == Stores::kStreaming ? " streaming" : "")
                                             << " differs from " << kernels::run_table(Isa::kPortable)->isa);
            }
        }
        got["kernel " + c.name] = first;
    }
}

// ---------------------------------------------------------------------------------------------
// Programs: random, pow favoured, over bands in random layouts, through the per-pixel reference
// and the block evaluator on the pool; both must give the one digest.

std::vector<Instruction> random_program(Rng& rng, std::size_t nbands) {
    std::vector<Instruction> prog;
    int depth = 0;
    const std::size_t length = 1 + below(rng, 40);
    while (prog.size() < length) {
        // pow three times as often as any other op.
        const std::size_t pick = below(rng, kOpCount + 2);
        const auto k = pick >= kOpCount ? OpCode::pow : static_cast<OpCode>(pick);
        const int operands = static_cast<int>(op_operands(k));
        if (depth < operands || depth + op_stack_effect(k) > 16) continue;
        if (k == OpCode::push_band && nbands == 0) continue;
        prog.push_back(
            {k, k == OpCode::push_scalar ? scalar(rng) : 0.0f, k == OpCode::push_band ? below(rng, nbands) : 0});
        depth += op_stack_effect(k);
    }
    return prog;
}

// A rows x cols band (or output) inside a larger buffer: row- or column-major, with gaps between
// elements and lines, reversed axes, and at times an odd byte address.
template <class T>
struct Placed {
    std::vector<unsigned char> bytes;
    View2D<T> view{};

    Placed(Rng& rng, std::size_t rows, std::size_t cols) {
        const bool column_major = below(rng, 3) == 0;
        const auto spread = static_cast<std::ptrdiff_t>(below(rng, 4) == 0 ? 2 : 1);
        const auto pad = static_cast<std::ptrdiff_t>(below(rng, 3) == 0 ? below(rng, 5) : 0);
        const auto r = static_cast<std::ptrdiff_t>(rows), c = static_cast<std::ptrdiff_t>(cols);
        std::ptrdiff_t s0 = column_major ? spread : c * spread + pad, s1 = column_major ? r * spread + pad : spread;
        const std::ptrdiff_t last = (r - 1) * s0 + (c - 1) * s1;
        bytes.assign(static_cast<std::size_t>(last + 1) * sizeof(T) + 1, 0);
        std::ptrdiff_t origin = 0;
        if (below(rng, 5) == 0) origin += (r - 1) * s0, s0 = -s0;
        if (below(rng, 5) == 0) origin += (c - 1) * s1, s1 = -s1;
        auto* base = reinterpret_cast<T*>(bytes.data() + (below(rng, 6) == 0 ? 1 : 0));
        view = {base + origin, rows, cols, s0, s1};
    }
    void* at(std::size_t i, std::size_t j) const {
        return const_cast<std::remove_const_t<T>*>(view.data + static_cast<std::ptrdiff_t>(i) * view.row_stride +
                                                   static_cast<std::ptrdiff_t>(j) * view.col_stride);
    }
};

std::vector<float> read_out(const Placed<float>& out) {
    std::vector<float> values;
    for (std::size_t i = 0; i < out.view.rows; ++i) {
        for (std::size_t j = 0; j < out.view.cols; ++j)
            values.push_back(0), std::memcpy(&values.back(), out.at(i, j), 4);
    }
    return values;
}

void program_digests(Digests& got, int programs) {
    Rng rng(1515);
    std::size_t pow_pixels = 0;
    for (int p = 0; p < programs; ++p) {
        const std::size_t rows = 1 + below(rng, 24), cols = 1 + below(rng, below(rng, 3) == 0 ? 600 : 60);
        const std::size_t nbands = below(rng, 4);
        std::vector<Placed<const std::uint16_t>> bands;
        std::vector<BandView> views;
        for (std::size_t k = 0; k < nbands; ++k) {
            // One draw per statement: the order in which arguments are evaluated is the compiler's.
            const std::size_t band_rows = rows + below(rng, 3);
            const std::size_t band_cols = cols + below(rng, 3);
            auto& band = bands.emplace_back(rng, band_rows, band_cols);
            for (std::size_t i = 0; i < band.view.rows; ++i) {
                for (std::size_t j = 0; j < band.view.cols; ++j) {
                    const std::uint16_t v = sample(rng);
                    std::memcpy(band.at(i, j), &v, 2);
                }
            }
            views.push_back(band.view);
        }
        const std::vector<Instruction> prog = random_program(rng, nbands);
        Placed<float> reference(rng, rows, cols);
        Placed<float> blocks = reference;
        blocks.view.data = reinterpret_cast<float*>(
            blocks.bytes.data() + (reinterpret_cast<unsigned char*>(reference.view.data) - reference.bytes.data()));
        evaluate_all(prog, views, reference.view);
        evaluate_blocks(prog, views, blocks.view);
        const std::string d = digest(read_out(reference));
        CHECK_MSG(digest(read_out(blocks)) == d, "program " << p << ": the block evaluator differs from the reference");
        char name[32];
        std::snprintf(name, sizeof name, "program %03d", p);
        got[name] = d;
        for (const Instruction& ins : prog) pow_pixels += ins.kind == OpCode::pow ? rows * cols : 0;
    }
    std::printf("%d programs, %zu pow evaluations\n", programs, pow_pixels);
}

// ---------------------------------------------------------------------------------------------
// powf alone, over bases and exponents a program meets: samples, small and large scalars, and
// the integer and half-integer exponents where a powf has its special cases.
void powf_digest(Digests& got, std::size_t count) {
    Rng rng(2);
    std::vector<float> values;
    values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const float base = below(rng, 2) == 0 ? static_cast<float>(sample(rng)) : scalar(rng);
        float exponent;
        switch (below(rng, 4)) {
            case 0: exponent = static_cast<float>(static_cast<int>(below(rng, 41)) - 20); break;
            case 1: exponent = static_cast<float>(static_cast<int>(below(rng, 41)) - 20) + 0.5f; break;
            default: exponent = static_cast<float>(static_cast<int>(below(rng, 1 << 16)) - (1 << 15)) / 4096.0f; break;
        }
        values.push_back(::powf(base, exponent));
    }
    got["powf"] = digest(values);
}

std::string golden_file() { return RASTREL_GOLDEN_FILE; }

Digests read_digests() {
    Digests d;
    std::ifstream in(golden_file());
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto space = line.rfind(' ');
        d[line.substr(0, space)] = line.substr(space + 1);
    }
    return d;
}

void write_digests(const Digests& d) {
    std::ofstream out(golden_file());
    out << "# FNV-1a digests of the float32 outputs (NaN sign cleared) that tests/cpp/test_golden.cpp computes;\n"
           "# written on x86-64 by `test_golden --write`, compared on every processor.\n";
    for (const auto& [name, hex] : d) out << name << ' ' << hex << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    const bool write = argc > 1 && std::string(argv[1]) == "--write";
    parallel::set_up_global_pool();
    Digests got;
    kernel_digests(got);
    program_digests(got, 300);
    powf_digest(got, 1 << 20);
    std::printf("copies: %s widest\n", widest_copies().name);
    if (write) {
        write_digests(got);
        std::printf("wrote %zu digests to %s\n", got.size(), golden_file().c_str());
        return check::exit_code();
    }
    const Digests want = read_digests();
    CHECK_MSG(!want.empty(), "no digests in " << golden_file());
    for (const auto& [name, hex] : want) {
        const auto it = got.find(name);
        CHECK_MSG(it != got.end() && it->second == hex,
                  name << ": " << (it == got.end() ? "not computed" : it->second) << ", golden " << hex);
    }
    CHECK_EQ(got.size(), want.size(), "digests computed and golden");
    return check::exit_code();
}
