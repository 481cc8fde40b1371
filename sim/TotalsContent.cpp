#include "sim/TotalsContent.h"

#include "sim/MeterConfig.h"
#include "sim/MeterLayout.h"
#include "sim/MeterModel.h"
#include "sim/SimRandom.h"

namespace q31::sim {

namespace {

// The meter gives its values no units on the line; these ranges only make
// them look like a working heat meter (hundredths of a degree, kPa, litres
// per hour, watts, hours, watt-hours, grams, millilitres).
struct Range {
    std::uint64_t low;
    std::uint64_t high;  // exclusive
};

class Writer {
public:
    Writer(MeterMemory& memory, MemoryArea area, std::uint32_t base, SimRandom& random)
        : memory_(memory), area_(area), base_(base), random_(random) {}

    void Values32(std::uint32_t offset, int count, Range r) {
        for (int i = 0; i < count; ++i)
            memory_.WriteU32(area_, base_ + offset + 4u * static_cast<std::uint32_t>(i),
                             static_cast<std::uint32_t>(Draw(r)));
    }
    void Values64(std::uint32_t offset, int count, Range r) {
        for (int i = 0; i < count; ++i) {
            const std::uint64_t v = Draw(r);
            const std::uint32_t at = base_ + offset + 8u * static_cast<std::uint32_t>(i);
            memory_.WriteU32(area_, at, static_cast<std::uint32_t>(v));
            memory_.WriteU32(area_, at + 4, static_cast<std::uint32_t>(v >> 32));
        }
    }
    void Bytes(std::uint32_t offset, std::size_t count, Range r) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t b = static_cast<std::uint8_t>(Draw(r));
            memory_.Write(area_, base_ + offset + static_cast<std::uint32_t>(i), std::span<const std::uint8_t>(&b, 1));
        }
    }

private:
    std::uint64_t Draw(Range r) { return r.low + random_.Below(r.high - r.low); }

    MeterMemory& memory_;
    MemoryArea area_;
    std::uint32_t base_;
    SimRandom& random_;
};

std::uint16_t PointerWord(const MeterMemory& memory, std::size_t word) {
    return memory.ReadU16(MemoryArea::Flash, static_cast<std::uint32_t>(kRamPointerFlashAddress + 2 * word));
}

constexpr Range kAnyByte{0, 256};

}  // namespace

void InstallTotalsContent(MeterModel& meter, const MeterConfig& config) {
    // A stream of its own, so other content drawn from the seed stays as it is.
    SimRandom random(config.seed ^ 0x70A1570A1570A157ull);
    MeterMemory& memory = meter.Memory();

    // The last measurement: six temperatures, bytes the master does not
    // interpret, six pressures, six flows, six powers, more such bytes.
    Writer last(memory, MemoryArea::Ram, PointerWord(memory, kPtrLastMeasureWord), random);
    last.Values32(0, 6, {3000, 9500});
    last.Bytes(24, 32, kAnyByte);
    last.Values32(56, 6, {200, 1000});
    last.Values32(80, 6, {0, 6000});
    last.Values32(104, 6, {0, 300000});
    last.Bytes(128, kLastMeasureSize - 128, kAnyByte);

    // The module totals: six operating-hour counters, then energy, mass and
    // volume totals for six channels, then the meter's own bytes.
    Writer totals(memory, MemoryArea::Ram, PointerWord(memory, kPtrModuleTotalsWord), random);
    totals.Values32(0, 6, {0, 60000});
    totals.Values64(24, 6, {0, 5000000000ull});
    totals.Values64(72, 6, {0, 10000000000ull});
    totals.Values64(120, 6, {0, 10000000000ull});
    totals.Bytes(168, kModuleTotalsSize - 168, kAnyByte);

    // Device flags: six words with a few low bits set; flag bytes 0 or 1;
    // stop time: four counters of hours.
    Writer(memory, MemoryArea::Ram, PointerWord(memory, kPtrDeviceFlagsWord), random).Values32(0, 6, {0, 16});
    Writer(memory, MemoryArea::Ram, PointerWord(memory, kPtrFlagsByteWord), random).Bytes(0, kFlagsByteSize, {0, 2});
    Writer(memory, MemoryArea::Ram, PointerWord(memory, kPtrStopTimeWord), random).Values32(0, 4, {0, 2000});

    // The totals areas in flash: 70 and 41 running 64-bit totals.
    Writer(memory, MemoryArea::Flash, kAllTotalsFlashAddress, random)
        .Values64(0, static_cast<int>(kAllTotalsSize / 8), {0, 10000000000ull});
    Writer(memory, MemoryArea::Flash, kDayTotalsFlashAddress, random)
        .Values64(0, static_cast<int>(kDayTotalsSize / 8), {0, 10000000ull});
}

}  // namespace q31::sim
