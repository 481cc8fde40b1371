// The lateness sweep: a fixed mix of requests through the session fuzzer's
// line and driver (the real form, engine and channel, a manual clock), on
// lines that answer late by set amounts or not as asked at all, with the
// context API's send limit and with the slot API's unlimited re-sends, for
// each read confirmation mode. Every request ends right, wrong or failed; a
// failure is the line's fault, a wrong result never is.
//
// Prints the table as Markdown for docs/link.md (time-out 100 ms, echo off,
// 30 requests per cell: right / wrong / failed).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "fuzz/MeterAnswers.h"
#include "fuzz/PlanSource.h"
#include "fuzz/SessionDriver.h"
#include "sim/MeterModel.h"

namespace q31::fuzz {
namespace {

constexpr int kTimeOutMs = 100;
// A request with no result this many time-outs after its start is counted
// as failed and left for the next.
constexpr int kGiveUpTimeOuts = 100;

// Which packet of the session a reply answers.
struct PacketAt {
    int request = -1;   // 0, 1, ... in the session
    int distinct = -1;  // 0 for the identification, then each new packet of the request
    int send = 0;       // 0 the first send of that packet, 1 the next (a re-send or a confirming read), ...
};

using Script = std::function<ReplyPlan(const PacketAt&, std::mt19937&)>;

// A line whose every reply the case's script shapes.
class ScriptedLine final : public PlanSource {
public:
    explicit ScriptedLine(Script script) : script_(std::move(script)), random_(31) {}

    std::optional<ReplyPlan> NextPlan(std::span<const std::uint8_t> packet) override {
        if (at_.distinct >= 0 && std::equal(packet.begin(), packet.end(), last_.begin(), last_.end())) {
            ++at_.send;
        } else {
            ++at_.distinct;
            at_.send = 0;
            last_.assign(packet.begin(), packet.end());
        }
        return script_(at_, random_);
    }
    bool PlansLeft() const override { return true; }
    void RequestStarted() override {
        ++at_.request;
        at_.distinct = -1;
        at_.send = 0;
        last_.clear();
    }

private:
    Script script_;
    std::mt19937 random_;
    PacketAt at_;
    std::vector<std::uint8_t> last_;
};

ReplyPlan After(double timeOuts) {
    ReplyPlan plan;
    plan.timing = ReplyPlan::Timing::Exact;
    plan.exactUs = static_cast<Micros>(timeOuts * kTimeOutMs * 1000);
    return plan;
}

ReplyPlan Shaped(ReplyPlan::Shape shape, std::uint8_t oversize = 252) {
    ReplyPlan plan;
    plan.shape = shape;
    plan.oversize = oversize;
    plan.detail = 0x5C;
    return plan;
}

// In every request one packet's first send is answered late: the
// identification in even requests, the first read in odd ones.
bool Chosen(const PacketAt& p) { return p.distinct == p.request % 2; }

struct Case {
    std::string name;
    Script script;
    // Some answer comes later than the bound (two time-outs after its send).
    // In order, the answers held behind it show the line unsettled and the
    // requests fail; out of order nothing does, and an answer of a read's
    // lawful shape may be taken for a later read that is not confirmed.
    bool beyondBound = false;
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    cases.push_back({"every reply on time (control)", [](const PacketAt&, std::mt19937&) { return ReplyPlan{}; }});
    for (double late : {0.5, 1.0, 1.5, 2.0, 3.0, 3.5, 4.0, 6.0, 10.0}) {
        char name[64];
        std::snprintf(name, sizeof name, "one reply %g time-outs late", late);
        cases.push_back(
            {name,
             [late](const PacketAt& p, std::mt19937&) { return Chosen(p) && p.send == 0 ? After(late) : ReplyPlan{}; },
             late > 2.0});
    }
    // The first answer comes after the time-out and is taken for the
    // re-send; the answer to the re-send follows, late as well.
    for (double resend : {1.1, 2.0, 3.5, 6.0}) {
        char name[80];
        std::snprintf(name, sizeof name, "a reply 1.2 and its re-send %g time-outs late", resend);
        cases.push_back({name,
                         [resend](const PacketAt& p, std::mt19937&) {
                             if (!Chosen(p) || p.send > 1) return ReplyPlan{};
                             return After(p.send == 0 ? 1.2 : resend);
                         },
                         resend > 2.0});
    }
    // The same on every packet after the first two of a request (the
    // series reads of an archive request, of one shape each).
    cases.push_back(
        {"every later packet: a reply 1.2 and its re-send 1.1 time-outs late", [](const PacketAt& p, std::mt19937&) {
             if (p.distinct < 2 || p.send > 1) return ReplyPlan{};
             return After(p.send == 0 ? 1.2 : 1.1);
         }});
    // The first answer is late, the re-send is answered at once: out of
    // order the re-send's answer comes first and the late one behind it.
    for (double late : {1.5, 2.0}) {
        char name[80];
        std::snprintf(name, sizeof name, "a reply %g time-outs late, its re-send answered at once", late);
        cases.push_back({name, [late](const PacketAt& p, std::mt19937&) {
                             return Chosen(p) && p.send == 0 ? After(late) : ReplyPlan{};
                         }});
    }
    cases.push_back({"every reply 0.9 to 1.2 time-outs late", [](const PacketAt&, std::mt19937& random) {
                         return After(std::uniform_real_distribution<double>(0.9, 1.2)(random));
                     }});
    cases.push_back({"every reply 1.1 to 1.2 time-outs late", [](const PacketAt&, std::mt19937& random) {
                         return After(std::uniform_real_distribution<double>(1.1, 1.2)(random));
                     }});
    // The meter identifies itself correctly and then answers every read
    // with a well-formed frame of another length.
    cases.push_back({"half-length frames on every read", [](const PacketAt& p, std::mt19937&) {
                         return p.distinct > 0 ? Shaped(ReplyPlan::Shape::Half) : ReplyPlan{};
                     }});
    cases.push_back({"252-byte payloads on every read", [](const PacketAt& p, std::mt19937&) {
                         return p.distinct > 0 ? Shaped(ReplyPlan::Shape::Oversize, 252) : ReplyPlan{};
                     }});
    cases.push_back({"255-byte payloads on every read", [](const PacketAt& p, std::mt19937&) {
                         return p.distinct > 0 ? Shaped(ReplyPlan::Shape::Oversize, 255) : ReplyPlan{};
                     }});
    // 5 ms after the time-out: after the link has given up, before the
    // send delay (10 ms) has passed and the packet goes out again.
    cases.push_back({"every reply inside the send delay after the time-out",
                     [](const PacketAt&, std::mt19937&) { return After(1.05); }});
    return cases;
}

// Every kind of request once, with short archive stretches; an odd count,
// so that the second round has the late packet where the first had none.
std::vector<SessionRequest> Requests() {
    auto make = [](RequestId kind, std::uint8_t number = 1, std::uint8_t number2 = 1, std::uint8_t startBack = 0) {
        SessionRequest r;
        r.kind = kind;
        r.number = number;
        r.number2 = number2;
        r.startBack = startBack;
        return r;
    };
    const std::vector<SessionRequest> round = {
        make(RequestId::ID),
        make(RequestId::ModuleCount),
        make(RequestId::ModuleRecord, 3),
        make(RequestId::CurrentData),
        make(RequestId::AccumulatedData),
        make(RequestId::ArchiveCount),
        make(RequestId::ArchiveT_Hour, 1, 1, 12),     // hourly T, across the ring's end
        make(RequestId::ArchiveE_Day, 2, 1, 25),      // daily E
        make(RequestId::ArchiveTime_Hour, 1, 1, 30),  // hourly time
        make(RequestId::ErrorHDev),
        make(RequestId::ErrorHModule, 2),
        make(RequestId::ErrorDataDev, 1),
        make(RequestId::ErrorDataModule, 1, 2),
        make(RequestId::EditHModule, 4),
        make(RequestId::EditDataModule, 3),
    };
    std::vector<SessionRequest> requests = round;
    requests.insert(requests.end(), round.begin(), round.end());
    return requests;
}

struct Mode {
    const char* name;
    int sendLimit;
    ConfirmMode confirm;
};

constexpr Mode kModes[] = {
    {"limit 3, off", Q31_DEFAULT_SEND_LIMIT, ConfirmMode::Off},
    {"limit 3, auto", Q31_DEFAULT_SEND_LIMIT, ConfirmMode::Auto},
    {"limit 3, always", Q31_DEFAULT_SEND_LIMIT, ConfirmMode::Always},
    {"no limit, off", 0, ConfirmMode::Off},
    {"no limit, auto", 0, ConfirmMode::Auto},
    {"no limit, always", 0, ConfirmMode::Always},
};

class LatenessSweep : public ::testing::TestWithParam<bool> {};

TEST_P(LatenessSweep, NoRequestDeliversWrongData) {
    const bool outOfOrder = GetParam();
    sim::MeterModel meter(SessionDriver::MeterSetup());
    MeterAnswers answers(meter);
    SessionDriver driver(answers);
    const std::vector<SessionRequest> requests = Requests();
    const std::vector<Case> cases = Cases();

    std::string table = "| case (right / wrong / failed) |";
    for (const Mode& mode : kModes) table += std::string(" ") + mode.name + " |";
    table += "\n|---|";
    for (std::size_t i = 0; i < std::size(kModes); ++i) table += "---|";
    table += "\n";
    // Q31_SWEEP_CASE and Q31_SWEEP_MODE (parts of a name) run one cell, for
    // a trace with Q31_SESSION_TRACE=1.
    const char* onlyCase = std::getenv("Q31_SWEEP_CASE");
    const char* onlyMode = std::getenv("Q31_SWEEP_MODE");
    for (const Case& c : cases) {
        if (onlyCase && c.name.find(onlyCase) == std::string::npos) continue;
        table += "| " + c.name + " |";
        for (const Mode& mode : kModes) {
            if (onlyMode && std::string(mode.name) != onlyMode) continue;
            LineSetup setup;
            setup.timeOutMs = kTimeOutMs;
            setup.sendLimit = mode.sendLimit;
            setup.confirm = mode.confirm;
            setup.outOfOrder = outOfOrder;
            ScriptedLine line(c.script);
            const SessionCounts n = driver.Measure(setup, line, requests, kGiveUpTimeOuts);
            char cell[48];
            std::snprintf(cell, sizeof cell, " %d / %s%d%s / %d |", n.right, n.wrong ? "**" : "", n.wrong,
                          n.wrong ? "**" : "", n.failed);
            table += cell;
            const int total = static_cast<int>(requests.size());
            EXPECT_EQ(n.right + n.wrong + n.failed, total) << c.name << ", " << mode.name;
            if (!(outOfOrder && c.beyondBound)) {
                EXPECT_EQ(n.wrong, 0) << c.name << ", " << mode.name;
            }
            if (c.name.find("control") != std::string::npos) {
                EXPECT_EQ(n.right, total) << mode.name;
            }
        }
        table += "\n";
    }
    std::printf(
        "\n%s. Time-out %d ms, echo off, %zu requests per cell; a request with no result %d time-outs after its "
        "start counts as failed.\n\n%s\n",
        outOfOrder ? "Out of order: each reply when its own delay says" : "In order: one reply at a time, in turn",
        kTimeOutMs, requests.size(), kGiveUpTimeOuts, table.c_str());
}

INSTANTIATE_TEST_SUITE_P(Orders, LatenessSweep, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "OutOfOrder" : "InOrder"; });

}  // namespace
}  // namespace q31::fuzz
