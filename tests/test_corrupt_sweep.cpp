// Damaged files of both layouts: every truncation and a few thousand
// deterministic byte and word changes across tables, baskets and blocks,
// each read through the reader (every channel, every event). Each read must
// end with a status; the sanitizer builds run the same sweep.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "../fuzz/fuzz_seeds.h"
#include "be_reader.h"
#include "sample_run.h"
#include "zorv_fuzz.h"

namespace {

using zorv::file_layout;

// Every compression, a device spectrum cut into members and a slow channel,
// in a file of a few KB.
constexpr const char* sweep_channels =
    "BPM1 38 ndata=2; TORO1 42 ndata=1 comp=zlib; RF1 43 ndata=1 comp=lzo server=SRV2;"
    "SLOW1 33 every=2 server=SLOW";

int read_all(const std::string& f) {
    return zorv_fuzz_reader(reinterpret_cast<const uint8_t*>(f.data()), f.size());
}

// A small deterministic generator (splitmix64), so that a failing case can be
// repeated by its index.
struct splitmix {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
};

// Word values that make positions, lengths and counts point just outside,
// far outside, backwards or nowhere.
uint32_t nasty_word(uint64_t r, uint32_t old, size_t file_size) {
    const uint32_t size = uint32_t(file_size);
    const uint32_t values[] = {0u, 0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, size, size - 4,
                               size + 4, old + 4, old - 4, old + 1, old * 2, old >> 1, 1u, 8u};
    return values[r % (sizeof values / sizeof values[0])];
}

class corrupt_sweep : public ::testing::TestWithParam<file_layout> {
protected:
    static std::string file_of(file_layout l) {
        auto files = zorv_fuzz::small_files(l, sweep_channels, 2);
        return files.empty() ? std::string() : files.front();
    }
};

TEST_P(corrupt_sweep, every_truncation_is_refused) {
    const std::string file = file_of(GetParam());
    ASSERT_FALSE(file.empty());
    ASSERT_EQ(read_all(file), 0);
    for (size_t len = 0; len < file.size(); ++len)
        ASSERT_NE(read_all(file.substr(0, len)), 0) << "truncated to " << len << " bytes";
}

TEST_P(corrupt_sweep, byte_and_word_changes_end_with_a_status) {
    const std::string file = file_of(GetParam());
    ASSERT_FALSE(file.empty());
    splitmix rng{GetParam() == file_layout::current ? 1u : 2u};
    constexpr int changes = 1500;
    for (int i = 0; i < changes; ++i) {
        std::string bad = file;
        const uint64_t r = rng.next();
        if (i % 2 == 0) {
            const size_t pos = size_t(r % bad.size());
            bad[pos] = char(bad[pos] ^ char(1u + (r >> 32) % 255u));
        } else {
            const size_t pos = size_t(r % (bad.size() / 4)) * 4;
            uint32_t old = zorv::load_be32(reinterpret_cast<unsigned char*>(&bad[pos]));
            zorv::store_be32(reinterpret_cast<unsigned char*>(&bad[pos]), nasty_word(r >> 32, old, bad.size()));
        }
        SCOPED_TRACE("change " + std::to_string(i));
        ASSERT_NE(read_all(bad), ZORV_FUZZ_ENDLESS);
    }
}

// The built-in sample run reads without a failing status in both layouts
// (also the run that the memory checker reads).
TEST_P(corrupt_sweep, sample_run_reads_clean) {
    for (const std::string& path : zorv_test::sample_run(GetParam()))
        EXPECT_EQ(read_all(zorv_fuzz::slurp(path)), 0) << path;
}

INSTANTIATE_TEST_SUITE_P(layouts, corrupt_sweep,
                         ::testing::Values(file_layout::current, file_layout::legacy),
                         [](const auto& info) {
                             return info.param == file_layout::current ? "current" : "legacy";
                         });

}  // namespace
