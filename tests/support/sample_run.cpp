#include "sample_run.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>

#include "test_support.h"

namespace zorv_test {

namespace {

struct sample_cache {
    std::unique_ptr<temp_dir> dir;
    std::vector<std::string> files;
};

sample_cache& cache_for(zorv::file_layout layout) {
    static std::map<zorv::file_layout, sample_cache> caches;
    sample_cache& c = caches[layout];
    if (!c.dir) {
        c.dir = std::make_unique<temp_dir>();
        std::string err;
        if (zorv::write_sample_run(c.dir->path(), layout, &c.files, &err) != 0) {
            ADD_FAILURE() << "sample run: " << err;
            c.files.clear();
        }
    }
    return c;
}

}  // namespace

const std::vector<std::string>& sample_run(zorv::file_layout layout) {
    return cache_for(layout).files;
}

std::string sample_run_dir(zorv::file_layout layout) { return cache_for(layout).dir->path(); }

zorv::synthetic_run_config sample_config(zorv::file_layout layout) {
    return zorv::sample_run_config(sample_run_dir(layout), layout);
}

std::vector<std::string> write_run(const zorv::synthetic_run_config& cfg) {
    std::vector<std::string> files;
    std::string err;
    if (zorv::write_synthetic_run(cfg, &files, &err) != 0) {
        ADD_FAILURE() << "synthetic run: " << err;
        files.clear();
    }
    return files;
}

zorv::synthetic_run_config small_run_config(const std::string& dir, int files, int events,
                                            const std::string& channels,
                                            zorv::file_layout layout) {
    zorv::synthetic_run_config cfg;
    std::string err;
    if (zorv::make_run_config(dir, layout, files, events, channels, &cfg, &err) != 0)
        ADD_FAILURE() << "channels: " << err;
    return cfg;
}

zorv_daq_request run_request(int first, int last, const std::string& cdir, const std::string& ddir) {
    zorv_daq_request q{};
    q.run_first = first;
    q.run_last = last;
    std::strcpy(q.exp_name, "linac");
    std::strcpy(q.stream_name, "main");
    std::snprintf(q.cdir, sizeof q.cdir, "%s", cdir.c_str());
    std::snprintf(q.ddir, sizeof q.ddir, "%s", ddir.c_str());
    q.synch_mode = ZORV_DAQ_SLICER_SYNCH_MODE_EVID;
    q.period = {1, {0, 100000}};
    return q;
}

}  // namespace zorv_test
