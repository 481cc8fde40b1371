// Meters that write on their own, on a clock the test drives.
#include <gtest/gtest.h>

#include <vector>

#include "sim/SimBus.h"
#include "sim/SimFrame.h"

namespace q31::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One meter at address 1, its hourly ring one record short of full.
BusPlan OneMeter() {
    BusPlan plan;
    BusMeterPlan m;
    m.meter.address = 1;
    m.meter.serialNumber = 1001;
    m.meter.hourCount = 1079;
    m.meter.dayCount = 549;
    plan.meters.push_back(m);
    return plan;
}

// The time field of the first hourly slot (12544 on version 0x00F0), read
// with 0x90; the payload only.
Bytes FirstHourSlotTime(SimBus& bus) {
    const Bytes reply = bus.Handle(BuildRequest(1, 0x90, Bytes{0x00, 0x31, 0x00, 0x00, 4, 4})).bytes;
    return reply.size() == 9 ? Bytes(reply.begin() + 2, reply.begin() + 6) : reply;
}

TEST(LivingMeter, WritesRecordsWrapsTheRingAndKeepsEveryRecordInItsHistory) {
    BusPlan plan = OneMeter();
    BusEvent reset;
    reset.kind = BusEvent::Kind::Reset;
    reset.at = 30 * 3600;
    reset.address = 1;
    reset.hourCount = 100;
    reset.dayCount = 4;
    BusEvent swap;
    swap.at = 31 * 3600 + 1;
    swap.address = 1;
    swap.serial = 999;
    plan.events = {swap, reset};  // in any order: the clock sorts them
    SimBus bus(plan);
    MeterModel& before = bus.Model(0);

    EXPECT_EQ(FirstHourSlotTime(bus), (Bytes{0x00, 0x00, 0x00, 0x00}));  // record 0
    bus.AdvanceTo(3599);
    EXPECT_EQ(ArchiveCount(bus.Model(0), ArchiveRing::Hours), 1079u);
    bus.AdvanceTo(2 * 3600);  // records 1079 and 1080; 1080 takes slot 0
    EXPECT_EQ(ArchiveCount(bus.Model(0), ArchiveRing::Hours), 1081u);
    EXPECT_EQ(FirstHourSlotTime(bus), (Bytes{0x00, 0x38, 0x04, 0x00}));  // 1080 << 8
    bus.AdvanceTo(24 * 3600);
    EXPECT_EQ(ArchiveCount(bus.Model(0), ArchiveRing::Days), 550u);

    // T of module 1 is (record << 8) | 0x29; record 0 was overwritten but stays in the history.
    EXPECT_EQ(bus.History().Values(1001, ArchiveRing::Hours, ArchiveField::T, 1, 0),
              (std::vector<std::uint64_t>{0x29}));
    EXPECT_EQ(bus.History().Values(1001, ArchiveRing::Hours, ArchiveField::T, 1, 1080),
              (std::vector<std::uint64_t>{0x43829}));

    // The reset starts a new era (bit 24 of a 4-byte value): record 99 now reads differently.
    bus.AdvanceTo(30 * 3600);
    EXPECT_EQ(ArchiveCount(bus.Model(0), ArchiveRing::Hours), 100u);
    EXPECT_EQ(ArchiveCount(bus.Model(0), ArchiveRing::Days), 4u);
    EXPECT_EQ(bus.History().Values(1001, ArchiveRing::Hours, ArchiveField::T, 1, 99),
              (std::vector<std::uint64_t>{0x6329, 0x01006329}));

    // Then another meter takes the address.
    bus.AdvanceTo(32 * 3600);
    EXPECT_NE(&bus.Model(0), &before);
    const Bytes id = bus.Handle(BuildRequest(1, 0x0F, Bytes{})).bytes;
    ASSERT_EQ(id.size(), 19u);
    EXPECT_EQ(Bytes(id.begin() + 10, id.begin() + 14), (Bytes{0xE7, 0x03, 0x00, 0x00}));  // 999
    const std::vector<HistoryEntry> swapped = bus.History().Of(999);
    ASSERT_FALSE(swapped.empty());
    EXPECT_EQ(MeterHistory::JsonLine(swapped.front()),
              "{\"at\":111601,\"address\":1,\"serial\":999,\"kind\":\"swap\",\"old_serial\":1001}");
    // Its first hour: the meter's own counters (1079), in era 2, written at 32 h.
    EXPECT_EQ(bus.History().Values(999, ArchiveRing::Hours, ArchiveField::T, 1, 1079).back(), 0x02043729u);

    // Thirty-two hours of a running meter leave log entries; the first of a
    // log is numbered 1 and marked as written while running (0xF2).
    int errors = 0;
    for (const HistoryEntry& e : bus.History().Of(1001)) {
        if (e.kind != HistoryKind::Error) continue;
        if (++errors > 1) continue;
        ASSERT_EQ(e.bytes.size(), 10u);
        EXPECT_EQ(e.bytes[3], 0xF2);
        EXPECT_EQ(GetU32(&e.bytes[4]), 1u);
    }
    EXPECT_GT(errors, 0);
}

TEST(LivingMeter, WritesBetweenThePacketsOfARead) {
    BusPlan plan = OneMeter();
    plan.meters[0].meter.hourCount = 1080;  // full: the next record goes to slot 0
    plan.writeDuringReads = 2;
    SimBus bus(plan);
    EXPECT_EQ(FirstHourSlotTime(bus), (Bytes{0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(FirstHourSlotTime(bus), (Bytes{0x00, 0x00, 0x00, 0x00}));
    // Before the third packet the meter writes record 1080 into the very slot being read.
    EXPECT_EQ(FirstHourSlotTime(bus), (Bytes{0x00, 0x38, 0x04, 0x00}));
    EXPECT_EQ(bus.History().Values(1001, ArchiveRing::Hours, ArchiveField::Time, 1, 1080),
              (std::vector<std::uint64_t>{0x43800}));
}

}  // namespace
}  // namespace q31::sim
