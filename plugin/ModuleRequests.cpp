// The steps of the module and measurement requests: the module block in
// RAM (module count and module records), the current values and the
// accumulated totals, and their copy into the records the host is handed.
#include <cstring>

#include "meter/StoreReply.h"
#include "plugin/MeterSession.h"

namespace q31 {

namespace {

// The module block is read in three parts.
struct BlockPart {
    std::uint16_t offset;
    std::uint8_t count;
};
constexpr BlockPart kBlockParts[3] = {{0, 100}, {100, 100}, {200, 192}};

// A module entry in the block: six of them, 50 bytes each.
constexpr int kModuleEntriesAt = 52;
constexpr int kModuleEntrySize = 50;
constexpr int kEntryWord = 0;     // 16-bit value
constexpr int kEntryBytes = 12;   // six one-byte values, handed on plus one
constexpr int kEntryValues = 18;  // six 32-bit values
constexpr int kModuleEntries = 6;

// The groups of the last-measurement record handed on as current data.
constexpr int kLastGroups[4] = {0, 56, 80, 104};

}  // namespace

// The module block.

void MeterSession::ReadModuleBlock() {
    const BlockPart& part = kBlockParts[Step];
    PublicNetKs_6x61.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&MeterSession::ModuleBlockReceived>(this);
    // The meter may answer a part with more than asked (the third often
    // does); the part takes what it asked for. A shorter answer is refused:
    // the bytes it lacks are nowhere.
    // A read that cannot be framed would leave the request waiting for a
    // reply that never comes.
    if (!PublicNetKs_6x61.ReadRAM(static_cast<std::uint16_t>(RamBase + part.offset), part.count,
                                  ReplyCheck::AtLeast(part.count)))
        StopExchange(RequestOutcome::NoAnswer);
}

void MeterSession::ModuleBlockReceived(short length, char* buffer) {
    if (Step < 0 || Step >= 3) return;
    // A reply shorter than asked leaves the rest of its part zero rather
    // than keeping bytes of an earlier block; a longer one is cut.
    const BlockPart& part = kBlockParts[Step];
    StoreReply(ModuleBlock + part.offset, part.count, length, buffer);
    Next();
}

void MeterSession::CopyModuleRecord() {
    // The index was stored by the request; only a real module has an entry.
    if (ModuleIndex < 0 || ModuleIndex >= kModuleEntries) return;
    const std::uint8_t* entry = ModuleBlock + kModuleEntriesAt + kModuleEntrySize * ModuleIndex;
    std::memcpy(&ModuleRecord.Word0, entry + kEntryWord, sizeof ModuleRecord.Word0);
    for (int i = 0; i < 6; ++i) ModuleRecord.Bytes[i] = static_cast<std::uint8_t>(entry[kEntryBytes + i] + 1);
    std::memcpy(ModuleRecord.Values, entry + kEntryValues, sizeof ModuleRecord.Values);
}

// The current values and the accumulated totals both start from the meter's
// RAM pointer record; the heat-meter component gives OnReceiveExecuted back
// before it raises its events, so each step may chain the next read.

void MeterSession::ReadPointers() {
    PublicNetKs_6x61.OnPointerRAM = Delegate<void(SPointerRAM*)>::Bind<&MeterSession::PointersReceived>(this);
    PublicNetKs_6x61.GetFPointerRAM(0);
}

void MeterSession::PointersReceived(SPointerRAM*) { Next(); }

void MeterSession::ReadLast() {
    PublicNetKs_6x61.OnLast = Delegate<void(SLastMeasure*)>::Bind<&MeterSession::LastReceived>(this);
    PublicNetKs_6x61.GetLast();
}

void MeterSession::LastReceived(SLastMeasure* last) {
    static_assert(sizeof LastCopy == sizeof *last);
    std::memcpy(LastCopy, last, sizeof LastCopy);
    Next();
}

void MeterSession::CopyCurrentData() {
    for (int g = 0; g < 4; ++g)
        std::memcpy(CurrentRecord.Groups[g], LastCopy + kLastGroups[g], sizeof CurrentRecord.Groups[g]);
}

void MeterSession::ReadTotals() {
    PublicNetKs_6x61.OnV2AllSumm = Delegate<void(SModuleSumALLM*)>::Bind<&MeterSession::TotalsReceived>(this);
    PublicNetKs_6x61.V2GetAllSumm();
}

void MeterSession::TotalsReceived(SModuleSumALLM* totals) {
    static_assert(sizeof TotalsCopy == sizeof *totals);
    std::memcpy(TotalsCopy, totals, sizeof TotalsCopy);
    Next();
}

void MeterSession::CopyAccumulatedData() {
    // The host's record is the first 168 bytes of the totals, in their order.
    static_assert(sizeof AccumulatedRecord <= sizeof TotalsCopy);
    std::memcpy(&AccumulatedRecord, TotalsCopy, sizeof AccumulatedRecord);
}

}  // namespace q31
