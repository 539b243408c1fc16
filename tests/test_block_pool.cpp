// The pool of decoded-entry regions: what a taker gets back, and what a
// file's end keeps for the next file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "sys/block_pool.h"

namespace {

constexpr size_t MiB = size_t(1) << 20;

TEST(BlockPool, RegionsAreReusedOnlyByRequestsOfAboutTheirSize) {
    zorv::block_pool pool;
    zorv::block_region big = pool.take(3 * MiB + 123, 0);
    ASSERT_TRUE(big);
    EXPECT_GE(big.size, 3 * MiB + 123);
    std::memset(big.data, 0x5a, big.size);  // every byte is the taker's
    unsigned char* const at = big.data;
    pool.give_back(big);
    EXPECT_EQ(pool.free_bytes(), big.size);

    // A small request does not pin the large region's pages.
    zorv::block_region small = pool.take(64 * 1024, 0);
    ASSERT_TRUE(small);
    EXPECT_NE(small.data, at);
    // The same channel's next file asks for a little less or a little more.
    zorv::block_region again = pool.take(3 * MiB - 4096, 0);
    EXPECT_EQ(again.data, at);
    EXPECT_EQ(pool.free_bytes(), 0u);
    pool.give_back(again);
    pool.give_back(small);
    EXPECT_EQ(pool.take(0, 0).data, nullptr);
    pool.trim();
    EXPECT_EQ(pool.free_bytes(), 0u);
}

// Pages of a region the process holds in memory.
size_t resident_pages(const zorv::block_region& r) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    std::vector<unsigned char> v((r.size + page - 1) / page);
    if (mincore(r.data, r.size, v.data()) != 0) return size_t(-1);
    size_t n = 0;
    for (unsigned char c : v) n += c & 1;
    return n;
}

// A new region holds what its taker is sure to write, not the whole size
// it asked for (which a forged file may have claimed): the rest becomes
// resident only as it is written.
TEST(BlockPool, NewRegionHoldsOnlyWhatItsTakerIsSureToWrite) {
    zorv::block_pool pool;
    zorv::block_region r = pool.take(512 * MiB, 3 * MiB + 5);
    ASSERT_TRUE(r);
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    EXPECT_LE(resident_pages(r), 4 * MiB / page);
    r.data[r.size / 2] = 1;
    EXPECT_LE(resident_pages(r), 5 * MiB / page);
    std::memset(r.data, 7, 3 * MiB + 5);  // what was faulted in is the taker's
    pool.give_back(r);
}

// A small region unmapped on its own leaves the regions taken before and
// after it whole.
TEST(BlockPool, SmallRegionUnmappedAloneLeavesItsNeighboursWhole) {
    zorv::block_pool pool;
    zorv::block_region a = pool.take(100 * 1024, 0), b = pool.take(300 * 1024 + 5, 0), c = pool.take(4096, 0);
    ASSERT_TRUE(a && b && c);
    std::memset(a.data, 1, a.size);
    std::memset(b.data, 2, b.size);
    std::memset(c.data, 3, c.size);
    pool.give_back(b);
    pool.trim();  // b is unmapped
    EXPECT_EQ(a.data[a.size - 1], 1);
    EXPECT_EQ(c.data[0], 3);
    std::memset(a.data, 4, a.size);
    std::memset(c.data, 5, c.size);
    pool.give_back(a);
    pool.give_back(c);
}

TEST(BlockPool, FileEndKeepsSmallRegionsGivenBackForOneMoreFile) {
    zorv::block_pool pool;
    zorv::block_region small = pool.take(256 * 1024, 0);
    zorv::block_region large = pool.take(zorv::block_pool::keep_limit + MiB, 0);
    ASSERT_TRUE(small && large);
    pool.give_back(small);
    pool.give_back(large);
    pool.trim_unused();  // the first file is left: the large one goes, the small one stays
    EXPECT_EQ(pool.free_bytes(), small.size);
    pool.trim_unused();  // nobody took it during the next file
    EXPECT_EQ(pool.free_bytes(), 0u);

    // Taken and given back again during a file, it is kept again.
    zorv::block_region r = pool.take(256 * 1024, 0);
    pool.give_back(r);
    pool.trim_unused();
    EXPECT_EQ(pool.free_bytes(), r.size);
}

}  // namespace
