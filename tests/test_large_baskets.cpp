// Channels whose baskets span several megabytes (copied into pooled memory
// and given back once decoded) deliver every sample of every event intact,
// across a file switch, in both layouts.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sample_run.h"
#include "layout_cases.h"
#include "test_support.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

using zorv_test::current_case;
using zorv_test::legacy_case;

constexpr int kFiles = 2, kEvents = 24;
constexpr int kPixels = 320 * 320;        // 200 KB a frame, 4.9 MB a basket
constexpr int kMembers = 8, kSamples = 4096;  // 128 KB a block, zlib-compressed
enum { IMG, SPECTRUM };                     // channel indices in the run

template <class C>
class LargeBaskets : public ::testing::Test {};
using Layouts = ::testing::Types<current_case, legacy_case>;
TYPED_TEST_SUITE(LargeBaskets, Layouts);

TYPED_TEST(LargeBaskets, EverySampleOfEveryEventSurvives) {
    using C = TypeParam;
    zorv_test::temp_dir dir;
    const auto cfg = zorv_test::small_run_config(
        dir.path(), kFiles, kEvents,
        "IMG1 13 ndata=320 comp=none;SPEC1 48 ndata=" + std::to_string(kSamples) + " comp=zlib",
        C::layout);
    std::vector<std::string> paths = zorv_test::write_run(cfg);
    ASSERT_EQ(paths.size(), size_t(kFiles));

    typename C::reader_t r;
    std::vector<char*> files;
    for (auto& p : paths) files.push_back(p.data());
    std::string names[] = {"IMG1", "SPEC1"};
    daq_channel_entry entries[2] = {{names[0].data(), {}}, {names[1].data(), {}}};
    std::vector<daq_channel_entry*> chans = {&entries[0], &entries[1]};
    ASSERT_EQ(r.init(&files, &chans), 0) << r.get_last_error();
    ASSERT_EQ(r.start(), 0) << r.get_last_error();

    std::vector<zorv_channel_entry_long*> out;
    int events = 0, wrong_pixels = 0, wrong_samples = 0;
    while (r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT) == 0) {
        ++events;
        ASSERT_EQ(out.size(), 2u);
        for (const auto* e : out) {
            const uint32_t ev = e->event_id.event_number;
            const auto* block = reinterpret_cast<const typename C::subhead*>(e->sbchdata[0].chhd);
            ASSERT_NE(block, nullptr);
            const auto* payload = reinterpret_cast<const unsigned char*>(e->sbchdata[0].data);
            if ((block->dtype & 0xFFFF) == ZORV_BLOCK_IMAGE) {
                const unsigned char* px = payload + sizeof(zorv_image_frame_head);
                for (int i = 0; i < kPixels; ++i) {
                    const uint32_t v = uint32_t(zorv::synthetic_sample(cfg, IMG, ev, 0, i)) & 0xFFFF;
                    wrong_pixels += px[2 * i] != (v >> 8) || px[2 * i + 1] != (v & 0xFF);
                }
                continue;
            }
            for (int m = 0; m < kMembers; ++m) {
                const float* s = C::samples(block, m);
                ASSERT_NE(s, nullptr) << "event " << ev << " member " << m;
                for (int i = 0; i < kSamples; ++i)
                    wrong_samples += s[i] != zorv::synthetic_sample(cfg, SPECTRUM, ev, m, i);
            }
        }
    }
    EXPECT_EQ(events, kFiles * kEvents);
    EXPECT_EQ(wrong_pixels, 0);
    EXPECT_EQ(wrong_samples, 0);
}

}  // namespace
