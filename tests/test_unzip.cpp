// Block decompressors: complete streams within capacity succeed, everything
// else fails with 1 and a message, and no call writes past the capacity.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "zorv_daq_read_chan.h"

namespace {

using bytes = std::vector<unsigned char>;
using unzip_fn = int (*)(unsigned char*, int, unsigned char*, int*);

// A payload like the files': big-endian float spectra with some noise.
bytes spectrum(size_t n_floats, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.f, 0.01f);
    bytes out(n_floats * 4);
    for (size_t i = 0; i < n_floats; ++i) {
        float v = std::sin(float(i) * 0.01f) + noise(rng);
        uint32_t w;
        std::memcpy(&w, &v, 4);
        for (int b = 0; b < 4; ++b) out[i * 4 + b] = static_cast<unsigned char>(w >> (24 - 8 * b));
    }
    return out;
}

bytes zlib_pack(const bytes& in) {
    uLongf n = compressBound(in.size());
    bytes out(n);
    EXPECT_EQ(compress(out.data(), &n, in.data(), in.size()), Z_OK);
    out.resize(n);
    return out;
}

bytes lzo_pack(const bytes& in) {
    EXPECT_EQ(lzo_init(), LZO_E_OK);
    bytes out(in.size() + in.size() / 16 + 64 + 3);
    std::vector<unsigned char> wrk(LZO1X_1_MEM_COMPRESS);
    lzo_uint n = out.size();
    EXPECT_EQ(lzo1x_1_compress(in.data(), in.size(), out.data(), &n, wrk.data()), LZO_E_OK);
    out.resize(n);
    return out;
}

int lzo_call(unsigned char* s, int sl, unsigned char* d, int* dl) {
    std::vector<unsigned char> scratch(size_t(dl && *dl > 0 ? *dl : 0) + 268);
    return make_lzo(s, sl, d, dl, scratch.data());
}

struct codec {
    const char* name;
    bytes (*pack)(const bytes&);
    unzip_fn unzip;
    const char* invalid_msg;
    const char* failure_msg;
    bool checksummed;  // damage inside the data is detected (LZO1X has no check)
};

const codec codecs[] = {
    {"zlib", zlib_pack, make_zlib, "make_zlib() invalid parameter(s)\n", "inflate() returnd", true},
    {"lzo", lzo_pack, lzo_call, "make_lzo() invalid parameter(s)\n",
     "make_lzo - internal error - decompression failed: ", false},
};

constexpr unsigned char canary = 0xA5;

// Runs the decompressor on `in` with `capacity` bytes of output room followed
// by guard bytes; returns the status, the output and the printed text.
struct outcome {
    int rc;
    int dlen;
    bytes out;
    bool guard_intact;
    std::string text;
};

outcome run(const codec& c, bytes in, int capacity) {
    bytes dest(size_t(capacity) + 64, canary);
    int dlen = capacity;
    testing::internal::CaptureStdout();
    const int rc = c.unzip(in.data(), int(in.size()), dest.data(), &dlen);
    outcome o{rc, dlen, {}, true, testing::internal::GetCapturedStdout()};
    for (size_t i = size_t(capacity); i < dest.size(); ++i) o.guard_intact &= dest[i] == canary;
    if (rc == 0) o.out.assign(dest.begin(), dest.begin() + dlen);
    return o;
}

class Unzip : public testing::TestWithParam<codec> {};

TEST_P(Unzip, CompleteBlocksDecodeWithinOrAtCapacity) {
    const codec& c = GetParam();
    for (size_t n : {size_t(1), size_t(1000), size_t(65536)}) {
        const bytes plain = spectrum(n, unsigned(n));
        for (int extra : {0, 1, 4096}) {
            outcome o = run(c, c.pack(plain), int(plain.size()) + extra);
            ASSERT_EQ(o.rc, 0) << c.name << " n=" << n << " extra=" << extra << o.text;
            EXPECT_EQ(o.dlen, int(plain.size()));
            EXPECT_EQ(o.out, plain);
            EXPECT_TRUE(o.text.empty());
        }
    }
}

TEST_P(Unzip, DamagedOrOversizedBlocksFailWithoutWritingPastCapacity) {
    const codec& c = GetParam();
    const bytes plain = spectrum(20000, 7);
    const bytes packed = c.pack(plain);
    bytes garbage(packed.size());
    std::mt19937 rng(3);
    for (auto& b : garbage) b = static_cast<unsigned char>(rng());
    bytes flipped = packed;
    for (size_t i = packed.size() / 3; i < packed.size() / 3 + 16; ++i) flipped[i] ^= 0xFF;

    struct {
        const char* what;
        bytes in;
        int capacity;
    } cases[] = {
        {"capacity one short", packed, int(plain.size()) - 1},
        {"capacity half", packed, int(plain.size()) / 2},
        {"truncated", bytes(packed.begin(), packed.begin() + long(packed.size() / 2)),
         int(plain.size())},
        {"last byte missing", bytes(packed.begin(), packed.end() - 1), int(plain.size())},
        {"garbage", garbage, int(plain.size())},
        {"bytes flipped", flipped, int(plain.size())},
    };
    for (auto& k : cases) {
        if (k.in == flipped && !c.checksummed) continue;
        outcome o = run(c, k.in, k.capacity);
        EXPECT_EQ(o.rc, 1) << c.name << ": " << k.what;
        EXPECT_TRUE(o.guard_intact) << c.name << ": " << k.what;
        EXPECT_NE(o.text.find(c.failure_msg), std::string::npos) << c.name << ": " << k.what << o.text;
    }
}

TEST_P(Unzip, InvalidParametersAreRefused) {
    const codec& c = GetParam();
    bytes in = c.pack(spectrum(100, 1));
    bytes out(1000);
    int cap = 1000, zero = 0, negative = -5;
    struct {
        const char* what;
        unsigned char* s;
        int sl;
        unsigned char* d;
        int* dl;
    } cases[] = {
        {"null input", nullptr, int(in.size()), out.data(), &cap},
        {"empty input", in.data(), 0, out.data(), &cap},
        {"negative input length", in.data(), -1, out.data(), &cap},
        {"null output", in.data(), int(in.size()), nullptr, &cap},
        {"null capacity", in.data(), int(in.size()), out.data(), nullptr},
        {"zero capacity", in.data(), int(in.size()), out.data(), &zero},
        {"negative capacity", in.data(), int(in.size()), out.data(), &negative},
    };
    for (auto& k : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.unzip(k.s, k.sl, k.d, k.dl), 1) << c.name << ": " << k.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.invalid_msg) << c.name << ": " << k.what;
    }
    EXPECT_EQ(cap, 1000);
}

INSTANTIATE_TEST_SUITE_P(Both, Unzip, testing::ValuesIn(codecs),
                         [](const testing::TestParamInfo<codec>& i) { return i.param.name; });

// Whichever decoder serves make_zlib, it reports the condition, not the decoder.
TEST(UnzipZlib, FailureCodesTellOverflowFromDamage) {
    const bytes plain = spectrum(5000, 11);
    const bytes packed = zlib_pack(plain);
    bytes bad_header = packed;
    bad_header[0] = 0x79;  // not a deflate stream with a valid header check
    bytes with_dict = packed;
    with_dict[1] = 0x20;   // preset-dictionary flag ...
    with_dict[1] = static_cast<unsigned char>(with_dict[1] + (31 - ((with_dict[0] * 256 + with_dict[1]) % 31)) % 31);
    bytes bad_adler = packed;
    bad_adler.back() ^= 0x01;
    const struct {
        const char* what;
        bytes in;
        int capacity;
        int code;
    } cases[] = {
        {"one byte short of room", packed, int(plain.size()) - 1, Z_BUF_ERROR},
        {"tiny room", packed, 16, Z_BUF_ERROR},
        {"cut in the middle", bytes(packed.begin(), packed.begin() + long(packed.size() / 2)),
         int(plain.size()), Z_DATA_ERROR},
        {"checksum missing", bytes(packed.begin(), packed.end() - 4), int(plain.size()), Z_DATA_ERROR},
        {"checksum wrong", bad_adler, int(plain.size()), Z_DATA_ERROR},
        {"bad header", bad_header, int(plain.size()), Z_DATA_ERROR},
        {"asks for a dictionary", with_dict, int(plain.size()), Z_DATA_ERROR},
    };
    for (const auto& k : cases) {
        outcome o = run(codecs[0], k.in, k.capacity);
        EXPECT_EQ(o.rc, 1) << k.what;
        EXPECT_TRUE(o.guard_intact) << k.what;
        EXPECT_EQ(o.text, "make_zlib() -  !!!! inflate() returnd " + std::to_string(k.code) + " !!!!")
            << k.what;
    }
}

// Every compression level (stored blocks included), a stream followed by
// padding, and many threads decoding at once all give zlib's own output.
TEST(UnzipZlib, MatchesZlibAtEveryLevelAndAcrossThreads) {
    const bytes plain = spectrum(30000, 5);
    std::vector<bytes> streams;
    for (int level = 0; level <= 9; ++level) {
        uLongf n = compressBound(plain.size());
        bytes out(n);
        ASSERT_EQ(compress2(out.data(), &n, plain.data(), plain.size(), level), Z_OK);
        out.resize(n);
        streams.push_back(out);
    }
    bytes padded = streams[6];
    padded.insert(padded.end(), 3, 0);  // blocks end on a word boundary
    streams.push_back(padded);
    for (size_t i = 0; i < streams.size(); ++i) {
        outcome o = run(codecs[0], streams[i], int(plain.size()));
        ASSERT_EQ(o.rc, 0) << "stream " << i << o.text;
        EXPECT_EQ(o.out, plain) << "stream " << i;
    }

    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < wrong.size(); ++t)
        threads.emplace_back([&, t] {
            bytes in = streams[t % 10];
            bytes out(plain.size());
            for (int k = 0; k < 50; ++k) {
                int n = int(out.size());
                if (make_zlib(in.data(), int(in.size()), out.data(), &n) != 0 || out != plain) ++wrong[t];
            }
        });
    for (auto& th : threads) th.join();
    for (size_t t = 0; t < wrong.size(); ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
}

TEST(Unzip, FlagsChooseTheCompressorZlibFirst) {
    using zorv::zip_method;
    const struct {
        uint32_t flags;
        zip_method m;
    } cases[] = {{1, zip_method::zlib},    {2, zip_method::lzo},         {3, zip_method::zlib},
                 {0, zip_method::unknown}, {4, zip_method::unknown},     {0x106, zip_method::lzo},
                 {0xFFFFFFFF, zip_method::zlib}};
    for (auto& k : cases) EXPECT_EQ(zorv::zip_method_of(k.flags), k.m) << k.flags;
}

}  // namespace
