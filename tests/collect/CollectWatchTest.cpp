// A fleet collected while it lives: eight meters on one line of q31-sim,
// their clock running fast, writing between the packets of every archive
// read, one of them reset and one replaced on the way. Whatever q31 collect
// stored must be what the meters wrote (the history q31-sim keeps), and
// every record must be there or inside a recorded gap.
#include <signal.h>
#include <sqlite3.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/ChildProcess.h"
#include "tests/collect/CollectCheck.h"
#include "tests/collect/CollectChild.h"

namespace q31::test {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

std::vector<json> ReadHistory(const std::string& path) {
    std::vector<json> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.back() == '}') out.push_back(json::parse(line));
    return out;
}

// Polls the history until an entry satisfies `done`; false after `limit`.
template <typename F>
bool WaitForHistory(const std::string& path, F done, std::chrono::seconds limit) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
        for (const json& e : ReadHistory(path))
            if (done(e)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

struct Rows {
    sqlite3* db = nullptr;
    explicit Rows(const std::string& path) { sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr); }
    ~Rows() { sqlite3_close(db); }
    template <typename F>
    void Each(const std::string& sql, F row) {
        sqlite3_stmt* s = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        while (sqlite3_step(s) == SQLITE_ROW) row(s);
        sqlite3_finalize(s);
    }
};

std::string Text(sqlite3_stmt* s, int c) { return reinterpret_cast<const char*>(sqlite3_column_text(s, c)); }

constexpr double kClockRate = 12000;  // an hour in 0.3 s

// Meter 1 is reset on day 1 and meter 2 replaced (7002 by 7902) on day 2;
// they come first on the line, so the collector knew them before. Meters 7
// and 8 have full rings (1080 hourly records): what they write during a
// read takes the slot of a record not read yet.
std::string BusFile(const std::string& dir) {
    std::string text = "clock_rate = " + std::to_string(kClockRate) + "\nwrite_during_reads = 7\n";
    for (int a = 1; a <= 8; ++a)
        text += "\n[[meter]]\naddress = " + std::to_string(a) + "\nserial = " + std::to_string(7000 + a) +
                "\nmodules = 1\nfaults = [\"corrupt:0.01\", \"silence:0.005\"]\n" +
                (a < 7 ? "hour_count = 150\nday_count = 20\n" : "hour_count = 1100\nday_count = 60\n");
    text +=
        "\n[[reset]]\nat = 86400\naddress = 1\nhour_count = 40\nday_count = 2\n"
        "\n[[swap]]\nat = 172800\naddress = 2\nserial = 7902\n";
    const std::string path = dir + "/bus.toml";
    std::ofstream(path) << text;
    return path;
}

std::string FleetConfig(const std::string& dir, const std::string& port, std::uint32_t serialOf2) {
    std::string text =
        "[collect]\nretry_base_ms = 200\nretry_max_ms = 1000\n\n[defaults]\ntimeout_ms = 100\nsend_limit = 6\n"
        "logs = false\ncurrent_every_min = 0\narchive_every_min = 0.02\nseries = [\"time\", \"t\", \"e\"]\n";
    for (int a = 1; a <= 8; ++a)
        text += "\n[[meter]]\nname = \"m" + std::to_string(a) + "\"\nport = \"" + port +
                "\"\naddress = " + std::to_string(a) + "\nserial = " + std::to_string(a == 2 ? serialOf2 : 7000 + a) +
                "\n" + (a < 7 ? "" : "series = [\"t\"]\n");
    const std::string path = dir + "/fleet" + std::to_string(serialOf2) + ".toml";
    std::ofstream(path) << text;
    return path;
}

TEST(CollectWatch, AFleetThatWritesWhileReadIsStoredAsTheMetersWroteItWithOnlyRecordedGapsMissing) {
    const std::string dir = MakeTempDir("q31-collect-watch");
    const std::string db = dir + "/q31.sqlite";
    const std::string history = dir + "/history.jsonl";
    ChildProcess sim;
    ASSERT_TRUE(sim.Start(Q31_SIM_PROGRAM, {"--bus", BusFile(dir), "--history-out", history}));
    const std::string line = sim.FirstLine(10000);
    ASSERT_FALSE(line.empty());
    // No earlier than the meters' clock started.
    const auto simReady = Clock::now();

    const auto runUntil = [&](const std::string& config, auto done) {
        CollectChild watch({"collect", "--config", config, "--db", db}, dir);
        const bool reached = WaitForHistory(history, done, std::chrono::seconds(40));
        watch.Signal(SIGTERM);
        EXPECT_TRUE(watch.Wait(std::chrono::seconds(20)));
        EXPECT_EQ(watch.ExitStatus(), 143) << watch.Err();
        return reached;
    };
    // Until the swap, then with the new serial number until day 3 is over.
    ASSERT_TRUE(runUntil(FleetConfig(dir, line, 7002), [](const json& e) { return e["kind"] == "swap"; }));
    const std::string config = FleetConfig(dir, line, 7902);
    ASSERT_TRUE(runUntil(config, [](const json& e) { return e["at"].get<double>() > 3 * 86400 + 3600; }));
    const auto lastPass = Clock::now();
    const CollectRun once = RunCollect({"collect", "--config", config, "--once", "--db", db}, dir);
    ASSERT_EQ(once.status, 0) << once.err;
    sim.Stop();
    // Every record written before the last pass began was in the meters when it read them.
    const double writtenBefore = kClockRate * std::chrono::duration<double>(lastPass - simReady).count();

    // The truth: (serial, era, ring, record) -> the entry; each serial's eras in order.
    const std::vector<json> entries = ReadHistory(history);
    std::map<std::tuple<std::uint32_t, std::uint32_t, std::string, std::uint32_t>, json> truth;
    std::map<std::uint32_t, std::vector<std::uint32_t>> eras;
    for (const json& e : entries) {
        if (e["kind"] != "hour" && e["kind"] != "day") continue;
        const auto serial = e["serial"].get<std::uint32_t>();
        const auto era = e["era"].get<std::uint32_t>();
        auto& list = eras[serial];
        if (std::find(list.begin(), list.end(), era) == list.end()) list.push_back(era);
        truth[{serial, era, e["kind"].get<std::string>(), e["record"].get<std::uint32_t>()}] = e;
    }
    ASSERT_EQ(eras.size(), 9u);
    ASSERT_EQ(eras[7001].size(), 2u);

    // (serial, epoch, module, series) -> records stored, and the gaps.
    using Key = std::tuple<std::uint32_t, std::uint32_t, int, std::string>;
    std::map<Key, std::set<std::uint32_t>> stored;
    std::map<Key, std::vector<std::pair<std::uint32_t, std::uint32_t>>> gaps;
    std::vector<std::string> wrong;
    Rows rows(db);
    rows.Each("SELECT serial, epoch, module, series, record, value, meter FROM archive_values", [&](sqlite3_stmt* s) {
        const auto serial = static_cast<std::uint32_t>(sqlite3_column_int64(s, 0));
        const auto epoch = static_cast<std::uint32_t>(sqlite3_column_int64(s, 1));
        const int module = sqlite3_column_int(s, 2);
        const std::string series = Text(s, 3);
        const auto record = static_cast<std::uint32_t>(sqlite3_column_int64(s, 4));
        const long long value = sqlite3_column_int64(s, 5);
        stored[{serial, epoch, module, series}].insert(record);
        const auto cut = series.rfind('_');
        if (epoch >= eras[serial].size() || Text(s, 6) != "m" + std::to_string(serial % 100)) {
            wrong.push_back(Text(s, 6) + " " + std::to_string(serial) + " epoch " + std::to_string(epoch));
            return;
        }
        const auto it = truth.find({serial, eras[serial][epoch], series.substr(cut + 1), record});
        const std::string base = series.substr(0, cut);
        const json* want = it == truth.end() ? nullptr : &it->second;
        if (!want || (base == "time" ? (*want)["time"] : (*want)[base][module - 1]).get<long long>() != value)
            wrong.push_back(std::to_string(serial) + " epoch " + std::to_string(epoch) + " " + series + " record " +
                            std::to_string(record) + ": stored " + std::to_string(value) + ", written " +
                            (want ? want->dump() : "never"));
    });
    rows.Each("SELECT serial, epoch, module, series, first_missing, last_missing FROM gaps", [&](sqlite3_stmt* s) {
        gaps[{static_cast<std::uint32_t>(sqlite3_column_int64(s, 0)),
              static_cast<std::uint32_t>(sqlite3_column_int64(s, 1)), sqlite3_column_int(s, 2), Text(s, 3)}]
            .push_back({static_cast<std::uint32_t>(sqlite3_column_int64(s, 4)),
                        static_cast<std::uint32_t>(sqlite3_column_int64(s, 5))});
    });
    EXPECT_EQ(wrong.size(), 0u) << (wrong.empty() ? "" : wrong.front());

    // Time, t and e of both rings for six meters and for the reset meter's
    // new epoch and the replacing meter; t of both rings for the two with
    // full rings. The reset meter's first epoch and the replaced meter may
    // have changed before the collector came to every one of their series
    // (their reads share the line with seven others), but not before it came
    // to one.
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::size_t> seriesOf;
    for (const auto& [key, records] : stored) ++seriesOf[std::make_pair(std::get<0>(key), std::get<1>(key))];
    const auto seriesIn = [&](std::uint32_t serial, std::uint32_t epoch) {
        const auto it = seriesOf.find(std::make_pair(serial, epoch));
        return it == seriesOf.end() ? std::size_t{0} : it->second;
    };
    for (std::uint32_t serial = 7001; serial <= 7008; ++serial) {
        if (serial == 7002) continue;
        EXPECT_EQ(seriesIn(serial, serial == 7001 ? 1 : 0), serial >= 7007 ? 2u : 6u) << serial;
    }
    EXPECT_EQ(seriesIn(7902, 0), 6u);
    EXPECT_GE(seriesIn(7001, 0), 1u);
    EXPECT_GE(seriesIn(7002, 0), 1u);
    EXPECT_EQ(seriesOf.size(), 10u) << "no other meter or epoch";
    std::size_t gapCount = 0;
    for (const auto& [key, records] : stored) {
        const auto& [serial, epoch, module, series] = key;
        const std::uint32_t era = eras[serial][epoch];
        const std::string ring = series.substr(series.rfind('_') + 1);
        const std::string what = std::to_string(serial) + " epoch " + std::to_string(epoch) + " " + series;
        // From the oldest record the meter held when first read, to the last stored.
        auto first = truth.lower_bound({serial, era, ring, 0});
        std::set<std::uint32_t> covered = records;
        for (const auto& [from, to] : gaps[key]) {
            ++gapCount;
            for (std::uint32_t r = from; r <= to; ++r)
                EXPECT_TRUE(covered.insert(r).second) << what << ": record " << r << " stored and in a gap";
        }
        ASSERT_NE(first, truth.end());
        // An hourly ring already full may have gone on by the time the
        // collector came to the meter; a ring not full yet starts at its first.
        if (ring == "day" || std::get<3>(first->first) == 0)
            EXPECT_EQ(*covered.begin(), std::get<3>(first->first)) << what;
        else EXPECT_TRUE(truth.count({serial, era, ring, *covered.begin()})) << what;
        EXPECT_EQ(*covered.rbegin() - *covered.begin() + 1, covered.size()) << what << ": a record missing";
        // The meters in place at the end: nothing written before the last pass is missing.
        if (serial == 7002 || (serial == 7001 && epoch == 0)) continue;
        const auto next = truth.find({serial, era, ring, *records.rbegin() + 1});
        if (next != truth.end()) {
            EXPECT_GT(next->second["at"].get<double>(), writtenBefore - 1) << what << ": " << next->second.dump();
        }
    }
    // Each meter was read while the collector watched, not only by the last pass.
    EXPECT_EQ(QueryNumber(db,
                          "SELECT count(DISTINCT meter) FROM archive_values JOIN runs ON runs.id = archive_values.run "
                          "WHERE runs.mode = 'watch'"),
              8);
    // Writes in the middle of full-ring reads lose records, and they are recorded.
    EXPECT_GT(gapCount, 0u);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM meter_events WHERE meter='m1' AND kind='reset' AND epoch=1"), 1);
    EXPECT_EQ(QueryNumber(db, "SELECT count(*) FROM meter_events WHERE meter='m2' AND kind='replaced'"), 1);
}

}  // namespace
}  // namespace q31::test
