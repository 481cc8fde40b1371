// Runs a fuzz target without libFuzzer: over the files named on the command
// line, or else over a fixed number of pseudo-random inputs, so the target
// runs in every test pass (under the sanitizers too).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            std::FILE* f = std::fopen(argv[i], "rb");
            if (!f) {
                std::fprintf(stderr, "cannot read %s\n", argv[i]);
                return 1;
            }
            std::vector<std::uint8_t> input;
            for (int c; (c = std::fgetc(f)) != EOF;) input.push_back(static_cast<std::uint8_t>(c));
            std::fclose(f);
            LLVMFuzzerTestOneInput(input.data(), input.size());
        }
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
