// Nanoseconds per row of every scoring-kernel variant this CPU supports.
// Usage: korvane_kernels_bench [rows] [repeats]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "simd/kernels.h"

using namespace korvane::simd;

namespace {

double ns_per_row(DotFn fn, const std::vector<float>& q, const std::vector<std::uint8_t>& codes, std::size_t row_bytes,
                  std::size_t rows, int repeats, float* sink) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        float acc = 0;
        for (std::size_t i = 0; i < rows; ++i) acc += fn(q.data(), q.size(), codes.data() + i * row_bytes, row_bytes);
        const auto t1 = std::chrono::steady_clock::now();
        *sink += acc;
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / double(rows));
    }
    return best;
}

double ns_per_row_x4(Dot4Fn fn, const std::vector<float>& q, const std::vector<std::uint8_t>& codes,
                     std::size_t row_bytes, std::size_t rows, int repeats, float* sink) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        float acc = 0, out[4];
        for (std::size_t i = 0; i + 4 <= rows; i += 4) {
            const std::uint8_t* p[4] = {codes.data() + i * row_bytes, codes.data() + (i + 1) * row_bytes,
                                        codes.data() + (i + 2) * row_bytes, codes.data() + (i + 3) * row_bytes};
            fn(q.data(), q.size(), p, row_bytes, out);
            acc += out[0] + out[1] + out[2] + out[3];
        }
        const auto t1 = std::chrono::steady_clock::now();
        *sink += acc;
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / double(rows));
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t rows = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 7;
    std::mt19937 rng(1);
    std::normal_distribution<float> normal(0, 1);
    float sink = 0;
    struct Variant {
        const char* name;
        DotFn fn;
        Dot4Fn fn4;
        Level level;
        int codes_per_byte;
    };
    const Variant variants[] = {
        {"dot_4bit scalar", dot_4bit_scalar, nullptr, Level::Scalar, 2},
        {"dot_4bit avx2", dot_4bit_avx2, nullptr, Level::Avx2, 2},
        {"dot_4bit avx512", dot_4bit_avx512, nullptr, Level::Avx512, 2},
        {"dot_4bit avx512 x4", nullptr, dot_4bit_avx512_x4, Level::Avx512, 2},
        {"dot_2bit scalar", dot_2bit_scalar, nullptr, Level::Scalar, 4},
        {"dot_2bit avx2", dot_2bit_avx2, nullptr, Level::Avx2, 4},
        {"dot_2bit avx2 x4", nullptr, dot_2bit_avx2_x4, Level::Avx2, 4},
    };
    std::printf("%-20s %10s %12s %12s\n", "kernel", "row bytes", "ns/row", "vs scalar");
    for (std::size_t row_bytes : {1024u, 512u}) {
        std::vector<std::uint8_t> codes(rows * row_bytes);
        for (auto& c : codes) c = static_cast<std::uint8_t>(rng());
        double scalar_ns[5] = {0, 0, 0, 0, 0};
        for (const auto& v : variants) {
            if (!level_supported(v.level)) {
                std::printf("%-20s %10zu %12s\n", v.name, row_bytes, "n/a (CPU)");
                continue;
            }
            std::vector<float> q(row_bytes * v.codes_per_byte);
            for (auto& x : q) x = normal(rng);
            const double ns = v.fn ? ns_per_row(v.fn, q, codes, row_bytes, rows, repeats, &sink)
                                   : ns_per_row_x4(v.fn4, q, codes, row_bytes, rows, repeats, &sink);
            if (v.level == Level::Scalar) scalar_ns[v.codes_per_byte] = ns;
            std::printf("%-20s %10zu %12.1f %11.2fx\n", v.name, row_bytes, ns, scalar_ns[v.codes_per_byte] / ns);
        }
    }
    std::printf("(checksum %g)\n", double(sink));
    return 0;
}
