// The archive counters and the archive array reads of the heat meter.
//
// Ten array reads exist, for two archive layouts: the first keeps each series
// in its own ring of plain values, read as flash bytes; the second keeps one
// record per hour or day with every series in it, read with the meter's own
// command 0x90, which steps from record to record itself. They differ only in
// the ring, value size, packet size, addressing, buffer and event, so each is
// a row below and all run through one planner (ArchivePlan) and one receive
// routine.
#include <charconv>
#include <cstring>

#include "link/CommandBytes.h"
#include "link/Frame.h"
#include "meter/ArchiveRead.h"
#include "meter/StoreReply.h"
#include "meter/TPublicNetKs_6x6.h"

namespace q31 {

namespace {

using Self = TPublicNetKs_6x6;

constexpr std::uint8_t kCountersBytes = 12;

constexpr std::uint32_t kHourSlots = 1080;
constexpr std::uint32_t kDaySlots = 550;
constexpr std::uint32_t kPacket = 160;
// Eight-byte hourly values go ten to a packet.
constexpr std::uint32_t kHourDLongPacket = 80;

template <auto Buffer>
void* BufferOf(Self& c) {
    return c.*Buffer;
}

template <auto Buffer, auto Event>
void Raise(Self& c, int count) {
    if (c.*Event) (c.*Event)(count, c.*Buffer);
}

template <auto Buffer, auto Event>
constexpr ArchiveRead Row(std::uint32_t slots, std::uint32_t elementBytes, std::uint32_t packetLimit,
                          ArchiveAddressing addressing, ArchivePacket packet) {
    ArchiveRead read{};
    read.geometry.slots = slots;
    read.geometry.elementBytes = elementBytes;
    read.geometry.packetLimit = packetLimit;
    read.geometry.addressing = addressing;
    read.geometry.capacity = Self::kArchiveValues;
    read.counter = slots == kHourSlots ? ArchiveCounter::Hours : ArchiveCounter::Days;
    read.packet = packet;
    read.buffer = &BufferOf<Buffer>;
    read.raise = &Raise<Buffer, Event>;
    return read;
}

constexpr auto kValues = ArchiveAddressing::Consecutive;
constexpr auto kRecords = ArchiveAddressing::Records;
constexpr auto kFlash = ArchivePacket::FlashLarge;
constexpr auto k90 = ArchivePacket::Command90;

constexpr ArchiveRead kHourLong =
    Row<&Self::LongBuffer, &Self::OnArhivesHourLong>(kHourSlots, 4, kPacket, kValues, kFlash);
constexpr ArchiveRead kDayLong =
    Row<&Self::LongBuffer, &Self::OnArhivesDayLong>(kDaySlots, 4, kPacket, kValues, kFlash);
constexpr ArchiveRead kHourShort =
    Row<&Self::ShortBuffer, &Self::OnArhivesHourShort>(kHourSlots, 2, kPacket, kValues, kFlash);
constexpr ArchiveRead kDayShort =
    Row<&Self::ShortBuffer, &Self::OnArhivesDayShort>(kDaySlots, 2, kPacket, kValues, kFlash);
// The hourly two-byte series of the second layout lies as plain values,
// although it is read with 0x90.
constexpr ArchiveRead kHourShortV2 =
    Row<&Self::ShortBuffer, &Self::OnArhivesV2HourShort>(kHourSlots, 2, kPacket, kValues, k90);
constexpr ArchiveRead kDayShortV2 =
    Row<&Self::ShortBuffer, &Self::OnArhivesV2DayShort>(kDaySlots, 2, kPacket, kRecords, k90);
constexpr ArchiveRead kHourLongV2 =
    Row<&Self::LongBuffer, &Self::OnArhivesV2HourLong>(kHourSlots, 4, kPacket, kRecords, k90);
constexpr ArchiveRead kDayLongV2 =
    Row<&Self::LongBuffer, &Self::OnArhivesV2DayLong>(kDaySlots, 4, kPacket, kRecords, k90);
constexpr ArchiveRead kHourDLongV2 =
    Row<&Self::DLongBuffer, &Self::OnArhivesV2HourDLong>(kHourSlots, 8, kHourDLongPacket, kRecords, k90);
constexpr ArchiveRead kDayDLongV2 =
    Row<&Self::DLongBuffer, &Self::OnArhivesV2DayDLong>(kDaySlots, 8, kPacket, kRecords, k90);

}  // namespace

// The counters.

void TPublicNetKs_6x6::GetFArhives() {
    Borrow<&Self::ReceiveFArhives>();
    if (!ReadFlashLarge(FlashAddressMap[AddrArhives], kCountersBytes)) GiveBack();
}

void TPublicNetKs_6x6::ReceiveFArhives(short Length, char* Buffer) {
    // The owner's event is back first, so a handler of OnArhives may start
    // the next command at once.
    GiveBack();
    StoreReply(&Arhives, sizeof Arhives, Length, Buffer);
    if (OnArhives) OnArhives(&Arhives);
}

// The meter's own archive commands.

bool TPublicNetKs_6x6::ReadArhiveV2(std::uint32_t Address, std::uint8_t Length, std::uint8_t ElementSize) {
    std::uint8_t d[6];
    frame::PutLe32(d, Address);
    d[4] = Length;
    d[5] = ElementSize;
    // The reply carries the whole values asked for.
    return SendRead(cmd::kReadArchiveV2, d, sizeof d, ReplyCheck::Values(Length, ElementSize));
}

bool TPublicNetKs_6x6::TestArhiveV2(std::uint8_t first, std::uint32_t second, std::uint16_t third) {
    std::uint8_t d[7];
    d[0] = first;
    frame::PutLe32(d + 1, second);
    frame::PutLe16(d + 5, third);
    // Its reply means nothing here: neither its length nor its data is checked.
    return SendRead(cmd::kTestArchiveV2, d, sizeof d, {}, false);
}

// The array reads.

void TPublicNetKs_6x6::GetArrayHourLong(std::uint32_t Address, std::uint32_t Start, std::int32_t Count) {
    StartArchiveRead<&Self::ReceiveArrayHourLong>(kHourLong, Address, Start, Count);
}
void TPublicNetKs_6x6::GetArrayDayLong(std::uint32_t Address, std::uint32_t Start, std::int32_t Count) {
    StartArchiveRead<&Self::ReceiveArrayDayLong>(kDayLong, Address, Start, Count);
}
void TPublicNetKs_6x6::GetArrayHourShort(std::uint32_t Address, std::uint32_t Start, std::int32_t Count) {
    StartArchiveRead<&Self::ReceiveArrayHourShort>(kHourShort, Address, Start, Count);
}
void TPublicNetKs_6x6::GetArrayDayShort(std::uint32_t Address, std::uint32_t Start, std::int32_t Count) {
    StartArchiveRead<&Self::ReceiveArrayDayShort>(kDayShort, Address, Start, Count);
}
void TPublicNetKs_6x6::GetArrayHourShortV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count,
                                           std::int32_t Size) {
    RecordSize = Size;
    StartArchiveRead<&Self::ReceiveArrayHourShortV2>(kHourShortV2, Address, Start, Count);
}
void TPublicNetKs_6x6::GetArrayDayShortV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count,
                                          std::int32_t Size) {
    RecordSize = Size;
    StartArchiveRead<&Self::ReceiveArrayDayShortV2>(kDayShortV2, Address, Start, Count);
}
void TPublicNetKs_6x6::GetArrayHourLongV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count,
                                          std::int32_t Size) {
    RecordSize = Size;
    StartArchiveRead<&Self::ReceiveArrayHourLongV2>(kHourLongV2, Address, Start, Count);
}
void TPublicNetKs_6x6::GetArrayDayLongV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count,
                                         std::int32_t Size) {
    RecordSize = Size;
    StartArchiveRead<&Self::ReceiveArrayDayLongV2>(kDayLongV2, Address, Start, Count);
}
void TPublicNetKs_6x6::GetArrayHourDLongV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count,
                                           std::int32_t Size) {
    RecordSize = Size;
    StartArchiveRead<&Self::ReceiveArrayHourDLongV2>(kHourDLongV2, Address, Start, Count);
}
void TPublicNetKs_6x6::GetArrayDayDLongV2(std::uint32_t Address, std::uint32_t Start, std::int32_t Count,
                                          std::int32_t Size) {
    RecordSize = Size;
    StartArchiveRead<&Self::ReceiveArrayDayDLongV2>(kDayDLongV2, Address, Start, Count);
}

void TPublicNetKs_6x6::ReceiveArrayHourLong(short L, char* B) { ReceiveArchive(kHourLong, L, B); }
void TPublicNetKs_6x6::ReceiveArrayDayLong(short L, char* B) { ReceiveArchive(kDayLong, L, B); }
void TPublicNetKs_6x6::ReceiveArrayHourShort(short L, char* B) { ReceiveArchive(kHourShort, L, B); }
void TPublicNetKs_6x6::ReceiveArrayDayShort(short L, char* B) { ReceiveArchive(kDayShort, L, B); }
void TPublicNetKs_6x6::ReceiveArrayHourShortV2(short L, char* B) { ReceiveArchive(kHourShortV2, L, B); }
void TPublicNetKs_6x6::ReceiveArrayDayShortV2(short L, char* B) { ReceiveArchive(kDayShortV2, L, B); }
void TPublicNetKs_6x6::ReceiveArrayHourLongV2(short L, char* B) { ReceiveArchive(kHourLongV2, L, B); }
void TPublicNetKs_6x6::ReceiveArrayDayLongV2(short L, char* B) { ReceiveArchive(kDayLongV2, L, B); }
void TPublicNetKs_6x6::ReceiveArrayHourDLongV2(short L, char* B) { ReceiveArchive(kHourDLongV2, L, B); }
void TPublicNetKs_6x6::ReceiveArrayDayDLongV2(short L, char* B) { ReceiveArchive(kDayDLongV2, L, B); }

// The one planner and receive routine behind them.

template <auto Routine>
void TPublicNetKs_6x6::StartArchiveRead(const ArchiveRead& read, std::uint32_t address, std::uint32_t start,
                                        std::int32_t count) {
    Borrow<Routine>();
    RingBase = address;
    // The counters are those of the last GetFArhives; the read does not fetch them.
    const std::uint32_t counter = read.counter == ArchiveCounter::Hours ? Arhives.HourCount : Arhives.DayCount;
    ArchiveCursor cursor;
    const ArchiveStep step = PlanArchiveRead(ArchiveGeometryOf(read), counter, start, count, cursor);
    SaveArchiveCursor(cursor);
    TakeArchiveStep(read, step);
}

void TPublicNetKs_6x6::ReceiveArchive(const ArchiveRead& read, short length, char* buffer) {
    ArchiveCursor cursor = LoadArchiveCursor();
    const ArchiveStep step = AdvanceArchiveRead(ArchiveGeometryOf(read), cursor, length);
    if (step.failed) {
        FailExchange(Q31_REJECT_EMPTY);
        return;
    }
    if (step.storeCount != 0) {
        const std::size_t e = read.geometry.elementBytes;
        std::memcpy(static_cast<char*>(read.buffer(*this)) + step.storeAt * e, buffer, step.storeCount * e);
    }
    SaveArchiveCursor(cursor);
    TakeArchiveStep(read, step);
}

void TPublicNetKs_6x6::TakeArchiveStep(const ArchiveRead& read, const ArchiveStep& step) {
    if (!step.done) {
        if (step.showProgress && ProgressControl) {
            char text[16];
            const auto end = std::to_chars(text, text + sizeof text - 1, step.progressValue).ptr;
            *end = '\0';
            ProgressControl->SetText(text);
        }
        const std::uint32_t address = RingBase + step.packetOffset;
        const auto bytes = static_cast<std::uint8_t>(step.packetBytes);
        const bool sent = read.packet == ArchivePacket::Command90
                              ? ReadArhiveV2(address, bytes, static_cast<std::uint8_t>(read.geometry.elementBytes))
                              : ReadFlashLarge(address, bytes);
        if (sent) return;
        // A packet that cannot go out ends the read with what it has.
    }
    // The event comes first and the owner's OnReceiveExecuted after it, so
    // a handler of the event must not start another command here.
    read.raise(*this, static_cast<int>(ReceivedCount));
    GiveBack();
}

ArchiveGeometry TPublicNetKs_6x6::ArchiveGeometryOf(const ArchiveRead& read) const {
    ArchiveGeometry g = read.geometry;
    g.recordSize = RecordSize;
    return g;
}

ArchiveCursor TPublicNetKs_6x6::LoadArchiveCursor() const {
    ArchiveCursor c;
    c.readOffset = ReadOffset;
    c.firstRemaining = FirstRemaining;
    c.secondRemaining = SecondRemaining;
    c.chunkBytes = ChunkBytes;
    c.receivedCount = ReceivedCount;
    return c;
}

void TPublicNetKs_6x6::SaveArchiveCursor(const ArchiveCursor& cursor) {
    ReadOffset = cursor.readOffset;
    FirstRemaining = cursor.firstRemaining;
    SecondRemaining = cursor.secondRemaining;
    ChunkBytes = cursor.chunkBytes;
    ReceivedCount = cursor.receivedCount;
}

}  // namespace q31
