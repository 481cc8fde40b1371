// The archive read arithmetic on its own: which packets a read asks for and
// which records' values it delivers, across the end of the ring, against an
// ideal meter and against meters whose replies are too long or too short.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "meter/ArchivePlan.h"

namespace q31::test {
namespace {

constexpr std::uint32_t kUnwritten = 0xFFFFFFFFu;

// The record slot `slot` holds with the ring's counter at `count`, or
// kUnwritten for a slot the meter has not reached yet.
std::uint32_t RecordAt(std::uint32_t count, std::uint32_t slots, std::uint32_t slot) {
    if (slot >= slots || count == 0 || count - 1 < slot) return kUnwritten;
    const std::uint32_t newest = count - 1;
    return newest - (newest - slot) % slots;
}

ArchiveGeometry Geometry(std::uint32_t slots, std::uint32_t e, std::uint32_t p, ArchiveAddressing a,
                         std::int32_t recordSize = 0) {
    ArchiveGeometry g;
    g.slots = slots;
    g.elementBytes = e;
    g.packetLimit = p;
    g.addressing = a;
    g.recordSize = recordSize;
    g.capacity = 2000;
    return g;
}
ArchiveGeometry HourRecords(std::uint32_t e = 4, std::int32_t recordSize = 264) {
    return Geometry(1080, e, e == 8 ? 80 : 160, ArchiveAddressing::Records, recordSize);
}

struct Packet {
    std::uint32_t offset;
    std::uint32_t bytes;
    bool operator==(const Packet&) const = default;
};

// What a whole read did.
struct ReadRun {
    std::vector<Packet> packets;
    std::vector<std::uint32_t> progress;  // one per packet after the first; 0 for none
    std::vector<std::uint32_t> records;   // the record number each stored value came from
    std::uint32_t delivered = 0;          // the count the read ends with
    bool ended = false;
};

// How many bytes the meter answers to a packet asking for `asked` bytes.
using ReplySize = std::uint32_t (*)(std::uint32_t asked, std::mt19937& random);
std::uint32_t Exact(std::uint32_t asked, std::mt19937&) { return asked; }

// Runs a read against a meter that answers each packet with the values of
// the slots it addresses, one value per E bytes, as many bytes as `size`
// says, each value being the number of the record in its slot.
ReadRun Play(const ArchiveGeometry& g, std::uint32_t counter, std::uint32_t start, std::int32_t count,
             ReplySize size = &Exact, std::uint32_t seed = 1) {
    std::mt19937 random(seed);
    ReadRun run;
    std::vector<std::uint32_t> buffer(g.capacity, 0xDEADBEEF);
    ArchiveCursor cursor;
    ArchiveStep step = PlanArchiveRead(g, counter, start, count, cursor);
    const std::uint32_t stride = g.addressing == ArchiveAddressing::Records ? g.recordSize : g.elementBytes;
    for (int guard = 0; guard < 100000; ++guard) {
        EXPECT_LE(cursor.receivedCount, g.capacity);
        if (step.done) {
            run.ended = true;
            run.delivered = cursor.receivedCount;
            break;
        }
        if (!run.packets.empty()) run.progress.push_back(step.showProgress ? step.progressValue : 0);
        run.packets.push_back({step.packetOffset, step.packetBytes});
        const std::uint32_t replyBytes = size(step.packetBytes, random);
        // The meter's values: the slots from the packet's first onwards,
        // also beyond what was asked when it answers too much.
        std::vector<std::uint32_t> reply;
        for (std::uint32_t k = 0; k * g.elementBytes < replyBytes; ++k)
            reply.push_back(RecordAt(counter, g.slots, step.packetOffset / stride + k));
        const ArchiveStep asked = step;
        step = AdvanceArchiveRead(g, cursor, static_cast<long>(replyBytes));
        EXPECT_LE(step.storeAt + step.storeCount, g.capacity);
        for (std::uint32_t k = 0; k < step.storeCount; ++k) buffer[step.storeAt + k] = reply.at(k);
        // A failed packet is sent again as it was (the link re-sends it).
        if (step.failed) {
            EXPECT_EQ(step.storeCount, 0u);
            step = asked;
        }
    }
    run.records.assign(buffer.begin(), buffer.begin() + run.delivered);
    return run;
}

std::vector<std::uint32_t> Records(std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> r;
    for (std::uint32_t i = from; i < to; ++i) r.push_back(i);
    return r;
}

std::vector<Packet> Packets(std::uint32_t offset, std::uint32_t stride, std::uint32_t values, std::uint32_t perPacket,
                            std::uint32_t e) {
    std::vector<Packet> p;
    for (std::uint32_t done = 0; done < values; done += perPacket) {
        const std::uint32_t n = std::min(perPacket, values - done);
        p.push_back({offset + done * stride, n * e});
    }
    return p;
}

std::vector<Packet> Join(std::vector<Packet> a, const std::vector<Packet>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// --- The cases the meter's archive is known for -----------------------------

TEST(ArchivePlan, NothingToFetchOrNothingAddressableEndsAtOnce) {
    ArchiveCursor cursor;
    // Start at or beyond the counter (lowered to it), counters never read.
    for (std::uint32_t start : {100u, 150u}) EXPECT_TRUE(PlanArchiveRead(HourRecords(), 100, start, 0, cursor).done);
    EXPECT_TRUE(PlanArchiveRead(HourRecords(), 0, 0, 0, cursor).done);
    // A record size of zero would ask for the same bytes without end.
    for (std::int32_t size : {0, -264}) {
        EXPECT_TRUE(PlanArchiveRead(HourRecords(4, size), 5000, 0, 2000000, cursor).done) << size;
        EXPECT_TRUE(AdvanceArchiveRead(HourRecords(4, size), cursor, 160).done);
    }
    EXPECT_EQ(cursor.receivedCount, 0u);
}

TEST(ArchivePlan, OverwrittenStartReadsTheWholeRingOldestFirst) {
    const ReadRun run = Play(HourRecords(4, 264), 1200, 0, 0);
    // Slot 120 (offset 31680) to the end: 960 values; then slots 0 to 119.
    EXPECT_EQ(run.packets, Join(Packets(31680, 264, 960, 40, 4), Packets(0, 264, 120, 40, 4)));
    EXPECT_EQ(run.records, Records(120, 1200));
    const ReadRun daily = Play(Geometry(550, 8, 160, ArchiveAddressing::Records, 256), 600, 0, 0);
    EXPECT_EQ(daily.packets, Join(Packets(50 * 256, 256, 500, 20, 8), Packets(0, 256, 50, 20, 8)));
    EXPECT_EQ(daily.records, Records(50, 600));
    const ReadRun exact = Play(HourRecords(8, 256), 2160, 0, 0);
    EXPECT_EQ(exact.packets, Packets(0, 256, 1080, 10, 8)) << "ends at the ring's end: no wrap, 108 packets";
    EXPECT_EQ(exact.records, Records(1080, 2160));
}

TEST(ArchivePlan, CountIsHonouredOnlyWithoutAWrap) {
    const ReadRun run = Play(HourRecords(), 1200, 1000, 100);
    EXPECT_EQ(run.packets, Join(Packets(1000 * 264, 264, 80, 40, 4), Packets(0, 264, 120, 40, 4)));
    EXPECT_EQ(run.records, Records(1000, 1200)) << "slots 1000-1079, then 0-119: up to the newest record";
    const ReadRun toEnd = Play(HourRecords(), 1200, 1000, 80);
    EXPECT_EQ(toEnd.records, Records(1000, 1080)) << "ending exactly at the ring's end is no wrap";
    EXPECT_EQ(Play(HourRecords(), 3000, 2990, -1).delivered, 1080u) << "never more than one ring";
    // Without a wrap, Count is honoured even past the newest record.
    const ReadRun plain = Play(HourRecords(), 100, 95, 10);
    EXPECT_EQ(plain.packets, (std::vector<Packet>{{95 * 264, 40}}));
    EXPECT_EQ(plain.records, (std::vector<std::uint32_t>{95, 96, 97, 98, 99, kUnwritten, kUnwritten, kUnwritten,
                                                         kUnwritten, kUnwritten}));
}

TEST(ArchivePlan, PartialLastPacketThenTheSecondRunFromSlotZero) {
    // First version: 4-byte values one after another; slot 130 to the end is
    // 950 values, 23 packets of 160 bytes and one of 120.
    const ReadRun run = Play(Geometry(1080, 4, 160, ArchiveAddressing::Consecutive), 1210, 130, 0);
    const auto first = Packets(520, 4, 950, 40, 4);
    ASSERT_EQ(first.size(), 24u);
    EXPECT_EQ(first.back().bytes, 120u);
    EXPECT_EQ(run.packets, Join(first, Packets(0, 4, 130, 40, 4)));
    EXPECT_EQ(run.records, Records(130, 1210));
    // Progress before every packet but the first: values left in the run.
    std::vector<std::uint32_t> progress;
    for (int left = 910; left > 0; left -= 40) progress.push_back(static_cast<std::uint32_t>(left));
    for (int left = 130; left > 0; left -= 40) progress.push_back(static_cast<std::uint32_t>(left));
    EXPECT_EQ(run.progress, progress);
}

// --- Replies the meter should not send ---------------------------------------

TEST(ArchivePlan, LongerReplyCountsOnlyWhatWasAskedFor) {
    const ReadRun run = Play(HourRecords(2, 264), 2000, 0, 0, [](std::uint32_t, std::mt19937&) { return 252u; });
    EXPECT_EQ(run.records, Records(920, 2000)) << "one ring, not 126 values a packet";
    EXPECT_EQ(run.packets.size(), 14u);
}

TEST(ArchivePlan, ShortRepliesMoveOnAndEmptyOnesFailWithoutMovingTheCursor) {
    // A short reply of whole values moves on from the last value kept.
    ArchiveCursor cursor;
    const ArchiveGeometry g = HourRecords(4, 264);
    PlanArchiveRead(g, 1080, 0, 0, cursor);
    ArchiveStep step = AdvanceArchiveRead(g, cursor, 7);  // one value and three stray bytes
    EXPECT_EQ(step.storeCount, 1u);
    EXPECT_EQ(step.packetOffset, 264u);
    EXPECT_EQ(step.packetBytes, 160u);
    EXPECT_EQ(step.progressValue, 1079u);

    // Replies with no whole value are failures, never the end of the read:
    // the cursor stays where it was, however many come in a row.
    for (long length : {0L, 3L, -5L, 0L, 0L}) {
        step = AdvanceArchiveRead(g, cursor, length);
        EXPECT_TRUE(step.failed);
        EXPECT_FALSE(step.done);
        EXPECT_EQ(step.storeCount, 0u);
        EXPECT_EQ(cursor.receivedCount, 1u);
        EXPECT_EQ(cursor.readOffset, 264u);
        EXPECT_EQ(cursor.chunkBytes, 160u);
        EXPECT_EQ(cursor.firstRemaining, 1079u);
    }

    // An empty reply between good ones does not count against the read.
    step = PlanArchiveRead(g, 1080, 0, 0, cursor);
    for (int i = 0; i < 100 && !step.done; ++i) step = AdvanceArchiveRead(g, cursor, i % 2 ? 160 : 0);
    EXPECT_EQ(cursor.receivedCount, 1080u);
}

// --- Property: every value once, oldest first, never more than one ring -----

TEST(ArchivePlan, RandomReadsDeliverExactlyTheRecordsExpected) {
    std::mt19937 random(20240531);
    auto pick = [&](std::uint32_t lo, std::uint32_t hi) {
        return std::uniform_int_distribution<std::uint32_t>(lo, hi)(random);
    };
    for (int trial = 0; trial < 3000; ++trial) {
        const bool daily = pick(0, 1) == 1;
        const std::uint32_t slots = daily ? 550 : 1080;
        const std::uint32_t e = std::vector<std::uint32_t>{2, 4, 8}[pick(0, 2)];
        const bool records = pick(0, 3) != 0;
        const std::int32_t recordSize =
            records ? static_cast<std::int32_t>(std::vector<std::uint32_t>{256, 264, e, pick(8, 600)}[pick(0, 3)]) : 0;
        const ArchiveGeometry g =
            Geometry(slots, e, pick(0, 1) ? 160 : 80,
                     records ? ArchiveAddressing::Records : ArchiveAddressing::Consecutive, recordSize);
        // Counters from empty through several wraps, and near the 32-bit end.
        std::uint32_t counter = pick(0, 6 * slots);
        if (trial % 50 == 0) counter = 0xFFFFFFFFu - pick(0, 3 * slots);
        std::uint32_t start =
            pick(0, 3) == 0 ? pick(0, counter + 20) : counter - std::min(counter, pick(0, slots + 20));
        const std::int32_t count = pick(0, 4) == 0 ? static_cast<std::int32_t>(pick(1, 2 * slots)) : 0;

        const ReadRun run = Play(g, counter, start, count);
        ASSERT_TRUE(run.ended);
        ASSERT_LE(run.delivered, slots);

        // Restated in slots: the first slot, the run up to the ring's end,
        // and after a wrap the slots up to the newest record.
        const std::uint32_t lowered = std::min(start, counter);
        const std::uint32_t slot = counter - lowered >= slots ? counter % slots : lowered % slots;
        const std::uint32_t wanted = count ? static_cast<std::uint32_t>(count) : counter - lowered;
        std::vector<std::uint32_t> expected;
        if (std::uint64_t{slot} + wanted > slots) {
            for (std::uint32_t s = slot; s < slots; ++s) expected.push_back(RecordAt(counter, slots, s));
            for (std::uint32_t s = 0; s < std::min(slot, counter % slots); ++s)
                expected.push_back(RecordAt(counter, slots, s));
        } else {
            for (std::uint32_t s = slot; s < slot + wanted; ++s) expected.push_back(RecordAt(counter, slots, s));
        }
        ASSERT_EQ(run.records, expected) << "counter " << counter << " start " << start << " count " << count;
        if (count == 0) {
            // Up to the newest record: each record once, oldest still held first.
            const std::uint32_t oldest = counter - lowered >= slots ? counter - slots : lowered;
            ASSERT_EQ(run.records.size(), counter - oldest);
            for (std::size_t i = 0; i < run.records.size(); ++i) ASSERT_EQ(run.records[i], oldest + i);
        }
        for (const Packet& p : run.packets) {
            ASSERT_GT(p.bytes, 0u);
            ASSERT_LE(p.bytes, g.packetLimit);
            ASSERT_EQ(p.bytes % e, 0u);
        }
    }
}

TEST(ArchivePlan, RandomReplyLengthsNeverOverrunAndDeliverAPrefix) {
    // A meter that answers any length from nothing to far too much, with
    // the right values for the bytes it does send.
    ReplySize wild = [](std::uint32_t asked, std::mt19937& r) {
        switch (std::uniform_int_distribution<int>(0, 5)(r)) {
            case 0: return 0u;
            case 1: return std::uniform_int_distribution<std::uint32_t>(1, 7)(r);
            case 2: return 252u;
            default: return std::uniform_int_distribution<std::uint32_t>(asked / 2, asked + 9)(r);
        }
    };
    for (std::uint32_t seed = 1; seed <= 400; ++seed) {
        const std::uint32_t e = seed % 3 == 0 ? 8 : (seed % 3 == 1 ? 4 : 2);
        ArchiveGeometry g = HourRecords(e, 264);
        if (seed % 2) g.addressing = ArchiveAddressing::Consecutive;
        if (seed % 7 == 0) g.capacity = 100;  // a buffer smaller than the ring is still never overrun
        const std::uint32_t counter = 500 + seed * 37;
        const ReadRun run = Play(g, counter, seed * 11, 0, wild, seed);
        ASSERT_TRUE(run.ended) << seed;
        ASSERT_LE(run.delivered, std::min<std::uint32_t>(1080, g.capacity));
        const std::uint32_t oldest = counter - std::min(counter, seed * 11) >= 1080 ? counter - 1080 : seed * 11;
        for (std::size_t i = 0; i < run.records.size(); ++i)
            ASSERT_EQ(run.records[i], oldest + i) << "seed " << seed << " value " << i;
    }
}

}  // namespace
}  // namespace q31::test
