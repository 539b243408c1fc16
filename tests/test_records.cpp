// Layout checks of the shared records beyond the static size assertions:
// field offsets that the file format and the readers depend on.
#include <gtest/gtest.h>

#include <cstddef>

#include "event_util.h"
#include "zorv_layout.h"

TEST(Records, HeaderFieldOffsetsMatchTheFileLayout) {
    EXPECT_EQ(offsetof(zorv_eventheader, event_time), 16u);
    EXPECT_EQ(offsetof(zorv_eventheader, num_svr_block), 32u);
    EXPECT_EQ(offsetof(zorv_serv_block_head_2010, tmask), 272u);
    EXPECT_EQ(offsetof(zorv_serv_block_head_2010, nchan), 280u);
    EXPECT_EQ(offsetof(zorv_serv_block_head, tmask), 64u);
    EXPECT_EQ(offsetof(zorv_serv_block_head, nchan), 72u);
    EXPECT_EQ(offsetof(zorv_serv_block_subhead_2010, dtype), 256u);
    EXPECT_EQ(offsetof(zorv_serv_block_subhead_2010, ldata), 264u);
    EXPECT_EQ(offsetof(zorv_serv_block_subhead, dtype), 32u);
    EXPECT_EQ(offsetof(zorv_serv_block_subhead, ldata), 40u);
    EXPECT_EQ(offsetof(zorv_upd_data_block_2010, upd_ch_time), 260u);
    EXPECT_EQ(offsetof(zorv_upd_data_block, upd_ch_status), 80u);
    EXPECT_EQ(offsetof(zorv_upd_data_block, upd_ch_data), 92u);
    EXPECT_EQ(offsetof(zorv_file_reference_table_2010, cdt_ref), 140u);
    EXPECT_EQ(offsetof(zorv_file_reference_table_2010, chanb_ref), 164u);
    EXPECT_EQ(offsetof(zorv_chan_dictionary_table_2010, entry), 8u);
    EXPECT_EQ(offsetof(zorv_event_chan_pointers_table, chptr), 12u);
    EXPECT_EQ(offsetof(zorv_image_ext_frame_head, length), 96u);
    EXPECT_EQ(offsetof(zorv_name_value_block, data), 88u);
}

TEST(Records, LayoutsDifferOnlyInTheLowByteOfTablePatterns) {
    using C = zorv::layout_current;
    using L = zorv::layout_legacy;
    const uint32_t cur[] = {C::pattern_ref, C::pattern_eit, C::pattern_cdt, C::pattern_ecpt,
                            C::pattern_eidt, C::pattern_xcd, C::pattern_evh_basket,
                            C::pattern_sbh_basket, C::pattern_chan_basket};
    const uint32_t leg[] = {L::pattern_ref, L::pattern_eit, L::pattern_cdt, L::pattern_ecpt,
                            L::pattern_eidt, L::pattern_xcd, L::pattern_evh_basket,
                            L::pattern_sbh_basket, L::pattern_chan_basket};
    for (size_t i = 0; i < sizeof cur / sizeof cur[0]; ++i) {
        EXPECT_EQ(cur[i] & ~0xFFu, leg[i] & ~0xFFu) << i;
        EXPECT_EQ(cur[i] & 0xFFu, 0xF3u) << i;
        EXPECT_EQ(leg[i] & 0xFFu, 0xF2u) << i;
    }
}
