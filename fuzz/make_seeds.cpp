// Writes the seed corpus of every fuzz target: <out>/<target>/seed-<n>.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "fuzz_seeds.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus dir>\n", argv[0]);
        return 2;
    }
    for (const auto& [target, inputs] : zorv_fuzz::make_seeds()) {
        const std::filesystem::path dir = std::filesystem::path(argv[1]) / target;
        std::filesystem::create_directories(dir);
        for (size_t i = 0; i < inputs.size(); ++i)
            std::ofstream(dir / ("seed-" + std::to_string(i)), std::ios::binary) << inputs[i];
        std::printf("%s: %zu seeds\n", target.c_str(), inputs.size());
    }
    return 0;
}
