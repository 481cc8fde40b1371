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
    rcArchiveCount = 5,
    rcArchiveT_Hour = 6,
    rcArchiveU_Hour = 7,
    rcArchiveM_Hour = 8,
    rcArchiveE_Hour = 9,
    rcArchiveTime_Hour = 10,
    rcArchiveStop_Hour = 11,
    rcSerialMismatch = 100,
    rcArchiveT_Day = 106,
    rcArchiveU_Day = 107,
    rcArchiveM_Day = 108,
    rcArchiveE_Day = 109,
    rcArchiveTime_Day = 110,
    rcArchiveStop_Day = 111,
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
    ArchiveCount,
    ArchiveTime_Hour,
    ArchiveStop_Hour,
    ArchiveT_Hour,
    ArchiveU_Hour,
    ArchiveM_Hour,
    ArchiveE_Hour,
    ArchiveTime_Day,
    ArchiveStop_Day,
    ArchiveT_Day,
    ArchiveU_Day,
    ArchiveM_Day,
    ArchiveE_Day,
    ErrorHDev,
    ErrorHModule,
    ErrorDataDev,
    ErrorDataModule,
    EditHModule,
    EditDataModule,
    Count,  // not a request: how many there are
};
inline constexpr int kArchiveSeriesCount = 12;

constexpr RequestId ArchiveSeriesRequest(int series) {
    return static_cast<RequestId>(static_cast<int>(RequestId::ArchiveTime_Hour) + series);
}
constexpr bool IsArchiveSeries(RequestId id) {
    return id >= RequestId::ArchiveTime_Hour && id <= RequestId::ArchiveE_Day;
}
// 0..11 for a series, in the order above.
constexpr int ArchiveSeriesOf(RequestId id) {
    return static_cast<int>(id) - static_cast<int>(RequestId::ArchiveTime_Hour);
}

// The legacy export that starts a request, as reports name it.
constexpr const char* ExportNameOf(RequestId id) {
    constexpr const char* kNames[] = {
        "GetID",           "GetModuleCount",     "GetModuleRecord",    "GetCurrentData",    "GetAccumulatedData",
        "GetArhiveCount",  "GetArhiveTime_Hour", "GetArhiveStop_Hour", "GetArhiveT_Hour",   "GetArhiveU_Hour",
        "GetArhiveM_Hour", "GetArhiveE_Hour",    "GetArhiveTime_Day",  "GetArhiveStop_Day", "GetArhiveT_Day",
        "GetArhiveU_Day",  "GetArhiveM_Day",     "GetArhiveE_Day",     "GetErrorHDev",      "GetErrorHModule",
        "GetErrorDataDev", "GetErrorDataModule", "GetEditHModule",     "GetEditDataModule"};
    static_assert(sizeof kNames / sizeof kNames[0] == static_cast<int>(RequestId::Count));
    return id < RequestId::Count ? kNames[static_cast<int>(id)] : "?";
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
