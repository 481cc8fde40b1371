// The master side of the meter link: frames a request, sends it after a
// short delay, follows the reply through its stages (echo of our own packet,
// reply header, reply body), checks address, checksum and length, and
// reports the result through events. On a failure it sends the same packet
// again, without limit, while Repetition is on.
//
// A reply is credited only to the packet it answers. The meter answers its
// packets in turn, one reply at a time, so an answer that comes after its
// time-out delays the answers behind it. The rules that follow from that:
// - After a time-out the engine goes on reading through the send delay: an
//   answer that completes then is taken, and the packet is not sent again.
// - Nothing is read off the line unseen: bytes that arrive while no reply is
//   expected are traced as discarded, and a packet waits until the line has
//   been quiet for a few character times before it goes out.
// - A damaged reply costs only that tail wait before the packet goes again.
// - A reply to a packet that timed out counts only if no other frame follows
//   it closely (the answer to the re-send would).
// - Before a different packet goes out while an answer to a timed-out send
//   may still come, the line is let fall quiet until two time-outs after
//   that send, unless the new packet's data will be confirmed anyway.
//
// One request is in flight at a time. Every command fills TransmitBuffer,
// sets the expected lengths, picks a reply continuation and arms it; the
// owner chains the next command from the previous event.
#pragma once

#include <cstdint>

#include "link/ConfirmMode.h"
#include "link/HeldReply.h"
#include "link/KeptAnswer.h"
#include "link/OwedAnswers.h"
#include "link/ReplyCheck.h"
#include "link/SIDDevice.h"
#include "link/SettlePlan.h"
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
    // that answers one send late often answers the next one late as well.
    static constexpr int kQuietTimeOuts = 2;
    // A line that never falls quiet is waited for at most this many time-outs.
    static constexpr int kDrainLimit = 8;
    // The quiet that ends a frame's tail, in character times (on top of the
    // send delay, which covers an adapter's own latency).
    static constexpr int kTailChars = 4;
    // The character time assumed on a port without a line speed.
    static constexpr int kUnknownCharMicros = 1000;
    // Auto confirmation covers the packet that showed a fault and this many
    // packets after it; every further fault extends it.
    static constexpr int kAutoConfirmPackets = 1;

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
    // ArmRequest with what the reply must carry, and whether its data may be
    // confirmed by reading the same packet again (reads only: sending a read
    // twice changes nothing in the meter).
    void Arm(Continuation continuation, int readCount, ReplyCheck check, bool confirmable);
    // Sends a packet the caller made whole (the engine adds nothing); the
    // reply is one acknowledgement byte. Refused (false, nothing sent) when
    // there are bytes to send but no source.
    [[nodiscard]] bool Transmitpackage(std::uint8_t count, const void* source);
    void GetDeviceID();
    void BreakTransmit();
    // The owner found an accepted reply unusable (it carries no whole value):
    // the exchange fails as a bad reply does, so the packet goes out again
    // while Repetition is on, and OnTimeOut ends it otherwise. `reason` is a
    // Q31_REJECT_ code for the trace. Call it from the reply's event.
    void FailExchange(int reason);
    // Re-sends of the packet in flight since it was armed that went out
    // (confirming reads are not re-sends).
    int Resends() const { return resends_; }
    // Whether the last send of the packet in flight could not be written
    // (the port failed, or there is none).
    bool SendFailed() const { return sendFailed_; }
    // Whether an answer to an earlier send may still come.
    bool LineUnsettled() const { return owed_.Any(loop_.Now()); }
    // Whether the packet in flight has its data confirmed.
    bool Confirming() const;
    // How long after its send an answer may still come, in ms: kQuietTimeOuts
    // time-outs. A different packet waits that long for the line to fall
    // quiet after a time-out unless its data is confirmed.
    int QuietTime() const;

    // Reply continuations, called by the channel with each chunk it read.
    void ReceivedData(char* Data);
    void VarReceivedData(char* Data);
    void OnlyTransmit(char* Data);
    void ReceivedIDDevice(char* Data);
    void ReciveMC(char* Data);

    // Memory, clock and service commands. A command whose arguments cannot
    // be framed (count above its limit, no data) sends nothing and returns false.
    // A memory read's reply carries exactly the bytes asked for, unless the
    // caller names what else the meter may lawfully send.
    [[nodiscard]] bool ReadRAM(std::uint16_t address, std::uint8_t count);
    [[nodiscard]] bool ReadRAM(std::uint16_t address, std::uint8_t count, ReplyCheck check);
    [[nodiscard]] bool WriteRAM(std::uint16_t address, std::uint8_t count, const void* data);
    [[nodiscard]] bool ReadFlash(std::uint16_t address, std::uint8_t count);
    [[nodiscard]] bool WriteFlash(std::uint16_t address, std::uint8_t count, const void* data);
    [[nodiscard]] bool ReadFlashLarge(std::uint32_t address, std::uint8_t count);
    [[nodiscard]] bool ReadFlashLarge(std::uint32_t address, std::uint8_t count, ReplyCheck check);
    [[nodiscard]] bool WriteFlashLarge(std::uint32_t address, std::uint8_t count, const void* data);
    [[nodiscard]] bool ClearFlashF149();
    [[nodiscard]] bool WriteFlashF149(std::uint16_t address, std::uint8_t count, const void* data);
    [[nodiscard]] bool SetPassword(std::uint32_t value);
    [[nodiscard]] bool IDCOMAND(std::uint32_t value);
    [[nodiscard]] bool SetTime(const SNextTime* time);
    [[nodiscard]] bool KeyPress(std::uint8_t key);
    [[nodiscard]] bool GetDisplayData();
    [[nodiscard]] bool GetCtrSUM(std::uint16_t value);
    [[nodiscard]] bool GetModuleCounter(std::uint16_t deviceType);
    [[nodiscard]] bool ModemCommand(const char* text, std::size_t length);

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
    [[nodiscard]] bool SendRequest(std::uint8_t first, std::uint8_t command, const std::uint8_t* data,
                                   std::size_t dataBytes, std::uint8_t replyLength, Continuation continuation,
                                   int readCount, ReplyCheck check = {}, bool confirmable = false);
    // A read: its reply has the general form and its data may be confirmed.
    [[nodiscard]] bool SendRead(std::uint8_t command, const std::uint8_t* data, std::size_t dataBytes,
                                ReplyCheck check = {}, bool confirmable = true);
    [[nodiscard]] bool SendWrite(std::uint8_t first, std::uint8_t command, const std::uint8_t* head,
                                 std::size_t headBytes, const void* payload, std::size_t payloadBytes);
    MessageLoop& Loop() const { return loop_; }

private:
    // Where the exchange of the armed packet stands. Enter() owns the timers.
    enum class Phase : std::uint8_t {
        Idle,      // nothing armed, or the exchange is over
        Armed,     // the send delay runs (package timer)
        Settling,  // the line must fall quiet before the packet goes out (drain timer)
        Sent,      // the packet is out; its time-out runs while the reply is read
        Grace,     // the time-out fired; the reply is still read through the send delay
        Checking,  // a good reply waits to see that no other frame follows it (drain timer)
        Holding,   // a reply is in hand or the exchange failed: the owner is told, no timer runs
        Accepted,  // the reply's event runs
    };
    // Why an exchange failed; each has its row in the failure table.
    enum class Failure : std::uint8_t { TimeOut, BadFrame, WrongLength, NoValue, Followed, BadOther, Count };
    // Which event a reply that passed its checks raises.
    enum class Raise : std::uint8_t { General, Var, Ack, Id, ModuleCounter };

    void Enter(Phase phase);
    bool Open() const { return phase_ != Phase::Idle && phase_ != Phase::Accepted; }
    void TOut();
    void TPackage();
    void TNullByte();
    void TDrain();
    // The send delay is over: send, or first let the line fall quiet.
    void GoOut();
    void SendPacket();
    void NullBytePreamble();
    // The one failure routine: trace, tell the owner, and send again or end.
    void Fail(Failure failure, int reason, int expected = 0, int actual = 0);
    // Counts the re-send and asks the owner; false when the owner stopped
    // the packet or armed another from its handler.
    bool CountResend();
    // Waits until the line has been quiet for `quietUs` and `notBefore` has
    // come (at most kDrainLimit time-outs), reading off what arrives; then
    // sends. In an `owedWait` every byte moves `notBefore` to a quiet time on.
    void Settle(Micros notBefore, Micros quietUs, bool owedWait);
    void DrainedChunk(char* Data);
    void FollowerChunk(char* Data);
    // The whole frame of the reply taken, as it came on the line.
    int TakenFrameLength() const;
    // A reply that is the late answer to the packet before, known by its
    // bytes: read off, and the reads for this packet's answer start again.
    bool KnownStray(Raise raise, int length);
    static bool StableRead(std::uint8_t command);
    void Discarded(const std::uint8_t* Bytes, int Length);
    // A fault seen on the line: it turns auto confirmation on for a while.
    void NoteFault() { faultArmed_ = armed_; }
    Micros TailTime() const;
    Micros FollowerTime() const;
    // Where the next exchange starts: the echo with Receiving_back, else the reply.
    void ResetStage();
    // Stage 0, the echo of our packet: true when it has been read (and, with
    // `checkAddress`, began with the slave address) and the reply is next.
    bool EchoRead(const std::uint8_t* chunk, bool checkAddress, std::uint8_t replyLength);
    // A chunk that carries nothing or shows a port error: handled, true.
    bool EmptyChunk(const char* Data);
    // Every reply's way in: its shape (kReplyShapes) says how it is read.
    void Receive(char* Data, Raise raise);
    void GeneralReply(const std::uint8_t* chunk, Raise raise);
    // A reply that passed its checks: confirmed, watched for a follower, or delivered.
    void Take(Raise raise, int length);
    void Deliver();
    void EndExchange(int outcome);
    bool ConfirmNow() const;
    bool SameAsLastSent() const;
    // The trace. Nothing is built unless a handler is assigned.
    void Trace(int kind, int reason = 0, int count = 0, const std::uint8_t* bytes = nullptr, int length = 0,
               int osError = 0, int expected = 0, int actual = 0) const {
        if (OnTrace) EmitTrace(kind, reason, count, bytes, length, osError, expected, actual);
    }
    void EmitTrace(int kind, int reason, int count, const std::uint8_t* bytes, int length, int osError, int expected,
                   int actual) const;
    void NoteChunk(const char* Data);
    // Why a chunk that is not the expected reply was passed over.
    int ChunkFault() const;

    MessageLoop& loop_;
    TTimer timeOutTimer_;
    TTimer packageTimer_;
    TTimer nullByteTimer_;
    TTimer drainTimer_;
    Continuation continuation_;
    Phase phase_ = Phase::Idle;
    unsigned armed_ = 0;  // counts armed packets
    ReplyCheck check_;
    bool confirmable_ = false;
    bool sent_ = false;  // the armed packet went out at least once
    bool sendFailed_ = false;
    bool suspect_ = false;  // the packet timed out or strays were read off in its exchange
    int resends_ = 0;       // since the packet was armed
    // Sends no frame has come back for yet: their answers may still come.
    OwedAnswers owed_;
    // The packet is confirmed whatever the mode: it goes out while an answer
    // to an earlier packet may still come, which cannot agree with its own.
    bool confirmForced_ = false;
    unsigned faultArmed_ = 0;  // the packet during which the line last showed a fault
    Micros sentAt_ = 0;
    Micros replyAt_ = 0;     // when the reply (past the echo) began to arrive
    Micros latency_ = 0;     // write to the whole reply, on the last clean exchange
    Micros lastByteAt_ = 0;  // loop time of the last byte read
    SettlePlan settle_;
    Raise raise_ = Raise::General;
    int raiseLength_ = 0;
    std::uint8_t lastSent_[256] = {};
    std::uint8_t lastSentLength_ = 0;
    HeldReply held_;
    // Whether this packet, and the one before it, took an answer; the frame
    // of the last answer taken; the reads of the armed packet's reply.
    bool answered_ = false;
    bool prevAnswered_ = false;
    // Whether the armed packet, and the one before it, read what the meter
    // answers the same each time (its RAM changes under it; its flash does not).
    bool stable_ = false;
    bool prevStable_ = false;
    KeptAnswer lastTaken_;
    // The answers the known strays of each place carry.
    KeptAnswer strays_[OwedAnswers::kGroups];
    int readCount_ = 0;
    // A frame that followed the reply taken, as far as it has come.
    std::uint8_t follower_[260] = {};
    int followerGot_ = 0;
};

}  // namespace q31
