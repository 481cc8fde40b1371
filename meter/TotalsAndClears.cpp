// The meter's live values and totals, its RAM pointer record, and the clears
// of its totals areas and log heads.
//
// The meter says where its live records lie in RAM through a pointer record
// kept in flash. GetFPointerRAM stores it; every live read takes its RAM
// address from the copy stored last (all zero before the first). Flash
// addresses come from the memory map when each packet goes out, so a map
// changed while a command runs applies from its next packet on.
//
// Reads of more than one packet and clears of more than one write are tables;
// one driver runs every read table and one every clear table.
#include <cstddef>
#include <cstdint>

#include "meter/StoreReply.h"
#include "meter/TPublicNetKs_6x6.h"

namespace q31 {

namespace {

// Where a read's packets go: RAM at one of the pointer words, or flash at
// one of the memory map's entries.
enum class Origin : std::uint8_t { RamPointer, FlashMap };

struct Chunk {
    std::uint16_t offset;  // from the origin, and in the record
    std::uint8_t count;    // bytes asked for
};

// A stretch of zero-byte writes: `writes` writes of `count` bytes, the first
// at map entry + offset, each next one `stride` further on.
struct ZeroRun {
    FlashAddressEntry entry;
    std::uint32_t offset;
    std::uint8_t count;
    std::uint8_t writes;
    std::uint8_t stride;
};

// Every chunk lies inside its record and can be asked for in one read.
template <std::size_t N>
constexpr bool ChunksFit(const Chunk (&chunks)[N], std::size_t recordSize) {
    for (const Chunk& c : chunks)
        if (c.offset + c.count > recordSize || c.count > TPublicNetKs::kMaxReadCount) return false;
    return true;
}

// Every write of a run takes its zeros from the zero buffer and fits one
// flash write; a larger one would be refused and the clear could not go on.
template <std::size_t N>
constexpr bool RunsFitZeroBuffer(const ZeroRun (&runs)[N], std::size_t zeroBytes) {
    for (const ZeroRun& r : runs)
        if (r.count > zeroBytes || r.count > TPublicNetKs::kMaxWriteLargeCount || r.writes == 0) return false;
    return true;
}

constexpr std::size_t kZeroBytes = sizeof(TPublicNetKs_6x6::ZeroBuffer);

}  // namespace

struct TPublicNetKs_6x6::ChunkPlan {
    Origin origin;
    int where;  // pointer word or map entry
    const Chunk* chunks;
    int count;
};

struct TPublicNetKs_6x6::ClearPlan {
    const ZeroRun* runs;
    int count;
};

namespace {

// Single reads: one packet each. The pointer record is asked for with four
// bytes more than it keeps, and the flag bytes with two more.
constexpr Chunk kPointerChunk[] = {{0, 38}};
constexpr Chunk kLastChunk[] = {{0, 152}};
constexpr Chunk kDeviceFlagsChunk[] = {{0, 24}};
constexpr Chunk kFlagsByteChunk[] = {{0, 16}};
constexpr Chunk kStopTimeChunk[] = {{0, 16}};

// Chunked reads: the 248 bytes of module totals as the hourly reading takes
// them and as the all-totals reading does, and the all-totals record in flash.
constexpr Chunk kSumHourChunks[] = {{0, 160}, {160, 88}};
constexpr Chunk kV2AllSummChunks[] = {{0, 100}, {100, 100}, {200, 48}};
constexpr Chunk kFAllSummChunks[] = {{0, 100}, {100, 100}, {200, 100}, {300, 100}, {400, 100}, {500, 60}};

static_assert(ChunksFit(kSumHourChunks, sizeof(UModuleSumHoure)));
static_assert(ChunksFit(kV2AllSummChunks, sizeof(SModuleSumALLM)));
static_assert(ChunksFit(kFAllSummChunks, sizeof(SAllSumm)));

// Clears. The all-totals area is 560 bytes, the day-totals area 328. The log
// heads: the device error-log head (16 bytes), then 33 twelve-byte slots from
// byte 1040 of the error-log area, a span that holds the module heads of both
// error-log layouts, then the eight module edit-log heads (16 bytes). The
// twelve-byte write k goes where the first-layout module head k is read.
constexpr ZeroRun kClearAllSummRuns[] = {
    {AddrAllSumm, 0, 100, 1, 0},   {AddrAllSumm, 100, 100, 1, 0}, {AddrAllSumm, 200, 100, 1, 0},
    {AddrAllSumm, 300, 100, 1, 0}, {AddrAllSumm, 400, 100, 1, 0}, {AddrAllSumm, 500, 60, 1, 0},
};
constexpr ZeroRun kClearSummDayRuns[] = {
    {AddrSummDay, 0, 100, 1, 0},
    {AddrSummDay, 100, 100, 1, 0},
    {AddrSummDay, 200, 100, 1, 0},
    {AddrSummDay, 300, 28, 1, 0},
};
constexpr ZeroRun kClearHeadRuns[] = {
    {AddrErrorLog, 0, 16, 1, 0},
    {AddrErrorLog, 1040, 12, 33, 12},
    {AddrEditLog, 0, 16, 1, 0},
};

static_assert(RunsFitZeroBuffer(kClearAllSummRuns, kZeroBytes));
static_assert(RunsFitZeroBuffer(kClearSummDayRuns, kZeroBytes));
static_assert(RunsFitZeroBuffer(kClearHeadRuns, kZeroBytes));

template <typename T, std::size_t N>
constexpr int CountOf(const T (&)[N]) {
    return static_cast<int>(N);
}

constexpr TPublicNetKs_6x6::ChunkPlan kPointerRead{Origin::FlashMap, AddrRAMPointer, kPointerChunk, 1};
constexpr TPublicNetKs_6x6::ChunkPlan kLastRead{Origin::RamPointer, SPointerRAM::PtrLast, kLastChunk, 1};
constexpr TPublicNetKs_6x6::ChunkPlan kDeviceFlagsRead{Origin::RamPointer, SPointerRAM::PtrDeviceFDW, kDeviceFlagsChunk,
                                                       1};
constexpr TPublicNetKs_6x6::ChunkPlan kFlagsByteRead{Origin::RamPointer, SPointerRAM::PtrFB6x6, kFlagsByteChunk, 1};
constexpr TPublicNetKs_6x6::ChunkPlan kStopTimeRead{Origin::RamPointer, SPointerRAM::PtrStopTimeHour, kStopTimeChunk,
                                                    1};
constexpr TPublicNetKs_6x6::ChunkPlan kSumHourRead{Origin::RamPointer, SPointerRAM::PtrModuleSum, kSumHourChunks,
                                                   CountOf(kSumHourChunks)};
constexpr TPublicNetKs_6x6::ChunkPlan kV2AllSummRead{Origin::RamPointer, SPointerRAM::PtrModuleSum, kV2AllSummChunks,
                                                     CountOf(kV2AllSummChunks)};
constexpr TPublicNetKs_6x6::ChunkPlan kFAllSummRead{Origin::FlashMap, AddrAllSumm, kFAllSummChunks,
                                                    CountOf(kFAllSummChunks)};

constexpr TPublicNetKs_6x6::ClearPlan kClearAllSumm{kClearAllSummRuns, CountOf(kClearAllSummRuns)};
constexpr TPublicNetKs_6x6::ClearPlan kClearSummDay{kClearSummDayRuns, CountOf(kClearSummDayRuns)};
constexpr TPublicNetKs_6x6::ClearPlan kClearHead{kClearHeadRuns, CountOf(kClearHeadRuns)};

// What the clears report when they are done.
constexpr char kTotalsCleared = static_cast<char>(0xFF);
constexpr char kHeadsCleared = 0;

}  // namespace

// ---- The drivers -----------------------------------------------------------

void TPublicNetKs_6x6::IssueChunk(const ChunkPlan& plan, int index) {
    const Chunk& c = plan.chunks[index];
    // RAM addresses are 16 bits wide on the meter; the sum wraps as its does.
    const bool sent = plan.origin == Origin::RamPointer
                          ? ReadRAM(static_cast<std::uint16_t>(RAMPointers.Words[plan.where] + c.offset), c.count)
                          : ReadFlashLarge(FlashAddressMap[plan.where] + c.offset, c.count);
    // A read that cannot go out ends the command: no reply will come to
    // give the owner its handler back.
    if (!sent) GiveBack();
}

bool TPublicNetKs_6x6::ChunkArrived(const ChunkPlan& plan, void* record, short length, const char* buffer) {
    const int step = StepCounter;
    // Called again after its last chunk (or with a step another command left), it does nothing.
    if (step < 0 || step >= plan.count) return false;
    const Chunk& c = plan.chunks[step];
    StoreReply(static_cast<std::uint8_t*>(record) + c.offset, c.count, length, buffer);
    StepCounter = step + 1;
    if (step + 1 < plan.count) {
        IssueChunk(plan, step + 1);
        return false;
    }
    // The step counter now stands past the table: a reply that reaches this
    // routine later (it may be parked and given back by another command) is
    // not stored into the record nor reported as its content.
    GiveBack();
    return true;
}

namespace {
// A run of more than one write counts its writes in the record counter.
constexpr bool Counted(const ZeroRun& run) { return run.writes > 1; }

bool HasCountedRun(const ZeroRun* runs, int count) {
    for (int i = 0; i < count; ++i)
        if (Counted(runs[i])) return true;
    return false;
}

// Issues write k of a run, with its address from the map as it is now.
bool IssueZeroWrite(TPublicNetKs_6x6& meter, const ZeroRun& run, int k) {
    if (Counted(run)) meter.CurrentModule = k + 1;
    return meter.WriteFlashLarge(FlashAddressMap[run.entry] + run.offset + static_cast<std::uint32_t>(k) * run.stride,
                                 run.count, meter.ZeroBuffer);
}
}  // namespace

void TPublicNetKs_6x6::StartClear(const ClearPlan& plan) {
    StepCounter = 0;
    if (HasCountedRun(plan.runs, plan.count)) CurrentModule = 0;
    // A write that cannot go out ends the clear with the owner's handler back.
    if (!IssueZeroWrite(*this, plan.runs[0], 0)) GiveBack();
}

bool TPublicNetKs_6x6::ClearAcknowledged(const ClearPlan& plan) {
    // The acknowledgement byte says nothing the clear could act on.
    const int step = StepCounter;
    if (step < 0 || step >= plan.count) return false;
    const ZeroRun& run = plan.runs[step];
    bool sent = false;
    if (Counted(run) && CurrentModule >= 0 && CurrentModule < run.writes) {
        sent = IssueZeroWrite(*this, run, CurrentModule);  // the run's next write
    } else if (step + 1 < plan.count) {
        StepCounter = step + 1;
        sent = IssueZeroWrite(*this, plan.runs[step + 1], 0);
    } else {
        StepCounter = step + 1;
    }
    if (sent) return false;
    if (StepCounter < plan.count) {
        // Refused: the clear cannot go on, and nothing more will come.
        StepCounter = plan.count;
        GiveBack();
        return false;
    }
    // Past the last write the step counter stands beyond the table, so an
    // acknowledgement that reaches this routine later does nothing.
    GiveBack();
    return true;
}

// ---- Single reads: copy, give back, raise (the flag bytes give back first) --

void TPublicNetKs_6x6::GetFPointerRAM(int) {
    Borrow<&TPublicNetKs_6x6::ReceiveRAMPointer1>();
    IssueChunk(kPointerRead, 0);
}

void TPublicNetKs_6x6::ReceiveRAMPointer1(short Length, char* Buffer) {
    // 38 bytes come; the 17 words of the record are kept.
    StoreReply(&RAMPointers, sizeof RAMPointers, Length, Buffer);
    GiveBack();
    if (OnPointerRAM) OnPointerRAM(&RAMPointers);
}

void TPublicNetKs_6x6::GetLast() {
    Borrow<&TPublicNetKs_6x6::ReceiveLast>();
    IssueChunk(kLastRead, 0);
}

void TPublicNetKs_6x6::ReceiveLast(short Length, char* Buffer) {
    StoreReply(&LastMeasure, sizeof LastMeasure, Length, Buffer);
    GiveBack();
    if (OnLast) OnLast(&LastMeasure);
}

void TPublicNetKs_6x6::GetDeviceFDW() {
    Borrow<&TPublicNetKs_6x6::ReceiveDeviceFDW>();
    IssueChunk(kDeviceFlagsRead, 0);
}

void TPublicNetKs_6x6::ReceiveDeviceFDW(short Length, char* Buffer) {
    StoreReply(&DeviceFlags, sizeof DeviceFlags, Length, Buffer);
    GiveBack();
    if (OnDeviceFDW) OnDeviceFDW(&DeviceFlags);
}

void TPublicNetKs_6x6::GetFB_6x6() {
    Borrow<&TPublicNetKs_6x6::ReceiveFB_6x6>();
    IssueChunk(kFlagsByteRead, 0);
}

void TPublicNetKs_6x6::ReceiveFB_6x6(short Length, char* Buffer) {
    GiveBack();
    // 16 bytes come; the record keeps the first 14.
    StoreReply(&FlagsByte, sizeof FlagsByte, Length, Buffer);
    if (OnFB6x6) OnFB6x6(&FlagsByte);
}

void TPublicNetKs_6x6::GetStopTimeHour() {
    Borrow<&TPublicNetKs_6x6::ReceiveStopTimeHour>();
    IssueChunk(kStopTimeRead, 0);
}

void TPublicNetKs_6x6::ReceiveStopTimeHour(short Length, char* Buffer) {
    StoreReply(&StopTimeHour, sizeof StopTimeHour, Length, Buffer);
    GiveBack();
    if (OnStopTimeHour) OnStopTimeHour(&StopTimeHour);
}

// ---- Chunked reads: each chunk to its place, give back after the last, raise --

void TPublicNetKs_6x6::GetModuleSumHour() {
    Borrow<&TPublicNetKs_6x6::ReceiveSumHour>();
    StepCounter = 0;
    IssueChunk(kSumHourRead, 0);
}

void TPublicNetKs_6x6::ReceiveSumHour(short Length, char* Buffer) {
    if (ChunkArrived(kSumHourRead, &ModuleSumHoure, Length, Buffer) && OnModuleSumHoure)
        OnModuleSumHoure(&ModuleSumHoure);
}

void TPublicNetKs_6x6::V2GetAllSumm() {
    Borrow<&TPublicNetKs_6x6::ReceiveV2AllSumm>();
    StepCounter = 0;
    IssueChunk(kV2AllSummRead, 0);
}

void TPublicNetKs_6x6::ReceiveV2AllSumm(short Length, char* Buffer) {
    if (ChunkArrived(kV2AllSummRead, &ModuleSumALLM, Length, Buffer) && OnV2AllSumm) OnV2AllSumm(&ModuleSumALLM);
}

void TPublicNetKs_6x6::GetFAllSumm() {
    Borrow<&TPublicNetKs_6x6::ReceiveFAllSumm>();
    StepCounter = 0;
    IssueChunk(kFAllSummRead, 0);
}

void TPublicNetKs_6x6::ReceiveFAllSumm(short Length, char* Buffer) {
    if (ChunkArrived(kFAllSummRead, &AllSumm, Length, Buffer) && OnFAllSumm) OnFAllSumm(&AllSumm);
}

// ---- Clears: zeros from ZeroBuffer, write after write, give back, raise -------

void TPublicNetKs_6x6::ClearAllSumm() {
    Borrow<&TPublicNetKs_6x6::ReceiveClearAllSumm>();
    StartClear(kClearAllSumm);
}

void TPublicNetKs_6x6::ReceiveClearAllSumm(short, char*) {
    if (ClearAcknowledged(kClearAllSumm) && OnClearAllSumm) OnClearAllSumm(kTotalsCleared);
}

void TPublicNetKs_6x6::ClearSummDay() {
    Borrow<&TPublicNetKs_6x6::ReceiveClearSummDay>();
    StartClear(kClearSummDay);
}

void TPublicNetKs_6x6::ReceiveClearSummDay(short, char*) {
    if (ClearAcknowledged(kClearSummDay) && OnClearSummDay) OnClearSummDay(kTotalsCleared);
}

void TPublicNetKs_6x6::ClearHead() {
    Borrow<&TPublicNetKs_6x6::ReceiveClearHead>();
    StartClear(kClearHead);
}

void TPublicNetKs_6x6::ReceiveClearHead(short, char*) {
    if (ClearAcknowledged(kClearHead) && OnClearHead) OnClearHead(kHeadsCleared);
}

}  // namespace q31
