// One request of the soak run: which export, with which numbers.
#pragma once

#include <cstdint>

namespace q31::soak {

// The exports the soak drives, one per host callback, in slot-record order.
enum class Export : std::uint8_t {
    Id,
    ModuleCount,
    ModuleRecord,
    CurrentData,
    AccumulatedData,
    ArhiveCount,
    TimeHour,
    StopHour,
    THour,
    UHour,
    MHour,
    EHour,
    TimeDay,
    StopDay,
    TDay,
    UDay,
    MDay,
    EDay,
    ErrorHDev,
    ErrorHModule,
    ErrorDataDev,
    ErrorDataModule,
    EditHModule,
    EditDataModule,
};
inline constexpr int kExportCount = 24;

inline bool IsSeries(Export e) { return e >= Export::TimeHour && e <= Export::EDay; }
inline bool IsHourly(Export e) { return e >= Export::TimeHour && e <= Export::EHour; }

struct SoakRequest {
    Export kind = Export::Id;
    std::uint32_t module = 1;  // module, or block for ErrorDataDev
    std::uint32_t block = 1;   // ErrorDataModule only
    std::uint32_t start = 0;   // archive series only
};

const char* ExportName(Export e);

}  // namespace q31::soak
