// The fault a 16-bit additive checksum cannot see: two payload bytes trade
// places, so the reply is wrong and still passes the checksum.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sim/MeterModel.h"
#include "sim/SimFrame.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes RamRead(std::uint16_t address, std::uint8_t count) {
    return BuildRequest(kDefaultMeterAddress, 0x10,
                        Bytes{static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), count});
}

TEST(BlindCorruption, SwapsTwoPayloadBytesAndKeepsTheChecksumRight) {
    MeterModel m;
    const Bytes request = RamRead(kModuleBlockAddress, 100);
    const Bytes good = m.Handle(request).bytes;
    for (int round = 0; round < 50; ++round) {
        m.InjectNext({FaultKind::BlindCorrupt});
        const MeterReply r = m.Handle(request);
        ASSERT_EQ(r.bytes.size(), good.size());
        ASSERT_EQ(r.faults.size(), 1u);
        std::vector<std::size_t> differing;
        for (std::size_t i = 0; i < good.size(); ++i)
            if (r.bytes[i] != good[i]) differing.push_back(i);
        ASSERT_EQ(differing.size(), 2u) << "round " << round;
        const std::size_t a = differing[0], b = differing[1];
        EXPECT_GE(a, 2u) << "header untouched";
        EXPECT_LT(b, good.size() - 3) << "further byte and checksum untouched";
        EXPECT_EQ(r.bytes[a], good[b]);
        EXPECT_EQ(r.bytes[b], good[a]);
        const std::size_t sumAt = r.bytes.size() - 2;
        EXPECT_EQ(GetU16(&r.bytes[sumAt]), Checksum(std::span(r.bytes).first(sumAt)));
    }
}

TEST(BlindCorruption, LeavesUniformPayloadsAcknowledgementsAndOtherKindsAlone) {
    MeterModel m;
    std::fill(m.Ram().begin() + 0x2000, m.Ram().begin() + 0x2010, 0x77);
    const Bytes uniform = RamRead(0x2000, 16);
    const Bytes good = m.Handle(uniform).bytes;
    m.InjectNext({FaultKind::BlindCorrupt});
    EXPECT_EQ(m.Handle(uniform).bytes, good);

    const Bytes write = BuildRequest(kDefaultMeterAddress, 0x20, Bytes{0, 0x10, 1, 0x55});
    m.InjectNext({FaultKind::BlindCorrupt});
    EXPECT_EQ(m.Handle(write).bytes, Bytes{m.AckByte()});

    EXPECT_STREQ(FaultKindName(FaultKind::BlindCorrupt), "blind-corrupt");
    EXPECT_EQ(ParseFaultKind("blind-corrupt"), FaultKind::BlindCorrupt);
    EXPECT_EQ(ParseFaultKind("delay"), FaultKind::Delay);
}

TEST(BlindCorruption, SwitchedOffItDrawsNothing) {
    auto silences = [](bool blindToo) {
        MeterModel m;
        m.SetFaultRate(FaultKind::Silence, 0.2);
        if (blindToo) m.SetFaultRate(FaultKind::BlindCorrupt, 0.0);
        std::vector<bool> out;
        const Bytes id = BuildRequest(kDefaultMeterAddress, 0x0F, Bytes{});
        for (int i = 0; i < 200; ++i) out.push_back(m.Handle(id).bytes.empty());
        return out;
    };
    EXPECT_EQ(silences(false), silences(true)) << "a kind switched off draws nothing";
}

}  // namespace
}  // namespace q31::sim
