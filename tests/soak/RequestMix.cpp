#include "tests/soak/RequestMix.h"

namespace q31::soak {

namespace {

// Relative weights of the exports: each series export alone is drawn less
// often than the others, all twelve together about a third of the time.
constexpr std::uint32_t kWeights[kExportCount] = {
    4, 4, 6, 6, 6, 5,  // identification, module count and record, current, accumulated, counters
    3, 3, 3, 3, 3, 3,  // hourly series
    3, 3, 3, 3, 3, 3,  // daily series
    4, 4, 5, 5, 4, 5,  // error heads and blocks, edit head and block
};

}  // namespace

RequestMix::RequestMix(std::uint64_t seed, const sim::MeterConfig& config)
    : random_(seed), hourCount_(config.hourCount), dayCount_(config.dayCount) {}

std::uint32_t RequestMix::Between(std::uint32_t low, std::uint32_t high) {
    return low + static_cast<std::uint32_t>(random_.Below(std::uint64_t{high} - low + 1));
}

std::uint32_t RequestMix::SeriesStart(bool hourly) {
    const std::uint32_t counter = hourly ? hourCount_ : dayCount_;
    const std::uint32_t roll = Between(0, 99);
    std::uint32_t back;
    if (roll < 3) return 0;  // the whole ring
    if (roll < 6) back = 0;  // nothing to fetch
    else if (roll < 20) back = Between(41, 300);
    else back = Between(1, 40);
    return back >= counter ? 0 : counter - back;
}

SoakRequest RequestMix::Next() {
    std::uint32_t total = 0;
    for (std::uint32_t w : kWeights) total += w;
    std::uint32_t pick = static_cast<std::uint32_t>(random_.Below(total));
    int kind = 0;
    while (pick >= kWeights[kind]) pick -= kWeights[kind++];

    SoakRequest r;
    r.kind = static_cast<Export>(kind);
    switch (r.kind) {
        case Export::ModuleRecord: r.module = Between(1, 6); break;
        case Export::ErrorHModule:
        case Export::ErrorDataDev:  // the block, 1 to 8
        case Export::EditHModule:
        case Export::EditDataModule: r.module = Between(1, 8); break;
        case Export::ErrorDataModule:
            r.module = Between(1, 6);
            r.block = Between(1, 5);
            break;
        default:
            if (IsSeries(r.kind)) {
                r.module = Between(1, 6);
                r.start = SeriesStart(IsHourly(r.kind));
            }
            break;
    }
    return r;
}

std::uint8_t RequestMix::Start(const SoakRequest& r, const SDevIdent& dev) {
    const SDevIdent* d = &dev;
    switch (r.kind) {
        case Export::ID: return ::GetID();
        case Export::ModuleCount: return ::GetModuleCount(d);
        case Export::ModuleRecord: return ::GetModuleRecord(d, r.module);
        case Export::CurrentData: return ::GetCurrentData(d);
        case Export::AccumulatedData: return ::GetAccumulatedData(d);
        case Export::ArchiveCount: return ::GetArhiveCount(d);
        case Export::ArchiveTime_Hour: return ::GetArhiveTime_Hour(d, r.module, r.start);
        case Export::ArchiveStop_Hour: return ::GetArhiveStop_Hour(d, r.module, r.start);
        case Export::ArchiveT_Hour: return ::GetArhiveT_Hour(d, r.module, r.start);
        case Export::ArchiveU_Hour: return ::GetArhiveU_Hour(d, r.module, r.start);
        case Export::ArchiveM_Hour: return ::GetArhiveM_Hour(d, r.module, r.start);
        case Export::ArchiveE_Hour: return ::GetArhiveE_Hour(d, r.module, r.start);
        case Export::ArchiveTime_Day: return ::GetArhiveTime_Day(d, r.module, r.start);
        case Export::ArchiveStop_Day: return ::GetArhiveStop_Day(d, r.module, r.start);
        case Export::ArchiveT_Day: return ::GetArhiveT_Day(d, r.module, r.start);
        case Export::ArchiveU_Day: return ::GetArhiveU_Day(d, r.module, r.start);
        case Export::ArchiveM_Day: return ::GetArhiveM_Day(d, r.module, r.start);
        case Export::ArchiveE_Day: return ::GetArhiveE_Day(d, r.module, r.start);
        case Export::ErrorHDev: return ::GetErrorHDev(d);
        case Export::ErrorHModule: return ::GetErrorHModule(d, r.module);
        case Export::ErrorDataDev: return ::GetErrorDataDev(d, r.module);
        case Export::ErrorDataModule: return ::GetErrorDataModule(d, r.module, r.block);
        case Export::EditHModule: return ::GetEditHModule(d, r.module);
        case Export::EditDataModule: return ::GetEditDataModule(d, r.module);
        case Export::Count: break;
    }
    return 255;
}

}  // namespace q31::soak
