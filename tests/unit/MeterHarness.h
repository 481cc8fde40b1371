// The heat-meter component and its channel on one end of a socket pair, a
// scripted meter on the other, and a manual clock (as LinkHarness does for
// the bare link). Serve() plays a whole multi-packet command: it takes each
// packet as it goes out and answers it, until no further packet comes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "meter/TPublicNetKs_6x6.h"
#include "tests/unit/LinkHarness.h"

namespace q31::test {

// The owner's own reply handler: the one a multi-packet command must park
// and give back.
struct Owner {
    int calls = 0;
    void Executed(short, char*) { ++calls; }
    TPublicNetKs::ReceiveEvent Handler() { return TPublicNetKs::ReceiveEvent::Bind<&Owner::Executed>(this); }
};

// Answers one request packet; an empty answer leaves the meter silent.
using Answer = std::function<Bytes(const Bytes& packet)>;

// A meter whose every RAM and flash byte is a known function of its address,
// and which acknowledges every write.
inline std::uint8_t RamByte(std::uint32_t address) { return static_cast<std::uint8_t>(address * 7 + 3); }
inline std::uint8_t FlashByte(std::uint32_t address) { return static_cast<std::uint8_t>(address * 13 + 5); }
inline Bytes PatternAnswer(const Bytes& p) {
    const std::uint8_t command = p[2];
    if (command == 0x10 && p.size() == 9) {
        Bytes payload(p[5]);
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = RamByte(frame::GetLe16(&p[3]) + i);
        return GeneralReply(payload);
    }
    if (command == 0x31 && p.size() == 11) {
        Bytes payload(p[7]);
        for (std::size_t i = 0; i < payload.size(); ++i)
            payload[i] = FlashByte(frame::GetLe32(&p[3]) + static_cast<std::uint32_t>(i));
        return GeneralReply(payload);
    }
    if (command == 0x41) return {0x06};
    return {};
}

// Fields of a request packet.
inline std::uint32_t PacketAddress(const Bytes& p) {
    return p[2] == 0x10 ? frame::GetLe16(&p[3]) : frame::GetLe32(&p[3]);
}
inline std::uint8_t PacketCount(const Bytes& p) { return p[2] == 0x10 ? p[5] : p[7]; }

struct MeterHarness : MeterRig {
    MeterHarness() { meter.OnReceiveExecuted = owner.Handler(); }

    void Advance(int ms) { loop.Tick(Micros{ms} * 1000); }

    template <typename Pred>
    bool PumpUntil(Pred done, int ms = 2000) {
        return test::PumpUntil(loop, done, ms);
    }

    // Lets the send delay pass and returns the packet that went out, if one
    // did: the link writes inside the timer handler, so it is there at once
    // (NextSent).
    Bytes NextPacket() { return NextSent(loop, end); }

    // Sends `reply` and pumps until the component has dealt with it: it
    // issued its next packet, or the exchange is over.
    // A reply the component refuses (the packet then goes again) counts as
    // dealt with, and so does one held while the packet is confirmed.
    bool Reply(const Bytes& reply) {
        const Bytes sent(meter.TransmitBuffer, meter.TransmitBuffer + meter.TransmitLength);
        const int reps = meter.RepetitionCounter;
        end.Send(reply);
        return PumpUntil([&] {
            return meter.ReceiveStage == 3 || meter.RepetitionCounter != reps ||
                   (meter.Confirming() && end.UnreadByLibrary() == 0) ||
                   !std::equal(sent.begin(), sent.end(), meter.TransmitBuffer,
                               meter.TransmitBuffer + meter.TransmitLength);
        });
    }

    // Plays the meter for a running command: answers every packet with
    // `answer` until none follows (or `afterEach` says stop). Returns the packets.
    std::vector<Bytes> Serve(const Answer& answer = PatternAnswer,
                             const std::function<bool(int packetsSoFar)>& afterEach = nullptr) {
        std::vector<Bytes> packets;
        for (Bytes p = NextPacket(); !p.empty(); p = NextPacket()) {
            packets.push_back(p);
            const Bytes reply = answer(p);
            if (reply.empty()) break;
            EXPECT_TRUE(Reply(reply)) << "packet " << packets.size() << " was never taken";
            if (afterEach && !afterEach(static_cast<int>(packets.size()))) break;
        }
        return packets;
    }

    bool OwnerHasReplies() { return meter.OnReceiveExecuted == owner.Handler(); }

    Owner owner;
};

}  // namespace q31::test
