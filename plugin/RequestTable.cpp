// The request table: one row per request the plug-in serves.
//
// A row names the request's code, the numbers it accepts, the steps it runs
// after the serial-number check (each step one component command and the
// event that ends it), the copy-out that builds the host's record, the shape
// of the result and the host callback of the slot record that receives it.
#include "plugin/MeterSession.h"

namespace q31 {

namespace {

using S = MeterSession;
using Meter = TPublicNetKs_6x6;

constexpr ArgRange kNone{};
constexpr ArgRange kModule6{1, 6};
constexpr ArgRange kModule8{1, 8};
constexpr ArgRange kBlock8{1, 8};
constexpr ArgRange kBlock5{1, 5};
// A series start is any record number: one past the newest is refused by
// the meter's counters, not here.
constexpr ArgRange kAnyStart{0, 0xFFFFFFFF};

// A field of an archive record: offset of module 1's field and the step to
// the next module's (0: one field per record).
constexpr SeriesLayout Series(std::uint16_t offset, std::uint8_t moduleStep, Ring ring, std::uint8_t bytes) {
    const bool hours = ring == Ring::Hours;
    if (bytes == 4)
        return SeriesLayout{offset,
                            moduleStep,
                            ring,
                            bytes,
                            hours ? &Meter::GetArrayHourLongV2 : &Meter::GetArrayDayLongV2,
                            hours ? &Meter::OnArhivesV2HourLong : &Meter::OnArhivesV2DayLong,
                            nullptr};
    return SeriesLayout{offset,
                        moduleStep,
                        ring,
                        bytes,
                        hours ? &Meter::GetArrayHourDLongV2 : &Meter::GetArrayDayDLongV2,
                        nullptr,
                        hours ? &Meter::OnArhivesV2HourDLong : &Meter::OnArhivesV2DayDLong};
}

constexpr RequestRow SeriesRow(RequestId id, std::int32_t code, SeriesLayout series, SlotMember callback) {
    return RequestRow{id,
                      code,
                      true,
                      false,
                      kModule6,
                      kAnyStart,
                      ArgKeep::ArchiveArgs,
                      {&S::ReadCounters, &S::ReadSeries, nullptr},
                      nullptr,
                      series.valueBytes == 4 ? ResultShape::Values32 : ResultShape::Values64,
                      callback,
                      series};
}

// clang-format off
constexpr RequestRow kRows[static_cast<int>(RequestId::Count)] = {
    // id                         code               serial ramBase first     second  keep
    {RequestId::ID,              rcID,               false, false, kNone,    kNone,  ArgKeep::None,
     {nullptr, nullptr, nullptr}, nullptr, ResultShape::Ident, &TQ31Slot::OnID, {}},
    {RequestId::ModuleCount,     rcModuleCount,      true,  true,  kNone,    kNone,  ArgKeep::None,
     {&S::ReadModuleBlock, &S::ReadModuleBlock, &S::ReadModuleBlock}, nullptr,
     ResultShape::ModuleCount, &TQ31Slot::OnModuleCount, {}},
    {RequestId::ModuleRecord,    rcModuleRecord,     true,  true,  kModule6, kNone,  ArgKeep::ModuleIndex,
     {&S::ReadModuleBlock, &S::ReadModuleBlock, &S::ReadModuleBlock}, &S::CopyModuleRecord,
     ResultShape::ModuleRecord, &TQ31Slot::OnModuleRecord, {}},
    {RequestId::CurrentData,     rcCurrentData,      true,  true,  kNone,    kNone,  ArgKeep::None,
     {&S::ReadPointers, &S::ReadLast, nullptr}, &S::CopyCurrentData,
     ResultShape::CurrentData, &TQ31Slot::OnCurrentData, {}},
    {RequestId::AccumulatedData, rcAccumulatedData,  true,  true,  kNone,    kNone,  ArgKeep::None,
     {&S::ReadPointers, &S::ReadTotals, nullptr}, &S::CopyAccumulatedData,
     ResultShape::AccumulatedData, &TQ31Slot::OnAccumulatedData, {}},
    {RequestId::ArchiveCount,     rcArchiveCount,      true,  true,  kNone,    kNone,  ArgKeep::None,
     {&S::ReadCounters, nullptr, nullptr}, &S::CopyArchiveCount,
     ResultShape::ArchiveCount, &TQ31Slot::OnArhiveCount, {}},
    //        id                           code               field, module step, ring, bytes         callback
    SeriesRow(RequestId::ArchiveTime_Hour, rcArchiveTime_Hour, Series(0, 0, Ring::Hours, 4),   &TQ31Slot::OnArhiveTime_Hour),
    SeriesRow(RequestId::ArchiveStop_Hour, rcArchiveStop_Hour, Series(4, 4, Ring::Hours, 4),   &TQ31Slot::OnArhiveStop_Hour),
    SeriesRow(RequestId::ArchiveT_Hour,    rcArchiveT_Hour,    Series(220, 4, Ring::Hours, 4), &TQ31Slot::OnArhiveT_Hour),
    SeriesRow(RequestId::ArchiveU_Hour,    rcArchiveU_Hour,    Series(76, 8, Ring::Hours, 8),  &TQ31Slot::OnArhiveU_Hour),
    SeriesRow(RequestId::ArchiveM_Hour,    rcArchiveM_Hour,    Series(124, 8, Ring::Hours, 8), &TQ31Slot::OnArhiveM_Hour),
    SeriesRow(RequestId::ArchiveE_Hour,    rcArchiveE_Hour,    Series(28, 8, Ring::Hours, 8),  &TQ31Slot::OnArhiveE_Hour),
    SeriesRow(RequestId::ArchiveTime_Day,  rcArchiveTime_Day,  Series(0, 0, Ring::Days, 4),    &TQ31Slot::OnArhiveTime_Day),
    SeriesRow(RequestId::ArchiveStop_Day,  rcArchiveStop_Day,  Series(4, 4, Ring::Days, 4),    &TQ31Slot::OnArhiveStop_Day),
    SeriesRow(RequestId::ArchiveT_Day,     rcArchiveT_Day,     Series(220, 4, Ring::Days, 4),  &TQ31Slot::OnArhiveT_Day),
    SeriesRow(RequestId::ArchiveU_Day,     rcArchiveU_Day,     Series(76, 8, Ring::Days, 8),   &TQ31Slot::OnArhiveU_Day),
    SeriesRow(RequestId::ArchiveM_Day,     rcArchiveM_Day,     Series(124, 8, Ring::Days, 8),  &TQ31Slot::OnArhiveM_Day),
    SeriesRow(RequestId::ArchiveE_Day,     rcArchiveE_Day,     Series(28, 8, Ring::Days, 8),   &TQ31Slot::OnArhiveE_Day),
    // The log requests: one command each; their handlers copy the result.
    {RequestId::ErrorHDev,       rcErrorHDev,        true,  false, kNone,    kNone,   ArgKeep::None,
     {&S::ReadErrorHeadDev, nullptr, nullptr}, nullptr, ResultShape::ErrorHeadDev, &TQ31Slot::OnErrorHDev, {}},
    {RequestId::ErrorHModule,    rcErrorHModule,     true,  false, kModule8, kNone,   ArgKeep::ReqNumbers,
     {&S::ReadErrorHeadModule, nullptr, nullptr}, nullptr, ResultShape::ErrorHeadModule, &TQ31Slot::OnErrorHModule, {}},
    {RequestId::ErrorDataDev,    rcErrorDataDev,     true,  false, kBlock8,  kNone,   ArgKeep::ReqNumbers,
     {&S::ReadErrorBlockDev, nullptr, nullptr}, nullptr, ResultShape::ErrorRecords, &TQ31Slot::OnErrorDataDev, {}},
    // Six modules here, where the heads and edit logs take eight.
    {RequestId::ErrorDataModule, rcErrorDataModule,  true,  false, kModule6, kBlock5, ArgKeep::ReqNumbers,
     {&S::ReadErrorBlockModule, nullptr, nullptr}, nullptr, ResultShape::ErrorRecords, &TQ31Slot::OnErrorDataModule, {}},
    {RequestId::EditHModule,     rcEditHModule,      true,  false, kModule8, kNone,   ArgKeep::ReqNumbers,
     {&S::ReadEditHead, nullptr, nullptr}, nullptr, ResultShape::EditHead, &TQ31Slot::OnEditHModule, {}},
    {RequestId::EditDataModule,  rcEditDataModule,   true,  false, kModule8, kNone,   ArgKeep::ReqNumbers,
     {&S::ReadEditBlock, nullptr, nullptr}, nullptr, ResultShape::EditRecords, &TQ31Slot::OnEditDataModule, {}},
};
// clang-format on

constexpr bool RowsInIdOrder() {
    for (int i = 0; i < static_cast<int>(RequestId::Count); ++i)
        if (static_cast<int>(kRows[i].id) != i) return false;
    return true;
}
static_assert(RowsInIdOrder(), "the rows follow RequestId");

constexpr bool SlotsFitShapes() {
    for (const RequestRow& row : kRows)
        if (!SlotFits(row.shape, row.slot)) return false;
    return true;
}
static_assert(SlotsFitShapes(), "each row's slot callback is one its result shape calls");

}  // namespace

const RequestRow& RequestRowOf(RequestId id) { return kRows[static_cast<int>(id)]; }

const RequestRow* RequestRowForCode(std::int32_t code) {
    for (const RequestRow& row : kRows)
        if (row.code == code) return &row;
    return nullptr;
}

}  // namespace q31
