// The archive requests: the archive counters and the twelve hourly and daily
// series of one module.
//
// A series request identifies the meter, reads the counters, and then has the
// heat-meter component read one field of every archive record from the
// record asked for up to the newest one. The twelve series differ only in
// the field, the ring, the value size and the request code: one table row
// each.
#include <cstring>

#include "platform/MessageBox.h"
#include "plugin/MessageTexts.h"
#include "plugin/TFXB.h"

namespace q31 {

namespace {

using Meter = TPublicNetKs_6x6;
using ArrayRead = void (Meter::*)(std::uint32_t, std::uint32_t, std::int32_t, std::int32_t);

enum class Ring : std::uint8_t { Hours, Days };

// One archive series: where its field lies in a record, how it is read and
// which request code hands it to the host.
struct SeriesRow {
    std::uint16_t fieldOffset;  // of module 1's field
    std::uint8_t moduleStep;    // bytes from one module's field to the next; 0: one field per record
    Ring ring;
    std::uint8_t valueBytes;    // 4: Values32, 8: Values64
    ArrayRead read;
    std::int32_t code;
};

constexpr SeriesRow kSeries[12] = {
    {0, 0, Ring::Hours, 4, &Meter::GetArrayHourLongV2, rcArhiveTime_Hour},
    {4, 4, Ring::Hours, 4, &Meter::GetArrayHourLongV2, rcArhiveStop_Hour},
    {220, 4, Ring::Hours, 4, &Meter::GetArrayHourLongV2, rcArhiveT_Hour},
    {76, 8, Ring::Hours, 8, &Meter::GetArrayHourDLongV2, rcArhiveU_Hour},
    {124, 8, Ring::Hours, 8, &Meter::GetArrayHourDLongV2, rcArhiveM_Hour},
    {28, 8, Ring::Hours, 8, &Meter::GetArrayHourDLongV2, rcArhiveE_Hour},
    {0, 0, Ring::Days, 4, &Meter::GetArrayDayLongV2, rcArhiveTime_Day},
    {4, 4, Ring::Days, 4, &Meter::GetArrayDayLongV2, rcArhiveStop_Day},
    {220, 4, Ring::Days, 4, &Meter::GetArrayDayLongV2, rcArhiveT_Day},
    {76, 8, Ring::Days, 8, &Meter::GetArrayDayDLongV2, rcArhiveU_Day},
    {124, 8, Ring::Days, 8, &Meter::GetArrayDayDLongV2, rcArhiveM_Day},
    {28, 8, Ring::Days, 8, &Meter::GetArrayDayDLongV2, rcArhiveE_Day},
};

// The two record layouts of the meter's archive, told apart by the version
// word of its identification.
struct RecordLayout {
    std::int32_t recordSize;
    std::uint32_t hourRing;  // first record of the hourly ring (1080 records)
    std::uint32_t dayRing;   // first record of the daily ring (550 records)
};
constexpr std::uint16_t kSmallRecordsFrom = 0x00F0;
constexpr RecordLayout kLargeRecords{264, 12672, 300432};
constexpr RecordLayout kSmallRecords{256, 12544, 300544};

template <typename T>
std::uint16_t CopyValues(T* target, int cout, const T* source) {
    // The count comes from the component's transfer; the buffers hold 2000.
    const int n = cout < 0 ? 0 : (cout > TFXB::kArchiveValues ? TFXB::kArchiveValues : cout);
    if (n > 0 && source) std::memcpy(target, source, static_cast<std::size_t>(n) * sizeof(T));
    return static_cast<std::uint16_t>(n);
}

}  // namespace

// The counters.

std::uint8_t TFXB::GetArhiveCount(const SDevIdent* dev) {
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    return StartRequest(Delegate<void(SIDDevice*)>::Bind<&TFXB::ArhiveCountIdent>(this));
}

void TFXB::ArhiveCountIdent(SIDDevice* IDDevice) {
    if (!SerialMatches(IDDevice)) return;
    RamBase = kModuleBlockRam;
    auto& meter = PublicNetKs_6x61;
    meter.OnArhives = Delegate<void(SArhives*)>::Bind<&TFXB::ArhiveCountReceived>(this);
    meter.GetFArhives();
    Step = 0;
}

void TFXB::ArhiveCountReceived(SArhives* Arhives) {
    ArhiveCounters[0] = Arhives->FirstWord;
    ArhiveCounters[1] = Arhives->HourCount;
    ArhiveCounters[2] = Arhives->DayCount;
    Deliver(rcArhiveCount);
}

// The series.

std::uint8_t TFXB::GetArhiveSeries(int series, const SDevIdent* dev, std::uint8_t module, std::uint32_t start) {
    // Module and start are kept before any check, also for a refused call.
    ArhiveModule = static_cast<std::uint8_t>(module - 1);
    ArhiveStart = start;
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    // The Time series has one value per record but checks the module too.
    if (module < 1 || module > 6 || series < 0 || series >= 12) return kBadArgument;
    arhiveSeries_ = series;
    return StartRequest(Delegate<void(SIDDevice*)>::Bind<&TFXB::ArhiveSeriesIdent>(this));
}

void TFXB::ArhiveSeriesIdent(SIDDevice* IDDevice) {
    if (!SerialMatches(IDDevice)) return;
    auto& meter = PublicNetKs_6x61;
    meter.OnArhives = Delegate<void(SArhives*)>::Bind<&TFXB::ArhiveSeriesCounters>(this);
    meter.GetFArhives();
    Step = 0;
}

void TFXB::ArhiveSeriesCounters(SArhives* Arhives) {
    ArhiveCounters[0] = Arhives->FirstWord;
    ArhiveCounters[1] = Arhives->HourCount;
    ArhiveCounters[2] = Arhives->DayCount;
    const SeriesRow& row = kSeries[arhiveSeries_];
    const std::uint32_t counter = row.ring == Ring::Hours ? ArhiveCounters[1] : ArhiveCounters[2];
    if (ArhiveStart > counter) {
        // The request ends here, with the message and without a callback.
        ShowMessageBox(texts::kCannotProcess, texts::kErrorCaption, 0);
        return;
    }
    auto& meter = PublicNetKs_6x61;
    if (row.valueBytes == 4) {
        auto& event = row.ring == Ring::Hours ? meter.OnArhivesV2HourLong : meter.OnArhivesV2DayLong;
        event = Meter::ArrayEvent<std::int32_t>::Bind<&TFXB::ArhiveSeriesValues32>(this);
    } else {
        auto& event = row.ring == Ring::Hours ? meter.OnArhivesV2HourDLong : meter.OnArhivesV2DayDLong;
        event = Meter::ArrayEvent<std::int64_t>::Bind<&TFXB::ArhiveSeriesValues64>(this);
    }
    const RecordLayout& layout = DevIdent.IdWord2 < kSmallRecordsFrom ? kLargeRecords : kSmallRecords;
    const std::uint32_t ring = row.ring == Ring::Hours ? layout.hourRing : layout.dayRing;
    const std::uint32_t address = ring + row.fieldOffset + static_cast<std::uint32_t>(row.moduleStep) * ArhiveModule;
    // Count 0: from the record asked for up to the newest one.
    (meter.*row.read)(address, ArhiveStart, 0, layout.recordSize);
}

void TFXB::ArhiveSeriesValues32(int cout, std::int32_t* Arrray) {
    ValueCount = CopyValues(Values32, cout, Arrray);
    Deliver(kSeries[arhiveSeries_].code);
}

void TFXB::ArhiveSeriesValues64(int cout, std::int64_t* Arrray) {
    ValueCount = CopyValues(Values64, cout, Arrray);
    Deliver(kSeries[arhiveSeries_].code);
}

void TFXB::PublicNetKs_6x61ArhivesV2HourDLong(int, std::int64_t*) {}

}  // namespace q31
