#include <gtest/gtest.h>

#include <vector>

#include "sim/MeterModel.h"
#include "sim/SimFrame.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kIdRequest = BuildRequest(kDefaultMeterAddress, 0x0F, Bytes{});

TEST(MeterFaults, ScheduledFaultsHitExactlyTheirRequests) {
    MeterModel m;
    const Bytes good = m.Handle(kIdRequest).bytes;  // request 1

    m.InjectNext({FaultKind::Silence}, 2);  // requests 2 and 3
    m.InjectAt(5, {FaultKind::BadChecksum});
    m.InjectAt(6, {FaultKind::WrongAddress});
    m.InjectAt(7, {FaultKind::ShortReply, 4});
    m.InjectAt(8, {FaultKind::Corrupt});
    m.InjectAt(9, {FaultKind::Delay, 250});
    m.InjectAt(9, {FaultKind::ShortReply});  // faults combine

    EXPECT_TRUE(m.Handle(kIdRequest).bytes.empty());
    EXPECT_TRUE(m.Handle(kIdRequest).bytes.empty());
    EXPECT_EQ(m.Handle(kIdRequest).bytes, good);  // 4

    Bytes r = m.Handle(kIdRequest).bytes;  // 5: only the checksum is wrong
    ASSERT_EQ(r.size(), good.size());
    EXPECT_NE(r[17], good[17]);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 17), Bytes(good.begin(), good.begin() + 17));

    r = m.Handle(kIdRequest).bytes;  // 6: another master's reply, consistent in itself
    EXPECT_EQ(r[0], 0xF1);
    EXPECT_EQ(GetU16(&r[17]), Checksum(std::span(r).first(17)));

    EXPECT_EQ(m.Handle(kIdRequest).bytes, Bytes(good.begin(), good.begin() + 4));  // 7

    r = m.Handle(kIdRequest).bytes;  // 8: exactly one byte differs
    ASSERT_EQ(r.size(), good.size());
    int differing = 0;
    for (std::size_t i = 0; i < r.size(); ++i) differing += r[i] != good[i];
    EXPECT_EQ(differing, 1);

    const MeterReply late = m.Handle(kIdRequest);  // 9
    EXPECT_EQ(late.delayMs, 250);
    EXPECT_EQ(late.bytes.size(), good.size() / 2);

    const MeterReply clean = m.Handle(kIdRequest);  // 10
    EXPECT_EQ(clean.bytes, good);
    EXPECT_EQ(clean.delayMs, 0);
    EXPECT_TRUE(clean.faults.empty());
}

TEST(MeterFaults, AcknowledgementsHaveNoAddressOrChecksumToSpoil) {
    MeterModel m;
    const Bytes write = BuildRequest(kDefaultMeterAddress, 0x20, Bytes{0, 0x10, 1, 0x55});
    m.InjectNext({FaultKind::BadChecksum});
    m.InjectNext({FaultKind::WrongAddress});
    EXPECT_EQ(m.Handle(write).bytes, Bytes{m.AckByte()});
    m.InjectNext({FaultKind::ShortReply});
    EXPECT_TRUE(m.Handle(write).bytes.empty());
    m.InjectNext({FaultKind::Corrupt});
    EXPECT_NE(m.Handle(write).bytes, Bytes{m.AckByte()});
}

TEST(MeterFaults, RatesAreDrawnFromTheSeed) {
    auto pattern = [](std::uint64_t seed) {
        MeterConfig config;
        config.seed = seed;
        MeterModel m(config);
        m.SetFaultRate(FaultKind::Silence, 0.25);
        std::vector<bool> silent;
        for (int i = 0; i < 400; ++i) silent.push_back(m.Handle(kIdRequest).bytes.empty());
        return silent;
    };
    const auto a = pattern(7);
    EXPECT_EQ(a, pattern(7));
    EXPECT_NE(a, pattern(8));
    const auto hits = std::count(a.begin(), a.end(), true);
    EXPECT_GT(hits, 60);
    EXPECT_LT(hits, 140);

    MeterModel m;
    m.SetFaultRate(FaultKind::Delay, 1.0, 40);
    EXPECT_EQ(m.Handle(kIdRequest).delayMs, 40);
    m.ClearFaults();
    EXPECT_EQ(m.Handle(kIdRequest).delayMs, 0);
}

TEST(RequestLog, KeepsTheLastPacketsOldestFirst) {
    MeterConfig config;
    config.logCapacity = 3;
    MeterModel m(config);
    for (std::uint8_t i = 0; i < 5; ++i) {
        m.Handle(BuildRequest(kDefaultMeterAddress, 0x10, Bytes{i, 0, 1}));
    }
    const auto entries = m.Log().Entries();
    ASSERT_EQ(entries.size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(entries[k].number, k + 3);
        EXPECT_EQ(entries[k].bytes, BuildRequest(kDefaultMeterAddress, 0x10, Bytes{std::uint8_t(k + 2), 0, 1}));
    }
    EXPECT_EQ(m.Log().Last()->number, 5u);
    m.Log().Clear();
    EXPECT_FALSE(m.Log().Last().has_value());
}

}  // namespace
}  // namespace q31::sim
