// The plug-in as a host sees it: a shared library and its exports, looked up
// by their undecorated names.
#pragma once

#include <string>

#include "platform/DynamicLibrary.h"
#include "publicQ31.h"

namespace q31::tool {

struct PluginApi {
    decltype(&::InitSlot) InitSlot = nullptr;
    decltype(&::GetID) GetID = nullptr;
    decltype(&::GetModuleCount) GetModuleCount = nullptr;
    decltype(&::GetModuleRecord) GetModuleRecord = nullptr;
    decltype(&::GetCurrentData) GetCurrentData = nullptr;
    decltype(&::GetAccumulatedData) GetAccumulatedData = nullptr;
    decltype(&::GetArhiveCount) GetArhiveCount = nullptr;
    decltype(&::GetArhiveT_Hour) Series[12] = {};  // Time, Stop, T, U, M, E hourly, then daily
    decltype(&::GetErrorHDev) GetErrorHDev = nullptr;
    decltype(&::GetErrorHModule) GetErrorHModule = nullptr;
    decltype(&::GetErrorDataDev) GetErrorDataDev = nullptr;
    decltype(&::GetErrorDataModule) GetErrorDataModule = nullptr;
    decltype(&::GetEditHModule) GetEditHModule = nullptr;
    decltype(&::GetEditDataModule) GetEditDataModule = nullptr;
    decltype(&::PumpMessages) PumpMessages = nullptr;
    decltype(&::SetMessageBoxHandler) SetMessageBoxHandler = nullptr;
    // Optional: a library without it runs archive reads without a progress display.
    decltype(&::SetProgressHandler) SetProgressHandler = nullptr;

    // Loads the library and every export. On failure `error` says what is missing.
    bool Load(const std::string& path, std::string& error);

private:
    DynamicLibrary library_;
};

// Names of the twelve series exports, in the order of PluginApi::Series.
extern const char* const kSeriesExports[12];

}  // namespace q31::tool
