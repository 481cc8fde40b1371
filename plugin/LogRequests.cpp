// The error-log and edit-log requests. After the identification each asks
// the heat-meter component for one piece of a log in the meter's second
// layout; the handler of the component's event copies it into the form's
// result buffer in the shape the host takes (the first layout's records).
#include <cstring>

#include "plugin/TFXB.h"

namespace q31 {

namespace {
bool InRange(std::uint8_t n, std::uint8_t last) { return n >= 1 && n <= last; }

// The host's records are the meter's second-layout records without their
// trailing 16-bit field.
constexpr int kRecords = 16;
constexpr std::size_t kErrorRecordV2 = sizeof(SErrorRecordV2);
constexpr std::size_t kErrorRecord = sizeof(SErrorRecord);
constexpr std::size_t kEventRecordV2 = sizeof(SEventRecordV2);
constexpr std::size_t kEventRecord = sizeof(SEventRecord);
// A second-layout module error head has five words; the host is handed six.
constexpr std::size_t kModuleHeadV2Bytes = 10;

void CopyRecords(std::uint8_t* target, std::size_t targetStride, const void* source, std::size_t sourceStride) {
    const auto* from = static_cast<const std::uint8_t*>(source);
    for (int i = 0; i < kRecords; ++i) std::memcpy(target + i * targetStride, from + i * sourceStride, targetStride);
}
}  // namespace

void TFXB::BindLogHandlers() {
    auto& meter = PublicNetKs_6x61;
    meter.OnErrorH1V2 = TPublicNetKs_6x6::HeadEvent::Bind<&TFXB::PublicNetKs_6x61ErrorH1V2>(this);
    meter.OnErrorH6V2 = TPublicNetKs_6x6::HeadEvent::Bind<&TFXB::PublicNetKs_6x61ErrorH6V2>(this);
    meter.OnError1V2 = Delegate<void(SErrorRecordV2*)>::Bind<&TFXB::PublicNetKs_6x61Error1V2>(this);
    meter.OnError6V2 = Delegate<void(SErrorRecordV2*)>::Bind<&TFXB::PublicNetKs_6x61Error6V2>(this);
    meter.OnEditH1V2 = TPublicNetKs_6x6::HeadEvent::Bind<&TFXB::PublicNetKs_6x61EditH1V2>(this);
    meter.OnReceiveEditV2 = Delegate<void(SEventRecordV2*)>::Bind<&TFXB::PublicNetKs_6x61ReceiveEditV2>(this);
}

std::uint8_t TFXB::StartLogRequest(std::int32_t requestCode) {
    logRequestCode_ = requestCode;
    return StartRequest(Delegate<void(SIDDevice*)>::Bind<&TFXB::LogIdent>(this));
}

std::uint8_t TFXB::GetErrorHDev(const SDevIdent* dev) {
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    return StartLogRequest(rcErrorHDev);
}

std::uint8_t TFXB::GetErrorHModule(const SDevIdent* dev, std::uint8_t module) {
    ReqNumber = static_cast<std::uint8_t>(module - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    if (!InRange(module, 8)) return kBadArgument;
    return StartLogRequest(rcErrorHModule);
}

std::uint8_t TFXB::GetErrorDataDev(const SDevIdent* dev, std::uint8_t block) {
    ReqNumber = static_cast<std::uint8_t>(block - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    if (!InRange(block, 8)) return kBadArgument;
    return StartLogRequest(rcErrorDataDev);
}

std::uint8_t TFXB::GetErrorDataModule(const SDevIdent* dev, std::uint8_t module, std::uint8_t block) {
    ReqNumber = static_cast<std::uint8_t>(module - 1);
    ReqNumber2 = static_cast<std::uint8_t>(block - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    // Six modules here, where the heads and edit logs take eight.
    if (!InRange(module, 6) || !InRange(block, 5)) return kBadArgument;
    return StartLogRequest(rcErrorDataModule);
}

std::uint8_t TFXB::GetEditHModule(const SDevIdent* dev, std::uint8_t module) {
    ReqNumber = static_cast<std::uint8_t>(module - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    if (!InRange(module, 8)) return kBadArgument;
    return StartLogRequest(rcEditHModule);
}

std::uint8_t TFXB::GetEditDataModule(const SDevIdent* dev, std::uint8_t module) {
    ReqNumber = static_cast<std::uint8_t>(module - 1);
    if (const std::uint8_t refused = BeginRequest(dev)) return refused;
    if (!InRange(module, 8)) return kBadArgument;
    return StartLogRequest(rcEditDataModule);
}

void TFXB::LogIdent(SIDDevice* IDDevice) {
    if (!SerialMatches(IDDevice)) return;
    auto& meter = PublicNetKs_6x61;
    const auto number = static_cast<std::int8_t>(ReqNumber);
    const auto number2 = static_cast<std::int8_t>(ReqNumber2);
    switch (logRequestCode_) {
        case rcErrorHDev: meter.GetErrorH1V2(); break;
        case rcErrorHModule: meter.GetErrorH6V2(number); break;
        case rcErrorDataDev: meter.GetErr1V2(number); break;
        case rcErrorDataModule: meter.GetErr6V2(number, number2); break;
        case rcEditHModule: meter.GetEditH1V2(number); break;
        case rcEditDataModule: meter.GetEditV2(number); break;
        default: break;
    }
    Step = 0;
}

void TFXB::PublicNetKs_6x61ErrorH1V2(SHead* H1) {
    if (!H1) return;
    std::memcpy(ErrorHeadDev, H1, sizeof ErrorHeadDev);
    Deliver(rcErrorHDev);
}

void TFXB::PublicNetKs_6x61ErrorH6V2(SHead* H1) {
    if (!H1) return;
    std::memcpy(ErrorHeadModule, H1, kModuleHeadV2Bytes);
    // The second layout's head has no sixth word: the host always sees zero
    // there, never what an earlier reply or layout left.
    ErrorHeadModule[5] = 0;
    Deliver(rcErrorHModule);
}

void TFXB::PublicNetKs_6x61Error1V2(SErrorRecordV2* Err1) {
    if (!Err1) return;
    CopyRecords(ErrorRecords, kErrorRecord, Err1, kErrorRecordV2);
    Deliver(rcErrorDataDev);
}

void TFXB::PublicNetKs_6x61Error6V2(SErrorRecordV2* Err1) {
    if (!Err1) return;
    CopyRecords(ErrorRecords, kErrorRecord, Err1, kErrorRecordV2);
    Deliver(rcErrorDataModule);
}

void TFXB::PublicNetKs_6x61EditH1V2(SHead* H1) {
    if (!H1) return;
    std::memcpy(&EditHeadModule, H1, sizeof EditHeadModule);
    Deliver(rcEditHModule);
}

void TFXB::PublicNetKs_6x61ReceiveEditV2(SEventRecordV2* Edit) {
    if (!Edit) return;
    CopyRecords(EditRecords, kEventRecord, Edit, kEventRecordV2);
    Deliver(rcEditDataModule);
}

static_assert(sizeof(TFXB::ErrorRecords) == kRecords * kErrorRecord);
static_assert(sizeof(TFXB::EditRecords) == kRecords * kEventRecord);

}  // namespace q31
