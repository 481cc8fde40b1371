// The DLL's exports as a host finds them: by their plain names.
#pragma once

#include <cstdio>

#include "platform/DynamicLibrary.h"
#include "publicQ31.h"

namespace q31::winhost {

// clang-format off
#define Q31_EXPORTS(X)                                                                          \
    X(InitSlot) X(GetID) X(GetModuleCount) X(GetModuleRecord) X(GetCurrentData)                 \
    X(GetAccumulatedData) X(GetArhiveCount) X(GetArhiveTime_Hour) X(GetArhiveStop_Hour)         \
    X(GetArhiveT_Hour) X(GetArhiveU_Hour) X(GetArhiveM_Hour) X(GetArhiveE_Hour)                 \
    X(GetArhiveTime_Day) X(GetArhiveStop_Day) X(GetArhiveT_Day) X(GetArhiveU_Day)               \
    X(GetArhiveM_Day) X(GetArhiveE_Day) X(GetErrorHDev) X(GetErrorHModule) X(GetErrorDataDev)   \
    X(GetErrorDataModule) X(GetEditHModule) X(GetEditDataModule) X(PumpMessages)               \
    X(SetMessageBoxHandler) X(SetProgressHandler) X(SetTraceHandler) X(SetReadConfirmation)
// clang-format on

struct Exports {
#define Q31_MEMBER(name) decltype(&::name) name = nullptr;
    Q31_EXPORTS(Q31_MEMBER)
#undef Q31_MEMBER
};

inline bool Resolve(const q31::DynamicLibrary& dll, Exports& x) {
    bool all = true;
#define Q31_RESOLVE(name)                                         \
  x.name = reinterpret_cast<decltype(x.name)>(dll.Symbol(#name)); \
  if (!x.name) {                                                  \
    std::printf("     missing export: %s\n", #name);              \
    all = false;                                                  \
  }
    Q31_EXPORTS(Q31_RESOLVE)
#undef Q31_RESOLVE
    return all;
}

}  // namespace q31::winhost
