#include "link/TPublicNetKs.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "link/CommandBytes.h"
#include "link/DeviceTexts.h"
#include "link/Frame.h"

namespace q31 {

namespace {
constexpr std::uint8_t kIdReplyLength = 19;
// The identification record the reply carries.
constexpr std::uint8_t kIdPayload = 14;
constexpr std::uint8_t kModuleCounterReplyLength = 6;
constexpr int kNullBytePauseMs = 100;
constexpr Micros kMs = 1000;

// What each failure does; Fail() follows the row and nothing else. A
// damaged frame may have a tail still coming in, so the packet goes again
// only once the line is quiet; a time-out first listens on through the
// grace; a frame followed by another leaves the line to be read off.
// Without repetition a time-out, a reply of the wrong length and one
// without a value tell the owner through OnTimeOut; a bad frame only ends
// the exchange, as it always has. A frame that failed pays for no send:
// even one that came as the answer was due may be another packet's late
// answer, damaged, and then this send's answer is still to come. One that
// came later than the answer was due makes the exchange suspect, as a
// time-out does.
enum class Then : std::uint8_t { Grace, Tail, SendDelay };
struct FailureRule {
    int traceKind;
    bool falseCrc;      // raise OnFalseCRC
    bool timeOutEvent;  // without repetition: raise OnTimeOut
    bool owesAnswer;    // the send's answer may still come
    bool frame;         // a frame came: late, it makes the exchange suspect
    Then then;          // with repetition: listen on, or how the packet goes again
};
constexpr FailureRule kFailureRules[] = {
    /* TimeOut     */ {Q31_TRACE_TIMEOUT, false, true, true, false, Then::Grace},
    /* BadFrame    */ {Q31_TRACE_REJECTED, true, false, false, true, Then::Tail},
    /* WrongLength */ {Q31_TRACE_REJECTED, true, true, false, false, Then::Tail},
    /* NoValue     */ {Q31_TRACE_REJECTED, false, true, false, false, Then::SendDelay},
    /* Followed    */ {Q31_TRACE_REJECTED, false, false, false, false, Then::Tail},
    /* BadOther    */ {Q31_TRACE_REJECTED, true, false, false, false, Then::Tail},
};

// How each kind of reply is read once its echo is past. A reply of the
// general form comes as a header [address][L] and then a body of L + 3
// bytes; the others have a fixed length. Indexed by Raise.
struct ReplyShape {
    bool echoAddressed;   // the echo must begin with the slave address
    bool addressed;       // the reply must begin with the master's address
    std::uint8_t length;  // a fixed frame's length; 0: the general form
    bool summed;          // a fixed frame ends in its checksum
    int taken;            // what a fixed frame hands on: its length, or the record it carries
};
constexpr ReplyShape kReplyShapes[] = {
    /* General       */ {true, true, 0, false, 0},
    /* Var           */ {true, true, 0, false, 0},
    // The meter acknowledges a write with one byte; it carries no address
    // or checksum, and any value counts.
    /* Ack           */ {false, false, 1, false, 1},
    // Byte 1 is the meter's own and is not looked at: the 19 bytes and
    // their checksum are the identification.
    /* Id            */ {false, true, kIdReplyLength, true, kIdPayload},
    /* ModuleCounter */ {false, true, kModuleCounterReplyLength, false, kModuleCounterReplyLength},
};
}  // namespace

TPublicNetKs::TPublicNetKs(TComponent* owner, MessageLoop& loop)
    : TComponent(owner),
      loop_(loop),
      timeOutTimer_(loop, 1000, false),
      packageTimer_(loop, 1, false),
      nullByteTimer_(loop, 3000, false),
      drainTimer_(loop, kDefaultTimeOutMs, false) {
    for (int i = 0; i < 4; ++i) ConditionTexts[i] = texts::kConditions[i];
    for (int i = 0; i < 31; ++i) TypeTexts[i] = texts::kDeviceTypes[i];
    timeOutTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TOut>(this);
    packageTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TPackage>(this);
    nullByteTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TNullByte>(this);
    drainTimer_.OnTimer = Delegate<void()>::Bind<&TPublicNetKs::TDrain>(this);
    nullByteTimer_.SetInterval(static_cast<unsigned>(NullByteInterval));
    nullByteTimer_.SetEnabled(true);
}

TPublicNetKs::~TPublicNetKs() {
    Enter(Phase::Idle);
    nullByteTimer_.SetEnabled(false);
    const auto mine = Delegate<void(const std::uint8_t*, int)>::Bind<&TPublicNetKs::Discarded>(this);
    if (DeviceComm && DeviceComm->OnDiscard == mine) DeviceComm->OnDiscard = nullptr;
}

void TPublicNetKs::SetMasterNetAddress(std::uint8_t address) {
    if (address >= 1 && address <= 254) MasterNetAddress = address;
}

void TPublicNetKs::SetSlaveNetAddress(std::uint8_t address) {
    if (address >= 1 && address <= 238) SlaveNetAddress = address;
}

void TPublicNetKs::SetTimeOut(int milliseconds) {
    // A timer of 0 ms would never fire, and reads bounded by it would end at
    // once: every reply would be lost and the request would hang.
    timeOutTimer_.SetInterval(static_cast<unsigned>(milliseconds > 0 ? milliseconds : kDefaultTimeOutMs));
}

void TPublicNetKs::SetTimePackage(int milliseconds) {
    packageTimer_.SetInterval(milliseconds > 0 ? static_cast<unsigned>(milliseconds) : 0u);
}

std::uint16_t TPublicNetKs::CRC(const void* data, std::uint8_t count) {
    return frame::Checksum(static_cast<const std::uint8_t*>(data), count);
}

// The phases and their timers.

void TPublicNetKs::Enter(Phase phase) {
    phase_ = phase;
    timeOutTimer_.SetEnabled(false);
    drainTimer_.SetEnabled(false);
    // The package timer is the send delay: it runs while armed, and through
    // the grace after a time-out (the delay before the re-send).
    packageTimer_.SetEnabled(false);
    switch (phase) {
        case Phase::Armed:
        case Phase::Grace: packageTimer_.SetEnabled(true); break;
        case Phase::Sent: timeOutTimer_.SetEnabled(true); break;
        case Phase::Settling:
        case Phase::Checking: drainTimer_.SetEnabled(true); break;
        case Phase::Idle:
        case Phase::Holding:
        case Phase::Accepted: break;
    }
}

void TPublicNetKs::ResetStage() {
    ReceiveStage = Receiving_back ? 0 : 1;
    if (DeviceComm) DeviceComm->LengthPacket = Receiving_back ? EchoLength : ReplyLength;
}

void TPublicNetKs::ArmRequest(Continuation continuation, int readCount) { Arm(continuation, readCount, {}, false); }

void TPublicNetKs::Arm(Continuation continuation, int readCount, ReplyCheck check, bool confirmable) {
    // A new request abandons the one before it: its time-out no longer
    // counts, and a read it left waiting must not deliver into this one. Its
    // answer may still be on its way.
    if (Open()) {
        EndExchange(Q31_END_ABANDONED);
    } else if (phase_ == Phase::Accepted) {
        EndExchange(Q31_END_ACCEPTED);
    }
    Enter(Phase::Idle);
    ++armed_;
    check_ = check;
    confirmable_ = confirmable;
    sent_ = false;
    sendFailed_ = false;
    suspect_ = false;
    resends_ = 0;
    held_.Drop();
    confirmForced_ = false;
    prevAnswered_ = answered_;
    prevStable_ = stable_;
    answered_ = false;
    stable_ = confirmable && TransmitLength > 2 && StableRead(TransmitBuffer[2]);
    readCount_ = readCount;
    continuation_ = continuation;
    Trace(Q31_TRACE_REQUEST_START, 0, 0, TransmitBuffer, TransmitLength);
    if (!DeviceComm) return;
    DeviceComm->OnDiscard = Delegate<void(const std::uint8_t*, int)>::Bind<&TPublicNetKs::Discarded>(this);
    DeviceComm->AbortRead();
    DeviceComm->OnReceivePacket = continuation;
    DeviceComm->SetReadinCount(readCount);
    ResetStage();
    DeviceComm->SetReceiveType(rtPacket);
    Enter(Phase::Armed);
}

// Sending.

void TPublicNetKs::NullBytePreamble() {
    // A full interval starts with every packet; the byte 0x00 goes out only
    // when the line has been quiet for at least one interval.
    nullByteTimer_.SetEnabled(false);
    nullByteTimer_.SetInterval(static_cast<unsigned>(NullByteInterval > 0 ? NullByteInterval : 0));
    const bool due = NullBytePending;
    NullBytePending = false;
    nullByteTimer_.SetEnabled(true);
    if (due && DeviceComm) {
        static constexpr std::uint8_t zero = 0;
        if (DeviceComm->WriteOnly(&zero, 1)) Trace(Q31_TRACE_WRITE, 0, 0, &zero, 1);
        else Trace(Q31_TRACE_PORT_ERROR, Q31_PORT_WRITE, 0, nullptr, 0, DeviceComm->WriteError);
        loop_.Clock().Sleep(kNullBytePauseMs);
    }
}

void TPublicNetKs::TPackage() {
    BreakFlag = false;
    if (phase_ == Phase::Grace) {
        // Nothing whole came through the send delay: the read of the failed
        // send ends (what it had taken is traced) and the packet goes again.
        if (DeviceComm) DeviceComm->AbortRead();
        if (!CountResend()) return;
        Trace(Q31_TRACE_RESEND, 0, resends_);
    } else if (phase_ != Phase::Armed) {
        return;
    }
    GoOut();
}

void TPublicNetKs::GoOut() {
    const Micros now = loop_.Now();
    owed_.Expire(now);
    // A different packet must take no answer to an earlier send. While one
    // may still come, it waits for the line to fall quiet until such answers
    // are beyond the time they may take, in every mode: confirmation is no
    // shelter, since two copies of one answer agree. But a late answer to a
    // read of what the meter does not change (its flash, its archives, its
    // identity) that was answered is known by its bytes: the answer it took.
    // A read goes out at once and reads it off where it comes; a write,
    // whose acknowledgement is any byte, waits for it too.
    if (!sent_) {
        if (!SameAsLastSent()) {
            const int place = owed_.NextPacket(prevAnswered_ && prevStable_);
            if (place >= 0) strays_[place] = lastTaken_;
        }
        const int unknown = owed_.Unknown(now) + (confirmable_ ? 0 : owed_.Known(now));
        if (unknown > 0) {
            Settle(owed_.Until(), TailTime(), true);
            return;
        }
    }
    // Bytes nothing was waiting for: the tail of a frame or an answer to an
    // earlier send. They are read off, and the packet waits until they stop.
    if (DeviceComm && DeviceComm->ClearBuf() > 0) {
        Settle(now, TailTime(), false);
        return;
    }
    SendPacket();
}

void TPublicNetKs::SendPacket() {
    if (NullByteEnabled) NullBytePreamble();
    // The time-out covers the whole exchange from just before the write.
    Enter(Phase::Sent);
    ResetStage();
    sendFailed_ = true;
    if (!DeviceComm) return;
    DeviceComm->OnReceivePacket = continuation_;
    // A read outlasts the time-out, so that the reply can still complete
    // through the send delay after it.
    DeviceComm->ReadTimeout = 2 * GetTimeOut();
    std::memcpy(lastSent_, TransmitBuffer, TransmitLength);
    lastSentLength_ = TransmitLength;
    sent_ = true;
    sentAt_ = loop_.Now();
    // Every send owes an answer until a frame comes back for it.
    owed_.Sent(sentAt_, Micros{QuietTime()} * kMs);
    DeviceComm->Transmit_Packed(TransmitBuffer, TransmitLength);
    sendFailed_ = !DeviceComm->TransmitOK;
    if (DeviceComm->TransmitOK) Trace(Q31_TRACE_WRITE, 0, 0, TransmitBuffer, TransmitLength);
    else Trace(Q31_TRACE_PORT_ERROR, Q31_PORT_WRITE, 0, nullptr, 0, DeviceComm->WriteError);
}

bool TPublicNetKs::SameAsLastSent() const {
    return lastSentLength_ == TransmitLength && std::memcmp(lastSent_, TransmitBuffer, TransmitLength) == 0;
}

int TPublicNetKs::QuietTime() const { return kQuietTimeOuts * GetTimeOut(); }

Micros TPublicNetKs::TailTime() const {
    const int c = DeviceComm ? DeviceComm->CharTimeMicros() : 0;
    return Micros{GetTimePackage()} * kMs + Micros{kTailChars} * (c > 0 ? c : kUnknownCharMicros);
}

Micros TPublicNetKs::FollowerTime() const {
    // The answer to a later send comes right behind the one the meter was
    // late with: within the meter's usual time to answer, plus a tail.
    return std::min<Micros>(TailTime() + latency_, Micros{GetTimeOut()} * kMs);
}

// Letting the line fall quiet.

void TPublicNetKs::Settle(Micros notBefore, Micros quietUs, bool owedWait) {
    const Micros first =
        settle_.Start(loop_.Now(), notBefore, quietUs, Micros{GetTimeOut()} * kMs * kDrainLimit, owedWait);
    drainTimer_.SetInterval(static_cast<unsigned>(std::max<Micros>(1, (first + kMs - 1) / kMs)));
    Enter(Phase::Settling);
    if (!DeviceComm) return;
    DeviceComm->OnReceivePacket = Continuation::Bind<&TPublicNetKs::DrainedChunk>(this);
    DeviceComm->ReadTimeout = static_cast<int>((first + kMs - 1) / kMs);
    DeviceComm->Listen(1);
}

void TPublicNetKs::DrainedChunk(char* Data) {
    if (phase_ != Phase::Settling || !DeviceComm) return;
    if (DeviceComm->ReadError != 0) {
        // A failing port has nothing to drain; the timer ends the wait.
        Trace(Q31_TRACE_PORT_ERROR, Q31_PORT_READ, 0, nullptr, 0, DeviceComm->ReadError);
        return;
    }
    if (DeviceComm->BytesRead > 0) Discarded(reinterpret_cast<const std::uint8_t*>(Data), DeviceComm->BytesRead);
    DeviceComm->Listen(1);
}

void TPublicNetKs::Discarded(const std::uint8_t* Bytes, int Length) {
    if (Length <= 0) return;
    lastByteAt_ = loop_.Now();
    Trace(Q31_TRACE_DISCARDED, 0, 0, Bytes, Length);
    NoteFault();
    // What arrives while answers are owed is such an answer, and the ones
    // behind it may be as late after it: every debt runs on.
    owed_.Extend(lastByteAt_ + Micros{QuietTime()} * kMs);
    if (phase_ == Phase::Settling) settle_.ByteSeen(lastByteAt_ + Micros{QuietTime()} * kMs);
    // A reply held for confirmation may have been a stray like these, or
    // a copy of an answer already counted: it paid none of this packet's
    // sends, whose answer is still to come.
    if (held_.Held()) owed_.Unpaid();
    held_.Drop();
}

void TPublicNetKs::TDrain() {
    if (phase_ == Phase::Checking) {
        // No frame followed the reply: it is the answer.
        if (DeviceComm) DeviceComm->AbortRead();
        Deliver();
        return;
    }
    if (phase_ != Phase::Settling) return;
    const Micros now = loop_.Now();
    // Every byte starts the quiet again, up to the overall bound.
    if (const Micros left = settle_.Left(now, lastByteAt_); left > 0) {
        drainTimer_.SetEnabled(false);
        drainTimer_.SetInterval(static_cast<unsigned>(std::max<Micros>(1, (left + kMs - 1) / kMs)));
        drainTimer_.SetEnabled(true);
        return;
    }
    owed_.Expire(now);
    // A line that never fell quiet: what may still come is left to the
    // confirmation of a read.
    if (!sent_ && owed_.Strays(now) > 0 && confirmable_) confirmForced_ = true;
    if (DeviceComm) DeviceComm->AbortRead();
    SendPacket();
}

void TPublicNetKs::TNullByte() {
    if (!NullByteEnabled || WorkType == wtIrDA) return;
    if (NullBytePending) nullByteTimer_.SetEnabled(false);
    NullBytePending = true;
}

// Failures.

void TPublicNetKs::TOut() {
    if (phase_ != Phase::Sent) return;
    Fail(Failure::TimeOut, 0);
}

void TPublicNetKs::FailExchange(int reason) { Fail(Failure::NoValue, reason); }

void TPublicNetKs::Fail(Failure failure, int reason, int expected, int actual) {
    static_assert(std::size(kFailureRules) == static_cast<std::size_t>(Failure::Count));
    const FailureRule& rule = kFailureRules[static_cast<int>(failure)];
    if (rule.traceKind == Q31_TRACE_TIMEOUT) Trace(Q31_TRACE_TIMEOUT, 0, resends_);
    else Trace(Q31_TRACE_REJECTED, reason, resends_, nullptr, 0, 0, expected, actual);
    NoteFault();
    if (rule.owesAnswer) suspect_ = true;
    if (rule.frame && replyAt_ - sentAt_ > latency_ + TailTime()) suspect_ = true;
    if (rule.then == Then::Grace && Repetition) {
        // The read goes on: an answer that completes through the send delay
        // is still taken.
        Enter(Phase::Grace);
        return;
    }
    Enter(Phase::Holding);
    if (DeviceComm) DeviceComm->AbortRead();
    if (rule.falseCrc && OnFalseCRC) OnFalseCRC(this);
    if (!Repetition) {
        EndExchange(Q31_END_TIMEOUT);
        if (rule.timeOutEvent && OnTimeOut) OnTimeOut(this);
        return;
    }
    const unsigned armed = armed_;
    if (!CountResend() || armed != armed_) return;
    Trace(Q31_TRACE_RESEND, 0, resends_);
    if (rule.then == Then::Tail) {
        Settle(loop_.Now(), TailTime(), false);
    } else {
        Enter(Phase::Armed);
    }
}

bool TPublicNetKs::CountResend() {
    ++RepetitionCounter;
    const unsigned armed = armed_;
    if (OnRepetition) OnRepetition(RepetitionCounter);
    // The owner may have stopped the packet (a send limit) or armed another
    // from its handler; only a packet that really goes out again is a re-send.
    if (BreakFlag || armed != armed_ || phase_ == Phase::Idle) return false;
    ++resends_;
    return true;
}

void TPublicNetKs::BreakTransmit() {
    BreakFlag = true;
    nullByteTimer_.SetEnabled(false);
    const bool open = Open();
    if (phase_ == Phase::Settling || phase_ == Phase::Checking || phase_ == Phase::Grace) {
        if (DeviceComm) DeviceComm->AbortRead();
    }
    Enter(open ? Phase::Holding : Phase::Idle);
    if (open) EndExchange(Q31_END_BROKEN);
}

void TPublicNetKs::EndExchange(int outcome) {
    if (phase_ == Phase::Idle) return;
    Enter(Phase::Idle);
    Trace(Q31_TRACE_REQUEST_END, outcome, resends_);
}

// Taking a reply.

bool TPublicNetKs::Confirming() const { return ConfirmNow(); }

bool TPublicNetKs::ConfirmNow() const {
    if (!confirmable_) return false;
    if (confirmForced_) return true;
    switch (ReadConfirmation) {
        case ConfirmMode::Always: return true;
        case ConfirmMode::Auto: return faultArmed_ != 0 && armed_ - faultArmed_ <= kAutoConfirmPackets;
        case ConfirmMode::Off: break;
    }
    return false;
}

void TPublicNetKs::Take(Raise raise, int length) {
    if (!sent_ || (phase_ != Phase::Sent && phase_ != Phase::Grace)) return;
    if (KnownStray(raise, length)) return;
    Enter(Phase::Holding);
    owed_.Paid();
    if (!suspect_ && resends_ == 0 && !held_.Held()) latency_ = loop_.Now() - sentAt_;
    // KnownStray has noted what the reply raises and how long it is.
    if (ConfirmNow()) {
        // The data to agree on: the count and payload, or the identification.
        const std::uint8_t* agree = raise == Raise::Id ? ReceiveBuffer + 2 : ReceiveBuffer + 1;
        const int n = raise == Raise::Id ? kIdPayload : std::clamp(length + 1, 0, 255);
        if (!held_.Agrees(agree, n)) {
            if (held_.Held()) {
                Trace(Q31_TRACE_REJECTED, Q31_REJECT_UNCONFIRMED, resends_);
                NoteFault();
                // One of the two answered something else: it paid for none
                // of this packet's sends, whose answer is then still to come.
                owed_.Unpaid();
            }
            // Hold this reply and read the same packet again; the next reply must agree.
            held_.Hold(agree, n);
            if (DeviceComm) DeviceComm->StopReading();
            Enter(Phase::Armed);
            return;
        }
        held_.Drop();
    }
    if (suspect_) {
        // The packet timed out: this may be the late answer to its first
        // send, and then the answer to the re-send follows it closely.
        const Micros wait = FollowerTime();
        drainTimer_.SetInterval(static_cast<unsigned>(std::max<Micros>(1, (wait + kMs - 1) / kMs)));
        Enter(Phase::Checking);
        followerGot_ = 0;
        if (!DeviceComm) return;
        DeviceComm->OnReceivePacket = Continuation::Bind<&TPublicNetKs::FollowerChunk>(this);
        DeviceComm->ReadTimeout = static_cast<int>((wait + kMs - 1) / kMs);
        DeviceComm->Listen(1);
        return;
    }
    Deliver();
}

bool TPublicNetKs::StableRead(std::uint8_t command) {
    switch (command) {
        case cmd::kDeviceId:
        case cmd::kReadFlash:
        case cmd::kReadFlashLarge:
        case cmd::kReadArchiveV2: return true;
        default: return false;
    }
}

bool TPublicNetKs::KnownStray(Raise raise, int length) {
    raise_ = raise;
    raiseLength_ = length;
    const int frame = TakenFrameLength();
    const bool general = raise == Raise::General || raise == Raise::Var;
    // Owed is what began to come within the bound, however long its tail.
    bool known = false;
    for (int place = 0; place < OwedAnswers::kGroups && !known; ++place)
        known = owed_.KnownAt(place, replyAt_) && strays_[place].Copied(ReceiveBuffer, frame, general);
    if (!known) return false;
    // The late answer to the packet before: read off, and this packet's own
    // answer is still read for, within its time-out. It pays none of that
    // packet's sends, since a meter may send an answer twice: copies are
    // known by their bytes until the bound, however many came.
    Trace(Q31_TRACE_DISCARDED, 0, 0, ReceiveBuffer, frame);
    lastByteAt_ = loop_.Now();
    if (!DeviceComm) return true;
    ReceiveStage = 1;
    DeviceComm->LengthPacket = ReplyLength;
    DeviceComm->ReadTimeout = 2 * GetTimeOut();
    DeviceComm->ReadAgain(readCount_, ReplyLength);
    return true;
}

void TPublicNetKs::FollowerChunk(char* Data) {
    if (phase_ != Phase::Checking || !DeviceComm) return;
    const int got = DeviceComm->BytesRead;
    if (got <= 0 && followerGot_ == 0) {
        if (DeviceComm->ReadError == 0) DeviceComm->RetryRead();
        return;
    }
    // Another frame. The same bytes again are an answer to another send of
    // this packet (a meter late with every answer sends them right behind
    // each other): the reply stands. Anything else leaves unknown which of
    // the two answers the packet.
    const int frame = TakenFrameLength();
    if (got > 0) {
        const int n = std::min(got, frame - followerGot_);
        std::memcpy(follower_ + followerGot_, Data, static_cast<std::size_t>(n));
        followerGot_ += n;
    }
    const bool whole = followerGot_ == frame;
    if (whole && std::memcmp(follower_, ReceiveBuffer, static_cast<std::size_t>(frame)) == 0) {
        owed_.Paid();
        Deliver();
        return;
    }
    if (!whole && got > 0 && DeviceComm->ReadError == 0) {
        // Its rest is waited for as long as the line takes to carry it.
        drainTimer_.SetEnabled(false);
        const int c = DeviceComm->CharTimeMicros();
        const Micros rest = Micros{frame - followerGot_} * (c > 0 ? c : kUnknownCharMicros) + TailTime();
        DeviceComm->ReadTimeout = static_cast<int>((rest + kMs - 1) / kMs);
        DeviceComm->Listen(frame - followerGot_);
        return;
    }
    Discarded(follower_, followerGot_);
    Fail(Failure::Followed, Q31_REJECT_FOLLOWED);
}

int TPublicNetKs::TakenFrameLength() const {
    const int fixed = kReplyShapes[static_cast<int>(raise_)].length;
    return fixed != 0 ? fixed : raiseLength_ + 5;
}

void TPublicNetKs::Deliver() {
    // After a time-out an answer to an earlier send of this packet (or a
    // second copy of one) may still come, confirmed or not, and as late
    // after the answer taken as that one was after its own send: it stays
    // owed for the full quiet time from now.
    if (suspect_) owed_.KeepOne(loop_.Now() + Micros{QuietTime()} * kMs);
    Enter(Phase::Accepted);
    ReceiveStage = 3;  // accepted: later chunks of this exchange are ignored
    answered_ = true;
    lastTaken_.Keep(ReceiveBuffer, TakenFrameLength());
    Trace(Q31_TRACE_ACCEPTED, 0, resends_, ReceiveBuffer, TakenFrameLength());
    const unsigned armed = armed_;
    switch (raise_) {
        case Raise::General:
            if (OnReceiveExecuted)
                OnReceiveExecuted(static_cast<short>(raiseLength_), reinterpret_cast<char*>(ReceiveBuffer + 2));
            break;
        case Raise::Var:
            if (OnVarReceiveExecuted)
                OnVarReceiveExecuted(static_cast<short>(raiseLength_), reinterpret_cast<char*>(ReceiveBuffer + 2));
            break;
        case Raise::Ack:
            if (OnReceiveExecuted) OnReceiveExecuted(1, reinterpret_cast<char*>(ReceiveBuffer));
            break;
        case Raise::Id:
            if (OnReceivedIDDevice) OnReceivedIDDevice(reinterpret_cast<SIDDevice*>(ReceiveBuffer + 2));
            break;
        case Raise::ModuleCounter:
            if (OnReceiveModuleCounter)
                OnReceiveModuleCounter(static_cast<int>(static_cast<std::int8_t>(ReceiveBuffer[2])));
            break;
    }
    // Unless the event armed the next packet (which ended this exchange
    // already) or failed the reply, the exchange is over.
    if (armed == armed_ && phase_ == Phase::Accepted) EndExchange(Q31_END_ACCEPTED);
}

void TPublicNetKs::EmitTrace(int kind, int reason, int count, const std::uint8_t* bytes, int length, int osError,
                             int expected, int actual) const {
    TQ31TraceEvent event{};
    event.time_us = loop_.Now();
    event.kind = kind;
    event.reason = reason;
    event.count = count;
    event.os_error = osError;
    event.bytes = bytes;
    event.length = bytes ? length : 0;
    event.expected = expected;
    event.actual = actual;
    OnTrace(event);
}

void TPublicNetKs::NoteChunk(const char* Data) {
    if (DeviceComm && DeviceComm->BytesRead > 0) lastByteAt_ = loop_.Now();
    if (ReceiveStage == 1) replyAt_ = loop_.Now();
    if (!OnTrace || !DeviceComm) return;
    EmitTrace(Q31_TRACE_READ, 0, 0, reinterpret_cast<const std::uint8_t*>(Data), DeviceComm->BytesRead, 0, 0, 0);
}

bool TPublicNetKs::EmptyChunk(const char* Data) {
    if (!DeviceComm) return true;
    (void)Data;
    if (DeviceComm->ReadError != 0) {
        Trace(Q31_TRACE_PORT_ERROR, Q31_PORT_READ, 0, nullptr, 0, DeviceComm->ReadError);
        // Bytes before the failure are looked at as usual; with none the
        // time-out decides (a failed port is not read again and again).
        return DeviceComm->BytesRead <= 0;
    }
    if (DeviceComm->BytesRead > 0) return false;
    // The read ran out with nothing: the time-out decides, and until then
    // (and through the send delay after it) the line is read again.
    if (phase_ == Phase::Sent || phase_ == Phase::Grace) DeviceComm->RetryRead();
    return true;
}

int TPublicNetKs::ChunkFault() const {
    return DeviceComm && DeviceComm->BytesRead < DeviceComm->ReadSize ? Q31_REJECT_SHORT : Q31_REJECT_ADDRESS;
}

bool TPublicNetKs::EchoRead(const std::uint8_t* chunk, bool checkAddress, std::uint8_t replyLength) {
    if (ReceiveStage != 0) return false;
    if (checkAddress && chunk[0] != SlaveNetAddress) {
        Trace(Q31_TRACE_REJECTED, ChunkFault(), resends_);
        return true;
    }
    ReceiveStage = 1;
    DeviceComm->LengthPacket = replyLength;
    return true;
}

void TPublicNetKs::Receive(char* Data, Raise raise) {
    static_assert(std::size(kReplyShapes) == static_cast<std::size_t>(Raise::ModuleCounter) + 1);
    const ReplyShape& shape = kReplyShapes[static_cast<int>(raise)];
    const auto* chunk = reinterpret_cast<const std::uint8_t*>(Data);
    if (EmptyChunk(Data)) return;
    NoteChunk(Data);
    if (EchoRead(chunk, shape.echoAddressed, ReplyLength)) return;
    if (shape.length == 0) {
        GeneralReply(chunk, raise);
        return;
    }
    if (ReceiveStage != 1) return;
    // Without a handler the identification is left unread, as it always was.
    if (raise == Raise::Id && !OnReceivedIDDevice) return;
    if (shape.addressed && chunk[0] != MasterNetAddress) {
        Trace(Q31_TRACE_REJECTED, ChunkFault(), resends_);
        return;
    }
    std::memcpy(ReceiveBuffer, chunk, shape.length);
    if (shape.summed && !frame::ChecksumMatches(ReceiveBuffer, shape.length - 2)) {
        Fail(Failure::BadFrame, DeviceComm->BytesRead < shape.length ? Q31_REJECT_SHORT : Q31_REJECT_CHECKSUM);
        return;
    }
    Take(raise, shape.taken);
}

void TPublicNetKs::GeneralReply(const std::uint8_t* chunk, Raise raise) {
    switch (ReceiveStage) {
        case 1: {  // reply header: address and payload count
            if (chunk[0] != MasterNetAddress) {
                Trace(Q31_TRACE_REJECTED, ChunkFault(), resends_);
                return;
            }
            const std::uint8_t payload = chunk[1];
            if (payload > frame::kMaxReplyPayload) {
                // L + 3 would not fit the body length: a bad reply.
                Fail(Failure::BadFrame, Q31_REJECT_LENGTH);
                return;
            }
            ReceiveBuffer[0] = chunk[0];
            ReceiveBuffer[1] = payload;
            ReceivePointer = ReceiveBuffer + 2;
            BodyLength = static_cast<std::uint8_t>(payload + 3);
            DeviceComm->LengthPacket = BodyLength;
            ReceiveStage = 2;
            return;
        }
        case 2: {  // body: payload, further byte, checksum
            const ReceiveEvent& event = raise == Raise::Var ? OnVarReceiveExecuted : OnReceiveExecuted;
            if (!event) {
                // Nobody wants the reply: the exchange ends here, its bytes read.
                EndExchange(Q31_END_ACCEPTED);
                return;
            }
            std::memcpy(ReceivePointer, chunk, BodyLength);
            if (!frame::ChecksumMatches(ReceiveBuffer, BodyLength)) {
                // A damaged frame that says it is of another length than the
                // whole answer pays for nothing: it may be another's answer.
                Fail(check_.Whole(BodyLength - 3) ? Failure::BadFrame : Failure::BadOther,
                     DeviceComm->BytesRead < BodyLength ? Q31_REJECT_SHORT : Q31_REJECT_CHECKSUM);
                return;
            }
            const int length = BodyLength - 3;
            if (!check_.Fits(length)) {
                Fail(Failure::WrongLength, Q31_REJECT_WRONG_LENGTH, check_.bytes, length);
                return;
            }
            Take(raise, length);
            return;
        }
        default: return;
    }
}

void TPublicNetKs::ReceivedData(char* Data) { Receive(Data, Raise::General); }
void TPublicNetKs::VarReceivedData(char* Data) { Receive(Data, Raise::Var); }
void TPublicNetKs::OnlyTransmit(char* Data) { Receive(Data, Raise::Ack); }
void TPublicNetKs::ReceivedIDDevice(char* Data) { Receive(Data, Raise::Id); }
void TPublicNetKs::ReciveMC(char* Data) { Receive(Data, Raise::ModuleCounter); }

}  // namespace q31
