#include "sys/block_pool.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace zorv {
namespace {

size_t page_size() {
    static const size_t p = [] {
        const long s = sysconf(_SC_PAGESIZE);
        return s > 0 ? size_t(s) : size_t(4096);
    }();
    return p;
}

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

// What a new region for `n` bytes maps.
size_t mapped_size(size_t n) { return round_up(n, page_size()); }

// A region taken from the pool may exceed what a new one would map by a
// quarter plus a little: enough for the same channel's next file (whose
// entry count and sizes differ slightly) to find its predecessor's region.
bool fits(size_t have, size_t want) {
    const size_t m = mapped_size(want);
    return have >= want && have <= m + m / 4 + (size_t(64) << 10);
}

// Regions are backed by small pages.
//
// Huge pages are not asked for: on virtual machines that hand free memory
// back to the host (free page reporting), a free huge page is exactly what
// the guest has reported, and its first touch then waits for the host to
// back it again. Whether that happens depends on how long ago another
// process freed it, so a fresh process's first file took between 0.04 and
// 1.3 s to fault in 240 MB of huge pages, against 0.20 to 0.27 s in small
// pages. Regions are reused from file to file, so only the first file pays
// for faulting them in at all.
//
// What the taker will write soon is faulted in with one call, which costs
// far less than one fault per page; where the kernel cannot, the pages come
// one by one.
void back_with_small_pages(unsigned char* data, size_t size, size_t populate) {
#ifdef MADV_NOHUGEPAGE
    madvise(data, size, MADV_NOHUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    const size_t n = populate < size ? round_up(populate, page_size()) : size;
    if (n > 0) madvise(data, n, MADV_POPULATE_WRITE);
#else
    (void)populate;
#endif
}

}  // namespace

block_region map_block_region(size_t n, size_t populate) {
    if (n == 0 || n > (size_t(1) << 46)) return {};
    const size_t size = mapped_size(n);
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return {};
    auto* data = static_cast<unsigned char*>(p);
    back_with_small_pages(data, size, populate);
    return {data, size};
}

void unmap_block_region(block_region& r) {
    if (r.data) munmap(r.data, r.size);
    r = {};
}

// A new region is mapped and faulted in outside the lock: that takes tens
// of milliseconds for a large one, and the workers of the channel being
// decoded meanwhile give their basket back through the same lock.
block_region block_pool::take(size_t n, size_t populate) {
    if (n == 0) return {};
    if (block_region r = take_free(n)) return r;
    return map_block_region(n, populate);
}

block_region block_pool::take_free(size_t n) {
    std::lock_guard<std::mutex> lock(mx_);
    auto best = free_.end();
    for (auto it = free_.begin(); it != free_.end(); ++it)
        if (fits(it->region.size, n) && (best == free_.end() || it->region.size < best->region.size)) best = it;
    if (best == free_.end()) return {};
    block_region r = best->region;
    free_.erase(best);
    return r;
}

// Called from workers and from clean(): never throws. A region the list
// has no room for is unmapped at once.
void block_pool::give_back(block_region r) noexcept {
    if (!r) return;
    std::lock_guard<std::mutex> lock(mx_);
    try {
        free_.push_back({r, false});
    } catch (...) {
        unmap_block_region(r);
    }
}

void block_pool::trim_unused() noexcept {
    std::lock_guard<std::mutex> lock(mx_);
    // The smallest are kept first: they serve the most takers for the
    // bytes held.
    std::sort(free_.begin(), free_.end(), [](const spare& a, const spare& b) {
        return a.aged != b.aged ? !a.aged : a.region.size < b.region.size;
    });
    size_t kept = 0;
    auto end = free_.begin();
    while (end != free_.end() && !end->aged && kept + end->region.size <= keep_limit) kept += (end++)->region.size;
    for (auto it = end; it != free_.end(); ++it) unmap_block_region(it->region);
    free_.erase(end, free_.end());
    for (auto& s : free_) s.aged = true;
}

void block_pool::trim() noexcept {
    std::lock_guard<std::mutex> lock(mx_);
    for (auto& s : free_) unmap_block_region(s.region);
    free_.clear();
}

size_t block_pool::free_bytes() const {
    std::lock_guard<std::mutex> lock(mx_);
    size_t n = 0;
    for (const auto& s : free_) n += s.region.size;
    return n;
}

}  // namespace zorv
