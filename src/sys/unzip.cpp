// Block decompressors: one complete zlib stream or one LZO1X block into a
// buffer of fixed capacity. Stateless as seen by the caller: every call gets
// a decoder of its own (a zlib stream, or the calling thread's libdeflate
// decompressor, which keeps no state from one call to the next).
//
// Blocks are whole streams with a known output size, the case libdeflate is
// built for: where it is available it decodes zlib blocks, with zlib's inflate
// as the fallback. Both paths report the same failure codes (zlib's, as its
// uncompress() uses them): Z_BUF_ERROR when the output does not fit the
// capacity, Z_DATA_ERROR for a damaged or truncated stream.
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <cstdio>
#include <memory>

#ifdef ZORV_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "zorv_daq_read_chan.h"

namespace {

bool valid_args(const unsigned char* start, int slen, const unsigned char* dest, const int* dlen) {
    // A negative length or capacity would turn into a huge unsigned size.
    return start && slen > 0 && dest && dlen && *dlen > 0;
}

void report_inflate_failure(int code) {
    std::printf("make_zlib() -  !!!! inflate() returnd %d !!!!", code);
}

// Releases a zlib inflate state on every path out.
class inflate_state {
public:
    inflate_state() : rc_(inflateInit(&zs_)) {}
    ~inflate_state() {
        if (rc_ == Z_OK) inflateEnd(&zs_);
    }
    inflate_state(const inflate_state&) = delete;
    inflate_state& operator=(const inflate_state&) = delete;

    int init_result() const { return rc_; }
    z_stream& stream() { return zs_; }

private:
    z_stream zs_{};  // default allocators, no input
    int rc_;
};

int inflate_with_zlib(unsigned char* start, int slen, unsigned char* dest, int* dlen) {
    inflate_state st;
    if (st.init_result() != Z_OK) {
        std::printf("make_zlib() - inflateInit() failed: %d !!!\n", st.init_result());
        return 1;
    }
    z_stream& zs = st.stream();
    zs.next_in = start;
    zs.avail_in = static_cast<uInt>(slen);
    zs.next_out = dest;
    zs.avail_out = static_cast<uInt>(*dlen);
    int r = inflate(&zs, Z_NO_FLUSH);
    if (r == Z_STREAM_END) {
        *dlen = static_cast<int>(zs.total_out);
        return 0;
    }
    // inflate stops with Z_OK or Z_BUF_ERROR when it runs out of either side:
    // out of input means the block is cut short (its checksum trails the
    // data, so it is never consumed when only the room ran out); input left
    // over means the block does not fit. A stream asking for a preset
    // dictionary is not a block.
    if (r == Z_OK || r == Z_BUF_ERROR) r = zs.avail_in == 0 ? Z_DATA_ERROR : Z_BUF_ERROR;
    if (r == Z_NEED_DICT) r = Z_DATA_ERROR;
    report_inflate_failure(r);
    return 1;
}

#ifdef ZORV_HAVE_LIBDEFLATE
struct decompressor_free {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// One decompressor per thread, made on the thread's first block and freed
// when the thread ends; null when it cannot be allocated.
libdeflate_decompressor* thread_decompressor() {
    thread_local std::unique_ptr<libdeflate_decompressor, decompressor_free> d(
        libdeflate_alloc_decompressor());
    return d.get();
}

// True when libdeflate decided the block (0 or 1 stored in *rc), false when
// no decompressor can be had and zlib has to do it.
bool inflate_with_libdeflate(unsigned char* start, int slen, unsigned char* dest, int* dlen,
                             int* rc) {
    libdeflate_decompressor* d = thread_decompressor();
    if (!d) return false;
    size_t n = 0;
    const libdeflate_result r = libdeflate_zlib_decompress(d, start, static_cast<size_t>(slen),
                                                           dest, static_cast<size_t>(*dlen), &n);
    if (r == LIBDEFLATE_SUCCESS) {
        *dlen = static_cast<int>(n);
        *rc = 0;
        return true;
    }
    report_inflate_failure(r == LIBDEFLATE_INSUFFICIENT_SPACE ? Z_BUF_ERROR : Z_DATA_ERROR);
    *rc = 1;
    return true;
}
#endif

// lzo_init only checks the library's configuration; once per process is enough.
int lzo_ready() {
    static const int rc = lzo_init();
    return rc;
}

}  // namespace

int make_zlib(unsigned char* start, int slen, unsigned char* dest, int* dlen) {
    if (!valid_args(start, slen, dest, dlen)) {
        std::printf("make_zlib() invalid parameter(s)\n");
        return 1;
    }
#ifdef ZORV_HAVE_LIBDEFLATE
    int rc = 1;
    if (inflate_with_libdeflate(start, slen, dest, dlen, &rc)) return rc;
#endif
    return inflate_with_zlib(start, slen, dest, dlen);
}

int make_lzo(unsigned char* start, int slen, unsigned char* dest, int* dlen, unsigned char* prm) {
    if (!valid_args(start, slen, dest, dlen)) {
        std::printf("make_lzo() invalid parameter(s)\n");
        return 1;
    }
    if (lzo_ready() != LZO_E_OK) {
        std::printf("make_lzo - internal error - lzo_init() failed !!!\n");
        std::printf(
            "make_lzo - (this usually indicates a compiler bug - try recompiling\n"
            "without optimizations, and enable `-DLZO_DEBUG' for diagnostics)\n");
        return 1;
    }
    lzo_uint out_len = static_cast<lzo_uint>(*dlen);
    // The safe decoder checks input and output bounds; out_len limits the output.
    const int r = lzo1x_decompress_safe(start, static_cast<lzo_uint>(slen), dest, &out_len, prm);
    if (r != LZO_E_OK) {
        std::printf("make_lzo - internal error - decompression failed: %d\n", r);
        return 1;
    }
    *dlen = static_cast<int>(out_len);
    return 0;
}
