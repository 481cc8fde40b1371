// Feeds arbitrary accepted replies to the heat-meter component's
// multi-packet commands (archives, logs, totals, clears, the ADC chain): each
// reply is a length (0 to 252, what the link can accept) and that many bytes,
// handed to whatever receive routine is installed, in an allocation of
// exactly that length, so an address sanitizer sees any read past the reply.
//
// Input: byte 0 picks the command, bytes 1-8 its numbers and the archive
// counters, the rest is a sequence of [length][bytes] replies.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/FuzzReplies.h"
#include "meter/TPublicNetKs_6x6.h"
#include "runtime/MessageLoop.h"
#include "serial/TPublicDevCom.h"

namespace {

using Meter = q31::TPublicNetKs_6x6;

struct Owner {
    void Executed(short length, char* buffer) {
        volatile unsigned sum = 0;
        for (short i = 0; i < length; ++i) sum = sum + static_cast<unsigned char>(buffer[i]);
    }
};

template <typename T>
void TouchArray(void*, int count, T* values) {
    // The event must never claim more values than its buffer holds.
    if (count < 0 || count > Meter::kArchiveValues) __builtin_trap();
    volatile std::uint64_t sum = 0;
    for (int i = 0; i < count; ++i) sum = sum + static_cast<std::uint64_t>(values[i]);
}

void Start(Meter& m, std::uint8_t which, const std::uint8_t* n) {
    const auto a = static_cast<std::int8_t>(n[0]);
    const auto b = static_cast<std::int8_t>(n[1]);
    const std::uint32_t start = n[2] | (n[3] << 8);
    const std::int32_t count = static_cast<std::int8_t>(n[4]) * 16;
    const std::int32_t record = static_cast<std::int8_t>(n[5]) * 4;
    switch (which % 36) {
        case 0: m.GetFArhives(); break;
        case 1: m.GetArrayHourLong(0x4410, start, count); break;
        case 2: m.GetArrayDayLong(0x4410, start, count); break;
        case 3: m.GetArrayHourShort(0x4410, start, count); break;
        case 4: m.GetArrayDayShort(0x4410, start, count); break;
        case 5: m.GetArrayHourShortV2(0x4410, start, count, record); break;
        case 6: m.GetArrayDayShortV2(0x4410, start, count, record); break;
        case 7: m.GetArrayHourLongV2(0x3100, start, count, record); break;
        case 8: m.GetArrayDayLongV2(0x3100, start, count, record); break;
        case 9: m.GetArrayHourDLongV2(0x3100, start, count, record); break;
        case 10: m.GetArrayDayDLongV2(0x3100, start, count, record); break;
        case 11: m.GetErrorH1(); break;
        case 12: m.GetErrorH1V2(); break;
        case 13: m.GetErrorH6(a); break;
        case 14: m.GetErrorH6V2(a); break;
        case 15: m.GetErr1(a); break;
        case 16: m.GetErr1V2(a); break;
        case 17: m.GetErr6(a, b); break;
        case 18: m.GetErr6V2(a, b); break;
        case 19: m.GetEditH1(a); break;
        case 20: m.GetEditH1V2(a); break;
        case 21: m.GetEdit(a); break;
        case 22: m.GetEditV2(a); break;
        case 23: m.ClearSetChecEditCounter(); break;
        case 24: m.GetFPointerRAM(0); break;
        case 25: m.GetLast(); break;
        case 26: m.GetDeviceFDW(); break;
        case 27: m.GetFB_6x6(); break;
        case 28: m.GetStopTimeHour(); break;
        case 29: m.GetModuleSumHour(); break;
        case 30: m.V2GetAllSumm(); break;
        case 31: m.GetFAllSumm(); break;
        case 32: m.ClearAllSumm(); break;
        case 33: m.ClearSummDay(); break;
        case 34: m.ClearHead(); break;
        default: m.GetADCData(); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) return 0;
    static q31::ManualClock clock;
    static q31::MessageLoop loop(&clock);
    // Large members: keep them off the stack.
    static auto channel = std::make_unique<q31::TPublicDevCom>(nullptr, loop);
    auto meter = std::make_unique<Meter>(nullptr, loop);
    Owner owner;
    meter->DeviceComm = channel.get();
    meter->NullByteEnabled = false;
    meter->SetReceiving_back((data[0] & 0x80) != 0);
    meter->OnReceiveExecuted = q31::TPublicNetKs::ReceiveEvent::Bind<&Owner::Executed>(&owner);
    meter->OnArhivesV2HourLong = Meter::ArrayEvent<std::int32_t>::BindFree<&TouchArray<std::int32_t>>();
    meter->OnArhivesV2HourDLong = Meter::ArrayEvent<std::int64_t>::BindFree<&TouchArray<std::int64_t>>();
    meter->OnArhivesHourShort = Meter::ArrayEvent<std::int16_t>::BindFree<&TouchArray<std::int16_t>>();
    const std::uint32_t hours = data[6] | (data[7] << 8) | (data[8] << 16);
    meter->Arhives.HourCount = hours;
    meter->Arhives.DayCount = hours / 24;

    Start(*meter, data[0] & 0x7F, data + 1);
    q31::fuzz::FeedReplies(data, size, 9, [&] {
        // Once the command has ended the owner's handler is back.
        const auto routine = meter->OnReceiveExecuted;
        return routine.Object() == meter.get() ? routine : q31::TPublicNetKs::ReceiveEvent();
    });
    return 0;
}
