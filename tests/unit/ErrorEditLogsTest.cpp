// The heat-meter component's error and edit logs against a scripted meter:
// which flash range each read asks for, where the reply lands in the images,
// when the borrowed reply event is given back, and what a reply of the
// wrong size or a number outside the logs can and cannot do.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "meter/TPublicNetKs_6x6.h"
#include "tests/unit/LinkHarness.h"

namespace q31::test {
namespace {

constexpr std::uint32_t E = 468328;  // error-log area
constexpr std::uint32_t D = 476248;  // edit-log area
constexpr std::uint8_t kUntouched = 0x77;

// What the component's events and the owner's reply handler saw.
struct Recorder {
    TPublicNetKs_6x6* meter = nullptr;
    TPublicNetKs::ReceiveEvent owner;
    int raised = 0;
    const void* pointer = nullptr;
    bool givenBack = false;
    int ownerReplies = 0;
    char clearAnswer = 0;

    template <typename T>
    void Take(T* p) {
        ++raised;
        pointer = p;
        givenBack = meter->OnReceiveExecuted == owner;
    }
    void Cleared(char data) {
        clearAnswer = data;
        Take(&data);
    }
    void Reply(short, char*) { ++ownerReplies; }
};

Bytes ReadPacket(std::uint32_t address, std::uint8_t count) {
    Bytes d(5);
    frame::PutLe32(d.data(), address);
    d[4] = count;
    return Request(201, 0x31, d);
}

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + 7 * i + 1);
        if (b[i] == kUntouched) b[i] = 0;  // every byte stored shows as touched
    }
    return b;
}

class ErrorEditLogs : public ::testing::Test, protected MeterRig {
protected:
    ErrorEditLogs() {
        rec.meter = &meter;
        rec.owner = TPublicNetKs::ReceiveEvent::Bind<&Recorder::Reply>(&rec);
        meter.OnReceiveExecuted = rec.owner;
        using R = Recorder;
        using Head = TPublicNetKs_6x6::HeadEvent;
        for (Head* e : {&meter.OnErrorH1, &meter.OnErrorH1V2, &meter.OnErrorH6, &meter.OnErrorH6V2, &meter.OnEditH1,
                        &meter.OnEditH1V2})
            *e = Head::Bind<&R::Take<SHead>>(&rec);
        meter.OnError1 = meter.OnError6 = Delegate<void(SErrorRecord*)>::Bind<&R::Take<SErrorRecord>>(&rec);
        meter.OnError1V2 = meter.OnError6V2 = Delegate<void(SErrorRecordV2*)>::Bind<&R::Take<SErrorRecordV2>>(&rec);
        meter.OnReceiveEdit = Delegate<void(SEventRecord*)>::Bind<&R::Take<SEventRecord>>(&rec);
        meter.OnReceiveEditV2 = Delegate<void(SEventRecordV2*)>::Bind<&R::Take<SEventRecordV2>>(&rec);
        meter.OnClearSetChecEditCounter = TPublicNetKs_6x6::ByteEvent::Bind<&R::Cleared>(&rec);
        MarkImages();
    }

    void MarkImages() {
        std::memset(meter.ErrorImage, kUntouched, sizeof meter.ErrorImage);
        std::memset(meter.ErrorImageV2, kUntouched, sizeof meter.ErrorImageV2);
        std::memset(meter.EditImage, kUntouched, sizeof meter.EditImage);
        std::memset(meter.EditImageV2, kUntouched, sizeof meter.EditImageV2);
    }
    // Bytes of an image that are no longer the mark.
    static int Touched(const std::uint8_t* image, std::size_t size) {
        int n = 0;
        for (std::size_t i = 0; i < size; ++i) n += image[i] != kUntouched;
        return n;
    }

    void Advance(int ms) { loop.Tick(Micros{ms} * 1000); }
    template <typename Pred>
    bool PumpUntil(Pred done, int ms = 2000) {
        return test::PumpUntil(loop, done, ms);
    }
    // The packet the component sends next.
    Bytes Sent() { return NextSent(loop, end); }
    // Answers the packet in flight and waits until `done`.
    template <typename Pred>
    void Answer(const Bytes& payload, Pred done) {
        end.Send(GeneralReply(payload));
        ASSERT_TRUE(PumpUntil(done));
    }
    void AnswerAndWaitEvent(const Bytes& payload) {
        const int before = rec.raised;
        Answer(payload, [&] { return rec.raised > before; });
    }
    void AnswerFirstHalf(const Bytes& payload) {
        Answer(payload, [&] { return meter.StepCounter == 1; });
    }
    bool NothingSent() {
        Advance(100);
        return end.Queued().empty();
    }

    Recorder rec;
};

TEST_F(ErrorEditLogs, PacketsOfTheModuleErrorBlockAndTheEditLog) {
    meter.SetMasterNetAddress(240);
    meter.GetErr6V2(1, 2);
    EXPECT_EQ(Sent(), (Bytes{0xC9, 0x06, 0x31, 0x28, 0x2F, 0x07, 0x00, 0xA0, 0xF0, 0xEE, 0x02}));
    AnswerAndWaitEvent(Pattern(160, 1));

    meter.GetEditV2(3);
    EXPECT_EQ(Sent(), (Bytes{0xC9, 0x06, 0x31, 0xC8, 0x47, 0x07, 0x00, 0x90, 0xF0, 0x96, 0x03}));
    EXPECT_TRUE(NothingSent()) << "the second half waits for the first";
    AnswerFirstHalf(Pattern(144, 2));
    EXPECT_EQ(Sent(), (Bytes{0xC9, 0x06, 0x31, 0x58, 0x48, 0x07, 0x00, 0x90, 0xF0, 0x27, 0x03}));
    AnswerAndWaitEvent(Pattern(144, 3));
    EXPECT_EQ(rec.ownerReplies, 0) << "the log replies are the component's own";

    // The device head: 16 bytes at the start of the error-log area
    // (468328 = 0x072568), and its reply as the meter sends it.
    meter.GetErrorH1V2();
    EXPECT_EQ(Sent(), (Bytes{0xC9, 0x06, 0x31, 0x68, 0x25, 0x07, 0x00, 0x10, 0xF0, 0x94, 0x02}));
    const int before = rec.raised;
    end.Send({0xF0, 0x10, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00, 0x05,
              0x00, 0x06, 0x00, 0x07, 0x00, 0x08, 0x00, 0x55, 0x79, 0x01});
    ASSERT_TRUE(PumpUntil([&] { return rec.raised > before; }));
    EXPECT_EQ(rec.pointer, meter.ErrorImageV2);
    EXPECT_EQ(Bytes(meter.ErrorImageV2, meter.ErrorImageV2 + 16),
              (Bytes{1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8, 0}));
}

enum class Img { Error, ErrorV2, Edit, EditV2 };

struct ReadCase {
    const char* name;
    std::function<void(TPublicNetKs_6x6&)> start;
    std::uint32_t address;
    std::uint8_t count;  // per packet
    bool halves;
    Img image;
    std::uint32_t offset;
};

// The highest module and block each read takes: the last bytes of its image.
const ReadCase kReads[] = {
    {"ErrorH1", [](auto& m) { m.GetErrorH1(); }, E, 16, false, Img::Error, 0},
    {"ErrorH1V2", [](auto& m) { m.GetErrorH1V2(); }, E, 16, false, Img::ErrorV2, 0},
    {"ErrorH6", [](auto& m) { m.GetErrorH6(7); }, E + 1040 + 84, 12, false, Img::Error, 1124},
    {"ErrorH6V2", [](auto& m) { m.GetErrorH6V2(7); }, E + 1296 + 70, 10, false, Img::ErrorV2, 1366},
    {"Err1", [](auto& m) { m.GetErr1(7); }, E + 16 + 896, 128, false, Img::Error, 912},
    {"Err1V2", [](auto& m) { m.GetErr1V2(7); }, E + 16 + 1120, 160, false, Img::ErrorV2, 1136},
    {"Err6", [](auto& m) { m.GetErr6(7, 5); }, E + 1136 + 5376 + 640, 128, false, Img::Error, 7152},
    {"Err6V2", [](auto& m) { m.GetErr6V2(7, 4); }, E + 1376 + 5600 + 640, 160, false, Img::ErrorV2, 7616},
    {"EditH1", [](auto& m) { m.GetEditH1(7); }, D + 14, 2, false, Img::Edit, 14},
    {"EditH1V2", [](auto& m) { m.GetEditH1V2(7); }, D + 14, 2, false, Img::EditV2, 14},
    {"Edit", [](auto& m) { m.GetEdit(7); }, D + 16 + 1792, 128, true, Img::Edit, 1808},
    {"EditV2", [](auto& m) { m.GetEditV2(7); }, D + 16 + 2016, 144, true, Img::EditV2, 2032},
};

TEST_F(ErrorEditLogs, EveryReadFillsItsOwnPlaceInItsOwnImage) {
    std::uint8_t* images[] = {meter.ErrorImage, meter.ErrorImageV2, meter.EditImage, meter.EditImageV2};
    const std::size_t sizes[] = {sizeof meter.ErrorImage, sizeof meter.ErrorImageV2, sizeof meter.EditImage,
                                 sizeof meter.EditImageV2};
    std::uint8_t seed = 0;
    for (const ReadCase& c : kReads) {
        SCOPED_TRACE(c.name);
        MarkImages();
        rec.raised = 0;
        c.start(meter);
        EXPECT_EQ(Sent(), ReadPacket(c.address, c.count));
        Bytes stored = Pattern(c.count, ++seed);
        if (c.halves) {
            AnswerFirstHalf(stored);
            EXPECT_EQ(rec.raised, 0) << "the event waits for the second half";
            EXPECT_EQ(Sent(), ReadPacket(c.address + c.count, c.count));
            const Bytes second = Pattern(c.count, ++seed);
            stored.insert(stored.end(), second.begin(), second.end());
            AnswerAndWaitEvent(second);
        } else {
            AnswerAndWaitEvent(stored);
        }
        const int i = static_cast<int>(c.image);
        EXPECT_EQ(rec.raised, 1);
        EXPECT_EQ(rec.pointer, images[i] + c.offset);
        EXPECT_TRUE(rec.givenBack) << "the owner's handler is back before the event";
        EXPECT_EQ(meter.OnReceiveExecuted, rec.owner);
        EXPECT_EQ(Bytes(images[i] + c.offset, images[i] + c.offset + stored.size()), stored);
        for (int other = 0; other < 4; ++other)
            EXPECT_EQ(Touched(images[other], sizes[other]), other == i ? static_cast<int>(stored.size()) : 0)
                << "image " << other;
    }
    EXPECT_EQ(rec.ownerReplies, 0);
}

TEST_F(ErrorEditLogs, EditHalvesStoreTheirWholeRecordsWithinTheirHalf) {
    // A half of 72 bytes carries four records: they are stored, the four
    // it lacks keep what they held, the second half is still read and the
    // event raised after it. Less than a record is no answer.
    meter.GetEditV2(2);
    const Bytes half = Sent();
    const int before = meter.RepetitionCounter;
    Answer(Pattern(17, 10), [&] { return meter.RepetitionCounter == before + 1; });
    EXPECT_EQ(Sent(), half);
    EXPECT_EQ(Touched(meter.EditImageV2, sizeof meter.EditImageV2), 0);
    AnswerFirstHalf(Pattern(72, 10));
    const std::uint8_t* block2 = meter.EditImageV2 + 16 + 2 * 288;
    EXPECT_EQ(Bytes(block2, block2 + 72), Pattern(72, 10));
    EXPECT_EQ(Touched(meter.EditImageV2, sizeof meter.EditImageV2), 72);
    Sent();
    AnswerAndWaitEvent(Pattern(72, 20));
    EXPECT_EQ(Bytes(block2 + 144, block2 + 216), Pattern(72, 20));
    EXPECT_EQ(Touched(meter.EditImageV2, sizeof meter.EditImageV2), 144) << "records 4-7 and 12-15 as they were";
    EXPECT_EQ(rec.raised, 1);

    // Halves store eight records each: the first half does not write the
    // second's records, the second not the next module's block.
    MarkImages();
    meter.GetEditV2(3);
    Sent();
    const Bytes full = Pattern(144, 30);
    AnswerFirstHalf(full);
    const std::uint8_t* block = meter.EditImageV2 + 16 + 3 * 288;
    EXPECT_EQ(Bytes(block, block + 144), Bytes(full.begin(), full.begin() + 144));
    EXPECT_EQ(Touched(meter.EditImageV2, sizeof meter.EditImageV2), 144);
    Sent();
    AnswerAndWaitEvent(Pattern(144, 31));
    EXPECT_EQ(Touched(meter.EditImageV2, sizeof meter.EditImageV2), 288);
    EXPECT_EQ(Touched(block + 288, 288), 0) << "module 4's block";
}

TEST_F(ErrorEditLogs, SingleRepliesFillExactlyTheirPlace) {
    // A long reply to a five-word head, and a short one to an error block,
    // are not their answers: nothing is stored and each packet goes again.
    meter.GetErrorH6V2(2);
    Bytes packet = Sent();
    int before = meter.RepetitionCounter;
    Answer(Pattern(40, 50), [&] { return meter.RepetitionCounter == before + 1; });
    EXPECT_EQ(Sent(), packet);
    AnswerAndWaitEvent(Pattern(10, 50));
    EXPECT_EQ(Touched(meter.ErrorImageV2, sizeof meter.ErrorImageV2), 10);
    EXPECT_EQ(Touched(meter.ErrorImageV2 + 1296 + 30, 10), 0) << "module 3's head";

    meter.GetErr1V2(0);
    Sent();
    AnswerAndWaitEvent(Pattern(160, 60));
    meter.GetErr1V2(0);
    packet = Sent();
    before = meter.RepetitionCounter;
    Answer({0xAA, 0xBB, 0xCC}, [&] { return meter.RepetitionCounter == before + 1; });
    EXPECT_EQ(Sent(), packet);
    const std::uint8_t* b0 = meter.ErrorImageV2 + 16;
    EXPECT_EQ(Bytes(b0, b0 + 160), Pattern(160, 60)) << "the earlier block stays as it was";
    EXPECT_EQ(Touched(b0 + 160, 160), 0) << "block 1";
}

TEST_F(ErrorEditLogs, NumbersOutsideTheLogsAreRefused) {
    meter.CurrentModule = 3;
    meter.CurrentBlock = 2;
    meter.StepCounter = 1;
    const std::function<void()> refused[] = {
        [&] { meter.GetErrorH6(8); },    [&] { meter.GetErrorH6V2(-1); }, [&] { meter.GetErr1(8); },
        [&] { meter.GetErr1V2(-128); },  [&] { meter.GetErr6(8, 0); },    [&] { meter.GetErr6(0, 6); },
        [&] { meter.GetErr6V2(0, 5); },  [&] { meter.GetErr6V2(-1, 0); }, [&] { meter.GetEditH1(8); },
        [&] { meter.GetEditH1V2(127); }, [&] { meter.GetEdit(-1); },      [&] { meter.GetEditV2(8); },
    };
    for (const auto& call : refused) call();
    EXPECT_TRUE(NothingSent());
    EXPECT_EQ(meter.OnReceiveExecuted, rec.owner) << "nothing borrowed";
    EXPECT_EQ(meter.CurrentModule, 3);
    EXPECT_EQ(meter.CurrentBlock, 2);
    EXPECT_EQ(meter.StepCounter, 1);
    EXPECT_EQ(rec.raised, 0);

    // Numbers changed from outside while a read is out: the reply has no
    // place in the image, so it is dropped and the read ends unreported.
    meter.GetErr6V2(4, 4);
    Sent();
    meter.CurrentModule = 200;
    Answer(Pattern(160, 1), [&] { return meter.OnReceiveExecuted == rec.owner; });
    EXPECT_EQ(rec.raised, 0);
    EXPECT_EQ(Touched(meter.ErrorImageV2, sizeof meter.ErrorImageV2), 0);
    EXPECT_EQ(rec.ownerReplies, 0);
}

TEST_F(ErrorEditLogs, ClearSetChecEditCounterWritesZerosAndHandsOnTheAnswer) {
    meter.ClearSetChecEditCounter();
    Bytes data(5 + 28, 0);
    frame::PutLe32(data.data(), 8192);
    data[4] = 28;
    Advance(10);
    EXPECT_EQ(end.Take(3 + 33 + 3), Request(201, 0x41, data));
    end.Send({0x15});  // whatever the meter answers is handed on
    ASSERT_TRUE(PumpUntil([&] { return rec.raised == 1; }));
    EXPECT_EQ(rec.clearAnswer, 0x15);
    EXPECT_TRUE(rec.givenBack);
}

}  // namespace
}  // namespace q31::test
