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
