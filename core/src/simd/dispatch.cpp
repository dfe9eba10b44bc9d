#include <cpuid.h>

#include "simd/encode_loops.h"
#include "simd/kernels.h"

namespace korvane::simd {

namespace {

std::uint64_t read_xcr0() {
    std::uint32_t eax, edx;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<std::uint64_t>(edx) << 32) | eax;
}

CpuFeatures detect() {
    CpuFeatures f;
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return f;
    const bool osxsave = ecx & (1u << 27);
    const bool fma = ecx & (1u << 12);
    const bool f16c = ecx & (1u << 29);
    const bool avx = ecx & (1u << 28);
    if (!osxsave || !avx) return f;
    const std::uint64_t xcr0 = read_xcr0();
    const bool ymm_enabled = (xcr0 & 0x6) == 0x6;      // SSE and AVX state
    const bool zmm_enabled = (xcr0 & 0xE6) == 0xE6;    // plus opmask, ZMM_Hi256, Hi16_ZMM
    if (!ymm_enabled) return f;
    if (__get_cpuid_max(0, nullptr) < 7) return f;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    f.avx2 = ebx & (1u << 5);
    f.fma = fma;
    f.f16c = f16c;
    if (zmm_enabled) {
        f.avx512f = ebx & (1u << 16);
        f.avx512bw = ebx & (1u << 30);
    }
    return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = detect();  // thread-safe, computed once
    return features;
}

// One rule everywhere: the AVX-512 variant when AVX-512F and AVX-512BW are available
// with their register state enabled, the AVX2 variant when AVX2 and FMA are, else scalar.
// There is no AVX-512 2-bit kernel: at that level 2-bit rows use the AVX2 kernel when
// the CPU has AVX2 and FMA, else the scalar one.
bool level_supported(const CpuFeatures& f, Level level) {
    switch (level) {
        case Level::Scalar: return true;
        case Level::Avx2: return f.has_avx2_fma();
        case Level::Avx512: return f.has_avx512();
    }
    return false;
}

Kernels kernels_for(const CpuFeatures& f, Level level) {
    const bool avx2 = f.has_avx2_fma();
    switch (level) {
        case Level::Avx512:
            return {dot_4bit_avx512, avx2 ? dot_2bit_avx2 : dot_2bit_scalar, dot_4bit_avx512_x4,
                    avx2 ? dot_2bit_avx2_x4 : dot_2bit_scalar_x4, block_scan_avx512,
                    block_scan_many_avx512, Level::Avx512};
        case Level::Avx2:
            return {dot_4bit_avx2, dot_2bit_avx2, dot_4bit_avx2_x4, dot_2bit_avx2_x4, block_scan_avx2,
                    block_scan_many_avx2, Level::Avx2};
        case Level::Scalar: break;
    }
    return {dot_4bit_scalar, dot_2bit_scalar, dot_4bit_scalar_x4, dot_2bit_scalar_x4, block_scan_scalar,
            block_scan_many_scalar, Level::Scalar};
}

Level best_level(const CpuFeatures& f) {
    if (level_supported(f, Level::Avx512)) return Level::Avx512;
    if (level_supported(f, Level::Avx2)) return Level::Avx2;
    return Level::Scalar;
}

bool level_supported(Level level) { return level_supported(cpu_features(), level); }
Kernels kernels_for(Level level) { return kernels_for(cpu_features(), level); }
Level best_level() { return best_level(cpu_features()); }

const Kernels& best_kernels() {
    static const Kernels k = kernels_for(best_level());
    return k;
}

}  // namespace korvane::simd

namespace korvane {

EncodeLoops encode_loops_baseline() {
    return {baseline::walsh_hadamard, baseline::encode_4bit, baseline::encode_2bit, baseline::scale_in_place};
}

EncodeLoops encode_loops_avx2() {
    return {avx2::walsh_hadamard, avx2::encode_4bit, avx2::encode_2bit, avx2::scale_in_place};
}

const EncodeLoops& encode_loops() {
    static const EncodeLoops loops =
        simd::cpu_features().has_avx2_fma() ? encode_loops_avx2() : encode_loops_baseline();
    return loops;
}

}  // namespace korvane
