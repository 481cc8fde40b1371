#include "sim/MeterContent.h"

#include "sim/MeterLayout.h"
#include "sim/SimRandom.h"

namespace q31::sim {

namespace {

void FillRandom(std::span<std::uint8_t> image, SimRandom& random) {
    std::size_t i = 0;
    while (i < image.size()) {
        std::uint64_t v = random.Next();
        for (int k = 0; k < 8 && i < image.size(); ++k, ++i, v >>= 8) image[i] = static_cast<std::uint8_t>(v);
    }
}

}  // namespace

void FillMeterContent(MeterMemory& memory, std::uint64_t seed, std::uint8_t moduleCount) {
    // Separate streams per memory, so growing one image later does not
    // change the content of the other.
    SimRandom ramRandom(seed * 2 + 1);
    SimRandom flashRandom(seed * 2 + 2);
    FillRandom(memory.Image(MemoryArea::Ram), ramRandom);
    FillRandom(memory.Image(MemoryArea::Flash), flashRandom);
    memory.Fill(MemoryArea::F149Flash, kErasedFlashByte);

    memory.Image(MemoryArea::Ram)[kModuleBlockAddress + kModuleCountOffset] = moduleCount;
    // Module entries a real meter could hold: a configuration word, six
    // channel numbers counted from 0, and six parameters of sensible size;
    // modules past the count are empty.
    SimRandom moduleRandom(seed * 2 + 3);
    for (std::size_t i = 0; i < kModuleEntries; ++i) {
        const auto entry = static_cast<std::uint32_t>(kModuleBlockAddress + kModuleEntryOffset + kModuleEntrySize * i);
        const bool present = i < moduleCount;
        memory.WriteU16(MemoryArea::Ram, entry, present ? static_cast<std::uint16_t>(0x0100 + i) : 0);
        for (std::uint32_t k = 0; k < 6; ++k) {
            memory.Image(MemoryArea::Ram)[entry + 12 + k] = present ? static_cast<std::uint8_t>(6 * i + k) : 0xFF;
            const auto parameter = static_cast<std::uint32_t>(1000 * (k + 1) + moduleRandom.Below(100));
            memory.WriteU32(MemoryArea::Ram, entry + 18 + 4 * k, present ? parameter : 0);
        }
    }
    for (std::size_t word = 0; word < kRamPointerWords; ++word) {
        memory.WriteU16(MemoryArea::Flash, static_cast<std::uint32_t>(kRamPointerFlashAddress + 2 * word),
                        PointerTarget(word));
    }
}

}  // namespace q31::sim
