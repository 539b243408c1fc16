// Block decompressors: one complete zlib stream or one LZO1X block into a
// buffer of fixed capacity. Stateless; every call builds its own decoder.
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <cstdio>

#include "zorv_daq_read_chan.h"

namespace {

bool valid_args(const unsigned char* start, int slen, const unsigned char* dest, const int* dlen) {
    // A negative length or capacity would turn into a huge unsigned size.
    return start && slen > 0 && dest && dlen && *dlen > 0;
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
    const int r = inflate(&zs, Z_NO_FLUSH);
    if (r != Z_STREAM_END) {
        std::printf("make_zlib() -  !!!! inflate() returnd %d !!!!", r);
        return 1;
    }
    *dlen = static_cast<int>(zs.total_out);
    return 0;
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
