// Seconds and GFLOP/s of the k-means assignment step (assign_labels): n vectors of `dim`
// floats against k centroids, the centroids being k distinct random rows of the vectors.
// One pass costs 2·n·k·dim floating-point operations (a multiply and an add per
// coordinate of each vector-centroid pair); the label choice is counted as free.
//
// Usage: korvane_kmeans_bench [--n 20000] [--dim 1024] [--k 256] [--metric dot|cosine|l2]
//                             [--repeats 5] [--csv]
//
// --repeats passes after one warm-up pass; the fastest is reported, the median beside it
// --csv     one header line, then one line:
//           n,dim,k,metric,kernel,repeats,best_s,median_s,gflops
//           (gflops from the fastest pass)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "base/types.h"
#include "index/kmeans.h"
#include "simd/float_dots.h"

namespace {

struct Options {
    std::size_t n = 20000;
    std::size_t dim = 1024;
    std::size_t k = 256;
    korvane::Metric metric = korvane::Metric::Dot;
    int repeats = 5;
    bool csv = false;
};

bool parse_count(const char* s, unsigned long long& out) {
    char* end = nullptr;
    if (*s < '0' || *s > '9') return false;
    out = std::strtoull(s, &end, 10);
    return end != s && *end == '\0' && out > 0;
}

bool parse_metric(const char* s, korvane::Metric& out) {
    if (std::strcmp(s, "dot") == 0) out = korvane::Metric::Dot;
    else if (std::strcmp(s, "cosine") == 0) out = korvane::Metric::Cosine;
    else if (std::strcmp(s, "l2") == 0) out = korvane::Metric::L2;
    else return false;
    return true;
}

int usage(const char* prog) {
    std::fprintf(stderr,
                 "usage: %s [--n 20000] [--dim 1024] [--k 256] [--metric dot|cosine|l2] [--repeats 5] [--csv]\n",
                 prog);
    return 2;
}

const char* kernel_name() {
    const korvane::simd::BlockDotsFn fn = korvane::simd::best_block_dots();
    if (fn == korvane::simd::block_dots_avx2) return "avx2";
    if (fn == korvane::simd::block_dots_scalar) return "scalar";
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        unsigned long long v = 0;
        const bool has_value = i + 1 < argc;
        if (std::strcmp(a, "--csv") == 0) {
            opt.csv = true;
        } else if (std::strcmp(a, "--metric") == 0) {
            if (!has_value || !parse_metric(argv[++i], opt.metric)) return usage(argv[0]);
        } else if (std::strcmp(a, "--n") == 0 || std::strcmp(a, "--dim") == 0 || std::strcmp(a, "--k") == 0 ||
                   std::strcmp(a, "--repeats") == 0) {
            if (!has_value || !parse_count(argv[++i], v)) return usage(argv[0]);
            if (std::strcmp(a, "--n") == 0) opt.n = static_cast<std::size_t>(v);
            else if (std::strcmp(a, "--dim") == 0) opt.dim = static_cast<std::size_t>(v);
            else if (std::strcmp(a, "--k") == 0) opt.k = static_cast<std::size_t>(v);
            else opt.repeats = static_cast<int>(v);
        } else {
            return usage(argv[0]);
        }
    }
    if (opt.k > opt.n) {
        std::fprintf(stderr, "--k must not exceed --n\n");
        return 2;
    }

    std::mt19937_64 rng(1);
    std::normal_distribution<float> normal(0, 1);
    std::vector<float> vectors(opt.n * opt.dim);
    for (auto& x : vectors) x = normal(rng);

    // k distinct rows as the centroids (a partial Fisher-Yates shuffle of the row numbers).
    std::vector<std::size_t> order(opt.n);
    for (std::size_t i = 0; i < opt.n; ++i) order[i] = i;
    std::vector<float> rows(opt.k * opt.dim);
    for (std::size_t j = 0; j < opt.k; ++j) {
        std::uniform_int_distribution<std::size_t> pick(j, opt.n - 1);
        std::swap(order[j], order[pick(rng)]);
        std::memcpy(rows.data() + j * opt.dim, vectors.data() + order[j] * opt.dim, opt.dim * sizeof(float));
    }
    const korvane::CentroidSet centroids(std::move(rows), opt.k, opt.dim);

    std::vector<std::uint32_t> labels(opt.n, 0);
    korvane::assign_labels(centroids, vectors.data(), opt.n, opt.metric, labels.data());  // warm-up
    std::vector<double> secs;
    for (int r = 0; r < opt.repeats; ++r) {
        std::fill(labels.begin(), labels.end(), 0u);
        const auto t0 = std::chrono::steady_clock::now();
        korvane::assign_labels(centroids, vectors.data(), opt.n, opt.metric, labels.data());
        const auto t1 = std::chrono::steady_clock::now();
        secs.push_back(std::chrono::duration<double>(t1 - t0).count());
    }
    std::sort(secs.begin(), secs.end());
    const double best = secs.front();
    const double median = secs[secs.size() / 2];
    const double flops = 2.0 * double(opt.n) * double(opt.k) * double(opt.dim);
    const double gflops = flops / best * 1e-9;

    // A label sum keeps the passes live; it goes to stderr in CSV mode to keep that output clean.
    std::uint64_t checksum = 0;
    for (auto l : labels) checksum += l;

    if (opt.csv) {
        std::printf("n,dim,k,metric,kernel,repeats,best_s,median_s,gflops\n");
        std::printf("%zu,%zu,%zu,%s,%s,%d,%.6f,%.6f,%.3f\n", opt.n, opt.dim, opt.k, korvane::metric_text(opt.metric),
                    kernel_name(), opt.repeats, best, median, gflops);
    } else {
        std::printf("assign_labels: n=%zu dim=%zu k=%zu metric=%s kernel=%s\n", opt.n, opt.dim, opt.k,
                    korvane::metric_text(opt.metric), kernel_name());
        std::printf("fastest of %d passes: %.4f s (median %.4f s), %.2f GFLOP/s (2*n*k*dim = %.3g flops)\n",
                    opt.repeats, best, median, gflops, flops);
    }
    std::fprintf(opt.csv ? stderr : stdout, "(label sum %llu)\n", static_cast<unsigned long long>(checksum));
    return 0;
}
