// Drives the plug-in form's requests with arbitrary replies: the request
// picked by the input is started, the meter's identification comes back
// (its serial number from the input, so the mismatch path runs too), and
// then every reply is a length and that many bytes, in an allocation of
// exactly that length, until the request hands its result to the
// dispatcher, which then calls the host.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/FuzzReplies.h"
#include "platform/MessageBox.h"
#include "plugin/TFXB.h"
#include "runtime/MessageLoop.h"

namespace {

template <typename... Args>
void Q31_CALL Host(Args...) {}

void Quiet(const char*, const char*, unsigned) {}

TQ31Slot HostSlot() {
    TQ31Slot slot{};
    slot.EchoFlag = 1;
    slot.TimeOut = 100;
    slot.OnID = &Host<SDevIdent*>;
    slot.OnModuleCount = &Host<std::uint32_t>;
    slot.OnModuleRecord = &Host<SModuleRecord*>;
    slot.OnCurrentData = &Host<SCurrentData*>;
    slot.OnAccumulatedData = &Host<SAccumulatedData*>;
    slot.OnArhiveCount = &Host<SArhiveCount*>;
    slot.OnArhiveTime_Hour = slot.OnArhiveStop_Hour = slot.OnArhiveT_Hour = &Host<std::int32_t*, std::uint32_t>;
    slot.OnArhiveTime_Day = slot.OnArhiveStop_Day = slot.OnArhiveT_Day = &Host<std::int32_t*, std::uint32_t>;
    slot.OnArhiveU_Hour = slot.OnArhiveM_Hour = slot.OnArhiveE_Hour = &Host<std::int64_t*, std::uint32_t>;
    slot.OnArhiveU_Day = slot.OnArhiveM_Day = slot.OnArhiveE_Day = &Host<std::int64_t*, std::uint32_t>;
    slot.OnErrorHDev = slot.OnErrorHModule = &Host<std::uint16_t*, std::uint32_t>;
    slot.OnErrorDataDev = slot.OnErrorDataModule = slot.OnEditDataModule = &Host<std::uint8_t*, std::uint32_t>;
    slot.OnEditHModule = &Host<std::uint16_t*>;
    return slot;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 8) return 0;
    static q31::ManualClock clock;
    static q31::MessageLoop loop(&clock);
    static auto form = std::make_unique<q31::TFXB>(loop);
    static const TQ31Slot slot = HostSlot();
    q31::SetMessageBoxHandler(&Quiet);
    form->InitSlot(&slot);
    form->Timer1.SetEnabled(false);

    SDevIdent dev{};
    dev.DevType = 5120;
    dev.IdWord2 = static_cast<std::uint16_t>(data[1] << 1);
    dev.SerialNumber = 77;
    const std::uint8_t a = data[2] % 10, b = data[3] % 8;
    const std::uint32_t start = data[4] | (data[5] << 8);
    const std::uint8_t which = data[0] % 26;
    std::uint8_t status;
    if (which < 12) status = form->GetArchiveSeries(which, &dev, a, start);
    else switch (which) {
            case 12: status = form->GetModuleCount(&dev); break;
            case 13: status = form->GetModuleRecord(&dev, a); break;
            case 14: status = form->GetCurrentData(&dev); break;
            case 15: status = form->GetAccumulatedData(&dev); break;
            case 16: status = form->GetArchiveCount(&dev); break;
            case 17: status = form->GetErrorHDev(&dev); break;
            case 18: status = form->GetErrorHModule(&dev, a); break;
            case 19: status = form->GetErrorDataDev(&dev, a); break;
            case 20: status = form->GetErrorDataModule(&dev, a, b); break;
            case 21: status = form->GetEditHModule(&dev, a); break;
            case 22: status = form->GetEditDataModule(&dev, a); break;
            default: status = form->GetID(); break;
        }
    if (status != 0) return 0;

    q31::SIDDevice found{};
    found.DevType = 0x1400;
    found.SerialNumber = (data[6] & 0x0F) ? 77u : data[7];
    form->PublicNetKs_6x61.OnReceivedIDDevice(&found);

    q31::fuzz::FeedReplies(data, size, 8, [&] {
        // A request that handed its result to the dispatcher takes no more replies.
        return form->Timer1.Enabled() ? q31::TPublicNetKs::ReceiveEvent() : form->PublicNetKs_6x61.OnReceiveExecuted;
    });
    // The dispatcher's tick: the host is called with what the request stored.
    if (form->Timer1.Enabled()) form->Timer1Timer();
    return 0;
}
