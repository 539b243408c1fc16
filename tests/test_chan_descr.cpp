// Loading channel descriptions from XML, copying and releasing them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "event_util.h"

namespace {

const char* good_xml = R"(<?xml version="1.0"?>
<channels>
  <channel stream="-1" ev_type="0x80000002" dtype="38" db_key="17" max_size="4096"
           set_point="1" prop_name="BPM.3/X" daq_name="BPM3" prop_desc="beam position"
           units="mm" sb_name="SRV1" subsystem="DIAG">
    <bit bit="0" name="OVL" desc="overload"/>
    <bit bit="3" name="CFG"/>
    <dim dim="0" name="X" desc="horizontal" units="mm">
      <stat stat="0" name="MEAN" desc="mean" units="mm"/>
      <stat stat="1" name="RMS"/>
    </dim>
  </channel>
  <channel daq_name="TORA" dtype="017"/>
</channels>)";

struct descr_list {
    std::vector<chan_descr_2010*> v;
    ~descr_list() {
        for (auto* d : v) zorv_free_chan_descr(d);
    }
};

// An XCD table in memory: head and NUL-padded text.
std::vector<unsigned char> make_xcd(const std::string& xml) {
    std::vector<unsigned char> buf(8 + xml.size() + 4, 0);
    auto* x = reinterpret_cast<zorv_xml_chan_descr_header_2010*>(buf.data());
    x->pattern = 0xACDCACF3u;
    x->length = int32_t(buf.size());
    std::memcpy(x->xml, xml.data(), xml.size());
    return buf;
}

}  // namespace

TEST(ChanDescr, LoadsChannelsBitsDimsAndStats) {
    auto xcd = make_xcd(good_xml);
    descr_list l;
    ASSERT_EQ(zorv_load_chan_descr(reinterpret_cast<zorv_xml_chan_descr_header_2010*>(xcd.data()),
                                   &l.v),
              0);
    ASSERT_EQ(l.v.size(), 2u);
    const chan_descr_2010* d = l.v[0];
    EXPECT_EQ(d->stream, -1);
    EXPECT_EQ(d->ev_type, 0x80000002u);
    EXPECT_EQ(d->dtype, 38u);
    EXPECT_EQ(d->count, 0);
    EXPECT_STREQ(d->prop_name, "BPM.3/X");
    EXPECT_STREQ(d->subsystem, "DIAG");
    ASSERT_EQ(d->nbits, 2);
    EXPECT_EQ(d->bits[1]->bit, 3);
    EXPECT_STREQ(d->bits[1]->bit_desc, "");
    ASSERT_EQ(d->ndims, 1);
    ASSERT_EQ(d->dims[0]->nstats, 2);
    EXPECT_STREQ(d->dims[0]->stats[1]->stat_name, "RMS");
    EXPECT_EQ(l.v[1]->dtype, 17u);  // decimal, not octal
    EXPECT_EQ(l.v[1]->nbits, 0);

    chan_descr_2010* copy = zorv_copy_chan_descr(d);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy->dims[0], d->dims[0]);
    EXPECT_STREQ(copy->dims[0]->stats[0]->units, "mm");
    EXPECT_STREQ(copy->daq_name, "BPM3");
    zorv_free_chan_descr(copy);
}

TEST(ChanDescr, EmptyMalformedAndOverlong) {
    descr_list l;
    EXPECT_EQ(zorv_load_chan_descr_text("<channels/>", &l.v), 0);
    EXPECT_TRUE(l.v.empty());

    const char* bad[] = {"", "not xml at all", "<channels><channel></channels>",
                         "<other><channel daq_name=\"X\"/></other>"};
    for (const char* b : bad) {
        EXPECT_NE(zorv_load_chan_descr_text(b, &l.v), 0) << b;
        EXPECT_TRUE(l.v.empty()) << b;
    }
    EXPECT_NE(zorv_load_chan_descr_text(nullptr, &l.v), 0);

    const std::string longname(400, 'n'), longunit(40, 'u');
    const std::string xml = "<channels><channel daq_name=\"" + longname + "\" units=\"" +
                            longunit + "\"><bit name=\"" + longname + "\"/></channel></channels>";
    ASSERT_EQ(zorv_load_chan_descr_text(xml.c_str(), &l.v), 0);
    ASSERT_EQ(l.v.size(), 1u);
    EXPECT_EQ(std::string(l.v[0]->daq_name), longname.substr(0, 255));
    EXPECT_EQ(std::string(l.v[0]->units), longunit.substr(0, 15));
    EXPECT_EQ(std::string(l.v[0]->bits[0]->bit_name), longname.substr(0, 63));

    // A table whose text is not terminated within its length is read only
    // up to its end.
    auto xcd = make_xcd("<channels/>");
    auto* x = reinterpret_cast<zorv_xml_chan_descr_header_2010*>(xcd.data());
    x->length = 8 + 5;  // "<chan"
    EXPECT_NE(zorv_load_chan_descr(x, &l.v), 0);
}

// Descriptions as other programs write them: numbers with blanks around them
// (attribute values may span lines), entities, and texts with multi-byte
// characters that do not fit their field.
TEST(ChanDescr, BlanksEntitiesAndMultiByteCuts) {
    descr_list l;
    const char* xml =
        "<channels>\n <channel\n   dtype=\" 38 \" ev_type=\"\n 0x2\" db_key=\"\t17\"\n"
        "   prop_desc=\"a &amp; b &lt;c&gt; &#x41;&#66;\" daq_name=\"X\"/>\n</channels>";
    ASSERT_EQ(zorv_load_chan_descr_text(xml, &l.v), 0);
    ASSERT_EQ(l.v.size(), 1u);
    EXPECT_EQ(l.v[0]->dtype, 38u);
    EXPECT_EQ(l.v[0]->ev_type, 2u);
    EXPECT_EQ(l.v[0]->db_key, 17);
    EXPECT_STREQ(l.v[0]->prop_desc, "a & b <c> AB");

    // "e acute" (2 bytes) and a 3-byte character straddling the 16-byte field
    // end: the character that does not fit is left out whole.
    const std::string two = std::string(14, 'u') + "\xc3\xa9";
    const std::string three = std::string(13, 'u') + "\xe2\x82\xac";
    const std::string fits = std::string(12, 'u') + "\xe2\x82\xac";
    const std::string x2 = "<channels><channel units=\"" + two + "\"/><channel units=\"" + three +
                           "\"/><channel units=\"" + fits + "\"/></channels>";
    ASSERT_EQ(zorv_load_chan_descr_text(x2.c_str(), &l.v), 0);
    ASSERT_EQ(l.v.size(), 4u);
    EXPECT_EQ(std::string(l.v[1]->units), std::string(14, 'u'));
    EXPECT_EQ(std::string(l.v[2]->units), std::string(13, 'u'));
    EXPECT_EQ(std::string(l.v[3]->units), fits);
}
