// Prints, for a virtual meter made from --seed S with --modules M, the
// record OnModuleRecord must deliver for each module, as q31-winhost
// arguments: --record I:HEX (32 bytes).
//
// The record is built from module entry I-1 of the module block at RAM
// 0xFE00 (entry i at byte 52 + 50*i): entry bytes 0-1 as they are, bytes
// 12-17 each plus one, bytes 18-41 as they are.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/MeterContent.h"
#include "sim/MeterMemory.h"

int main(int argc, char** argv) {
    unsigned long long seed = 31;
    unsigned long modules = 6;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seed") == 0) seed = std::strtoull(argv[i + 1], nullptr, 0);
        else if (std::strcmp(argv[i], "--modules") == 0) modules = std::strtoul(argv[i + 1], nullptr, 0);
    }
    q31::sim::MeterMemory memory;
    q31::sim::FillMeterContent(memory, seed, static_cast<std::uint8_t>(modules));
    for (unsigned module = 1; module <= 6; ++module) {
        const auto entry = memory.Read(q31::sim::MemoryArea::Ram, 0xFE00 + 52 + 50 * (module - 1), 50);
        std::uint8_t record[32];
        std::memcpy(record, entry.data(), 2);
        for (int k = 0; k < 6; ++k) record[2 + k] = static_cast<std::uint8_t>(entry[12 + k] + 1);
        std::memcpy(record + 8, entry.data() + 18, 24);
        std::printf("--record %u:", module);
        for (std::uint8_t b : record) std::printf("%02X", b);
        std::printf("\n");
    }
    return 0;
}
