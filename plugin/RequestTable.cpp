// The request table: one row per request the plug-in serves.
//
// A row names the request's code, the numbers it accepts, the steps it runs
// after the serial-number check (each step one component command and the
// event that ends it), the copy-out that builds the host's record, the shape
// of the result and the host callback of the slot record that receives it.
#include <cstddef>

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
// A series start is any record number; the range is not consulted for it.
constexpr ArgRange kAnyStart{0, 0xFF};

#define Q31_SLOT(field) offsetof(TQ31Slot, field)

// A field of an archive record: offset of module 1's field and the step to
// the next module's (0: one field per record).
constexpr SeriesSpec Series(std::uint16_t offset, std::uint8_t moduleStep, Ring ring, std::uint8_t bytes) {
    ArrayRead read = nullptr;
    if (ring == Ring::Hours) read = bytes == 4 ? &Meter::GetArrayHourLongV2 : &Meter::GetArrayHourDLongV2;
    else read = bytes == 4 ? &Meter::GetArrayDayLongV2 : &Meter::GetArrayDayDLongV2;
    return SeriesSpec{offset, moduleStep, ring, bytes, read};
}

constexpr RequestRow SeriesRow(RequestId id, std::int32_t code, SeriesSpec series, std::size_t callback) {
    return RequestRow{id,
                      code,
                      true,
                      false,
                      kModule6,
                      kAnyStart,
                      ArgKeep::ArhiveArgs,
                      {&S::ReadCounters, &S::ReadSeries, nullptr},
                      nullptr,
                      series.valueBytes == 4 ? ResultShape::Values32 : ResultShape::Values64,
                      callback,
                      series};
}

// clang-format off
constexpr RequestRow kRows[kRequestCount] = {
    // id                         code               serial ramBase first     second  keep
    {RequestId::ID,              rcID,               false, false, kNone,    kNone,  ArgKeep::None,
     {nullptr, nullptr, nullptr}, nullptr, ResultShape::Ident, Q31_SLOT(OnID), {}},
    {RequestId::ModuleCount,     rcModuleCount,      true,  true,  kNone,    kNone,  ArgKeep::None,
     {&S::ReadModuleBlock, &S::ReadModuleBlock, &S::ReadModuleBlock}, nullptr,
     ResultShape::ModuleCount, Q31_SLOT(OnModuleCount), {}},
    {RequestId::ModuleRecord,    rcModuleRecord,     true,  true,  kModule6, kNone,  ArgKeep::ModuleIndex,
     {&S::ReadModuleBlock, &S::ReadModuleBlock, &S::ReadModuleBlock}, &S::CopyModuleRecord,
     ResultShape::ModuleRecord, Q31_SLOT(OnModuleRecord), {}},
    {RequestId::CurrentData,     rcCurrentData,      true,  true,  kNone,    kNone,  ArgKeep::None,
     {&S::ReadPointers, &S::ReadLast, nullptr}, &S::CopyCurrentData,
     ResultShape::CurrentData, Q31_SLOT(OnCurrentData), {}},
    {RequestId::AccumulatedData, rcAccumulatedData,  true,  true,  kNone,    kNone,  ArgKeep::None,
     {&S::ReadPointers, &S::ReadTotals, nullptr}, &S::CopyAccumulatedData,
     ResultShape::AccumulatedData, Q31_SLOT(OnAccumulatedData), {}},
    {RequestId::ArhiveCount,     rcArhiveCount,      true,  true,  kNone,    kNone,  ArgKeep::None,
     {&S::ReadCounters, nullptr, nullptr}, &S::CopyArhiveCount,
     ResultShape::ArhiveCount, Q31_SLOT(OnArhiveCount), {}},
    //        id                           code               field, module step, ring, bytes         callback
    SeriesRow(RequestId::ArhiveTime_Hour, rcArhiveTime_Hour, Series(0, 0, Ring::Hours, 4),   Q31_SLOT(OnArhiveTime_Hour)),
    SeriesRow(RequestId::ArhiveStop_Hour, rcArhiveStop_Hour, Series(4, 4, Ring::Hours, 4),   Q31_SLOT(OnArhiveStop_Hour)),
    SeriesRow(RequestId::ArhiveT_Hour,    rcArhiveT_Hour,    Series(220, 4, Ring::Hours, 4), Q31_SLOT(OnArhiveT_Hour)),
    SeriesRow(RequestId::ArhiveU_Hour,    rcArhiveU_Hour,    Series(76, 8, Ring::Hours, 8),  Q31_SLOT(OnArhiveU_Hour)),
    SeriesRow(RequestId::ArhiveM_Hour,    rcArhiveM_Hour,    Series(124, 8, Ring::Hours, 8), Q31_SLOT(OnArhiveM_Hour)),
    SeriesRow(RequestId::ArhiveE_Hour,    rcArhiveE_Hour,    Series(28, 8, Ring::Hours, 8),  Q31_SLOT(OnArhiveE_Hour)),
    SeriesRow(RequestId::ArhiveTime_Day,  rcArhiveTime_Day,  Series(0, 0, Ring::Days, 4),    Q31_SLOT(OnArhiveTime_Day)),
    SeriesRow(RequestId::ArhiveStop_Day,  rcArhiveStop_Day,  Series(4, 4, Ring::Days, 4),    Q31_SLOT(OnArhiveStop_Day)),
    SeriesRow(RequestId::ArhiveT_Day,     rcArhiveT_Day,     Series(220, 4, Ring::Days, 4),  Q31_SLOT(OnArhiveT_Day)),
    SeriesRow(RequestId::ArhiveU_Day,     rcArhiveU_Day,     Series(76, 8, Ring::Days, 8),   Q31_SLOT(OnArhiveU_Day)),
    SeriesRow(RequestId::ArhiveM_Day,     rcArhiveM_Day,     Series(124, 8, Ring::Days, 8),  Q31_SLOT(OnArhiveM_Day)),
    SeriesRow(RequestId::ArhiveE_Day,     rcArhiveE_Day,     Series(28, 8, Ring::Days, 8),   Q31_SLOT(OnArhiveE_Day)),
    // The log requests: one command each; their handlers copy the result.
    {RequestId::ErrorHDev,       rcErrorHDev,        true,  false, kNone,    kNone,   ArgKeep::None,
     {&S::ReadErrorHeadDev, nullptr, nullptr}, nullptr, ResultShape::ErrorHeadDev, Q31_SLOT(OnErrorHDev), {}},
    {RequestId::ErrorHModule,    rcErrorHModule,     true,  false, kModule8, kNone,   ArgKeep::ReqNumbers,
     {&S::ReadErrorHeadModule, nullptr, nullptr}, nullptr, ResultShape::ErrorHeadModule, Q31_SLOT(OnErrorHModule), {}},
    {RequestId::ErrorDataDev,    rcErrorDataDev,     true,  false, kBlock8,  kNone,   ArgKeep::ReqNumbers,
     {&S::ReadErrorBlockDev, nullptr, nullptr}, nullptr, ResultShape::ErrorRecords, Q31_SLOT(OnErrorDataDev), {}},
    // Six modules here, where the heads and edit logs take eight.
    {RequestId::ErrorDataModule, rcErrorDataModule,  true,  false, kModule6, kBlock5, ArgKeep::ReqNumbers,
     {&S::ReadErrorBlockModule, nullptr, nullptr}, nullptr, ResultShape::ErrorRecords, Q31_SLOT(OnErrorDataModule), {}},
    {RequestId::EditHModule,     rcEditHModule,      true,  false, kModule8, kNone,   ArgKeep::ReqNumbers,
     {&S::ReadEditHead, nullptr, nullptr}, nullptr, ResultShape::EditHead, Q31_SLOT(OnEditHModule), {}},
    {RequestId::EditDataModule,  rcEditDataModule,   true,  false, kModule8, kNone,   ArgKeep::ReqNumbers,
     {&S::ReadEditBlock, nullptr, nullptr}, nullptr, ResultShape::EditRecords, Q31_SLOT(OnEditDataModule), {}},
};
// clang-format on
#undef Q31_SLOT

constexpr bool RowsInIdOrder() {
    for (int i = 0; i < kRequestCount; ++i)
        if (static_cast<int>(kRows[i].id) != i) return false;
    return true;
}
static_assert(RowsInIdOrder(), "the rows follow RequestId");

}  // namespace

const RequestRow& RequestRowOf(RequestId id) { return kRows[static_cast<int>(id)]; }

const RequestRow* RequestRowForCode(std::int32_t code) {
    for (const RequestRow& row : kRows)
        if (row.code == code) return &row;
    return nullptr;
}

}  // namespace q31
