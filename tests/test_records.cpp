// Layout checks of the two layouts' table patterns (the records' sizes and
// field offsets are checked by static assertions beside the records).
#include <gtest/gtest.h>

#include "event_util.h"
#include "zorv_layout.h"

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

// Callers fill the records member by member, the time stamp in braces of its
// own; each value lands in its member in both layouts.
TEST(Records, RecordsInitialiseMemberByMemberWithNestedBraces) {
    const zorv_serv_block_head_2010 cur = {{11, 12}, 3, 4, "srv", 5, 6, 7};
    const zorv_serv_block_head leg = {{11, 12}, 3, 4, "srv", 5, 6, 7};
    EXPECT_EQ(cur.time.timelow, 12u);
    EXPECT_EQ(leg.time.timelow, 12u);
    EXPECT_STREQ(cur.server, "srv");
    EXPECT_EQ(cur.nchan, 7);
    EXPECT_EQ(leg.nchan, 7);
    const zorv_upd_data_block upd = {{'p', 'v'}, 1, {2, 3}, 4.5f};
    EXPECT_STREQ(upd.upd_prop, "pv");
    EXPECT_EQ(upd.upd_ch_time.timeup, 2u);
    EXPECT_EQ(upd.upd_ch_data, 4.5f);
    const zorv_channel_basket_2010 basket = {1, 2, {{"ch", 8, 0, 9}}};
    EXPECT_STREQ(basket.sbhead_entry[0].chname, "ch");
    EXPECT_EQ(basket.sbhead_entry[0].ldata, 9);
}
