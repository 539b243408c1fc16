// Run directories that change while they are read: the last file still being
// written (its bytes under "<name>.part" until it is renamed), a file renamed
// into place a moment ago, and files removed or replaced between the file
// list and the read. The complete files are read whole, the others end in a
// message or a reported skip, and the read always ends with a status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "sample_run.h"
#include "layout_cases.h"
#include "test_support.h"
#include "zorv_daq_reader.h"
#include "zorv_daq_reader_2010.h"

namespace {

constexpr int kFiles = 4;
constexpr int kEvents = 5;

// The run's channels: a compressed two-member BPM and a toroid.
template <class C>
std::string channels() {
    return "BPM1 " + std::to_string(C::bpm) + " ndata=2 comp=zlib;TORO1 " + std::to_string(C::toroid);
}

struct outcome {
    int events = 0;
    int end = 0;
    zorv_daq_delivery_report report;
};

template <class C>
class files_in_flux : public ::testing::Test {
protected:
    void SetUp() override {
        cfg_ = zorv_test::small_run_config(dir_.path(), kFiles, kEvents, channels<C>(), C::layout);
        cfg_.run = 77;
        files_ = zorv_test::write_run(cfg_);
        ASSERT_EQ(files_.size(), size_t(kFiles));
    }

    // Reads `r` (set up and started) to its end, or a little past every
    // event the run has (a reader that keeps answering is at fault).
    static outcome drain(typename C::reader_t& r) {
        outcome o;
        std::vector<zorv_channel_entry_long*> out;
        while (o.events <= kFiles * kEvents &&
               (o.end = r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT)) == 0) {
            ++o.events;
        }
        r.get_delivery_report(&o.report);
        return o;
    }

    int select_channels(typename C::reader_t& r) {
        for (const char* n : {"BPM1", "TORO1"}) {
            daq_channel_entry e{};
            e.name = const_cast<char*>(n);
            if (int s = r.add_channel(&e)) return s;
        }
        return r.set_synch_mode(ZORV_DAQ_SLICER_SYNCH_MODE_EVID);
    }

    // The run by its number, found by the local scan of the data directory.
    int init_run(typename C::reader_t& r) {
        zorv_daq_request q = zorv_test::run_request(cfg_.run, cfg_.run, dir_.file("none"), dir_.path() + "/");
        std::vector<daq_channel_entry*> none;
        const int s = r.init(&q, &none);
        return s ? s : select_channels(r);
    }

    zorv_test::temp_dir dir_;
    zorv::synthetic_run_config cfg_;
    std::vector<std::string> files_;
};

using Layouts = ::testing::Types<zorv_test::current_case, zorv_test::legacy_case>;
TYPED_TEST_SUITE(files_in_flux, Layouts);

// The last file is still being written: its first half sits under its
// ".part" name. The run gives the complete files, and names the other.
TYPED_TEST(files_in_flux, the_file_being_written_is_left_out) {
    const std::string last = this->files_.back();
    const std::string bytes = zorv_test::read_file(last);
    ASSERT_TRUE(zorv_test::write_file(last + ".part", bytes.substr(0, bytes.size() / 2)));
    ASSERT_EQ(::unlink(last.c_str()), 0);

    typename TypeParam::reader_t r;
    ASSERT_EQ(this->init_run(r), 0) << r.get_last_error();
    EXPECT_EQ(r.get_number_of_files(), kFiles - 1);
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    const outcome o = this->drain(r);
    EXPECT_EQ(o.end, ZORV_DAQ_READER_OUT_OF_WINDOW);
    EXPECT_EQ(o.events, (kFiles - 1) * kEvents);
    ASSERT_EQ(o.report.skipped_files.size(), 1u);
    EXPECT_EQ(o.report.skipped_files[0].file, last + ".part");
    EXPECT_EQ(o.report.skipped_files[0].reason, "still being written");
}

// Renamed into place a moment ago, the last file may still be settling: it
// is passed over with a message naming it unless fresh files are accepted.
TYPED_TEST(files_in_flux, a_file_closed_a_moment_ago_is_named_and_passed_over) {
    ::unsetenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME");
    typename TypeParam::reader_t r;
    ::testing::internal::CaptureStdout();
    const int s = r.add_file(this->files_.back().c_str(), true);
    const std::string said = ::testing::internal::GetCapturedStdout();
    ::setenv("ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME", "1", 1);
    if (TypeParam::layout == zorv::file_layout::current) {
        EXPECT_EQ(s, ZORV_DAQ_READER_FILES_NOT_FOUND);
        // The message names the file.
        EXPECT_NE(said.find(std::filesystem::path(this->files_.back()).filename().string()), std::string::npos)
            << said;
    }
}

// The run catalogue lists a file that is gone: the read gives the others
// and names it.
TYPED_TEST(files_in_flux, a_catalogued_file_that_is_gone_is_reported) {
    this->cfg_.catalog_dir = this->dir_.file("catalog");
    std::filesystem::create_directories(this->cfg_.catalog_dir);
    this->files_ = zorv_test::write_run(this->cfg_);
    ASSERT_EQ(::unlink(this->files_[1].c_str()), 0);
    zorv_daq_request q =
        zorv_test::run_request(this->cfg_.run, this->cfg_.run, this->cfg_.catalog_dir, this->dir_.path());
    std::vector<daq_channel_entry*> none;
    typename TypeParam::reader_t r;
    ASSERT_EQ(r.init(&q, &none), 0) << r.get_last_error();
    ASSERT_EQ(this->select_channels(r), 0);
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    const outcome o = this->drain(r);
    EXPECT_EQ(o.end, ZORV_DAQ_READER_OUT_OF_WINDOW);
    EXPECT_EQ(o.events, (kFiles - 1) * kEvents);
    ASSERT_EQ(o.report.skipped_files.size(), 1u);
    EXPECT_EQ(o.report.skipped_files[0].file, this->files_[1]);
    // Named by the discovery ("not found"), or by the read when fresh files
    // are taken unchecked ("cannot be opened").
    EXPECT_FALSE(o.report.skipped_files[0].reason.empty());
}

// Files listed, then removed, cut short or replaced by another run's file
// before the read reaches them: the read skips each with its reason and
// goes on; every event of the untouched files is delivered.
TYPED_TEST(files_in_flux, files_changed_after_listing_are_skipped_and_reported) {
    const std::string other = this->dir_.file("other.raw");
    {
        zorv_test::temp_dir d;
        auto cfg = zorv_test::small_run_config(d.path(), 1, 3, "X 38", TypeParam::layout);
        const auto f = zorv_test::write_run(cfg);
        ASSERT_EQ(f.size(), 1u);
        std::filesystem::copy_file(f[0], other);
    }
    enum change { removed, truncated, replaced };
    for (const change c : {removed, truncated, replaced}) {
        SCOPED_TRACE(c);
        this->files_ = zorv_test::write_run(this->cfg_);
        typename TypeParam::reader_t r;
        for (const std::string& f : this->files_) ASSERT_EQ(r.add_file(f.c_str(), true), 0);
        ASSERT_EQ(this->select_channels(r), 0);
        const std::string& victim = this->files_[1];
        if (c == removed) {
            ASSERT_EQ(::unlink(victim.c_str()), 0);
        }
        if (c == truncated) std::filesystem::resize_file(victim, 100);
        if (c == replaced) std::filesystem::copy_file(other, victim, std::filesystem::copy_options::overwrite_existing);

        ASSERT_EQ(r.start(), 0) << r.get_last_error();
        const outcome o = this->drain(r);
        EXPECT_EQ(o.end, ZORV_DAQ_READER_OUT_OF_WINDOW);
        EXPECT_EQ(o.events, (kFiles - 1) * kEvents);
        ASSERT_EQ(o.report.skipped_files.size(), 1u);
        EXPECT_EQ(o.report.skipped_files[0].file, victim);
        EXPECT_FALSE(o.report.skipped_files[0].reason.empty());
        EXPECT_FALSE(o.report.complete());
        r.clean_up();
    }
}

// The last file cut short after the read has started, its tables already
// read: when the read reaches it the file is skipped with its reason (its
// baskets now lie past its end), never touched beyond its end.
TYPED_TEST(files_in_flux, a_file_cut_short_during_the_read_is_skipped) {
    // Three files: the tables of all of them are read as the read starts.
    this->files_.pop_back();
    const std::string& victim = this->files_.back();
    typename TypeParam::reader_t r;
    for (const std::string& f : this->files_) ASSERT_EQ(r.add_file(f.c_str(), true), 0);
    ASSERT_EQ(this->select_channels(r), 0);
    ASSERT_EQ(r.start(), 0) << r.get_last_error();
    std::vector<zorv_channel_entry_long*> out;
    ASSERT_EQ(r.get_data(nullptr, &out, ZORV_DAQ_READ_CHAN_EVENT_NEXT), 0);
    // The reader's own threads (tables ahead, decoding) have ended or wait
    // for work: the file changes between reads, not while it is being read.
    ASSERT_TRUE(zorv_test::other_threads_idle());
    // Whole pages only: a page wholly past the end is what faults.
    std::filesystem::resize_file(victim, std::filesystem::file_size(victim) / 4 / 4096 * 4096);
    const outcome o = this->drain(r);
    EXPECT_EQ(o.end, ZORV_DAQ_READER_OUT_OF_WINDOW);
    EXPECT_EQ(o.events + 1, (kFiles - 2) * kEvents);
    ASSERT_FALSE(o.report.skipped_files.empty());
    EXPECT_EQ(o.report.skipped_files.back().file, victim);
    for (const auto& c : o.report.channels)
        EXPECT_EQ(c.delivered + c.in_skipped_files, (kFiles - 1) * kEvents) << c.channel;
    EXPECT_FALSE(o.report.complete());
}

}  // namespace
