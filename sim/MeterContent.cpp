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
    for (std::size_t word = 0; word < kRamPointerWords; ++word) {
        memory.WriteU16(MemoryArea::Flash, static_cast<std::uint32_t>(kRamPointerFlashAddress + 2 * word),
                        PointerTarget(word));
    }
}

}  // namespace q31::sim
