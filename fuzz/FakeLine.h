// The serial line of a session, in process: the link's channel writes and
// reads here instead of on a port, and the meter model answers at the other
// end. Nothing waits for real: a read is completed from the bytes that have
// arrived when the session's manual clock reaches them, and its end is posted
// to the message loop on the same thread.
//
// Every packet the link writes is handed whole to the model of the meter;
// its correct reply is then put on the line as the next reply plan says: on
// time, late, after the link's time-out, long after it, in pieces, twice,
// with one byte changed, as a well-formed frame of another length, or not at
// all. With echo on, the written bytes come back at once, ahead of any reply.
//
// The fake port functions and the fake reader (FakeSerialPort.cpp,
// FakeReadThread.cpp) reach the line of the running session through Current().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fuzz/MeterAnswers.h"
#include "fuzz/PlanSource.h"
#include "platform/SerialPort.h"
#include "runtime/MessageLoop.h"

namespace q31::fuzz {

class FakeLine {
public:
    // The handle the session's slot record carries; any other is no port.
    static constexpr PortHandle kHandle = 7;

    // `outOfOrder`: each reply goes when its own delay says, not held
    // behind a late one, so that it may overtake it (two replies never
    // interleave: one that would is sent right after the other).
    FakeLine(MessageLoop& loop, MeterAnswers& meter, PlanSource& plans, bool echo, int timeOutMs,
             bool outOfOrder = false);
    ~FakeLine();
    // Replies that reach the line more than `bound` after their packet
    // because an overdue plan put them there (late themselves, or held
    // behind such a reply) are noted as beyond it (0: none is).
    void MarkBeyond(Micros bound) { bound_ = bound; }
    // Whether these bytes are a whole reply noted as beyond the bound that
    // has begun to arrive: taken for another packet of its shape, it is
    // something no link without sequence numbers can tell apart.
    bool BeyondBound(const std::uint8_t* bytes, std::size_t count) const;
    // An answer beyond the bound was taken for `packet`: the meter's own
    // answer to it is then out of step as well, and noted as beyond.
    void Displaced(std::span<const std::uint8_t> packet);
    FakeLine(const FakeLine&) = delete;
    FakeLine& operator=(const FakeLine&) = delete;

    // The line of the session in progress (null outside a session).
    static FakeLine* Current();

    // Port side.
    bool Write(PortHandle port, const std::uint8_t* data, std::size_t count);
    void Purge(PortHandle port);
    // What has arrived and no read has taken, read off without waiting.
    std::size_t TakePending(PortHandle port, std::uint8_t* out, std::size_t capacity);
    void StartRead(const void* reader, PortHandle port, std::uint8_t* target, std::size_t count, int* bytesRead,
                   int timeoutMs, MessageLoop& loop, Handover& done);
    void AbortRead(const void* reader);
    bool Reading(const void* reader) const;

    // Driver side.
    // When something happens on the line next: bytes arrive or a read runs out of time.
    std::optional<Micros> NextEvent() const;
    // Brings the line up to the loop's present time: arrived bytes go to the
    // read in progress, a read that is complete or out of time ends.
    void Advance();
    // Until when the input's faults may still act on the line: the last
    // arrival (or the write, for a dropped reply) of any packet whose plan
    // was not clean. Afterwards every reply is correct and on time.
    Micros FaultsActUntil() const { return faultsUntil_; }
    std::uint64_t PacketsWritten() const { return packets_; }
    // The packet the link wrote last (empty before the first).
    std::span<const std::uint8_t> LastPacket() const;
    // The last packets written, for the report of a finding.
    void PrintRecent() const;

private:
    // A piece of a reply: never longer than a reply (a length byte, at
    // most 255 payload bytes, the further byte and the checksum).
    static constexpr std::size_t kMaxPiece = 260;
    // Room for what is in flight, reserved up front so that the line does
    // not allocate while it runs. A meter holds back at most as many replies
    // as fit (at most 16 pieces each); while its queue is full it does not
    // hear further packets. A port whose input is not read keeps only so
    // many bytes, as a real one's buffer does.
    static constexpr std::size_t kMaxArrivals = 256;
    static constexpr std::size_t kMaxReceived = 8192;
    struct Arrival {
        Micros at;
        std::uint16_t count;
        std::array<std::uint8_t, kMaxPiece> bytes;
    };
    static constexpr std::size_t kRecentPackets = 12;
    struct Packet {
        std::uint16_t count = 0;
        std::array<std::uint8_t, 256> bytes{};
    };
    static constexpr std::size_t kBeyondKept = 512;
    struct Beyond {
        Micros at = 0;
        std::uint16_t count = 0;
        std::array<std::uint8_t, kMaxPiece> bytes{};
    };
    struct Read {
        const void* reader = nullptr;
        std::uint8_t* target = nullptr;
        std::size_t count = 0;
        std::size_t got = 0;
        int* bytesRead = nullptr;
        Micros deadline = 0;
        MessageLoop* loop = nullptr;
        Handover* done = nullptr;
    };

    static bool IsPort(PortHandle port) { return port == kHandle; }
    void Schedule(Micros at, const std::uint8_t* bytes, std::size_t count);
    void NoteBeyond(Micros at, const std::uint8_t* bytes, std::size_t count);
    void PlanReply(std::span<const std::uint8_t> packet, const std::vector<std::uint8_t>& answer);
    // Puts the reply into the shape the plan asks for; returns its length.
    static std::size_t Reshape(const ReplyPlan& plan, std::array<std::uint8_t, kMaxPiece>& reply, std::size_t length);
    void Receive(const std::uint8_t* bytes, std::size_t count);
    void Service();
    void Finish();
    // The first time from `wanted` on at which a reply lasting `span` meets
    // no other reply on the line (out of order only).
    Micros FreeSlot(Micros wanted, Micros span) const;

    MessageLoop& loop_;
    MeterAnswers& meter_;
    PlanSource& plans_;
    bool echo_;
    int timeOutMs_;
    bool outOfOrder_;
    // Out of order: when the replies still to come occupy the line.
    struct Busy {
        Micros from;
        Micros to;
    };
    std::vector<Busy> busy_;
    std::vector<Arrival> arrivals_;       // in order of time, then of scheduling
    std::vector<std::uint8_t> received_;  // arrived, not yet read
    std::optional<Read> read_;
    // The hand-over of the latest read, which an abort withdraws.
    const void* lastReader_ = nullptr;
    MessageLoop* lastLoop_ = nullptr;
    Handover* lastDone_ = nullptr;
    Micros faultsUntil_ = 0;
    Micros bound_ = 0;
    // Whether the reply the meter sends last was put late by an overdue plan.
    bool chainOverdue_ = false;
    std::array<Beyond, kBeyondKept> beyond_;  // a ring, the next at beyondCount_ % kBeyondKept
    std::size_t beyondCount_ = 0;
    // The arrival of the last byte the meter has been made to send so far.
    Micros meterBusyUntil_ = 0;
    std::uint64_t packets_ = 0;
    std::array<Packet, kRecentPackets> recent_;  // a ring, the oldest at packets_ % kRecentPackets
};

}  // namespace q31::fuzz
