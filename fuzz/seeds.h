// Seeds of a fuzz target without libFuzzer: the files of its corpus directory are replayed whole
// and cut short, each in a heap buffer of exactly its length so that a sanitizer sees
// any read past the end. A target that builds seeds in code can also write them there.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace zqfuzz {

using Seed = std::vector<uint8_t>;

// Inputs replayed; -1 when the directory cannot be read.
inline long replayCorpus(const std::string& dir)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        std::fprintf(stderr, "no corpus at %s\n", dir.c_str());
        return -1;
    }
    long runs = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') {
            continue;
        }
        std::ifstream file(dir + "/" + e->d_name, std::ios::binary);
        Seed seed((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        // Every length of a short seed; about 300 lengths, the end included, of a long one.
        const size_t step = seed.size() / 256 + 1;
        for (size_t len = 0; len <= seed.size();
             len = len == seed.size() ? len + 1 : std::min(len + step, seed.size())) {
            Seed exact(seed.begin(), seed.begin() + static_cast<long>(len));
            LLVMFuzzerTestOneInput(exact.data(), exact.size());
            ++runs;
        }
    }
    closedir(d);
    return runs;
}

inline bool writeSeeds(const std::string& dir, const std::string& prefix, const std::vector<Seed>& seeds)
{
    for (size_t i = 0; i < seeds.size(); ++i) {
        std::ofstream file(dir + "/" + prefix + "-" + std::to_string(i), std::ios::binary);
        file.write(reinterpret_cast<const char*>(seeds[i].data()), static_cast<std::streamsize>(seeds[i].size()));
        if (!file) {
            return false;
        }
    }
    return true;
}

// main of a target: `--write-seeds DIR` writes the built seeds; otherwise the built seeds run
// (through `runBuilt`, which may vary them) and then the corpus directory.
template <typename RunBuilt> int seedMain(int argc, char** argv, const std::vector<Seed>& built, RunBuilt&& runBuilt)
{
    if (argc == 3 && std::string(argv[1]) == "--write-seeds") {
        return writeSeeds(argv[2], "built", built) ? 0 : 1;
    }
    long runs = runBuilt(built);
    long replayed = replayCorpus(argc > 1 ? argv[1] : ZQ_FUZZ_CORPUS);
    if (replayed <= 0) {
        return 1;
    }
    std::printf("replayed %ld built and %ld corpus inputs\n", runs, replayed);
    return 0;
}

} // namespace zqfuzz
