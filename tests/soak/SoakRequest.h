// One request of the soak run: which export, with which numbers.
#pragma once

#include <cstdint>

#include "plugin/RequestCodes.h"

namespace q31::soak {

// The exports the soak drives, one per host callback, in slot-record order:
// the plug-in's own request list.
using Export = RequestId;
inline constexpr int kExportCount = static_cast<int>(RequestId::Count);

inline bool IsSeries(Export e) { return IsArchiveSeries(e); }
inline bool IsHourly(Export e) { return e >= Export::ArchiveTime_Hour && e <= Export::ArchiveE_Hour; }

struct SoakRequest {
    Export kind = Export::ID;
    std::uint32_t module = 1;  // module, or block for ErrorDataDev
    std::uint32_t block = 1;   // ErrorDataModule only
    std::uint32_t start = 0;   // archive series only
};

inline const char* ExportName(Export e) { return ExportNameOf(e); }

}  // namespace q31::soak
