// The module and measurement requests: module count and module record from
// the meter's module block in RAM, current values and accumulated totals.
#include <cstring>

#include "plugin/TFXB.h"

namespace q31 {

namespace {
// The module block is read in three packets: 100, 100 and 192 bytes.
constexpr std::uint8_t kBlockChunk = 100;
constexpr std::uint8_t kBlockTail = 192;
constexpr int kBlockTailOffset = 200;
}  // namespace

std::uint8_t TFXB::GetModuleCount(const SDevIdent* dev) {
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    moduleRequestCode_ = rcModuleCount;
    return StartRequest(Delegate<void(SIDDevice*)>::Bind<&TFXB::ModuleBlockIdent>(this));
}

std::uint8_t TFXB::GetModuleRecord(const SDevIdent* dev, std::uint8_t module) {
    if (!SlotReady) return kSlotNotReady;
    ModuleIndex = static_cast<std::int32_t>(module) - 1;
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    if (module < 1 || module > 6) return kBadArgument;
    moduleRequestCode_ = rcModuleRecord;
    return StartRequest(Delegate<void(SIDDevice*)>::Bind<&TFXB::ModuleBlockIdent>(this));
}

void TFXB::ModuleBlockIdent(SIDDevice* IDDevice) {
    if (!SerialMatches(IDDevice)) return;
    RamBase = kModuleBlockRam;
    PublicNetKs_6x61.OnReceiveExecuted = TPublicNetKs::ReceiveEvent::Bind<&TFXB::ModuleBlockReceived>(this);
    Step = 0;
    PublicNetKs_6x61.ReadRAM(RamBase, kBlockChunk);
}

void TFXB::ModuleBlockReceived(short Length, char* Buffer) {
    // A reply shorter than asked leaves the rest of its slice zero rather
    // than keeping bytes of an earlier block.
    auto store = [&](int offset, int capacity) {
        const int n = Length < 0 ? 0 : (Length > capacity ? capacity : Length);
        std::memcpy(ModuleBlock + offset, Buffer, static_cast<std::size_t>(n));
        std::memset(ModuleBlock + offset + n, 0, static_cast<std::size_t>(capacity - n));
    };
    switch (Step) {
        case 0:
            store(0, kBlockChunk);
            Step = 1;
            PublicNetKs_6x61.ReadRAM(static_cast<std::uint16_t>(RamBase + kBlockChunk), kBlockChunk);
            break;
        case 1:
            store(kBlockChunk, kBlockChunk);
            Step = 2;
            PublicNetKs_6x61.ReadRAM(static_cast<std::uint16_t>(RamBase + kBlockTailOffset), kBlockTail);
            break;
        case 2:
            // The block holds 192 bytes from here; a longer reply is cut there.
            store(kBlockTailOffset, kBlockTail);
            Step = 3;
            Deliver(moduleRequestCode_);
            break;
        default:
            break;
    }
}

// The current values and the accumulated totals both start from the meter's
// RAM pointer record; the heat-meter component gives OnReceiveExecuted back
// before it raises its events, so each continuation chains the next read.

std::uint8_t TFXB::GetCurrentData(const SDevIdent* dev) {
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    return StartRequest(Delegate<void(SIDDevice*)>::Bind<&TFXB::CurrentDataIdent>(this));
}

void TFXB::CurrentDataIdent(SIDDevice* IDDevice) {
    if (!SerialMatches(IDDevice)) return;
    RamBase = kModuleBlockRam;
    PublicNetKs_6x61.OnPointerRAM = Delegate<void(SPointerRAM*)>::Bind<&TFXB::CurrentDataPointers>(this);
    PublicNetKs_6x61.GetFPointerRAM(0);
    Step = 0;
}

void TFXB::CurrentDataPointers(SPointerRAM*) {
    PublicNetKs_6x61.GetLast();
    PublicNetKs_6x61.OnLast = Delegate<void(SLastMeasure*)>::Bind<&TFXB::CurrentDataLast>(this);
}

void TFXB::CurrentDataLast(SLastMeasure* Last) {
    static_assert(sizeof LastCopy == sizeof *Last);
    std::memcpy(LastCopy, Last, sizeof LastCopy);
    Deliver(rcCurrentData);
}

std::uint8_t TFXB::GetAccumulatedData(const SDevIdent* dev) {
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    return StartRequest(Delegate<void(SIDDevice*)>::Bind<&TFXB::AccumulatedDataIdent>(this));
}

void TFXB::AccumulatedDataIdent(SIDDevice* IDDevice) {
    if (!SerialMatches(IDDevice)) return;
    RamBase = kModuleBlockRam;
    PublicNetKs_6x61.OnPointerRAM = Delegate<void(SPointerRAM*)>::Bind<&TFXB::AccumulatedDataPointers>(this);
    PublicNetKs_6x61.GetFPointerRAM(0);
    Step = 0;
}

void TFXB::AccumulatedDataPointers(SPointerRAM*) {
    PublicNetKs_6x61.OnV2AllSumm = Delegate<void(SModuleSumALLM*)>::Bind<&TFXB::AccumulatedDataTotals>(this);
    PublicNetKs_6x61.V2GetAllSumm();
}

void TFXB::AccumulatedDataTotals(SModuleSumALLM* SummAll) {
    static_assert(sizeof TotalsCopy == sizeof *SummAll);
    std::memcpy(TotalsCopy, SummAll, sizeof TotalsCopy);
    Deliver(rcAccumulatedData);
}

}  // namespace q31
