// Memory for the decoded entries of channel readers.
//
// A channel reader holds a whole file's decoded blocks of its channel; with
// one allocation per entry a run's every file is decoded into fresh memory,
// and the first touch of a fresh page costs more than the decoding itself on
// many machines. A reader instead takes one region sized for all its entries
// and carves them from it. Readers that share a pool (the channels of one
// slicer) hand their regions back when cleaned, so the next file's reader of
// the same channel decodes into pages that are already there.
//
// Internal to the library; not installed.
#ifndef ZORV_SYS_BLOCK_POOL_H
#define ZORV_SYS_BLOCK_POOL_H

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace zorv {

// An anonymous private mapping in small pages.
struct block_region {
    unsigned char* data = nullptr;
    size_t size = 0;

    bool contains(const void* p) const {
        const auto* c = static_cast<const unsigned char*>(p);
        return data && c >= data && c < data + size;
    }
    explicit operator bool() const { return data != nullptr; }
};

// Maps a region of at least `n` bytes, its first `populate` bytes faulted in
// at once (the rest as it is written); an empty region when that fails.
block_region map_block_region(size_t n, size_t populate);
void unmap_block_region(block_region& r);

class block_pool {
public:
    block_pool() = default;
    ~block_pool() { trim(); }
    block_pool(const block_pool&) = delete;
    block_pool& operator=(const block_pool&) = delete;

    // A free region of at least `n` bytes and not much more (so that a
    // small channel does not pin a large region's pages), or a new one with
    // its first `populate` bytes faulted in: as much as the taker is sure to
    // write, so that a size claimed by a damaged or forged file does not
    // make the process hold memory that nothing writes.
    block_region take(size_t n, size_t populate);
    // Keeps a region for the next taker.
    void give_back(block_region r) noexcept;
    // Called once every channel has moved on to the next file: unmaps the
    // free regions nobody took since the last call (what a file no longer
    // needs), and keeps up to keep_limit bytes of those given back since
    // (the channel baskets, which every file's channels take again one after
    // the other). The limit holds a camera's basket besides the others: a
    // basket mapped afresh for every file costs more, in faults and zeroed
    // pages, than the copy into it.
    void trim_unused() noexcept;
    static constexpr size_t keep_limit = size_t(128) << 20;
    // Unmaps every free region.
    void trim() noexcept;
    size_t free_bytes() const;

private:
    struct spare {
        block_region region;
        bool aged;  // already free at the last trim_unused()
    };

    block_region take_free(size_t n);  // a fitting free region, or none

    mutable std::mutex mx_;
    std::vector<spare> free_;
};

}  // namespace zorv

#endif
