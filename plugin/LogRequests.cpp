// The steps of the error-log and edit-log requests. Each asks the heat-meter
// component for one piece of a log in the meter's second layout; the
// handler of the component's event copies it into the shape the host takes
// (the first layout's records: each second-layout record without its
// trailing 16-bit field).
#include <cstring>

#include "plugin/MeterSession.h"

namespace q31 {

namespace {

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

// The component counts modules and blocks from 0; the kept numbers are the
// host's less one.
void MeterSession::ReadErrorHeadDev() { PublicNetKs_6x61.GetErrorH1V2(); }
void MeterSession::ReadErrorHeadModule() { PublicNetKs_6x61.GetErrorH6V2(static_cast<std::int8_t>(ReqNumber)); }
void MeterSession::ReadErrorBlockDev() { PublicNetKs_6x61.GetErr1V2(static_cast<std::int8_t>(ReqNumber)); }
void MeterSession::ReadErrorBlockModule() {
    PublicNetKs_6x61.GetErr6V2(static_cast<std::int8_t>(ReqNumber), static_cast<std::int8_t>(ReqNumber2));
}
void MeterSession::ReadEditHead() { PublicNetKs_6x61.GetEditH1V2(static_cast<std::int8_t>(ReqNumber)); }
void MeterSession::ReadEditBlock() { PublicNetKs_6x61.GetEditV2(static_cast<std::int8_t>(ReqNumber)); }

void MeterSession::PublicNetKs_6x61ErrorH1V2(SHead* H1) {
    if (!H1) return;
    std::memcpy(ErrorHeadDev, H1, sizeof ErrorHeadDev);
    Next();
}

void MeterSession::PublicNetKs_6x61ErrorH6V2(SHead* H1) {
    if (!H1) return;
    std::memcpy(ErrorHeadModule, H1, kModuleHeadV2Bytes);
    // The second layout's head has no sixth word: the host always sees zero
    // there, never what an earlier reply or layout left.
    ErrorHeadModule[5] = 0;
    Next();
}

void MeterSession::PublicNetKs_6x61Error1V2(SErrorRecordV2* Err1) {
    if (!Err1) return;
    CopyRecords(ErrorRecords, kErrorRecord, Err1, kErrorRecordV2);
    Next();
}

void MeterSession::PublicNetKs_6x61Error6V2(SErrorRecordV2* Err1) {
    if (!Err1) return;
    CopyRecords(ErrorRecords, kErrorRecord, Err1, kErrorRecordV2);
    Next();
}

void MeterSession::PublicNetKs_6x61EditH1V2(SHead* H1) {
    if (!H1) return;
    std::memcpy(&EditHeadModule, H1, sizeof EditHeadModule);
    Next();
}

void MeterSession::PublicNetKs_6x61ReceiveEditV2(SEventRecordV2* Edit) {
    if (!Edit) return;
    CopyRecords(EditRecords, kEventRecord, Edit, kEventRecordV2);
    Next();
}

static_assert(sizeof(MeterSession::ErrorRecords) == kRecords * kErrorRecord);
static_assert(sizeof(MeterSession::EditRecords) == kRecords * kEventRecord);

}  // namespace q31
