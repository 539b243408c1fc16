// Replays the fuzz targets' seed inputs (made by the writer) and every input
// that once made a target fail (tests/fuzz_corpus/<target>/) through the
// library's fuzz entry points, in the ordinary build.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "../fuzz/fuzz_seeds.h"
#include "zorv_fuzz.h"

namespace {

namespace fs = std::filesystem;
using entry = int (*)(const uint8_t*, size_t);

const std::map<std::string, entry> entries = {
    {"table_set", zorv_fuzz_table_set},       {"read_channels", zorv_fuzz_read_channels},
    {"reader", zorv_fuzz_reader},             {"tables", zorv_fuzz_tables},
    {"payload", zorv_fuzz_payload},           {"chan_descr", zorv_fuzz_chan_descr},
    {"run_catalog", zorv_fuzz_run_catalog},   {"file_names", zorv_fuzz_file_names},
};

const zorv_fuzz::seed_map& seeds() {
    static const zorv_fuzz::seed_map m = zorv_fuzz::make_seeds();
    return m;
}

int run(const std::string& target, const zorv_fuzz::bytes& in) {
    return entries.at(target)(reinterpret_cast<const uint8_t*>(in.data()), in.size());
}

class fuzz_regress : public ::testing::TestWithParam<const char*> {};

// Every seed is handled; the written files are read back without a failing
// status, so a target whose seeds are refused outright would be noticed.
TEST_P(fuzz_regress, seeds_are_handled) {
    const std::string target = GetParam();
    ASSERT_TRUE(seeds().count(target)) << "no seeds for " << target;
    const auto& inputs = seeds().at(target);
    ASSERT_FALSE(inputs.empty());
    for (size_t i = 0; i < inputs.size(); ++i) {
        const int rc = run(target, inputs[i]);
        if (target == "table_set" || target == "read_channels" || target == "reader") {
            EXPECT_EQ(rc, 0) << "seed " << i;
        }
    }
}

// The kept corpus of every target (the inputs that reached new code in the
// campaigns, and those that once failed) ends with a status.
TEST_P(fuzz_regress, kept_inputs_are_handled) {
    const fs::path dir = fs::path(ZORV_FUZZ_CORPUS_DIR) / GetParam();
    ASSERT_TRUE(fs::is_directory(dir) && !fs::is_empty(dir)) << "no kept inputs for " << GetParam();
    for (const auto& f : fs::directory_iterator(dir)) {
        SCOPED_TRACE(f.path().string());
        run(GetParam(), zorv_fuzz::slurp(f.path().string()));
    }
}

INSTANTIATE_TEST_SUITE_P(targets, fuzz_regress,
                         ::testing::ValuesIn(std::begin(zorv_fuzz::targets), std::end(zorv_fuzz::targets)),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
