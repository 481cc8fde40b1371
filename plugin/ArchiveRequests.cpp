// The steps of the archive requests: the archive counters, and one field of
// every archive record from the record asked for up to the newest one. The
// twelve series differ only in their rows' SeriesLayout.
#include <cstring>

#include "plugin/MeterSession.h"

namespace q31 {

namespace {

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

// Where the counters land in ArhiveCounters.
enum Counter { kFirstWord, kHourCount, kDayCount };

template <typename T>
std::uint16_t CopyValues(T* target, int count, const T* source) {
    // The count comes from the component's transfer; the buffers hold 2000.
    const int n = count < 0 ? 0 : (count > MeterSession::kArchiveValues ? MeterSession::kArchiveValues : count);
    if (n > 0 && source) std::memcpy(target, source, static_cast<std::size_t>(n) * sizeof(T));
    return static_cast<std::uint16_t>(n);
}

}  // namespace

void MeterSession::ReadCounters() {
    PublicNetKs_6x61.OnArhives = Delegate<void(SArhives*)>::Bind<&MeterSession::CountersReceived>(this);
    PublicNetKs_6x61.GetFArhives();
}

void MeterSession::CountersReceived(SArhives* counters) {
    ArhiveCounters[kFirstWord] = counters->FirstWord;
    ArhiveCounters[kHourCount] = counters->HourCount;
    ArhiveCounters[kDayCount] = counters->DayCount;
    Next();
}

void MeterSession::CopyArchiveCount() {
    ArhiveCountRecord.FirstWord = ArhiveCounters[kFirstWord];
    ArhiveCountRecord.HourCount = ArhiveCounters[kHourCount];
    ArhiveCountRecord.DayCount = ArhiveCounters[kDayCount];
}

void MeterSession::ReadSeries() {
    const SeriesLayout& series = active_->series;
    const std::uint32_t counter = ArhiveCounters[series.ring == Ring::Hours ? kHourCount : kDayCount];
    if (ArhiveStart > counter) {
        if (OnStartBeyondNewest) {
            // The owner ends the request itself, without a delivery.
            active_ = nullptr;
            OnStartBeyondNewest();
        } else {
            Finish(RequestOutcome::BeyondNewest);
        }
        return;
    }
    auto& meter = PublicNetKs_6x61;
    if (series.done32)
        meter.*series.done32 = TPublicNetKs_6x6::ArrayEvent<std::int32_t>::Bind<&MeterSession::SeriesValues32>(this);
    else meter.*series.done64 = TPublicNetKs_6x6::ArrayEvent<std::int64_t>::Bind<&MeterSession::SeriesValues64>(this);
    const RecordLayout& layout = DevIdent.IdWord2 < kSmallRecordsFrom ? kLargeRecords : kSmallRecords;
    const std::uint32_t ring = series.ring == Ring::Hours ? layout.hourRing : layout.dayRing;
    const std::uint32_t address =
        ring + series.fieldOffset + static_cast<std::uint32_t>(series.moduleStep) * ArhiveModule;
    // Count 0: from the record asked for up to the newest one.
    (meter.*series.read)(address, ArhiveStart, 0, layout.recordSize);
}

void MeterSession::SeriesValues32(int count, std::int32_t* values) {
    ValueCount = CopyValues(Values32, count, values);
    Next();
}

void MeterSession::SeriesValues64(int count, std::int64_t* values) {
    ValueCount = CopyValues(Values64, count, values);
    Next();
}

// Bound in the form's design to OnArhivesV2HourDLong; does nothing (each
// series request binds its own handler).
void MeterSession::PublicNetKs_6x61ArhivesV2HourDLong(int, std::int64_t*) {}

}  // namespace q31
