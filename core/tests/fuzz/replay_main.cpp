// Feeds every file under the directories given on the command line through the loader fuzz
// target once, each also cut short at several offsets and with one byte flipped at several
// offsets; files named after --exact are fed only as they are. A crash or a sanitizer
// report ends the run; a clean run prints a count.
//
// No input here is larger than a few kilobytes and no header dim above 65,536 gets past
// the target, so a single allocation of more than 64 MiB can only come from a value that
// the loader took from the file without weighing it against the bytes present. Such a
// request is refused with std::bad_alloc (which the core may throw) instead of being
// served, and the inputs that met a refusal are listed and fail the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <set>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

constexpr std::size_t kLargestAllocation = std::size_t{64} << 20;

void* allocate(std::size_t n, std::size_t align = 0) {
    if (n > kLargestAllocation) throw std::bad_alloc();
    if (n == 0) n = 1;
    // aligned_alloc wants a size that is a multiple of the alignment.
    void* p = align > alignof(std::max_align_t) ? std::aligned_alloc(align, (n + align - 1) / align * align)
                                                : std::malloc(n);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void* allocate_or_null(std::size_t n, std::size_t align = 0) noexcept {
    try {
        return allocate(n, align);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

// Every replaceable form, so that each allocation and its release meet (a sanitizer checks
// that they match).
void* operator new(std::size_t n) { return allocate(n); }
void* operator new[](std::size_t n) { return allocate(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return allocate_or_null(n); }
void* operator new(std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return allocate(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_or_null(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate_or_null(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Header field boundaries of every version (magic, version, dim, the type bytes, count,
// seed, n4_dims, the IVF and HNSW fields, the flag), then places in the body.
std::set<std::size_t> cut_points(std::size_t size) {
    std::set<std::size_t> at = {0, 3, 4, 7, 8, 12, 15, 16, 24, 31, 32, 36, 39, 40, 44, 48, 54, 55, 56, 60, 64};
    for (std::size_t d : {size / 4, size / 2, size - size / 4}) at.insert(d);
    for (std::size_t back : {1, 4, 5, 12, 13}) {
        if (back <= size) at.insert(size - back);
    }
    std::erase_if(at, [&](std::size_t x) { return x >= size; });
    return at;
}

std::set<std::size_t> flip_points(std::size_t size) {
    std::set<std::size_t> at = {4, 8, 9, 12, 13, 14, 16, 17, 24, 32, 33, 40, 44, 48, 49, 50, 52, 54,
                                56, 57, 60, 61, 64, 68, 72};
    for (std::size_t d : {size / 3, size / 2, size - size / 3}) at.insert(d);
    for (std::size_t back : {1, 5, 9, 13}) {
        if (back <= size) at.insert(size - back);
    }
    std::erase_if(at, [&](std::size_t x) { return x >= size; });
    return at;
}

}  // namespace

int main(int argc, char** argv) {
    struct Input {
        fs::path path;
        bool exact;
    };
    std::vector<Input> inputs;
    bool exact = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--exact") {
            exact = true;
            continue;
        }
        const fs::path root(argv[i]);
        if (fs::is_regular_file(root)) {
            inputs.push_back({root, exact});
            continue;
        }
        if (!fs::is_directory(root)) {
            std::fprintf(stderr, "no such file or directory: %s\n", argv[i]);
            return 2;
        }
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_regular_file()) inputs.push_back({entry.path(), exact});
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no input files found\n");
        return 2;
    }
    std::size_t fed = 0;
    std::vector<std::string> refused;
    auto feed = [&](const std::uint8_t* data, std::size_t size, const std::string& what) {
        ++fed;
        try {
            LLVMFuzzerTestOneInput(data, size);
        } catch (const std::bad_alloc&) {
            refused.push_back(what);
        }
    };
    for (const auto& [p, as_is] : inputs) {
        const std::vector<std::uint8_t> bytes = read_all(p);
        feed(bytes.data(), bytes.size(), p.string());
        if (as_is) continue;
        for (std::size_t cut : cut_points(bytes.size())) {
            feed(bytes.data(), cut, p.string() + " cut at " + std::to_string(cut));
        }
        for (std::size_t at : flip_points(bytes.size())) {
            std::vector<std::uint8_t> flipped = bytes;
            flipped[at] ^= 0xFF;
            feed(flipped.data(), flipped.size(), p.string() + " with byte " + std::to_string(at) + " flipped");
        }
    }
    std::printf("fed %zu inputs from %zu files through the loader\n", fed, inputs.size());
    if (!refused.empty()) {
        // A few kilobytes of input never justify that much memory: each one is a finding.
        std::printf("%zu inputs asked for a single allocation over 64 MiB:\n", refused.size());
        for (const std::string& r : refused) std::printf("  %s\n", r.c_str());
        return 1;
    }
    return 0;
}
