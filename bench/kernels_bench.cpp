// Nanoseconds per row of every scoring-kernel variant this CPU supports, single-row and
// four-row forms, for each requested row size; then of the block scans, streaming
// through blocks in memory and re-scanning one block in cache; then of the multi-query
// block scans, per row and query, re-scanning one block in cache beside the single-query scan.
//
// Usage: korvane_kernels_bench [--bytes 1024,512] [--rows 20000] [--scan-bytes 64,384]
//                              [--scan-rows 100000] [--scan-queries 1,4,8] [--repeats 7] [--csv]
//        korvane_kernels_bench [rows] [repeats]
//
// --bytes      packed row sizes to measure (a 4-bit row of B bytes holds 2B codes, a 2-bit
//              row 4B codes); default 1024 and 512
// --rows       rows per pass; every pass scores all of them against one query
// --scan-bytes code bytes per row for the block scans; default 64 and 384
// --scan-rows  rows per block-scan pass, in blocks of 32; streaming passes read each
//              block once, cached ones re-scan the first block as often; default 100000
// --scan-queries queries per multi-query block scan (1 to 8); default 1, 4 and 8
// --repeats    passes per variant; the fastest pass is reported
// --csv        one header line, then one line per supported variant and size:
//              kernel,bits,rows_at_once,level,row_bytes,ns_per_row,vs_scalar,dispatched
//              (dispatched is 1 for the variants a search on this CPU calls; block scans
//              are named block_scan_<level>_cached or _streaming, multi-query ones
//              block_scan_many_<level>_q<queries>_cached, timed per row and query)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
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
    const std::size_t scored = rows / 4 * 4;
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        float acc = 0, out[4];
        for (std::size_t i = 0; i < scored; i += 4) {
            const std::uint8_t* p[4] = {codes.data() + i * row_bytes, codes.data() + (i + 1) * row_bytes,
                                        codes.data() + (i + 2) * row_bytes, codes.data() + (i + 3) * row_bytes};
            fn(q.data(), q.size(), p, row_bytes, out);
            acc += out[0] + out[1] + out[2] + out[3];
        }
        const auto t1 = std::chrono::steady_clock::now();
        *sink += acc;
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / double(scored));
    }
    return best;
}

double scan_ns_per_row(BlockScanFn fn, const std::vector<std::uint8_t>& blocks, const std::vector<std::uint8_t>& lut,
                       std::size_t B, std::size_t nblocks, bool cached, int repeats, std::uint32_t* sink) {
    double best = 1e300;
    std::uint32_t out[32];
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        std::uint32_t acc = 0;
        for (std::size_t i = 0; i < nblocks; ++i) {
            fn(blocks.data() + (cached ? 0 : i * 32 * B), B, lut.data(), out);
            acc += out[i % 32];
        }
        const auto t1 = std::chrono::steady_clock::now();
        *sink += acc;
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / double(32 * nblocks));
    }
    return best;
}

// The same per row and query, nq queries a call.
double scan_many_ns_per_row(BlockScanManyFn fn, const std::vector<std::uint8_t>& blocks,
                            const std::vector<const std::uint8_t*>& luts, std::size_t B, std::size_t nq,
                            std::size_t nblocks, int repeats, std::uint32_t* sink) {
    double best = 1e300;
    std::uint32_t out[32 * kMaxScanQueries];
    for (int r = 0; r < repeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        std::uint32_t acc = 0;
        for (std::size_t i = 0; i < nblocks; ++i) {
            fn(blocks.data(), B, luts.data(), nq, out);
            acc += out[i % (32 * nq)];
        }
        const auto t1 = std::chrono::steady_clock::now();
        *sink += acc;
        best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / double(32 * nblocks * nq));
    }
    return best;
}

const char* level_name(Level level) {
    switch (level) {
        case Level::Scalar: return "scalar";
        case Level::Avx2: return "avx2";
        case Level::Avx512: return "avx512";
    }
    return "?";
}

struct Options {
    std::vector<std::size_t> bytes{1024, 512};
    std::size_t rows = 20000;
    std::vector<std::size_t> scan_bytes{64, 384};
    std::size_t scan_rows = 100000;
    std::vector<std::size_t> scan_queries{1, 4, 8};
    int repeats = 7;
    bool csv = false;
};

bool parse_count(const char* s, unsigned long long& out) {
    char* end = nullptr;
    if (*s < '0' || *s > '9') return false;
    out = std::strtoull(s, &end, 10);
    return end != s && *end == '\0' && out > 0;
}

bool parse_sizes(const char* s, std::vector<std::size_t>& out) {
    out.clear();
    std::string text(s);
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        unsigned long long v = 0;
        if (!parse_count(text.substr(start, comma - start).c_str(), v)) return false;
        out.push_back(static_cast<std::size_t>(v));
        start = comma + 1;
    }
    return !out.empty();
}

int usage(const char* prog) {
    std::fprintf(stderr,
                 "usage: %s [--bytes 1024,512] [--rows 20000] [--scan-bytes 64,384] [--scan-rows 100000] "
                 "[--scan-queries 1,4,8] [--repeats 7] [--csv]\n       %s [rows] [repeats]\n",
                 prog, prog);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int positional = 0;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        unsigned long long v = 0;
        const bool has_value = i + 1 < argc;
        if (std::strcmp(a, "--csv") == 0) {
            opt.csv = true;
        } else if (std::strcmp(a, "--bytes") == 0) {
            if (!has_value || !parse_sizes(argv[++i], opt.bytes)) return usage(argv[0]);
        } else if (std::strcmp(a, "--rows") == 0) {
            if (!has_value || !parse_count(argv[++i], v)) return usage(argv[0]);
            opt.rows = static_cast<std::size_t>(v);
        } else if (std::strcmp(a, "--scan-bytes") == 0) {
            if (!has_value || !parse_sizes(argv[++i], opt.scan_bytes)) return usage(argv[0]);
        } else if (std::strcmp(a, "--scan-rows") == 0) {
            if (!has_value || !parse_count(argv[++i], v) || v < 32) return usage(argv[0]);
            opt.scan_rows = static_cast<std::size_t>(v);
        } else if (std::strcmp(a, "--scan-queries") == 0) {
            if (!has_value || !parse_sizes(argv[++i], opt.scan_queries)) return usage(argv[0]);
            for (std::size_t nq : opt.scan_queries) {
                if (nq > kMaxScanQueries) return usage(argv[0]);
            }
        } else if (std::strcmp(a, "--repeats") == 0) {
            if (!has_value || !parse_count(argv[++i], v)) return usage(argv[0]);
            opt.repeats = static_cast<int>(v);
        } else if (positional < 2 && parse_count(a, v)) {
            // the older form: rows, then repeats
            if (positional++ == 0) opt.rows = static_cast<std::size_t>(v);
            else opt.repeats = static_cast<int>(v);
        } else {
            return usage(argv[0]);
        }
    }
    if (opt.rows < 4) {
        std::fprintf(stderr, "--rows must be at least 4\n");
        return 2;
    }

    std::mt19937 rng(1);
    std::normal_distribution<float> normal(0, 1);
    float sink = 0;
    struct Variant {
        const char* name;
        DotFn fn;
        Dot4Fn fn4;
        Level level;
        int bits;
    };
    const Variant variants[] = {
        {"dot_4bit_scalar", dot_4bit_scalar, nullptr, Level::Scalar, 4},
        {"dot_4bit_scalar_x4", nullptr, dot_4bit_scalar_x4, Level::Scalar, 4},
        {"dot_4bit_avx2", dot_4bit_avx2, nullptr, Level::Avx2, 4},
        {"dot_4bit_avx2_x4", nullptr, dot_4bit_avx2_x4, Level::Avx2, 4},
        {"dot_4bit_avx512", dot_4bit_avx512, nullptr, Level::Avx512, 4},
        {"dot_4bit_avx512_x4", nullptr, dot_4bit_avx512_x4, Level::Avx512, 4},
        {"dot_2bit_scalar", dot_2bit_scalar, nullptr, Level::Scalar, 2},
        {"dot_2bit_scalar_x4", nullptr, dot_2bit_scalar_x4, Level::Scalar, 2},
        {"dot_2bit_avx2", dot_2bit_avx2, nullptr, Level::Avx2, 2},
        {"dot_2bit_avx2_x4", nullptr, dot_2bit_avx2_x4, Level::Avx2, 2},
    };
    const Kernels& used = best_kernels();
    auto dispatched = [&](const Variant& v) {
        return v.fn ? (v.fn == used.dot_4bit || v.fn == used.dot_2bit)
                    : (v.fn4 == used.dot_4bit_x4 || v.fn4 == used.dot_2bit_x4);
    };

    if (opt.csv) {
        std::printf("kernel,bits,rows_at_once,level,row_bytes,ns_per_row,vs_scalar,dispatched\n");
    } else {
        std::printf("%zu rows per pass, best of %d passes; * marks the variants a search calls here (%s)\n", opt.rows,
                    opt.repeats, level_name(used.level));
        std::printf("%-20s %10s %12s %12s\n", "kernel", "row bytes", "ns/row", "vs scalar");
    }
    for (std::size_t row_bytes : opt.bytes) {
        std::vector<std::uint8_t> codes(opt.rows * row_bytes);
        for (auto& c : codes) c = static_cast<std::uint8_t>(rng());
        double scalar_ns[5] = {0, 0, 0, 0, 0};  // single-row scalar time, by bit width
        for (const auto& v : variants) {
            if (!level_supported(v.level)) {
                if (!opt.csv) std::printf("%-20s %10zu %12s\n", v.name, row_bytes, "n/a (CPU)");
                continue;
            }
            std::vector<float> q(row_bytes * (8 / v.bits));
            for (auto& x : q) x = normal(rng);
            const double ns = v.fn ? ns_per_row(v.fn, q, codes, row_bytes, opt.rows, opt.repeats, &sink)
                                   : ns_per_row_x4(v.fn4, q, codes, row_bytes, opt.rows, opt.repeats, &sink);
            if (v.level == Level::Scalar && v.fn) scalar_ns[v.bits] = ns;
            const double speedup = scalar_ns[v.bits] / ns;
            if (opt.csv) {
                std::printf("%s,%d,%d,%s,%zu,%.3f,%.3f,%d\n", v.name, v.bits, v.fn ? 1 : 4, level_name(v.level),
                            row_bytes, ns, speedup, dispatched(v) ? 1 : 0);
            } else {
                std::printf("%-20s %10zu %12.1f %11.2fx%s\n", v.name, row_bytes, ns, speedup,
                            dispatched(v) ? " *" : "");
            }
        }
    }
    struct ScanVariant {
        const char* name;
        BlockScanFn fn;
        Level level;
    };
    const ScanVariant scans[] = {{"scalar", block_scan_scalar, Level::Scalar},
                                 {"avx2", block_scan_avx2, Level::Avx2},
                                 {"avx512", block_scan_avx512, Level::Avx512}};
    const BlockScanManyFn scans_many[] = {block_scan_many_scalar, block_scan_many_avx2, block_scan_many_avx512};
    std::uint32_t scan_sink = 0;
    const std::size_t nblocks = opt.scan_rows / 32;
    for (std::size_t B : opt.scan_bytes) {
        std::vector<std::uint8_t> blocks(nblocks * 32 * B), lut(laid_out_table_bytes(B));
        for (auto& c : blocks) c = static_cast<std::uint8_t>(rng());
        for (auto& t : lut) t = static_cast<std::uint8_t>(rng());
        for (const bool cached : {true, false}) {
            double scalar_ns = 0;
            for (const auto& v : scans) {
                const std::string name = std::string("block_scan_") + v.name + (cached ? "_cached" : "_streaming");
                if (!level_supported(v.level)) {
                    if (!opt.csv) std::printf("%-34s %10zu %12s\n", name.c_str(), B, "n/a (CPU)");
                    continue;
                }
                const double ns = scan_ns_per_row(v.fn, blocks, lut, B, nblocks, cached, opt.repeats, &scan_sink);
                if (v.level == Level::Scalar) scalar_ns = ns;
                const bool is_used = v.fn == used.block_scan;
                if (opt.csv) {
                    std::printf("%s,4,32,%s,%zu,%.3f,%.3f,%d\n", name.c_str(), level_name(v.level), B, ns,
                                scalar_ns / ns, is_used ? 1 : 0);
                } else {
                    std::printf("%-34s %10zu %12.3f %11.2fx%s\n", name.c_str(), B, ns, scalar_ns / ns,
                                is_used ? " *" : "");
                }
            }
        }
        // Multi-query scans, each beside its level's single-query scan of the same cached block.
        std::vector<std::vector<std::uint8_t>> many_luts(kMaxScanQueries, lut);
        std::vector<const std::uint8_t*> luts;
        for (auto& l : many_luts) {
            for (auto& t : l) t = static_cast<std::uint8_t>(rng());
            luts.push_back(l.data());
        }
        double scalar_ns = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            if (!level_supported(scans[k].level)) continue;
            const double single_ns = scan_ns_per_row(scans[k].fn, blocks, lut, B, nblocks, true, opt.repeats, &scan_sink);
            if (k == 0) scalar_ns = single_ns;
            for (std::size_t nq : opt.scan_queries) {
                const std::string name =
                    std::string("block_scan_many_") + scans[k].name + "_q" + std::to_string(nq) + "_cached";
                const double ns =
                    scan_many_ns_per_row(scans_many[k], blocks, luts, B, nq, nblocks, opt.repeats, &scan_sink);
                const bool is_used = scans_many[k] == used.block_scan_many;
                if (opt.csv) {
                    std::printf("%s,4,32,%s,%zu,%.3f,%.3f,%d\n", name.c_str(), level_name(scans[k].level), B, ns,
                                scalar_ns / ns, is_used ? 1 : 0);
                } else {
                    std::printf("%-34s %10zu %12.3f %11.2fx  %.2fx the 1-query time%s\n", name.c_str(), B, ns,
                                scalar_ns / ns, ns / single_ns, is_used ? " *" : "");
                }
            }
        }
    }
    sink += float(scan_sink);
    // Printed so the scored sums stay live; goes to stderr in CSV mode to keep that output clean.
    std::fprintf(opt.csv ? stderr : stdout, "(checksum %g)\n", double(sink));
    return 0;
}
