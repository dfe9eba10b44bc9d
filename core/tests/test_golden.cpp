// Packed rows, quantized norms and transformed queries of fixed inputs, compared byte for
// byte with core/tests/data/golden_codes.txt. Any change to the rotation, the tables, the
// packers or the norm shows here. When such a change is intended, rewrite the file with
//   KORVANE_REGENERATE_GOLDEN=1 korvane_core_tests --gtest_filter='GoldenCodes.*'
// and review its diff.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "quantize/quantizer.h"

using namespace korvane;

namespace {

const char* const kFixture = KORVANE_GOLDEN_CODES;

struct MetricCase {
    const char* name;
    Metric metric;
    bool standardized;
};

const MetricCase kMetrics[] = {
    {"cosine", Metric::Cosine, false},
    {"dot", Metric::Dot, false},
    {"l2", Metric::L2, false},
    {"l2_standardized", Metric::L2, true},
};

// Inputs from integer arithmetic only, so they are the same on every platform and library
// version: a 32-bit LCG whose top 24 bits become a multiple of 2^-22 in [-2, 2), exact in
// float, times a power of two near 1/sqrt(padded_dim) so that the norm is near 1 and the
// codes of dot and l2 spread over the table. Vector 1 is 16 times larger (mostly outer
// codes); vector 2 has every third coordinate zero (for dim 1 the whole vector, which
// cosine leaves as it is).
std::vector<float> input(std::uint64_t dim, int vec) {
    const int shift = std::countr_zero(*padded_dim_for(dim)) / 2;
    std::uint32_t state = static_cast<std::uint32_t>(dim * 7919u + static_cast<std::uint64_t>(vec) * 104729u + 1u);
    std::vector<float> x(dim);
    for (std::size_t i = 0; i < dim; ++i) {
        state = state * 1664525u + 1013904223u;
        const std::int32_t m = static_cast<std::int32_t>(state >> 8) - (1 << 23);
        x[i] = static_cast<float>(m) / static_cast<float>(1 << (22 + shift));
        if (vec == 1) x[i] *= 16.0f;
        if (vec == 2 && i % 3 == 0) x[i] = 0.0f;
    }
    return x;
}

std::string hex_bytes(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// Floats as their bit patterns, 8 hex digits each, most significant first.
std::string hex_floats(const std::vector<float>& v) {
    std::string s;
    for (float f : v) {
        const std::uint32_t b = std::bit_cast<std::uint32_t>(f);
        const std::uint8_t be[4] = {std::uint8_t(b >> 24), std::uint8_t(b >> 16), std::uint8_t(b >> 8), std::uint8_t(b)};
        s += hex_bytes(be, 4);
    }
    return s;
}

// Every record of the fixture, in file order: (case and field, hex value).
std::vector<std::pair<std::string, std::string>> compute_records() {
    std::vector<std::pair<std::string, std::string>> records;
    std::map<std::string, std::string> queries;
    for (std::uint64_t dim : {1u, 2u, 3u, 100u, 768u}) {
        const std::uint64_t padded = *padded_dim_for(dim);
        std::vector<std::pair<const char*, std::uint64_t>> layouts = {{"4bit", padded}, {"2bit", 0}};
        if (padded >= 8) layouts.emplace_back("mixed", padded / 2 / 4 * 4);
        for (const MetricCase& m : kMetrics) {
            for (const auto& [layout, n4] : layouts) {
                EngineConfig c;
                c.dim = dim;
                c.n4_dims = n4;
                c.bit_width = n4 == 0 ? 2 : 4;
                c.metric = m.metric;
                auto qz = Quantizer::create(c).value();
                if (m.standardized) {
                    qz.standardization = Standardization{std::vector<float>(dim, 0.5f), std::vector<float>(dim, 0.25f)};
                }
                for (int vec = 0; vec < 3; ++vec) {
                    const auto x = input(dim, vec);
                    const std::string prefix = "dim=" + std::to_string(dim) + " metric=" + m.name;
                    const std::string vec_text = " vec=" + std::to_string(vec);
                    // The transformed query does not depend on the layout: one record per
                    // input, which every layout must reproduce.
                    const std::string query_key = prefix + vec_text + " query";
                    const std::string query = hex_floats(qz.transform_query(x));
                    const auto [it, fresh] = queries.emplace(query_key, query);
                    if (fresh) {
                        records.emplace_back(query_key, query);
                    } else {
                        EXPECT_EQ(it->second, query) << query_key << " differs with layout " << layout;
                    }
                    const std::string key = prefix + " layout=" + layout + " n4=" + std::to_string(n4) + vec_text;
                    const auto row = qz.encode(x);
                    records.emplace_back(key + " row", hex_bytes(row.data(), row.size()));
                    records.emplace_back(key + " norm", hex_floats({qz.quantized_norm(row.data())}));
                }
            }
        }
    }
    return records;
}

const char kHeader[] =
    "# Packed rows, quantized norms and transformed queries of fixed inputs (see test_golden.cpp).\n"
    "# One record per line: <case> <field> <hex>. Rows are bytes in order; floats are 32-bit\n"
    "# patterns, 8 hex digits each, most significant first. Regenerate only for an intended change:\n"
    "#   KORVANE_REGENERATE_GOLDEN=1 korvane_core_tests --gtest_filter='GoldenCodes.*'\n";

// Where two hex strings first differ, in units of `width` hex digits.
std::string first_difference(const std::string& got, const std::string& want, std::size_t width) {
    if (got.size() != want.size()) {
        return "length " + std::to_string(got.size() / width) + ", expected " + std::to_string(want.size() / width);
    }
    std::size_t i = 0;
    while (got[i] == want[i]) ++i;
    const std::size_t at = i / width * width;
    return "first at index " + std::to_string(i / width) + ": " + got.substr(at, width) + ", expected " +
           want.substr(at, width);
}

}  // namespace

TEST(GoldenCodes, RowsNormsAndQueriesMatchTheFixture) {
    const auto records = compute_records();
    const char* regen = std::getenv("KORVANE_REGENERATE_GOLDEN");
    if (regen && std::string(regen) == "1") {
        std::ofstream out(kFixture, std::ios::binary | std::ios::trunc);
        ASSERT_TRUE(out) << "cannot write " << kFixture;
        out << kHeader;
        for (const auto& [key, value] : records) out << key << ' ' << value << '\n';
        ASSERT_TRUE(out.flush()) << "cannot write " << kFixture;
        GTEST_SKIP() << "wrote " << records.size() << " records to " << kFixture << "; nothing compared";
    }

    std::ifstream in(kFixture, std::ios::binary);
    ASSERT_TRUE(in) << "cannot read " << kFixture << " (KORVANE_REGENERATE_GOLDEN=1 writes it)";
    std::map<std::string, std::string> want;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto space = line.rfind(' ');
        ASSERT_NE(space, std::string::npos) << "malformed line: " << line.substr(0, 80);
        ASSERT_TRUE(want.emplace(line.substr(0, space), line.substr(space + 1)).second)
            << "repeated case: " << line.substr(0, space);
    }
    EXPECT_EQ(want.size(), records.size()) << "the fixture has a different number of records";

    int reported = 0, differing = 0;
    for (const auto& [key, value] : records) {
        const auto it = want.find(key);
        const bool missing = it == want.end();
        if (!missing && it->second == value) continue;
        ++differing;
        if (++reported > 20) continue;  // enough to see the pattern
        if (missing) {
            ADD_FAILURE() << key << ": not in the fixture";
        } else {
            const bool row = key.ends_with(" row");
            ADD_FAILURE() << key << " differs, " << first_difference(value, it->second, row ? 2 : 8);
        }
    }
    EXPECT_EQ(differing, 0) << "records that differ from " << kFixture;
}
