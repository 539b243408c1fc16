#include "sample_run.h"

#include <gtest/gtest.h>

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
    cfg.dir = dir;
    cfg.files = files;
    cfg.events_per_file = events;
    cfg.layout = layout;
    std::string err;
    if (zorv::synthetic_channels(channels, layout, &cfg.channels, &err) != 0)
        ADD_FAILURE() << "channels: " << err;
    return cfg;
}

}  // namespace zorv_test
