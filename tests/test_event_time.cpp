// Event types, time-stamp comparison, file-name times and file ordering.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "event_util.h"

TEST(EventTime, EventTypeProperties) {
    struct ev_case {
        int type;
        bool slow;
        int structure;
        const char* name;
    };
    const ev_case cases[] = {
        {0, false, ZORV_EV_STRUCT_UNKNOWN, "HB"},       {1, false, ZORV_EV_STRUCT_LOCAL, "NORMAL"},
        {2, true, ZORV_EV_STRUCT_GLOBAL, "BOR"},        {5, true, ZORV_EV_STRUCT_GLOBAL, "UPD"},
        {6, false, ZORV_EV_STRUCT_LOCAL, "IMAGE"},      {7, false, ZORV_EV_STRUCT_ML, "WS"},
        {21, false, ZORV_EV_STRUCT_ML, "BEAM_ENERGY_BYPASS"},
        {27, false, ZORV_EV_STRUCT_ML, "TOROID_ML"},    {28, false, ZORV_EV_STRUCT_UNDEF, "28"},
        {31, false, ZORV_EV_STRUCT_UNDEF, "31"},        {32, false, ZORV_EV_STRUCT_UNKNOWN, "UNKNOWN"},
        {-1, false, ZORV_EV_STRUCT_UNKNOWN, "UNKNOWN"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_slow_event(c.type), c.slow) << c.type;
        EXPECT_EQ(get_event_struct_type(c.type), c.structure) << c.type;
        EXPECT_STREQ(event_name_itoa(c.type), c.name) << c.type;
    }
}

TEST(EventTime, ComparisonWithTolerance) {
    struct cmp_case {
        time_stamp a, b;
        double tol;
        bool eq;
        int cmp;
        double dist;
    };
    const cmp_case cases[] = {
        {{10, 500}, {10, 500}, 0, true, 0, 0},
        {{10, 600}, {10, 500}, 100, true, 0, 100},      // exactly at the tolerance
        {{10, 601}, {10, 500}, 100, false, 1, 101},     // one past it
        {{9, 999999}, {10, 0}, 0, false, -1, -1},       // across the second
        {{9, 999999}, {10, 0}, 1, true, 0, -1},
        {{4000000000u, 0}, {1, 0}, 0, false, 1, 3999999999e6},  // no 32-bit overflow
    };
    for (const auto& c : cases) {
        int cmp = 7;
        double dist = 0;
        EXPECT_EQ(zorv_time_stamp_eq(&c.a, &c.b, c.tol, &cmp, &dist), c.eq);
        EXPECT_EQ(cmp, c.cmp);
        EXPECT_EQ(dist, c.dist);
    }
    const time_stamp a{1, 2}, b{1, 3};
    EXPECT_TRUE(zorv_time_stamp_eq(&a, &a));
    EXPECT_FALSE(zorv_time_stamp_eq(&a, &b));
    EXPECT_TRUE(zorv_time_stamp_eq(&a, &b, 1, nullptr, nullptr));
    EXPECT_EQ(zorv_get_event_id(&a), 0u);
}

TEST(EventTime, FileNameTimes) {
    time_t t = 0;
    EXPECT_FALSE(get_time_from_file_name("/d/linac_main_run1234_file3_20101004T120000.raw", &t));
    EXPECT_EQ(t, 1286193600);
    const char* bad[] = {"linac_main_run1_file1.raw", "x_20101004T1200.raw", "x_20101304T120000.raw",
                         "x_20100231T120000.raw",     "x_20101004X120000.raw", "x_20101004T120000abc",
                         "/d_20101004T120000/x.raw",  ""};
    for (const char* b : bad) EXPECT_TRUE(get_time_from_file_name(b, &t)) << b;
    EXPECT_TRUE(get_time_from_file_name(nullptr, &t));
}

TEST(EventTime, SortByTimeThenSequenceThenName) {
    std::vector<std::string> names = {
        "zzz.raw",
        "e_s_run1_file10_20101004T120000.raw",
        "e_s_run1_file2_20101004T120000.raw",
        "e_s_run1_file1_20101004T130000.raw",
        "aaa.raw",
        "e_s_run0_file9_20101004T110000.raw",
    };
    std::vector<char*> files;
    for (auto& n : names) files.push_back(&n[0]);
    sort_files(&files);
    const std::vector<std::string> want = {
        "e_s_run0_file9_20101004T110000.raw", "e_s_run1_file2_20101004T120000.raw",
        "e_s_run1_file10_20101004T120000.raw", "e_s_run1_file1_20101004T130000.raw",
        "aaa.raw", "zzz.raw"};
    ASSERT_EQ(files.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(files[i], want[i]) << i;
}
