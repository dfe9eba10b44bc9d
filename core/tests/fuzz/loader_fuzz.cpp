// Fuzz target for the .krvn loader: each input is written to a file of this process and
// loaded. An index that loads is searched with a zero query, saved to a second file and
// loaded again (and searched again); then rows are added to it (an add that stops at a
// short row, then a whole one), it is built and searched, and what it has become must
// save and load once more. Errors are expected and ignored; only a crash, a sanitizer
// report, a hang or a saved index that does not load counts as a finding.
//
// Built two ways: with clang and libFuzzer (build.sh, `make fuzz`), and with the project's
// own compiler beside replay_main.cpp, which feeds the committed corpus through the same
// function once as a CTest test.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/inspect.h"

namespace {

// A legal dimension can still be far too large to build a rotation for in a fuzzer's
// memory budget; such inputs are skipped rather than reported.
constexpr std::uint32_t kMaxFuzzDim = 65536;
constexpr std::uint64_t kMaxFuzzGrowM = 1024;

// KORVANE_FUZZ_SCRATCH if set, else memory-backed /dev/shm (a save syncs to disk), else
// TMPDIR, else /tmp.
std::string scratch_dir() {
    if (const char* d = std::getenv("KORVANE_FUZZ_SCRATCH"); d != nullptr && *d != '\0') return d;
    if (::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    if (const char* t = std::getenv("TMPDIR"); t != nullptr && *t != '\0') return t;
    return "/tmp";
}

struct ScratchFiles {
    std::string input;
    std::string resaved;
    ScratchFiles() {
        const std::string base = scratch_dir() + "/korvane_loader_fuzz." + std::to_string(::getpid());
        input = base + ".krvn";
        resaved = base + ".resaved.krvn";
    }
    ~ScratchFiles() {
        ::unlink(input.c_str());
        ::unlink(resaved.c_str());
    }
};

ScratchFiles& files() {
    static ScratchFiles f;
    return f;
}

bool write_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

void search_zero(const korvane::Engine& e) {
    const std::vector<float> zero(e.config().dim, 0.0f);
    (void)e.search(zero, 10, std::nullopt);
    // An allowlist takes the filtered paths of every index type.
    const korvane::VectorId allowed[] = {0, 1, 2, 3};
    (void)e.search(zero, 3, std::span<const korvane::VectorId>(allowed));
}

// An index grown after its load must stay whole: rows of its own width (and a short one
// that stops a row-form add), a build, searches.
void grow(korvane::Engine& e) {
    // A graph takes 2·m link slots per node when it grows: a legal but huge m (up to
    // 65,535 in a file) is megabytes per node, beyond a fuzzer's memory budget.
    if (graph_of(e.structure()) && graph_of(e.structure())->m > kMaxFuzzGrowM) return;
    const std::uint64_t dim = e.config().dim;
    std::vector<float> values(2 * dim);
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i % 7) - 3.0f;
    korvane::RowSet rows;
    rows.push_row(std::span<const float>(values.data(), dim));
    rows.push_row(std::span<const float>(values.data(), dim == 0 ? 0 : dim - 1));
    const korvane::VectorId ids[] = {5, 9};
    (void)e.add(ids, rows);
    if (!e.add(ids, values)) return;
    (void)e.build();
    search_zero(e);
}

void must_load(const korvane::Expected<korvane::Engine>& again, const char* how) {
    // What was just written by this build must load again.
    if (!again) {
        std::fprintf(stderr, "loader_fuzz: a %s index does not load again: %s\n", how,
                     again.error().message().c_str());
        std::abort();
    }
    search_zero(again.value());
}

// Saved plain and sealed, and pickled (sealed, pending IvfFlat rows included). Whatever
// loads must save: else hours of adds to it could never be kept.
void must_load_again(const korvane::Engine& e, const std::string& path) {
    if (auto s = e.save(path); !s) {
        std::fprintf(stderr, "loader_fuzz: a loaded index cannot be saved: %s\n", s.error().message().c_str());
        std::abort();
    }
    must_load(korvane::Engine::load(path), "saved");
    if (e.save(path, true)) must_load(korvane::Engine::load(path), "sealed");
    if (auto bytes = e.to_bytes()) must_load(korvane::Engine::from_bytes(bytes.value().data(), bytes.value().size()), "pickled");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size >= 12) {
        std::uint32_t dim;
        std::memcpy(&dim, data + 8, sizeof dim);
        if (dim > kMaxFuzzDim) return 0;
    }
    ScratchFiles& f = files();
    if (!write_file(f.input, data, size)) {
        std::perror("loader_fuzz: cannot write the input file");
        std::abort();
    }
    // The same bytes as a pickle's state (sealed or not), then as a file.
    if (auto state = korvane::Engine::from_bytes(data, size)) search_zero(state.value());
    auto loaded = korvane::Engine::load(f.input);
    // A mapped load reads the same file alike: the same verdict, and an index that searches
    // and grows (its kept rows read in place from the mapping).
    auto mapped = korvane::Engine::load(f.input, true);
    if (static_cast<bool>(mapped) != static_cast<bool>(loaded) ||
        (!loaded && mapped.error().message() != loaded.error().message())) {
        std::fprintf(stderr, "loader_fuzz: a mapped load disagrees with a plain one\n");
        std::abort();
    }
    if (!loaded) return 0;
    search_zero(mapped.value());
    grow(mapped.value());
    korvane::Engine& e = loaded.value();
    search_zero(e);
    must_load_again(e, f.resaved);
    grow(e);
    must_load_again(e, f.resaved);
    return 0;
}
