// The pool of decoded-entry regions: what a taker gets back, and what a
// file's end keeps for the next file.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "sys/block_pool.h"
#include "sys/fd.h"

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

// A large region is faulted in on two threads: each half up to exactly what
// was asked, whatever the split point.
TEST(BlockPool, LargeRegionFaultedInWhereAskedOnly) {
    zorv::block_pool pool;
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t want = 21 * MiB + 3 * page + 1;
    zorv::block_region r = pool.take(64 * MiB, want);
    ASSERT_TRUE(r);
    const size_t pages = resident_pages(r);
    EXPECT_GE(pages, want / page);
    EXPECT_LE(pages, want / page + 1 + 2 * MiB / page);  // room for a huge page at most
    pool.give_back(r);
}

// A large read split over two threads brings every byte where one read
// would, and a file that ends inside the second half fails the whole read.
TEST(BlockPool, SplitReadIsWholeOrFails) {
    char path[] = "/tmp/zorv-split-read-XXXXXX";
    zorv::sys::unique_fd fd(mkstemp(path));
    ASSERT_TRUE(fd);
    unlink(path);
    const size_t len = 17 * MiB + 12345;
    std::vector<unsigned char> data(len);
    for (size_t i = 0; i < len; ++i) data[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    ASSERT_EQ(write(fd.get(), data.data(), len), static_cast<ssize_t>(len));

    std::vector<unsigned char> got(len - 100);
    ASSERT_TRUE(zorv::sys::pread_full_split(fd.get(), got.data(), got.size(), 100));
    EXPECT_EQ(0, std::memcmp(got.data(), data.data() + 100, got.size()));

    std::vector<unsigned char> past(len);
    errno = 0;
    EXPECT_FALSE(zorv::sys::pread_full_split(fd.get(), past.data(), past.size(), 100));
    EXPECT_EQ(errno, EIO);
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
