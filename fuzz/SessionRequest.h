// One host request of a session, as the input chose it.
#pragma once

#include <cstdint>

namespace q31::fuzz {

struct SessionRequest {
    enum Kind : std::uint8_t {
        ID,
        ModuleCount,
        ModuleRecord,
        CurrentData,
        AccumulatedData,
        ArhiveCount,
        ArhiveSeries,  // `series` 0..11: Time, Stop, T, U, M, E hourly, then daily
        ErrorHDev,
        ErrorHModule,
        ErrorDataDev,
        ErrorDataModule,
        EditHModule,
        EditDataModule,
        KindCount
    };

    Kind kind = ID;
    int series = 0;
    std::uint8_t number = 0;     // module, or block of the device error log
    std::uint8_t number2 = 0;    // block of a module error log
    std::uint8_t startBack = 0;  // archive start: counter minus this (see SessionInput)
    bool wrongDevType = false;   // the host's record names another device type
    bool wrongSerial = false;    // the host's record names another meter

    static const char* Name(Kind kind) {
        static const char* const names[] = {"GetID",
                                            "GetModuleCount",
                                            "GetModuleRecord",
                                            "GetCurrentData",
                                            "GetAccumulatedData",
                                            "GetArhiveCount",
                                            "GetArhiveSeries",
                                            "GetErrorHDev",
                                            "GetErrorHModule",
                                            "GetErrorDataDev",
                                            "GetErrorDataModule",
                                            "GetEditHModule",
                                            "GetEditDataModule"};
        return kind < KindCount ? names[kind] : "?";
    }
};

}  // namespace q31::fuzz
