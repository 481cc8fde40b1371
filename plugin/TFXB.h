// The plug-in's hidden form: the one meter session behind the legacy
// exports. It keeps the host's slot record, runs each export's request on
// its session, and hands results to the slot's callbacks; a meter with
// another serial number, or an archive start past the newest record, is
// told to the operator in a message box instead.
//
// Everything runs on the host's thread that pumps messages. One request is
// in flight at a time; a new request re-arms the link and abandons the old.
#pragma once

#include <cstdint>

#include "plugin/MeterSession.h"
#include "publicQ31.h"

namespace q31 {

class TFXB : public MeterSession {
public:
    explicit TFXB(MessageLoop& loop = MessageLoop::Main());

    // Exports.
    void InitSlot(const TQ31Slot* slot);
    std::uint8_t GetID();
    std::uint8_t GetModuleCount(const SDevIdent* dev);
    std::uint8_t GetModuleRecord(const SDevIdent* dev, std::uint8_t module);
    std::uint8_t GetCurrentData(const SDevIdent* dev);
    std::uint8_t GetAccumulatedData(const SDevIdent* dev);
    std::uint8_t GetArchiveCount(const SDevIdent* dev);
    // Series 0..11: Time, Stop, T, U, M, E hourly, then the same daily.
    std::uint8_t GetArchiveSeries(int series, const SDevIdent* dev, std::uint8_t module, std::uint32_t start);
    std::uint8_t GetErrorHDev(const SDevIdent* dev);
    std::uint8_t GetErrorHModule(const SDevIdent* dev, std::uint8_t module);
    std::uint8_t GetErrorDataDev(const SDevIdent* dev, std::uint8_t block);
    std::uint8_t GetErrorDataModule(const SDevIdent* dev, std::uint8_t module, std::uint8_t block);
    std::uint8_t GetEditHModule(const SDevIdent* dev, std::uint8_t module);
    std::uint8_t GetEditDataModule(const SDevIdent* dev, std::uint8_t module);

    // Event handlers.
    void PublicNetKs_6x61TimeOut(TComponent* Sender);
    void SessionResult(const RequestRow* row, RequestOutcome outcome);
    void StartBeyondNewest();

    TQ31Slot Slot{};
    bool SlotReady = false;

private:
    // The legacy order of a request: numbers kept where the form always
    // kept them (some before any check), the slot test, then the session.
    std::uint8_t Run(RequestId id, const SDevIdent* dev, std::uint32_t first = 0, std::uint32_t second = 0);
    void CallSlot(const RequestRow& row);
    void ShowSerialMismatch();
};

}  // namespace q31
