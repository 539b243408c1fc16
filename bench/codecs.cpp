// Block decoding on one thread: make_zlib and make_lzo against zlib's inflate
// and libdeflate called directly, and the payload conversion, on spectrum
// blocks like the standard run's (8-member spectra of 512 samples).
#include <benchmark/benchmark.h>
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <vector>

#ifdef ZORV_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif

#include "bench_run.h"
#include "event_util.h"
#include "zorv_daq_read_chan.h"

namespace {

using bytes = std::vector<unsigned char>;

struct sample_block {
    int dtype = 0;
    bytes plain, zlib, lzo;
};

const sample_block& block() {
    static const sample_block b = [] {
        sample_block s;
        auto cfg = zorv_bench::standard_run(".", zorv::file_layout::current, 1, 1);
        zorv::spectrum_data d;
        d.ndata = 512;
        for (int m = 0; m < 8; ++m) {
            zorv::spectrum_member mem;
            for (int i = 0; i < d.ndata; ++i) mem.samples.push_back(zorv::synthetic_sample(cfg, 0, 1000, m, i));
            d.members.push_back(mem);
        }
        zorv::payload p = zorv::make_spectrum(48, d);
        s.dtype = p.dtype;
        s.plain = p.bytes;
        uLongf zn = compressBound(s.plain.size());
        s.zlib.resize(zn);
        compress2(s.zlib.data(), &zn, s.plain.data(), s.plain.size(), 6);
        s.zlib.resize(zn);
        lzo_init();
        s.lzo.resize(s.plain.size() + s.plain.size() / 16 + 67);
        std::vector<unsigned char> wrk(LZO1X_1_MEM_COMPRESS);
        lzo_uint ln = s.lzo.size();
        lzo1x_1_compress(s.plain.data(), s.plain.size(), s.lzo.data(), &ln, wrk.data());
        s.lzo.resize(ln);
        return s;
    }();
    return b;
}

template <class F>
void run_decoder(benchmark::State& st, const bytes& in, F decode) {
    const sample_block& b = block();
    bytes in_copy = in, out(b.plain.size());
    for (auto _ : st) {
        int n = int(out.size());
        if (decode(in_copy.data(), int(in_copy.size()), out.data(), &n) != 0 || n != int(b.plain.size()))
            st.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(b.plain.size()));
    st.counters["ratio"] = double(in.size()) / double(b.plain.size());
}

void BM_make_zlib(benchmark::State& st) { run_decoder(st, block().zlib, make_zlib); }

void BM_zlib_inflate(benchmark::State& st) {
    run_decoder(st, block().zlib, [](unsigned char* s, int sl, unsigned char* d, int* dl) {
        z_stream zs{};
        if (inflateInit(&zs) != Z_OK) return 1;
        zs.next_in = s;
        zs.avail_in = uInt(sl);
        zs.next_out = d;
        zs.avail_out = uInt(*dl);
        const int r = inflate(&zs, Z_NO_FLUSH);
        *dl = int(zs.total_out);
        inflateEnd(&zs);
        return r == Z_STREAM_END ? 0 : 1;
    });
}

#ifdef ZORV_HAVE_LIBDEFLATE
void BM_libdeflate_direct(benchmark::State& st) {
    libdeflate_decompressor* dec = libdeflate_alloc_decompressor();
    run_decoder(st, block().zlib, [dec](unsigned char* s, int sl, unsigned char* d, int* dl) {
        size_t n = 0;
        const auto r = libdeflate_zlib_decompress(dec, s, size_t(sl), d, size_t(*dl), &n);
        *dl = int(n);
        return r == LIBDEFLATE_SUCCESS ? 0 : 1;
    });
    libdeflate_free_decompressor(dec);
}
BENCHMARK(BM_libdeflate_direct);
#endif

void BM_make_lzo(benchmark::State& st) {
    run_decoder(st, block().lzo, [](unsigned char* s, int sl, unsigned char* d, int* dl) {
        return make_lzo(s, sl, d, dl, nullptr);
    });
}

void BM_convert(benchmark::State& st) {
    const sample_block& b = block();
    bytes out(b.plain.size());
    for (auto _ : st) {
        if (zorv_convert_data(b.plain.data(), out.data(), b.dtype, int(b.plain.size())) != 0)
            st.SkipWithError("conversion failed");
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(b.plain.size()));
}

BENCHMARK(BM_make_zlib);
BENCHMARK(BM_zlib_inflate);
BENCHMARK(BM_make_lzo);
BENCHMARK(BM_convert);

}  // namespace

BENCHMARK_MAIN();
