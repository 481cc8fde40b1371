#include "tests/soak/SoakRequest.h"

namespace q31::soak {

const char* ExportName(Export e) {
    static constexpr const char* kNames[kExportCount] = {
        "GetID",           "GetModuleCount",     "GetModuleRecord",    "GetCurrentData",    "GetAccumulatedData",
        "GetArhiveCount",  "GetArhiveTime_Hour", "GetArhiveStop_Hour", "GetArhiveT_Hour",   "GetArhiveU_Hour",
        "GetArhiveM_Hour", "GetArhiveE_Hour",    "GetArhiveTime_Day",  "GetArhiveStop_Day", "GetArhiveT_Day",
        "GetArhiveU_Day",  "GetArhiveM_Day",     "GetArhiveE_Day",     "GetErrorHDev",      "GetErrorHModule",
        "GetErrorDataDev", "GetErrorDataModule", "GetEditHModule",     "GetEditDataModule"};
    const auto i = static_cast<int>(e);
    return i >= 0 && i < kExportCount ? kNames[i] : "?";
}

}  // namespace q31::soak
