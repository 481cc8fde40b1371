// The master side of the meter link: frames a request, sends it after a
// short delay, follows the reply through its stages (echo of our own packet,
// reply header, reply body), checks address and checksum, and reports the
// result through events. On a time-out or a bad checksum it sends the same
// packet again, without limit, while Repetition is on.
//
// A reply is credited only to the packet it answers. After an exchange that
// failed (a time-out, a bad reply, an abandoned packet) an answer to an
// earlier send may still be on its way, so before the next, different packet
// goes out the engine lets the line fall quiet (QuietTime) and discards what
// arrives meanwhile. A clean line never waits.
//
// One request is in flight at a time. Every command fills TransmitBuffer,
// sets the expected lengths, picks a reply continuation and calls
// ArmRequest; the owner chains the next command from the previous event.
#pragma once

#include <cstdint>

#include "link/ConfirmMode.h"
#include "link/SIDDevice.h"
#include "link/TWorkType.h"
#include "publicQ31.h"
#include "runtime/Delegate.h"
#include "runtime/MessageLoop.h"
#include "runtime/TComponent.h"
#include "runtime/TTimer.h"
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
    // The time-out used when the owner sets 0 or less: a reply must still be
    // read, so every exchange has a bound.
    static constexpr int kDefaultTimeOutMs = 2000;
    // An answer may come up to this many time-outs after its send: a meter
    // that answers one send late often answers the next one late as well,
    // and one that works through the sends in turn adds the two delays.
    static constexpr int kQuietTimeOuts = 2;
    // A line that never falls quiet is waited for at most this many time-outs.
    static constexpr int kDrainLimit = 8;

    explicit TPublicNetKs(TComponent* owner = nullptr, MessageLoop& loop = MessageLoop::Main());
    ~TPublicNetKs() override;

    bool Initialization() { return true; }

    // Properties.
    std::uint8_t GetMasterNetAddress() const { return MasterNetAddress; }
    void SetMasterNetAddress(std::uint8_t address);  // 1..254; others ignored
    std::uint8_t GetSlaveNetAddress() const { return SlaveNetAddress; }
    void SetSlaveNetAddress(std::uint8_t address);  // 1..238; others ignored
    int GetTimeOut() const { return static_cast<int>(timeOutTimer_.Interval()); }
    // 0 or less selects kDefaultTimeOutMs.
    void SetTimeOut(int milliseconds);
    int GetTimePackage() const { return static_cast<int>(packageTimer_.Interval()); }
    void SetTimePackage(int milliseconds);
    bool GetReceiving_back() const { return Receiving_back; }
    void SetReceiving_back(bool value) { Receiving_back = value; }

    // The engine.
    static std::uint16_t CRC(const void* data, std::uint8_t count);
    void ArmRequest(Continuation continuation, int readCount);
    // Sends a packet the caller made whole (the engine adds nothing); the
    // reply is one acknowledgement byte. Refused (false, nothing sent) when
    // there are bytes to send but no source.
    bool Transmitpackage(std::uint8_t count, const void* source);
    void GetDeviceID();
    void BreakTransmit();
    // The owner found an accepted reply unusable (it carries no whole value):
    // the exchange fails as a bad reply does, so the packet goes out again
    // while Repetition is on, and OnTimeOut ends it otherwise. `reason` is a
    // Q31_REJECT_ code for the trace. Call it from the reply's event.
    void FailExchange(int reason);
    // Whether a different packet has to wait for the line to fall quiet, and
    // for how long without a byte (ms): kQuietTimeOuts time-outs.
    bool LineUnsettled() const { return lineDirty_; }
    // Re-sends of the packet in flight since it was armed (confirming reads
    // are not re-sends).
    int Resends() const { return resends_; }
    int QuietTime() const;

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
    // When a read packet goes out again and its data counts only when two
    // consecutive replies agree; off unless the owner switches it on.
    ConfirmMode ReadConfirmation = ConfirmMode::Off;

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
    enum class Exchange : std::uint8_t { Idle, Open, Accepted };

    void TOut();
    void TPackage();
    void TNullByte();
    void TDrain();
    void SendPacket();
    void NullBytePreamble();
    void GeneralReply(char* Data, const ReceiveEvent& event);
    void ChecksumFailure(int reason);
    // The failure policy's tail: count, tell the owner, send again. With
    // `mayHaveTail` the rest of a bad reply may still be coming in, and the
    // packet waits until it has.
    void Resend(bool mayHaveTail);
    // Where the next exchange starts: the echo with Receiving_back, else the reply.
    void ResetStage();
    // The reply is good: ends the exchange (for the trace, once its event
    // has run, so that the owner may still fail it from there).
    void Accept(const std::uint8_t* reply, int length);
    void Accepted(unsigned armed);
    void EndExchange(int outcome);
    // Confirmed reads: true when `data` agrees with the reply held from the
    // previous send of the same packet; otherwise holds it and reads again.
    bool Confirmed(const std::uint8_t* data, int length);
    bool IsConfirmedRead() const;
    // Letting the line fall quiet before a different packet.
    bool SameAsLastSent() const;
    // Waits until nothing has arrived for `quiet` ms; `settles`: the line is
    // then clear of every earlier answer (else only of a frame's tail).
    void BeginDrain(int quiet, bool settles);
    void DrainedChunk(char* Data);
    // The trace. Nothing is built unless a handler is assigned.
    void Trace(int kind, int reason = 0, int count = 0, const std::uint8_t* bytes = nullptr, int length = 0,
               int osError = 0) const {
        if (OnTrace) EmitTrace(kind, reason, count, bytes, length, osError);
    }
    void EmitTrace(int kind, int reason, int count, const std::uint8_t* bytes, int length, int osError) const;
    // Every chunk: when the line last carried a byte, and the trace.
    void NoteChunk(const char* Data);
    // Why a chunk that is not the expected reply was passed over.
    int ChunkFault() const;

    MessageLoop& loop_;
    TTimer timeOutTimer_;
    TTimer packageTimer_;
    TTimer nullByteTimer_;
    TTimer drainTimer_;
    Continuation continuation_;
    Exchange exchange_ = Exchange::Idle;
    unsigned armed_ = 0;      // counts ArmRequest calls
    bool sent_ = false;       // the armed packet went out at least once
    int resends_ = 0;         // since the packet was armed
    bool lineDirty_ = false;  // a reply to an earlier send may still come
    bool draining_ = false;
    bool drainSettles_ = false;
    bool resendDue_ = false;  // the package timer sends a failed packet again
    Micros lastByteAt_ = 0;   // loop time of the last byte read
    Micros drainDeadline_ = 0;
    std::uint8_t lastSent_[256] = {};
    std::uint8_t lastSentLength_ = 0;
    bool confirmHeld_ = false;
    int confirmLength_ = 0;
    std::uint8_t confirmData_[256] = {};
};

}  // namespace q31
