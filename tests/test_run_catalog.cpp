// Run catalogue queries against catalogues written here: file lists by run
// and by period, run times, the data directory of a file, and catalogues
// that are broken in the ways a hand-edited or half-written one can be.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "event_util.h"
#include "test_support.h"

namespace {

using zorv_test::temp_dir;

struct cat_file {
    std::string name;
    std::string start, stop;  // attribute texts; empty: attribute left out
};

std::string attr(const char* name, const std::string& v) {
    return v.empty() ? "" : std::string(" ") + name + "=\"" + v + "\"";
}

// Writes <cdir>/<exp>/run<R>.xml.
void write_run(const temp_dir& cdir, const std::string& exp, int run, const std::string& start,
               const std::string& stop, const std::string& dir,
               const std::vector<cat_file>& files) {
    mkdir(cdir.file(exp).c_str(), 0755);
    std::string xml = "<run number=\"" + std::to_string(run) + "\" stream=\"main\"" +
                      attr("start", start) + attr("stop", stop) + attr("dir", dir) + ">\n";
    for (const cat_file& f : files)
        xml += "  <file" + attr("name", f.name) + attr("start", f.start) + attr("stop", f.stop) +
               "/>\n";
    xml += "</run>\n";
    ASSERT_TRUE(zorv_test::write_file(cdir.file(exp + "/run" + std::to_string(run) + ".xml"), xml));
}

std::string fname(int run, int n, const char* time) {
    return "linac_main_run" + std::to_string(run) + "_file" + std::to_string(n) + "_" + time +
           ".raw";
}

struct answer {
    int rc = -1;
    std::vector<std::vector<std::string>> paths;  // per record
    std::vector<std::string> xmlfiles;
};

answer collect(int rc, std::vector<zorv_root_xml_files*>& out) {
    answer a;
    a.rc = rc;
    for (zorv_root_xml_files* r : out) {
        std::vector<std::string> p;
        for (char* s : r->rfiles) {
            p.push_back(s ? s : "(null)");
            delete[] s;
        }
        a.paths.push_back(p);
        a.xmlfiles.push_back(r->xmlfile ? r->xmlfile : "");
        delete[] r->xmlfile;
        delete r;
    }
    out.clear();
    return a;
}

answer by_runs(const std::string& cdir, std::vector<int> numbers, std::string exp = "linac",
               int mode = 1) {
    std::vector<int*> runs;
    for (int& n : numbers) runs.push_back(&n);
    std::vector<zorv_root_xml_files*> out;
    std::string desc;
    int rc = get_files_for_runs(&runs, &out, &desc, &exp, cdir.c_str(), mode);
    return collect(rc, out);
}

answer by_period(const std::string& cdir, time_t start, time_t stop, std::string exp = "linac") {
    std::vector<zorv_root_xml_files*> out;
    std::string desc;
    int rc = get_files_for_period(start, stop, &out, &desc, &exp, cdir.c_str(), 1);
    return collect(rc, out);
}

// Runs 9 and 10 (numeric order differs from name order), three and two files.
class RunCatalog : public ::testing::Test {
protected:
    void SetUp() override {
        write_run(cdir, "linac", 9, "1000", "1300", "/data/a",
                  {{fname(9, 1, "20101004T120000"), "1000", "1100"},
                   {fname(9, 2, "20101004T120140"), "1100", "1200"},
                   {fname(9, 3, "20101004T120320"), "1200", "1300"}});
        write_run(cdir, "linac", 10, "2000", "2200", "/data/b/",
                  {{fname(10, 1, "20101004T121640"), "2000", "2100"},
                   {fname(10, 2, "20101004T121820"), "2100", "2200"}});
    }
    std::string path(const std::string& dir, int run, int n, const char* t) {
        return dir + fname(run, n, t);
    }
    temp_dir cdir;
};

TEST_F(RunCatalog, FilesOfRunsOneRecordPerRunFound) {
    answer a = by_runs(cdir.path(), {10, 7, 9});
    ASSERT_EQ(a.rc, 0);
    ASSERT_EQ(a.paths.size(), 2u);
    EXPECT_EQ(a.paths[0], (std::vector<std::string>{path("/data/b/", 10, 1, "20101004T121640"),
                                                    path("/data/b/", 10, 2, "20101004T121820")}));
    EXPECT_EQ(a.paths[1][0], path("/data/a/", 9, 1, "20101004T120000"));
    EXPECT_EQ(a.paths[1].size(), 3u);
    EXPECT_EQ(a.xmlfiles[1], cdir.file("linac/run9.xml"));

    EXPECT_NE(by_runs(cdir.path(), {7}).rc, 0);
    EXPECT_TRUE(by_runs(cdir.path(), {7}).paths.empty());
    EXPECT_NE(by_runs(cdir.path(), {9}, "linac", 0).rc, 0);
    EXPECT_NE(by_runs(cdir.path(), {9}, "other").rc, 0);
}

TEST_F(RunCatalog, FilesOfPeriodAreThoseOverlappingTheWindowInRunOrder) {
    struct {
        time_t start, stop;
        std::vector<size_t> per_run;  // files per returned record
    } cases[] = {
        {1150, 2050, {2, 1}},  // tail of run 9, head of run 10
        {1100, 1100, {2}},     // ends inclusive: touches files 1 and 2
        {1350, 1900, {}},      // between the runs
        {0, 5000, {3, 2}},
        {2300, 2400, {}},
        {1200, 1100, {}},      // reversed window
    };
    for (const auto& c : cases) {
        answer a = by_period(cdir.path(), c.start, c.stop);
        SCOPED_TRACE(std::to_string(c.start) + ".." + std::to_string(c.stop));
        EXPECT_EQ(a.rc == 0, !c.per_run.empty());
        ASSERT_EQ(a.paths.size(), c.per_run.size());
        for (size_t i = 0; i < c.per_run.size(); ++i) EXPECT_EQ(a.paths[i].size(), c.per_run[i]);
    }
    answer a = by_period(cdir.path(), 1150, 2050);
    EXPECT_EQ(a.paths[0][0], path("/data/a/", 9, 2, "20101004T120140"));
    EXPECT_EQ(a.paths[1][0], path("/data/b/", 10, 1, "20101004T121640"));
    EXPECT_EQ(a.xmlfiles[1], cdir.file("linac/run10.xml"));
}

TEST_F(RunCatalog, RunTimesAndFailureLeavesOutputsUntouched) {
    time_t t1 = 0, t2 = 0;
    ASSERT_EQ(get_time_for_run(10, &t1, &t2, "linac", cdir.path().c_str()), 0);
    EXPECT_EQ(t1, 2000);
    EXPECT_EQ(t2, 2200);

    write_run(cdir, "linac", 11, "", "", "/d", {{fname(11, 1, "x"), "3000", "3100"},
                                                {fname(11, 2, "y"), "3100", "3250"}});
    ASSERT_EQ(get_time_for_run(11, &t1, &t2, "linac", cdir.path().c_str()), 0);
    EXPECT_EQ(t1, 3000);
    EXPECT_EQ(t2, 3250);

    // Blanks around a time are no part of it.
    write_run(cdir, "linac", 14, " 5000", "5200\n ", "/d", {{fname(14, 1, "x"), "\t5000 ", " 5200"}});
    ASSERT_EQ(get_time_for_run(14, &t1, &t2, "linac", cdir.path().c_str()), 0);
    EXPECT_EQ(t1, 5000);
    EXPECT_EQ(t2, 5200);

    time_t x = 77, y = 88;
    EXPECT_NE(get_time_for_run(12, &x, &y, "linac", cdir.path().c_str()), 0);
    write_run(cdir, "linac", 13, "4000", "", "/d", {{fname(13, 1, "x"), "4000", ""}});
    EXPECT_NE(get_time_for_run(13, &x, &y, "linac", cdir.path().c_str()), 0);
    EXPECT_EQ(x, 77);
    EXPECT_EQ(y, 88);
}

TEST_F(RunCatalog, DataDirectoryOfAListedFile) {
    zorv_test::scoped_env env("ZORV_DAQ_CATALOG_DIR", cdir.path().c_str());
    char buf[1024];
    int size = sizeof buf;
    std::string listed = "/anywhere/" + fname(9, 2, "20101004T120140");
    ASSERT_EQ(get_pnfs_dir("linac", listed.c_str(), buf, &size, 0), 0);
    EXPECT_STREQ(buf, "/data/a");

    struct {
        std::string file;
        int size;
    } refused[] = {
        {fname(9, 4, "20101004T120500"), 1024},  // not listed in its run
        {fname(12, 1, "20101004T120500"), 1024}, // no such run
        {"linac_main_file1_20101004T120000.raw", 1024},
        {fname(9, 2, "20101004T120140"), 7},     // "/data/a" needs 8 bytes
    };
    for (const auto& r : refused) {
        size = r.size;
        std::strcpy(buf, "untouched");
        EXPECT_NE(get_pnfs_dir("linac", r.file.c_str(), buf, &size, 0), 0) << r.file;
        EXPECT_STREQ(buf, "untouched");
    }
}

// Broken catalogues answer "not found" and never hand out paths that leave
// the run's directory.
TEST(RunCatalogRobustness, MalformedRunFilesAndOddNames) {
    temp_dir cdir;
    mkdir(cdir.file("linac").c_str(), 0755);
    struct {
        const char* content;
        bool found;
        size_t files;
    } cases[] = {
        {"<run dir=\"/d\"><file name=\"a_run1_file1_x.raw\" start=\"10\" stop=\"20\"/>", false, 0},
        {"", false, 0},
        {"<other dir=\"/d\"><file name=\"f\"/></other>", false, 0},
        {"<run dir=\"/d\"><file name=\"../../etc/passwd\"/><file name=\"..\"/><file/></run>",
         false, 0},
        {"<run dir=\"/d\" start=\"-5\" stop=\"1e9\"><file name=\"ok\" start=\"abc\"/></run>", true,
         1},
        {"<run dir=\"/d\"><file name=\"a\"/><file name=\"b/c\"/><file name=\"d\"/></run>", true,
         2},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(zorv_test::write_file(cdir.file("linac/run1.xml"), c.content));
        answer a = by_runs(cdir.path(), {1});
        SCOPED_TRACE(c.content);
        EXPECT_EQ(a.rc == 0, c.found);
        EXPECT_EQ(a.paths.empty() ? 0u : a.paths[0].size(), c.files);
        time_t t1 = 5, t2 = 6;
        EXPECT_NE(get_time_for_run(1, &t1, &t2, "linac", cdir.path().c_str()), 0);
        EXPECT_NE(by_period(cdir.path(), 0, 100000).rc, 0);
    }
    // Experiment names that would leave the catalogue directory.
    write_run(cdir, "linac", 2, "10", "20", "/d", {{"f", "10", "20"}});
    for (const char* exp : {"", "..", "linac/..", "../linac"})
        EXPECT_NE(by_runs(cdir.path(), {2}, exp).rc, 0) << exp;
    EXPECT_EQ(by_runs(cdir.path(), {2}).rc, 0);
    EXPECT_NE(by_runs(cdir.path(), {-2, 0}).rc, 0);
    EXPECT_NE(get_files_for_runs(nullptr, nullptr, nullptr, nullptr, nullptr, 1), 0);
    std::vector<int*> nulls{nullptr};
    std::vector<zorv_root_xml_files*> out;
    std::string exp = "linac";
    EXPECT_NE(get_files_for_runs(&nulls, &out, nullptr, &exp, cdir.path().c_str(), 1), 0);
    EXPECT_NE(get_files_for_runs(&nulls, &out, nullptr, &exp, nullptr, 1), 0);
}

}  // namespace
