// Runs a fuzz target without libFuzzer: over the files named on the command
// line (a directory stands for the files in it, a saved corpus), or else
// over a fixed number of pseudo-random inputs, so the target runs in every
// test pass (under the sanitizers too).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    if (argc > 1) {
        std::vector<std::string> files;
        for (int i = 1; i < argc; ++i) {
            std::error_code error;
            if (std::filesystem::is_directory(argv[i], error)) {
                std::vector<std::string> inDir;
                for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
                    if (entry.is_regular_file()) inDir.push_back(entry.path().string());
                // In name order, so that a run is the same on every machine.
                std::sort(inDir.begin(), inDir.end());
                if (inDir.empty()) {
                    std::fprintf(stderr, "no inputs in %s\n", argv[i]);
                    return 1;
                }
                files.insert(files.end(), inDir.begin(), inDir.end());
            } else {
                files.push_back(argv[i]);
            }
        }
        for (const std::string& name : files) {
            std::FILE* f = std::fopen(name.c_str(), "rb");
            if (!f) {
                std::fprintf(stderr, "cannot read %s\n", name.c_str());
                return 1;
            }
            std::vector<std::uint8_t> input;
            for (int c; (c = std::fgetc(f)) != EOF;) input.push_back(static_cast<std::uint8_t>(c));
            std::fclose(f);
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
        std::printf("%zu inputs, no fault\n", files.size());
        return 0;
    }
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    std::vector<std::uint8_t> input;
    for (int run = 0; run < 20000; ++run) {
        input.resize(1 + next() % 600);
        for (auto& b : input) b = static_cast<std::uint8_t>(next());
        // Make plausible replies common: the master address, small lengths.
        if (input.size() > 8 && (next() & 1)) {
            input[1 + next() % 8] = 240;
            input[1 + next() % 8] = static_cast<std::uint8_t>(next() % 256);
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("20000 inputs, no fault\n");
    return 0;
}
