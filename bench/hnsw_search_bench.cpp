// Microseconds per query of an HNSW search, in the core alone (no Python): loads a .krvn
// file, reads queries (raw float32, dim floats each), searches each query for k hits at
// each ef_search given, and reports the fastest of several passes per ef.
//
// Usage: korvane_hnsw_search_bench INDEX.krvn QUERIES.f32 [--k 10] [--ef 16,40,64] [--repeats 5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "engine/engine.h"

using namespace korvane;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s INDEX.krvn QUERIES.f32 [--k 10] [--ef 16,40,64] [--repeats 5]\n", argv[0]);
        return 2;
    }
    std::uint64_t k = 10;
    int repeats = 5;
    std::vector<std::uint64_t> efs = {16, 40, 64};
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--k") k = std::strtoull(argv[i + 1], nullptr, 10);
        if (flag == "--repeats") repeats = std::atoi(argv[i + 1]);
        if (flag == "--ef") {
            efs.clear();
            for (const char* p = argv[i + 1]; *p;) {
                char* end;
                efs.push_back(std::strtoull(p, &end, 10));
                p = *end ? end + 1 : end;
            }
        }
    }
    auto loaded = Engine::load(argv[1]);
    if (!loaded) {
        std::fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    Engine engine = std::move(loaded).value();
    const std::size_t dim = engine.config().dim;
    std::ifstream in(argv[2], std::ios::binary | std::ios::ate);
    const auto bytes = static_cast<std::size_t>(in.tellg());
    std::vector<float> floats(bytes / sizeof(float));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(floats.data()), static_cast<std::streamsize>(floats.size() * sizeof(float)));
    const std::size_t nq = floats.size() / dim;
    std::printf("%zu nodes, dim %zu, %zu queries, k %llu\n", static_cast<std::size_t>(engine.n_vectors()), dim, nq,
                static_cast<unsigned long long>(k));
    for (std::uint64_t ef : efs) {
        engine.set_ef_search(ef);
        double best = 1e30;
        std::size_t found = 0;
        for (int r = 0; r < repeats; ++r) {
            const auto t0 = std::chrono::steady_clock::now();
            found = 0;
            for (std::size_t q = 0; q < nq; ++q) {
                auto hits = engine.search(std::span<const float>(floats.data() + q * dim, dim), k, std::nullopt);
                found += hits ? hits.value().size() : 0;
            }
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            best = std::min(best, s);
        }
        std::printf("ef %4llu: %7.2f us/query (%zu hits)\n", static_cast<unsigned long long>(ef), best / nq * 1e6, found);
    }
    return 0;
}
