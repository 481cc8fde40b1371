#include "tools/q31read/PluginApi.h"

namespace q31::tool {

const char* const kSeriesExports[12] = {
    "GetArhiveTime_Hour", "GetArhiveStop_Hour", "GetArhiveT_Hour", "GetArhiveU_Hour",
    "GetArhiveM_Hour",    "GetArhiveE_Hour",    "GetArhiveTime_Day", "GetArhiveStop_Day",
    "GetArhiveT_Day",     "GetArhiveU_Day",     "GetArhiveM_Day",    "GetArhiveE_Day",
};

bool PluginApi::Load(const std::string& path, std::string& error) {
    if (!library_.Open(path.c_str())) {
        error = std::string("cannot load ") + path + ": " + library_.Error();
        return false;
    }
    bool ok = true;
    auto take = [&](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library_.Symbol(name));
        if (!slot) {
            error += std::string(error.empty() ? "" : ", ") + name;
            ok = false;
        }
    };
    take(InitSlot, "InitSlot");
    take(GetID, "GetID");
    take(GetModuleCount, "GetModuleCount");
    take(GetModuleRecord, "GetModuleRecord");
    take(GetCurrentData, "GetCurrentData");
    take(GetAccumulatedData, "GetAccumulatedData");
    take(GetArhiveCount, "GetArhiveCount");
    for (int i = 0; i < 12; ++i) take(Series[i], kSeriesExports[i]);
    take(GetErrorHDev, "GetErrorHDev");
    take(GetErrorHModule, "GetErrorHModule");
    take(GetErrorDataDev, "GetErrorDataDev");
    take(GetErrorDataModule, "GetErrorDataModule");
    take(GetEditHModule, "GetEditHModule");
    take(GetEditDataModule, "GetEditDataModule");
    take(PumpMessages, "PumpMessages");
    take(SetMessageBoxHandler, "SetMessageBoxHandler");
    SetProgressHandler = reinterpret_cast<decltype(SetProgressHandler)>(library_.Symbol("SetProgressHandler"));
    if (!library_.Symbol("FXB")) {
        error += std::string(error.empty() ? "" : ", ") + "FXB";
        ok = false;
    }
    if (!ok) error = path + " lacks exports: " + error;
    return ok;
}

}  // namespace q31::tool
