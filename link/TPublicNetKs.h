// The master side of the meter link: frames a request, sends it after a
// short delay, follows the reply through its stages (echo of our own packet,
// reply header, reply body), checks address and checksum, and reports the
// result through events. On a time-out or a bad checksum it sends the same
// packet again, without limit, while Repetition is on.
//
// One request is in flight at a time. Every command fills TransmitBuffer,
// sets the expected lengths, picks a reply continuation and calls
// ArmRequest; the owner chains the next command from the previous event.
#pragma once

#include <cstdint>

#include "publicQ31.h"
#include "link/SIDDevice.h"
#include "link/TWorkType.h"
#include "platform/Delegate.h"
#include "platform/MessageLoop.h"
#include "platform/TComponent.h"
#include "platform/TTimer.h"
#include "serial/TPublicDevCom.h"

namespace q31 {

// The 20-byte clock record sent by SetTime, as the meter stores it.
struct SNextTime {
    std::uint8_t Bytes[20];
};

class TPublicNetKs : public TComponent {
public:
    using ReceiveEvent = Delegate<void(short Length, char* Buffer)>;
    using SenderEvent = Delegate<void(TComponent* Sender)>;
    using Continuation = Delegate<void(char* Data)>;
    using TraceEvent = Delegate<void(const TQ31TraceEvent& Event)>;

    static constexpr int kBufferSize = 1000;
    static constexpr std::uint8_t kF149Address = 0xCA;
    // Largest data block of one write: the packet length must fit a byte.
    static constexpr int kMaxWriteCount = 246;
    static constexpr int kMaxWriteLargeCount = 244;
    static constexpr int kMaxReadCount = 252;

    explicit TPublicNetKs(TComponent* owner = nullptr, MessageLoop& loop = MessageLoop::Main());
    ~TPublicNetKs() override;

    bool Initialization() { return true; }

    // Properties.
    std::uint8_t GetMasterNetAddress() const { return MasterNetAddress; }
    void SetMasterNetAddress(std::uint8_t address);  // 1..254; others ignored
    std::uint8_t GetSlaveNetAddress() const { return SlaveNetAddress; }
    void SetSlaveNetAddress(std::uint8_t address);   // 1..238; others ignored
    int GetTimeOut() const { return static_cast<int>(timeOutTimer_.Interval()); }
    void SetTimeOut(int milliseconds);
    int GetTimePackage() const { return static_cast<int>(packageTimer_.Interval()); }
    void SetTimePackage(int milliseconds);
    bool GetReceiving_back() const { return Receiving_back; }
    void SetReceiving_back(bool value) { Receiving_back = value; }

    // The engine.
    static std::uint16_t CRC(const void* data, std::uint8_t count);
    void ArmRequest(Continuation continuation, int readCount);
    // Sends a packet the caller made whole (the engine adds nothing); the
    // reply is one acknowledgement byte.
    void Transmitpackage(std::uint8_t count, const void* source);
    void GetDeviceID();
    void BreakTransmit();

    // Reply continuations, called by the channel with each chunk it read.
    void ReceivedData(char* Data);
    void VarReceivedData(char* Data);
    void OnlyTransmit(char* Data);
    void ReceivedIDDevice(char* Data);
    void ReciveMC(char* Data);

    // Memory, clock and service commands. A command whose arguments cannot
    // be framed (count above its limit, no data) sends nothing and returns false.
    bool ReadRAM(std::uint16_t address, std::uint8_t count);
    bool WriteRAM(std::uint16_t address, std::uint8_t count, const void* data);
    bool ReadFlash(std::uint16_t address, std::uint8_t count);
    bool WriteFlash(std::uint16_t address, std::uint8_t count, const void* data);
    bool ReadFlashLarge(std::uint32_t address, std::uint8_t count);
    bool WriteFlashLarge(std::uint32_t address, std::uint8_t count, const void* data);
    bool ClearFlashF149();
    bool WriteFlashF149(std::uint16_t address, std::uint8_t count, const void* data);
    bool SetPassword(std::uint32_t value);
    bool IDCOMAND(std::uint32_t value);
    bool SetTime(const SNextTime* time);
    bool KeyPress(std::uint8_t key);
    bool GetDisplayData();
    bool GetCtrSUM(std::uint16_t value);
    bool GetModuleCounter(std::uint16_t deviceType);
    bool ModemCommand(const char* text, std::size_t length);

    // Lookups (no traffic). Texts are Windows-1251 bytes.
    const char* GetDeviceTypeStr(std::uint16_t deviceType) const;
    const char* GetDeviceConditionStr(std::uint16_t condition) const;
    static bool IncludeDevices(std::uint16_t deviceType);
    static bool Multic(std::uint16_t deviceType);

    // Members, in the order the link has always had them.
    TPublicDevCom* DeviceComm = nullptr;
    TWorkType WorkType = wtNet4800;
    Delegate<void(int Data)> OnRepetition;
    SenderEvent OnTimeOut;
    ReceiveEvent OnReceiveExecuted;
    ReceiveEvent OnVarReceiveExecuted;
    Delegate<void(SIDDevice* IDDevice)> OnReceivedIDDevice;
    Delegate<void(int Data)> OnReceiveModuleCounter;
    std::uint8_t* ReceivePointer = nullptr;
    SenderEvent OnFalseCRC;
    Delegate<void(void* Buf, int Size)> OnModemCommand;
    const char* ConditionTexts[4] = {};
    const char* TypeTexts[31] = {};
    bool NullBytePending = true;
    bool NullByteEnabled = true;
    int NullByteInterval = 3000;
    std::uint8_t MasterNetAddress = 240;
    std::uint8_t SlaveNetAddress = 7;
    std::uint8_t TransmitBuffer[kBufferSize] = {};
    std::uint8_t ReceiveBuffer[kBufferSize] = {};
    std::uint8_t TransmitLength = 0;
    std::uint8_t EchoLength = 0;
    std::uint8_t ReplyLength = 0;
    std::uint8_t BodyLength = 0;
    bool Receiving_back = false;
    bool Repetition = true;
    int ReceiveStage = 0;
    int RepetitionCounter = 0;
    bool BreakFlag = false;
    // Every event on the line, for a host that wants to see it; nothing is
    // built while it is unassigned. Raised on the main thread only.
    TraceEvent OnTrace;
    // Every read packet goes out twice and its data counts only when both
    // replies agree; off unless the owner switches it on.
    bool ReadConfirmation = false;

protected:
    // Frames [first][L][command][data][master][sum] into TransmitBuffer and
    // arms it. Returns false, sending nothing, when it cannot be framed.
    bool SendRequest(std::uint8_t first, std::uint8_t command, const std::uint8_t* data, std::size_t dataBytes,
                     std::uint8_t replyLength, Continuation continuation, int readCount);
    bool SendRead(std::uint8_t command, const std::uint8_t* data, std::size_t dataBytes);
    bool SendWrite(std::uint8_t first, std::uint8_t command, const std::uint8_t* head, std::size_t headBytes,
                   const void* payload, std::size_t payloadBytes);
    MessageLoop& Loop() const { return loop_; }

private:
    void TOut();
    void TPackage();
    void TNullByte();
    void NullBytePreamble();
    void GeneralReply(char* Data, const ReceiveEvent& event);
    void ChecksumFailure();
    // Where the next exchange starts: the echo with Receiving_back, else the reply.
    void ResetStage();

    MessageLoop& loop_;
    TTimer timeOutTimer_;
    TTimer packageTimer_;
    TTimer nullByteTimer_;
};

}  // namespace q31
