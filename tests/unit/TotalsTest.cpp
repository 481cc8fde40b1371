// The heat meter's live reads, totals and clears against a scripted meter:
// the packets they send, what they store, and when the owner gets
// OnReceiveExecuted back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "meter/StoreReply.h"
#include "tests/unit/MeterHarness.h"

namespace q31::test {
namespace {

// What a command's event saw when it came.
struct Watcher {
    MeterHarness* h = nullptr;
    std::string log;
    const void* pointer = nullptr;
    bool ownerBack = false;  // OnReceiveExecuted was the owner's when the event came
    Bytes record;            // the record's bytes when the event came
    int data = -1;

    template <typename T>
    void Record(T* r) {
        Note(r, sizeof(T));
    }
    void StopTime(void* r) { Note(r, sizeof(SStopTimeHour)); }
    void Data(char d) {
        log += "event;";
        ownerBack = h->OwnerHasReplies();
        data = static_cast<std::uint8_t>(d);
    }
    void Note(const void* r, std::size_t size) {
        log += "event;";
        pointer = r;
        ownerBack = h->OwnerHasReplies();
        record.assign(static_cast<const std::uint8_t*>(r), static_cast<const std::uint8_t*>(r) + size);
    }
};

class Totals : public ::testing::Test {
protected:
    void SetUp() override { w.h = &h; }

    template <typename T>
    Delegate<void(T*)> Watch() {
        return Delegate<void(T*)>::template Bind<&Watcher::Record<T>>(&w);
    }
    TPublicNetKs_6x6::ByteEvent WatchData() { return TPublicNetKs_6x6::ByteEvent::Bind<&Watcher::Data>(&w); }

    // Runs a command to its end and notes, after each reply, whether
    // OnReceiveExecuted was still borrowed by the command.
    template <typename Start>
    std::vector<Bytes> Run(Start start, const Answer& answer = PatternAnswer) {
        w.log.clear();
        borrowed.clear();
        start(h.meter);
        return h.Serve(answer, [&](int) {
            borrowed.push_back(!h.OwnerHasReplies());
            return true;
        });
    }

    static Bytes RamRead(std::uint16_t address, std::uint8_t count) {
        return Request(201, 0x10, {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8), count});
    }
    static Bytes FlashRead(std::uint32_t address, std::uint8_t count) {
        Bytes d(5);
        frame::PutLe32(d.data(), address);
        d[4] = count;
        return Request(201, 0x31, d);
    }
    static Bytes RamBytes(std::uint32_t address, std::size_t n) {
        Bytes b(n);
        for (std::size_t i = 0; i < n; ++i) b[i] = RamByte(static_cast<std::uint32_t>(address + i));
        return b;
    }
    static Bytes FlashBytes(std::uint32_t address, std::size_t n) {
        Bytes b(n);
        for (std::size_t i = 0; i < n; ++i) b[i] = FlashByte(static_cast<std::uint32_t>(address + i));
        return b;
    }
    template <typename T>
    static Bytes Of(const T& record) {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&record);
        return Bytes(p, p + sizeof(T));
    }

    MeterHarness h;
    Watcher w;
    std::vector<bool> borrowed;  // per reply, as Run notes it
};

TEST_F(Totals, PointerRecordIsAskedWith38BytesAndKeeps34) {
    h.meter.OnPointerRAM = Watch<SPointerRAM>();
    const auto packets = Run([](TPublicNetKs_6x6& m) { m.GetFPointerRAM(0); });
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0], (Bytes{0xC9, 0x06, 0x31, 0x10, 0x00, 0x00, 0x00, 0x26, 0xF0, 0x26, 0x02}));
    EXPECT_EQ(w.log, "event;");
    EXPECT_EQ(w.pointer, &h.meter.RAMPointers);
    EXPECT_TRUE(w.ownerBack);
    EXPECT_EQ(Of(h.meter.RAMPointers), FlashBytes(16, 34));
    EXPECT_EQ(Of(h.meter.ModuleSumHoure), Bytes(248, 0)) << "the four extra bytes stay out of the next member";
    EXPECT_EQ(h.owner.calls, 0) << "the owner never sees the command's replies";
}

TEST_F(Totals, SingleReadsTakeTheirAddressFromThePointerWords) {
    auto& m = h.meter;
    m.RAMPointers.Words[2] = 0x1200;
    m.RAMPointers.Words[3] = 0x1300;
    m.RAMPointers.Words[6] = 0x1600;
    m.RAMPointers.Words[16] = 0x2000;
    m.OnLast = Watch<SLastMeasure>();
    m.OnDeviceFDW = Watch<SDeviceFlagsDWord>();
    m.OnFB6x6 = Watch<S6x6FlagsByte>();
    m.OnStopTimeHour = Delegate<void(void*)>::Bind<&Watcher::StopTime>(&w);
    std::memset(&m.StopTimeHour, 0xAB, sizeof m.StopTimeHour);

    struct Case {
        const char* name;
        void (*start)(TPublicNetKs_6x6&);
        std::uint16_t address;
        std::uint8_t asked;
        const void* record;
        std::size_t kept;
    };
    const Case cases[] = {
        {"flag bytes", [](TPublicNetKs_6x6& c) { c.GetFB_6x6(); }, 0x1300, 16, &m.FlagsByte, 14},
        {"last", [](TPublicNetKs_6x6& c) { c.GetLast(); }, 0x1600, 152, &m.LastMeasure, 152},
        {"device flags", [](TPublicNetKs_6x6& c) { c.GetDeviceFDW(); }, 0x1200, 24, &m.DeviceFlags, 24},
        {"stop time", [](TPublicNetKs_6x6& c) { c.GetStopTimeHour(); }, 0x2000, 16, &m.StopTimeHour, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto packets = Run(c.start);
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0], RamRead(c.address, c.asked));
        EXPECT_EQ(w.log, "event;");
        EXPECT_EQ(w.pointer, c.record);
        EXPECT_TRUE(w.ownerBack) << "given back before the event";
        EXPECT_EQ(w.record, RamBytes(c.address, c.kept)) << "stored before the event";
        if (c.record == &m.FlagsByte) {
            EXPECT_EQ(Of(m.StopTimeHour), Bytes(16, 0xAB)) << "the two extra bytes stay out of the next member";
        }
    }
    EXPECT_EQ(h.owner.calls, 0);
}

TEST_F(Totals, ChunkedReadsAssembleTheRecordChunkByChunk) {
    auto& m = h.meter;
    m.RAMPointers.Words[10] = 0x1A00;
    m.OnModuleSumHoure = Watch<UModuleSumHoure>();
    m.OnV2AllSumm = Watch<SModuleSumALLM>();
    m.OnFAllSumm = Watch<SAllSumm>();

    auto packets = Run([](TPublicNetKs_6x6& c) { c.GetModuleSumHour(); });
    EXPECT_EQ(packets, (std::vector<Bytes>{RamRead(0x1A00, 160), RamRead(0x1AA0, 88)}));
    EXPECT_EQ(borrowed, (std::vector<bool>{true, false})) << "kept between chunks, given back at the end";
    EXPECT_EQ(w.log, "event;");
    EXPECT_TRUE(w.ownerBack);
    EXPECT_EQ(w.pointer, &m.ModuleSumHoure);
    EXPECT_EQ(w.record, RamBytes(0x1A00, 248));

    packets = Run([](TPublicNetKs_6x6& c) { c.V2GetAllSumm(); });
    EXPECT_EQ(packets, (std::vector<Bytes>{{0xC9, 0x04, 0x10, 0x00, 0x1A, 0x64, 0xF0, 0x4B, 0x02},
                                           {0xC9, 0x04, 0x10, 0x64, 0x1A, 0x64, 0xF0, 0xAF, 0x02},
                                           {0xC9, 0x04, 0x10, 0xC8, 0x1A, 0x30, 0xF0, 0xDF, 0x02}}));
    EXPECT_EQ(borrowed, (std::vector<bool>{true, true, false}));
    EXPECT_EQ(w.log, "event;");
    EXPECT_TRUE(w.ownerBack);
    EXPECT_EQ(w.pointer, &m.ModuleSumALLM);
    EXPECT_EQ(Of(m.ModuleSumALLM), Of(m.ModuleSumHoure)) << "two readings of the same 248 bytes";

    packets = Run([](TPublicNetKs_6x6& c) { c.GetFAllSumm(); });
    ASSERT_EQ(packets.size(), 6u);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(packets[i], FlashRead(9472 + 100 * i, 100)) << i;
    EXPECT_EQ(packets[0], (Bytes{0xC9, 0x06, 0x31, 0x00, 0x25, 0x00, 0x00, 0x64, 0xF0, 0x79, 0x02}));
    EXPECT_EQ(packets[5], (Bytes{0xC9, 0x06, 0x31, 0xF4, 0x26, 0x00, 0x00, 0x3C, 0xF0, 0x46, 0x03}));
    EXPECT_EQ(borrowed, (std::vector<bool>{true, true, true, true, true, false}));
    EXPECT_TRUE(w.ownerBack);
    EXPECT_EQ(w.record, FlashBytes(9472, 560));
    EXPECT_EQ(h.owner.calls, 0);
}

// The writes a clear must send, in order: (address, count).
using Writes = std::vector<std::pair<std::uint32_t, std::uint8_t>>;

Bytes FlashZeros(std::uint32_t address, std::uint8_t count) {
    Bytes d(5 + count, 0);
    frame::PutLe32(d.data(), address);
    d[4] = count;
    return Request(201, 0x41, d);
}

void ExpectZeroWrites(const std::vector<Bytes>& packets, const Writes& expected) {
    ASSERT_EQ(packets.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(packets[i], FlashZeros(expected[i].first, expected[i].second)) << "write " << i;
}

TEST_F(Totals, ClearsWriteZerosOverTheirAreasAndReportAtTheEnd) {
    auto& m = h.meter;
    m.OnClearAllSumm = WatchData();
    m.OnClearSummDay = WatchData();
    m.OnClearHead = WatchData();

    auto packets = Run([](TPublicNetKs_6x6& c) { c.ClearSummDay(); });
    Bytes first = {0xC9, 0x6A, 0x41, 0x00, 0x21, 0x00, 0x00, 0x64};
    first.resize(first.size() + 100, 0);
    first.insert(first.end(), {0xF0, 0xE9, 0x02});
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets[0], first);
    ExpectZeroWrites(packets, {{8448, 100}, {8548, 100}, {8648, 100}, {8748, 28}});
    EXPECT_EQ(borrowed, (std::vector<bool>{true, true, true, false}));
    EXPECT_EQ(w.log, "event;") << "after the fourth acknowledgement";
    EXPECT_EQ(w.data, 0xFF);
    EXPECT_TRUE(w.ownerBack);

    packets = Run([](TPublicNetKs_6x6& c) { c.ClearAllSumm(); });
    ExpectZeroWrites(packets, {{9472, 100}, {9572, 100}, {9672, 100}, {9772, 100}, {9872, 100}, {9972, 60}});
    EXPECT_EQ(borrowed.back(), false);
    EXPECT_EQ(w.log, "event;");
    EXPECT_EQ(w.data, 0xFF);
    EXPECT_TRUE(w.ownerBack);

    packets = Run([](TPublicNetKs_6x6& c) { c.ClearHead(); });
    Writes heads = {{468328, 16}};
    for (std::uint32_t k = 0; k < 33; ++k) heads.push_back({468328 + 1040 + 12 * k, 12});
    heads.push_back({476248, 16});
    ExpectZeroWrites(packets, heads);
    EXPECT_EQ(heads[33].first, 468328u + 1424) << "the last twelve-byte write";
    EXPECT_EQ(std::count(borrowed.begin(), borrowed.end(), true), 34);
    EXPECT_EQ(w.log, "event;");
    EXPECT_EQ(w.data, 0);
    EXPECT_TRUE(w.ownerBack);
    EXPECT_EQ(m.CurrentModule, 33) << "the record counter counts the module-head writes";
    EXPECT_EQ(h.owner.calls, 0);
}

TEST_F(Totals, WithoutHandlersRecordsAreStoredAndTheOwnerGetsItsRepliesBack) {
    auto& m = h.meter;
    m.RAMPointers.Words[6] = 0x1600;
    m.RAMPointers.Words[10] = 0x1A00;
    const std::pair<const char*, void (*)(TPublicNetKs_6x6&)> commands[] = {
        {"pointers", [](TPublicNetKs_6x6& c) { c.GetFPointerRAM(0); }},
        {"last", [](TPublicNetKs_6x6& c) { c.GetLast(); }},
        {"device flags", [](TPublicNetKs_6x6& c) { c.GetDeviceFDW(); }},
        {"flag bytes", [](TPublicNetKs_6x6& c) { c.GetFB_6x6(); }},
        {"stop time", [](TPublicNetKs_6x6& c) { c.GetStopTimeHour(); }},
        {"sum hour", [](TPublicNetKs_6x6& c) { c.GetModuleSumHour(); }},
        {"all summ", [](TPublicNetKs_6x6& c) { c.V2GetAllSumm(); }},
        {"flash all summ", [](TPublicNetKs_6x6& c) { c.GetFAllSumm(); }},
        {"clear all summ", [](TPublicNetKs_6x6& c) { c.ClearAllSumm(); }},
        {"clear summ day", [](TPublicNetKs_6x6& c) { c.ClearSummDay(); }},
        {"clear head", [](TPublicNetKs_6x6& c) { c.ClearHead(); }},
    };
    for (const auto& [name, start] : commands) {
        SCOPED_TRACE(name);
        const auto packets = Run(start);
        EXPECT_FALSE(packets.empty());
        EXPECT_TRUE(h.OwnerHasReplies());
    }
    EXPECT_EQ(Of(m.RAMPointers), FlashBytes(16, 34));
    EXPECT_EQ(Of(m.LastMeasure), RamBytes(m.RAMPointers.Words[6], 152)) << "read at the pointer stored first";
    EXPECT_EQ(Of(m.ModuleSumALLM), RamBytes(m.RAMPointers.Words[10], 248));
    EXPECT_EQ(Of(m.AllSumm), FlashBytes(9472, 560));
    EXPECT_EQ(h.owner.calls, 0);

    // The owner's next command of its own reaches the owner's handler.
    ASSERT_TRUE(m.ReadRAM(0x0100, 4));
    EXPECT_EQ(h.Serve().size(), 1u);
    EXPECT_EQ(h.owner.calls, 1);
}

TEST_F(Totals, RepliesOfTheWrongLengthNeverLeaveOldBytesNorSpill) {
    auto& m = h.meter;
    m.RAMPointers.Words[6] = 0x1600;
    m.RAMPointers.Words[10] = 0x1A00;
    Run([](TPublicNetKs_6x6& c) { c.GetLast(); });
    ASSERT_EQ(Of(m.LastMeasure), RamBytes(0x1600, 152));

    // The meter answers a chunk once with another length than asked, in a
    // well-formed reply: that is no answer, the chunk is asked again, and
    // only its whole answer is stored.
    const auto wrongOnce = [](std::size_t bytes, std::uint16_t onlyAt, int* count) {
        return [=](const Bytes& p) {
            if (p[2] != 0x10 || PacketAddress(p) != onlyAt || (*count)++ > 0) return PatternAnswer(p);
            return GeneralReply(Bytes(bytes, 0xC3));
        };
    };
    int wrong = 0;
    Run([](TPublicNetKs_6x6& c) { c.GetLast(); }, wrongOnce(10, 0x1600, &wrong));
    EXPECT_EQ(wrong, 2) << "asked twice";
    EXPECT_EQ(Of(m.LastMeasure), RamBytes(0x1600, 152));

    wrong = 0;
    Run([](TPublicNetKs_6x6& c) { c.V2GetAllSumm(); }, wrongOnce(252, 0x1A64, &wrong));
    EXPECT_EQ(wrong, 2);
    EXPECT_EQ(Of(m.ModuleSumALLM), RamBytes(0x1A00, 248)) << "a longer reply spills nowhere";
}

TEST(StoreReply, AShortReplyLeavesZerosAndALongOneIsCut) {
    std::uint8_t record[6];
    const char reply[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const std::pair<short, Bytes> cases[] = {
        {2, {1, 2, 0, 0, 0, 0}},
        {8, {1, 2, 3, 4, 5, 6}},
        {-1, {0, 0, 0, 0, 0, 0}},
    };
    for (const auto& [length, stored] : cases) {
        SCOPED_TRACE(length);
        std::memset(record, 0xEE, sizeof record);
        StoreReply(record, sizeof record, length, reply);
        EXPECT_EQ(Bytes(record, record + sizeof record), stored);
    }
}

TEST_F(Totals, RepliesReachingAFinishedCommandAreIgnored) {
    auto& m = h.meter;
    m.OnV2AllSumm = Watch<SModuleSumALLM>();
    m.OnClearHead = WatchData();
    m.OnClearAllSumm = WatchData();
    Run([](TPublicNetKs_6x6& c) { c.V2GetAllSumm(); });
    const Bytes before = Of(m.ModuleSumALLM);
    char stray[252];
    std::memset(stray, 0x5A, sizeof stray);
    w.log.clear();
    m.ReceiveV2AllSumm(100, stray);
    EXPECT_EQ(Of(m.ModuleSumALLM), before) << "not stored as the totals";
    Run([](TPublicNetKs_6x6& c) { c.ClearHead(); });
    w.log.clear();
    m.ReceiveClearHead(1, stray);
    Run([](TPublicNetKs_6x6& c) { c.ClearAllSumm(); });
    w.log.clear();
    m.ReceiveClearAllSumm(1, stray);
    EXPECT_EQ(w.log, "") << "no second event";
    EXPECT_TRUE(h.NextPacket().empty()) << "and no further write";
    EXPECT_TRUE(h.OwnerHasReplies());
}

}  // namespace
}  // namespace q31::test

namespace q31::test {
namespace {

TEST(Borrowing, CommandStartedOverAnUnansweredOneGivesTheOwnersHandlerBack) {
    MeterHarness h;
    h.meter.GetLast();  // the meter never answers this one
    ASSERT_FALSE(h.NextPacket().empty());
    h.meter.GetFPointerRAM(0);
    // The dead command's answer may still come: the read waits until it can
    // no longer, and goes once.
    EXPECT_EQ(h.Serve().size(), 1u);
    EXPECT_TRUE(h.OwnerHasReplies()) << "the dead command's routine must not come back as the owner's";
    EXPECT_EQ(h.meter.SavedReceiveExecuted, h.owner.Handler());
}

}  // namespace
}  // namespace q31::test
