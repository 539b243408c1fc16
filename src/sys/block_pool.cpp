#include "sys/block_pool.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace zorv {
namespace {

constexpr size_t huge_page = size_t(2) << 20;

size_t page_size() {
    static const size_t p = [] {
        const long s = sysconf(_SC_PAGESIZE);
        return s > 0 ? size_t(s) : size_t(4096);
    }();
    return p;
}

size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

// What a new region for `n` bytes would map. Large regions are not rounded
// to whole huge pages: the kernel backs the aligned 2 MiB spans with huge
// pages and the tail with small ones, so a region holds no unused huge page.
size_t mapped_size(size_t n) { return round_up(n, page_size()); }

// A region taken from the pool may exceed what a new one would map by a
// quarter plus a little: enough for the same channel's next file (whose
// entry count and sizes differ slightly) to find its predecessor's region.
bool fits(size_t have, size_t want) {
    const size_t m = mapped_size(want);
    return have >= want && have <= m + m / 4 + (size_t(64) << 10);
}

// Every byte of a region is written soon after it is taken (the entries
// were sized from their headers). Faulting small pages in with one call
// costs far less than one fault per page, above all on virtual machines;
// where the kernel cannot, the pages come one by one as before. Huge pages
// take few faults, and the threads that fill them share their zeroing.
void prefault(unsigned char* data, size_t size) {
#ifdef MADV_POPULATE_WRITE
    madvise(data, size, MADV_POPULATE_WRITE);
#else
    (void)data, (void)size;
#endif
}

}  // namespace

block_region map_block_region(size_t n) {
    if (n == 0 || n > (size_t(1) << 46)) return {};
    const bool huge = n >= huge_page;
    const size_t size = mapped_size(n);
    // Mapped with a huge page of slack so that the region can start on a
    // huge-page boundary; the slack is unmapped again.
    const size_t span = huge ? size + huge_page : size;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return {};
    auto* base = static_cast<unsigned char*>(p);
    auto* data = base;
    if (huge) {
        data = reinterpret_cast<unsigned char*>(round_up(reinterpret_cast<uintptr_t>(base), huge_page));
        if (data > base) munmap(base, size_t(data - base));
        if (base + span > data + size) munmap(data + size, size_t(base + span - (data + size)));
        madvise(data, size, MADV_HUGEPAGE);
        return {data, size};
    }
    prefault(data, size);
    return {data, size};
}

void unmap_block_region(block_region& r) {
    if (r.data) munmap(r.data, r.size);
    r = {};
}

block_region block_pool::take(size_t n) {
    if (n == 0) return {};
    std::lock_guard<std::mutex> lock(mx_);
    auto best = free_.end();
    for (auto it = free_.begin(); it != free_.end(); ++it)
        if (fits(it->region.size, n) && (best == free_.end() || it->region.size < best->region.size)) best = it;
    if (best != free_.end()) {
        block_region r = best->region;
        free_.erase(best);
        return r;
    }
    return n < huge_page ? carve(n) : map_block_region(n);
}

// A small region is cut from a slab of huge pages rather than mapped on its
// own: alone it would be backed page by page, which costs several times
// more on first touch. A cut region is unmapped on its own like any other
// (the kernel splits the huge page it shares).
block_region block_pool::carve(size_t n) {
    const size_t size = mapped_size(n);
    if (slab_.size < size) {
        unmap_block_region(slab_);
        slab_ = map_block_region(slab_bytes);
        if (slab_.size < size) return map_block_region(n);
    }
    block_region r{slab_.data, size};
    slab_.data += size;
    slab_.size -= size;
    if (slab_.size == 0) slab_ = {};
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
    // The smallest are kept first: a large region comes back in huge pages
    // at little cost, a small one page by page.
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
    unmap_block_region(slab_);
}

size_t block_pool::free_bytes() const {
    std::lock_guard<std::mutex> lock(mx_);
    size_t n = 0;
    for (const auto& s : free_) n += s.region.size;
    return n;
}

}  // namespace zorv
