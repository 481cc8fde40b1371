#include "sim/MeterMemory.h"

#include <algorithm>

#include "sim/MeterLayout.h"
#include "sim/SimFrame.h"

namespace q31::sim {

MeterMemory::MeterMemory()
    : ram_(kRamSize, 0), flash_(kFlashSize, kErasedFlashByte), f149_(kF149FlashSize, kErasedFlashByte) {}

std::span<std::uint8_t> MeterMemory::Image(MemoryArea area) {
    switch (area) {
        case MemoryArea::Ram: return ram_;
        case MemoryArea::Flash: return flash_;
        case MemoryArea::F149Flash: return f149_;
    }
    return {};
}

std::span<const std::uint8_t> MeterMemory::Image(MemoryArea area) const {
    return const_cast<MeterMemory*>(this)->Image(area);
}

std::vector<std::uint8_t> MeterMemory::Read(MemoryArea area, std::uint32_t address, std::size_t count) const {
    std::vector<std::uint8_t> out(count, 0);
    const auto image = Image(area);
    if (address < image.size()) {
        const std::size_t n = std::min(count, image.size() - address);
        std::copy_n(image.begin() + address, n, out.begin());
    }
    return out;
}

std::size_t MeterMemory::Write(MemoryArea area, std::uint32_t address, std::span<const std::uint8_t> bytes) {
    const auto image = Image(area);
    if (address >= image.size()) return 0;
    const std::size_t n = std::min(bytes.size(), image.size() - address);
    std::copy_n(bytes.begin(), n, image.begin() + address);
    return n;
}

void MeterMemory::Fill(MemoryArea area, std::uint8_t value) {
    const auto image = Image(area);
    std::fill(image.begin(), image.end(), value);
}

std::uint16_t MeterMemory::ReadU16(MemoryArea area, std::uint32_t address) const {
    return GetU16(Read(area, address, 2).data());
}

std::uint32_t MeterMemory::ReadU32(MemoryArea area, std::uint32_t address) const {
    return GetU32(Read(area, address, 4).data());
}

void MeterMemory::WriteU16(MemoryArea area, std::uint32_t address, std::uint16_t value) {
    std::uint8_t b[2];
    PutU16(b, value);
    Write(area, address, b);
}

void MeterMemory::WriteU32(MemoryArea area, std::uint32_t address, std::uint32_t value) {
    std::uint8_t b[4];
    PutU32(b, value);
    Write(area, address, b);
}

}  // namespace q31::sim
