// Four meters on one RS-485 line, one session each on the same port: the
// sessions take turns, first come first served, and a request taken out of
// the queue never reaches the line.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>

#include "sim/FrameAssembler.h"
#include "sim/MeterModel.h"
#include "support/Pty.h"
#include "tests/session/SessionHarness.h"

namespace q31::test {
namespace {

constexpr std::uint8_t kId = 0x0F, kReadRam = 0x10;

// Four virtual meters behind one pseudo-terminal, each answering its own
// address, with every packet they served in the order it came.
class Bus {
public:
    Bus() {
        for (int i = 0; i < 4; ++i) {
            sim::MeterConfig c = Config(kSerials[i], 40 + i, kModules[i], 1200);
            c.address = static_cast<std::uint8_t>(201 + i);
            meters_[i].emplace(c);
            frames_[i].SetAddress(c.address);
        }
    }
    ~Bus() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (port > 0) CloseHostPort(port);
        PtyClose(pty_);
    }
    bool Open() {
        if (!PtyOpen(pty_)) return false;
        thread_ = std::thread([this] { Run(); });
        port = OpenHostPort(pty_.slavePath.c_str(), 115200);
        return port > 0;
    }
    // (address, command) of every packet a meter answered.
    std::vector<std::pair<int, int>> Packets() {
        std::lock_guard<std::mutex> lock(mutex_);
        return packets_;
    }
    void DelayNextReply(int meter, int ms) {
        std::lock_guard<std::mutex> lock(mutex_);
        meters_[meter]->InjectNext(sim::Fault{sim::FaultKind::Delay, ms});
    }

    static constexpr std::uint32_t kSerials[4] = {710001, 720002, 730003, 740004};
    static constexpr std::uint8_t kModules[4] = {6, 4, 5, 3};
    PortHandle port = -1;

private:
    void Run() {
        std::uint8_t chunk[512];
        while (!stop_) {
            const int n = PtyRead(pty_.master, chunk, sizeof chunk, 20);
            // Another meter's packet may look like the start of one for this
            // meter; the line falling quiet ends such a false start.
            for (int i = 0; i < 4; ++i)
                Serve(i, n > 0 ? frames_[i].Feed({chunk, static_cast<std::size_t>(n)}) : frames_[i].Expire());
        }
    }
    void Serve(int meter, const std::vector<std::vector<std::uint8_t>>& packets) {
        for (const auto& packet : packets) {
            sim::MeterReply reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                reply = meters_[meter]->Handle(packet);
                packets_.emplace_back(packet[0], packet[2]);
            }
            // The meter is slow to answer, and the line carries nothing else meanwhile.
            std::this_thread::sleep_for(std::chrono::milliseconds(reply.delayMs));
            PtyWrite(pty_.master, reply.bytes.data(), reply.bytes.size(), 1000);
        }
    }

    PtyPair pty_;
    std::optional<sim::MeterModel> meters_[4];
    sim::FrameAssembler frames_[4];
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::pair<int, int>> packets_;
};

class SharedPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(bus.Open());
        for (int i = 0; i < 4; ++i) {
            q31_options o = Options(300, 2);
            o.slave_address = static_cast<std::uint8_t>(201 + i);
            sessions[i].reset(q31_session_open(bus.port, &o));
            ASSERT_NE(sessions[i], nullptr);
            idents[i] = SDevIdent{5120, sim::kDefaultVersionWord, Bus::kSerials[i], 0, {0, 0}};
        }
    }
    int ModuleCount(int meter, Outcome& o) {
        return q31_get_module_count(sessions[meter].get(), &idents[meter], &OnCount, &o);
    }

    Bus bus;
    SessionPtr sessions[4];
    SDevIdent idents[4];
};

// A module count is the identification and three RAM reads.
std::vector<std::pair<int, int>> CountPackets(int address) {
    return {{address, kId}, {address, kReadRam}, {address, kReadRam}, {address, kReadRam}};
}
std::vector<std::pair<int, int>> Joined(std::initializer_list<std::vector<std::pair<int, int>>> parts) {
    std::vector<std::pair<int, int>> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST_F(SharedPort, InterleavedRequestsTakeTurnsInOrderOfArrival) {
    std::vector<int> order;
    Outcome counts[4], again;
    for (int i = 0; i < 4; ++i) counts[i].then = [&order, i] { order.push_back(i); };
    // Meter 203's callback asks it again: that request waits behind 204's.
    counts[2].then = [&] {
        order.push_back(2);
        EXPECT_EQ(ModuleCount(2, again), Q31_OK);
    };
    again.then = [&] { order.push_back(5); };
    for (int i : {1, 0, 2, 3}) ASSERT_EQ(ModuleCount(i, counts[i]), Q31_OK);
    EXPECT_EQ(ModuleCount(0, counts[0]), Q31_ERR_BUSY) << "a waiting request keeps its session busy";
    ASSERT_TRUE(PumpUntil([&] { return again.calls > 0; }));

    EXPECT_EQ(order, (std::vector<int>{1, 0, 2, 3, 5}));
    const std::uint32_t modules[4] = {6, 4, 5, 3};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(counts[i].calls, 1) << i;
        EXPECT_EQ(counts[i].result.status, Q31_OK) << i;
        EXPECT_EQ(counts[i].count, modules[i]) << i;
    }
    EXPECT_EQ(counts[0].result.found_serial, 710001u);
    EXPECT_EQ(counts[1].result.found_serial, 720002u);
    EXPECT_EQ(counts[2].result.found_serial, 730003u);
    EXPECT_EQ(counts[3].result.found_serial, 740004u);
    EXPECT_EQ(again.count, 5u);
    // One request's packets at a time on the line, none of another between.
    EXPECT_EQ(bus.Packets(),
              Joined({CountPackets(202), CountPackets(201), CountPackets(203), CountPackets(204), CountPackets(203)}));
}

TEST_F(SharedPort, CancelAndCloseTakeWaitingRequestsOutOfTheQueue) {
    Outcome counts[4];
    for (int i = 0; i < 4; ++i) ASSERT_EQ(ModuleCount(i, counts[i]), Q31_OK);
    // 201 has the line; 202, 203 and 204 wait.
    EXPECT_EQ(q31_cancel(sessions[1].get()), Q31_OK);
    sessions[2].reset();
    ASSERT_TRUE(PumpUntil([&] { return counts[3].calls > 0; }));
    EXPECT_EQ(counts[0].result.status, Q31_OK);
    EXPECT_EQ(counts[3].count, 3u);
    EXPECT_EQ(counts[1].calls + counts[2].calls, 0);
    EXPECT_EQ(bus.Packets(), Joined({CountPackets(201), CountPackets(204)}));

    // The cancelled session takes a new request, and a running request that
    // is cancelled hands the line on at once.
    Outcome later, behind;
    ASSERT_EQ(ModuleCount(0, later), Q31_OK);
    ASSERT_EQ(ModuleCount(1, behind), Q31_OK);
    EXPECT_EQ(q31_cancel(sessions[0].get()), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return behind.calls > 0; }));
    EXPECT_EQ(behind.count, 4u);
    EXPECT_EQ(later.calls, 0);
    EXPECT_EQ(bus.Packets(), Joined({CountPackets(201), CountPackets(204), CountPackets(202)}));
}

void Q31_CALL CountRejections(const TQ31TraceEvent* event, void* user) {
    if (event->kind == Q31_TRACE_REJECTED) ++*static_cast<int*>(user);
}

TEST_F(SharedPort, AnAnswerStillOwedIsWaitedOutBeforeTheNextSessionSends) {
    // 201's answer comes 200 ms late, after its request was cancelled; 202's
    // request must not be on the line then, or it would read 201's answer.
    int rejected = 0;
    ASSERT_EQ(q31_session_set_trace(sessions[1].get(), &CountRejections, &rejected), Q31_OK);
    bus.DelayNextReply(0, 200);
    Outcome cancelled, next;
    ASSERT_EQ(ModuleCount(0, cancelled), Q31_OK);
    ASSERT_EQ(ModuleCount(1, next), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return !bus.Packets().empty(); }));
    EXPECT_EQ(q31_cancel(sessions[0].get()), Q31_OK);
    ASSERT_TRUE(PumpUntil([&] { return next.calls > 0; }));
    EXPECT_EQ(next.result.status, Q31_OK);
    EXPECT_EQ(next.count, 4u);
    EXPECT_EQ(rejected, 0);
    EXPECT_EQ(cancelled.calls, 0);
    EXPECT_EQ(bus.Packets(), Joined({{{201, kId}}, CountPackets(202)}));
}

}  // namespace
}  // namespace q31::test
