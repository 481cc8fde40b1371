// The numbers the request layer shares with its hosts: the status bytes the
// request routines return and the request codes that select a delivery.
#pragma once

#include <cstdint>

namespace q31 {

// Status bytes of the request routines (the legacy exports return them as they are).
enum : std::uint8_t {
    kStarted = 0,
    kSlotNotReady = 1,
    kWrongDeviceType = 2,
    kBadArgument = 3,
};

// Request codes: they select the dispatcher's delivery and the host callback.
enum RequestCodes : std::int32_t {
    rcID = 0,
    rcModuleCount = 1,
    rcModuleRecord = 2,
    rcCurrentData = 3,
    rcAccumulatedData = 4,
    rcArhiveCount = 5,
    rcArhiveT_Hour = 6,
    rcArhiveU_Hour = 7,
    rcArhiveM_Hour = 8,
    rcArhiveE_Hour = 9,
    rcArhiveTime_Hour = 10,
    rcArhiveStop_Hour = 11,
    rcSerialMismatch = 100,
    rcArhiveT_Day = 106,
    rcArhiveU_Day = 107,
    rcArhiveM_Day = 108,
    rcArhiveE_Day = 109,
    rcArhiveTime_Day = 110,
    rcArhiveStop_Day = 111,
    rcErrorHDev = 120,
    rcErrorHModule = 121,
    rcErrorDataDev = 122,
    rcErrorDataModule = 123,
    rcEditHModule = 124,
    rcEditDataModule = 125,
};

// Every request a session can run, in the order of the legacy exports; the
// archive series keep the order Time, Stop, T, U, M, E, hourly then daily.
enum class RequestId : std::uint8_t {
    ID,
    ModuleCount,
    ModuleRecord,
    CurrentData,
    AccumulatedData,
    ArhiveCount,
    ArhiveTime_Hour,
    ArhiveStop_Hour,
    ArhiveT_Hour,
    ArhiveU_Hour,
    ArhiveM_Hour,
    ArhiveE_Hour,
    ArhiveTime_Day,
    ArhiveStop_Day,
    ArhiveT_Day,
    ArhiveU_Day,
    ArhiveM_Day,
    ArhiveE_Day,
    ErrorHDev,
    ErrorHModule,
    ErrorDataDev,
    ErrorDataModule,
    EditHModule,
    EditDataModule,
};
inline constexpr int kRequestCount = static_cast<int>(RequestId::EditDataModule) + 1;
inline constexpr int kArchiveSeriesCount = 12;

constexpr RequestId ArchiveSeriesRequest(int series) {
    return static_cast<RequestId>(static_cast<int>(RequestId::ArhiveTime_Hour) + series);
}

// How a request ended, as the session's owner is told.
enum class RequestOutcome : std::uint8_t {
    Done,          // the result is in the session
    OtherMeter,    // a meter with another serial number answered
    NoAnswer,      // the send limit was reached without an accepted reply
    PortError,     // the port could not be written
    BeyondNewest,  // an archive start past the newest record
};

}  // namespace q31
