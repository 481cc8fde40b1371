#include "tools/q31/status/StatusServer.h"

#include "tools/q31/forward/SqliteQuery.h"

#include <httplib.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <optional>
#include <stdexcept>

namespace q31::tool::forward {

namespace {

// Every outcome an attempt can have; each is shown, at 0 too, so that a rate
// over an outcome exists before its first occurrence.
const char* const kOutcomes[] = {"ok", "no answer", "other meter", "port error", "port busy", "error"};

// The chart shows two days of hourly records.
constexpr int kChartPoints = 48;
constexpr int kModuleMax = 6;

std::int64_t Now() { return static_cast<std::int64_t>(std::time(nullptr)); }

// Threads for the connections, and a bounded wait for one: a connection
// that idles holds a thread until its time-out, so there are more threads
// than a handful of idle clients, and beyond the queue's bound the server
// accepts nothing more until a thread is free (the clients wait in the
// kernel's backlog, holding no descriptor of the collector's).
constexpr int kThreads = 16;
constexpr std::size_t kQueued = 32;
// An idle connection is closed after this; a scrape is a single request.
constexpr int kIdleSeconds = 2;
constexpr int kReadSeconds = 3;
constexpr int kWriteSeconds = 5;
constexpr int kRequestsPerConnection = 20;

class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool() {
        for (int i = 0; i < kThreads; ++i) threads_.emplace_back([this] { Work(); });
    }

    // On the accepting thread: waits while the queue is full.
    void enqueue(std::function<void()> task) override {
        std::unique_lock<std::mutex> lock(mutex_);
        space_.wait(lock, [this] { return queue_.size() < kQueued || shutdown_; });
        queue_.push_back(std::move(task));
        work_.notify_one();
    }

    // Every task queued still runs: each owns a socket it closes.
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shutdown_ = true;
        }
        work_.notify_all();
        space_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

private:
    void Work() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                work_.wait(lock, [this] { return !queue_.empty() || shutdown_; });
                if (queue_.empty()) return;
                task = std::move(queue_.front());
                queue_.pop_front();
            }
            space_.notify_one();
            task();
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable space_;
    std::deque<std::function<void()>> queue_;
    bool shutdown_ = false;
    std::vector<std::thread> threads_;
};

// A label value: backslash, double quote and line feed are escaped.
std::string Label(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

std::string Html(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string IsoTime(std::int64_t unixSeconds) {
    using namespace std::chrono;
    const sys_seconds at{seconds(unixSeconds)};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{at - day};
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02ld:%02ld:%02ldZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<long>(time.hours().count()), static_cast<long>(time.minutes().count()),
                  static_cast<long>(time.seconds().count()));
    return text;
}

// A span of time the way a person reads it on a dashboard: its largest unit.
std::string Span(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 120) return std::to_string(seconds) + " s";
    if (seconds < 2 * 3600) return std::to_string(seconds / 60) + " min";
    if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " d";
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels, std::int64_t value) {
    out += name;
    out += '{';
    out += labels;
    out += "} ";
    out += std::to_string(value);
    out += '\n';
}

struct Point {
    std::int64_t record = 0;
    std::int64_t value = 0;
};

std::string Number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// The values as a line over their records (a hole in the records shows as a
// longer step), the largest value written above it and the smallest below.
std::string Chart(const std::string& meter, const std::vector<Point>& points, int module) {
    constexpr double kLeft = 4, kRight = 296, kTop = 16, kBottom = 60;
    std::string svg = "<svg id=\"chart-" + Html(meter) +
                      "\" class=\"chart\" width=\"300\" height=\"78\" viewBox=\"0 0 300 78\" role=\"img\">";
    if (points.empty()) {
        svg += "<title>no hourly energy values stored</title>";
        svg += "<text x=\"4\" y=\"42\" class=\"none\">no hourly values yet</text></svg>";
        return svg;
    }
    std::int64_t low = points.front().value, high = low;
    for (const Point& p : points) {
        low = std::min(low, p.value);
        high = std::max(high, p.value);
    }
    // Differences in unsigned arithmetic: exact, where doubles of values
    // this large would lose the small steps and a signed one could overflow.
    auto above = [](std::int64_t v, std::int64_t base) {
        return static_cast<double>(static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(base));
    };
    const std::int64_t first = points.front().record, last = points.back().record;
    svg += "<title>E, module " + std::to_string(module) + ", records " + std::to_string(first) + " to " +
           std::to_string(last) + "</title>";
    svg += "<line class=\"axis\" x1=\"" + Number(kLeft) + "\" y1=\"" + Number(kBottom) + "\" x2=\"" + Number(kRight) +
           "\" y2=\"" + Number(kBottom) + "\"/>";
    auto x = [&](std::int64_t record) {
        if (last == first) return (kLeft + kRight) / 2;
        return kLeft + (kRight - kLeft) * above(record, first) / above(last, first);
    };
    auto y = [&](std::int64_t value) {
        if (high == low) return (kTop + kBottom) / 2;
        return kBottom - (kBottom - kTop) * above(value, low) / above(high, low);
    };
    svg += "<polyline class=\"line\" points=\"";
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (i) svg += ' ';
        svg += Number(x(points[i].record)) + "," + Number(y(points[i].value));
    }
    svg += "\"/>";
    const Point& newest = points.back();
    svg += "<circle class=\"dot\" cx=\"" + Number(x(newest.record)) + "\" cy=\"" + Number(y(newest.value)) +
           "\" r=\"2.5\"/>";
    svg += "<text class=\"max\" x=\"4\" y=\"10\">max " + std::to_string(high) + "</text>";
    svg += "<text class=\"min\" x=\"4\" y=\"74\">min " + std::to_string(low) + "</text>";
    svg += "</svg>";
    return svg;
}

const char* const kStyle = R"css(
body { font: 14px/1.4 system-ui, sans-serif; margin: 24px; color: #1f2933; background: #f5f7fa; }
h1 { font-size: 20px; margin: 0 0 4px; }
h1 .gateway { color: #52606d; font-weight: normal; }
h2 { font-size: 16px; margin: 24px 0 8px; }
p.summary { margin: 0; color: #52606d; }
table { border-collapse: collapse; background: #fff; box-shadow: 0 1px 2px rgba(0,0,0,.08); }
th, td { padding: 6px 12px; text-align: left; vertical-align: middle; border-bottom: 1px solid #e4e7eb; }
th { font-weight: 600; font-size: 12px; color: #52606d; background: #f0f4f8; }
td.number { text-align: right; font-variant-numeric: tabular-nums; }
small { color: #7b8794; }
.state { display: inline-block; padding: 1px 8px; border-radius: 10px; font-size: 12px; font-weight: 600; }
.state.ok { background: #e3f9e5; color: #207227; }
.state.failing { background: #ffe3e3; color: #a61b1b; }
.state.unknown { background: #e4e7eb; color: #52606d; }
tr.failing td.failures { color: #a61b1b; font-weight: 600; }
svg.chart .line { fill: none; stroke: #2680c2; stroke-width: 1.5; }
svg.chart .dot { fill: #2680c2; }
svg.chart .axis { stroke: #cbd2d9; stroke-width: 1; }
svg.chart text { font-size: 10px; fill: #52606d; }
svg.chart text.none { fill: #9aa5b1; font-style: italic; }
footer { margin-top: 24px; color: #7b8794; font-size: 12px; }
)css";

}  // namespace

// One read of the database: a read-only connection and a transaction, so
// that everything a page shows belongs to the same moment.
class StatusServer::Reading {
public:
    explicit Reading(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw std::runtime_error("database " + path + ": " + why);
        }
        // Only a checkpoint's recovery makes a reader wait, and briefly.
        sqlite3_busy_timeout(db_, 2000);
        Exec("BEGIN");
    }
    ~Reading() {
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
    }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;

    sqlite3* Db() const { return db_; }
    std::int64_t Number(const char* sql) {
        SqliteQuery q(db_, sql);
        return q.Step() ? q.Int(0) : 0;
    }

private:
    void Exec(const char* sql) {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("database: ") + sqlite3_errmsg(db_));
    }

    sqlite3* db_ = nullptr;
};

StatusServer::StatusServer(const collect::HttpSettings& settings, std::string dbPath, std::string gateway,
                           SinkStatus sinks)
    : spec_(settings), dbPath_(std::move(dbPath)), gateway_(std::move(gateway)), sinks_(std::move(sinks)) {}

StatusServer::~StatusServer() { Stop(); }

bool StatusServer::Start(std::string* error) {
    if (thread_.joinable()) return true;
    auto fail = [&](const std::string& why) {
        if (error) *error = "http: cannot listen on " + spec_.listen + ": " + why;
        server_.reset();
        return false;
    };
    const auto colon = spec_.listen.rfind(':');
    if (colon == std::string::npos) return fail("not HOST:PORT");
    std::string host = spec_.listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "0.0.0.0";  // ":9731": every interface
    int port = -1;
    try {
        std::size_t used = 0;
        port = std::stoi(spec_.listen.substr(colon + 1), &used);
        if (colon + 1 + used != spec_.listen.size()) port = -1;
    } catch (const std::exception&) {
    }
    if (port < 0 || port > 65535) return fail("not a port number");

    server_ = std::make_unique<httplib::Server>();
    server_->new_task_queue = [] { return new BoundedPool; };
    server_->set_keep_alive_timeout(kIdleSeconds);
    server_->set_keep_alive_max_count(kRequestsPerConnection);
    server_->set_read_timeout(kReadSeconds, 0);
    server_->set_write_timeout(kWriteSeconds, 0);
    auto serve = [this](std::string (StatusServer::*body)(), const char* type) {
        return [this, body, type](const httplib::Request&, httplib::Response& res) {
            try {
                res.set_content((this->*body)(), type);
            } catch (const std::exception& e) {
                res.status = 503;
                res.set_content(std::string("q31 collect: ") + e.what() + "\n", "text/plain; charset=utf-8");
            }
            res.set_header("Cache-Control", "no-store");
        };
    };
    server_->Get("/metrics", serve(&StatusServer::Metrics, "text/plain; version=0.0.4; charset=utf-8"));
    server_->Get("/", serve(&StatusServer::Page, "text/html; charset=utf-8"));

    if (port == 0) {
        port = server_->bind_to_any_port(host);
        if (port < 0) return fail("no port free");
    } else if (!server_->bind_to_port(host, port)) {
        return fail("address in use or not on this machine");
    }
    port_ = port;
    auto ended = std::make_shared<std::atomic<bool>>(false);
    thread_ = std::thread([this, ended] {
        server_->listen_after_bind();
        *ended = true;
    });
    // The server can only be stopped once it runs: wait for that, so that a
    // Stop right after Start cannot be missed.
    while (!server_->is_running() && !*ended) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (*ended) {
        thread_.join();
        port_ = 0;
        return fail("the server ended at once");
    }
    return true;
}

void StatusServer::Stop() {
    if (!thread_.joinable()) return;
    server_->stop();
    thread_.join();
    server_.reset();
    port_ = 0;
}

void StatusServer::Catchup(Reading& r) {
    try {
        CatchupFrom(r);
    } catch (...) {
        // Half brought up to date: count everything again next time.
        journalSeen_ = -1;
        attemptSeen_ = 0;
        attemptMark_.clear();
        attempts_.clear();
        throw;
    }
}

void StatusServer::CatchupFrom(Reading& r) {
    sqlite3* db = r.Db();
    // The row counted up to, told apart from another database's row of the
    // same number (the file replaced under the same name).
    auto mark = [db](const char* sql, std::int64_t id) {
        SqliteQuery q(db, sql);
        q.Bind(1, id);
        return q.Step() ? q.Text(0) : std::string();
    };
    const char* const journalMark = "SELECT kind || '|' || meter || '|' || at FROM journal WHERE seq = ?";
    const char* const attemptMark = "SELECT meter || '|' || started_at || '|' || ended_at FROM attempts WHERE id = ?";

    const std::int64_t newest = r.Number("SELECT coalesce(max(seq), 0) FROM journal");
    if (journalSeen_ < 0 || newest < journalSeen_ || mark(journalMark, journalSeen_) != journalMark_) {
        // The first request, or another database: count all.
        seriesRows_.clear();
        SqliteQuery all(db,
                        "SELECT meter, serial, epoch, module, series, count(*) FROM archive_values GROUP BY meter, "
                        "serial, epoch, module, series");
        while (all.Step()) seriesRows_[{all.Text(0), all.Int(1), all.Int(2), all.Int(3), all.Text(4)}] = all.Int(5);
    } else if (newest > journalSeen_) {
        // Every batch of archive values has its journal entry: the series
        // named since the last request are the only ones whose count moved.
        SqliteQuery named(db,
                          "SELECT DISTINCT meter, serial, epoch, module, name FROM journal WHERE seq > ? AND "
                          "kind = 'archive'");
        named.Bind(1, journalSeen_);
        SqliteQuery count(
            db,
            "SELECT count(*) FROM archive_values WHERE meter = ? AND serial = ? AND epoch = ? AND module = ? "
            "AND series = ?");
        while (named.Step()) {
            SeriesKey key{named.Text(0), named.Int(1), named.Int(2), named.Int(3), named.Text(4)};
            count.Reset();
            count.Bind(1, std::get<0>(key)).Bind(2, std::get<1>(key)).Bind(3, std::get<2>(key));
            count.Bind(4, std::get<3>(key)).Bind(5, std::get<4>(key));
            count.Step();
            seriesRows_[key] = count.Int(0);
        }
    }
    journalSeen_ = newest;
    journalMark_ = mark(journalMark, newest);

    // Attempts are only ever added, in the order of their ids.
    const std::int64_t lastAttempt = r.Number("SELECT coalesce(max(id), 0) FROM attempts");
    if (lastAttempt < attemptSeen_ || mark(attemptMark, attemptSeen_) != attemptMark_) {
        attempts_.clear();
        attemptSeen_ = 0;
    }
    SqliteQuery sums(
        db,
        "SELECT meter, outcome, count(*), sum(packets), sum(resends), sum(rejected_checksum), "
        "sum(rejected_other), sum(timeouts) FROM attempts WHERE id > ? AND id <= ? GROUP BY meter, outcome");
    sums.Bind(1, attemptSeen_).Bind(2, lastAttempt);
    while (sums.Step()) {
        AttemptSums& a = attempts_[{sums.Text(0), sums.Text(1)}];
        a.count += sums.Int(2);
        a.packets += sums.Int(3);
        a.resends += sums.Int(4);
        a.rejectedChecksum += sums.Int(5);
        a.rejectedOther += sums.Int(6);
        a.timeouts += sums.Int(7);
    }
    attemptSeen_ = lastAttempt;
    attemptMark_ = mark(attemptMark, lastAttempt);
}

std::map<std::string, std::int64_t> StatusServer::RecordsByMeter() const {
    std::map<std::string, std::int64_t> records;
    for (const auto& [key, rows] : seriesRows_) records[std::get<0>(key)] += rows;
    return records;
}

std::string StatusServer::Metrics() {
    // One request at a time brings the totals up to its own reading: two
    // at once could offer them an older state after a newer one.
    std::lock_guard<std::mutex> lock(readMutex_);
    Reading r(dbPath_);
    Catchup(r);
    const std::map<std::string, std::int64_t> records = RecordsByMeter();
    struct Meter {
        std::string name;
        std::string labels;
        std::int64_t lastOk = 0;
        std::int64_t failures = 0;
    };
    std::vector<Meter> meters;
    {
        SqliteQuery q(r.Db(), "SELECT name, coalesce(last_ok, 0), failures FROM meters ORDER BY name");
        while (q.Step())
            meters.push_back({q.Text(0), "gateway=\"" + Label(gateway_) + "\",meter=\"" + Label(q.Text(0)) + "\"",
                              q.Int(1), q.Int(2)});
    }
    std::map<std::string, std::int64_t> gaps;
    {
        SqliteQuery q(r.Db(), "SELECT meter, count(*) FROM gaps GROUP BY meter");
        while (q.Step()) gaps[q.Text(0)] = q.Int(1);
    }
    auto sums = [&](const std::string& meter) {
        AttemptSums total;
        for (auto it = attempts_.lower_bound({meter, ""}); it != attempts_.end() && it->first.first == meter; ++it) {
            total.packets += it->second.packets;
            total.resends += it->second.resends;
            total.rejectedChecksum += it->second.rejectedChecksum;
            total.rejectedOther += it->second.rejectedOther;
            total.timeouts += it->second.timeouts;
        }
        return total;
    };

    std::string out;
    Family(out, "q31_meter_last_success_timestamp_seconds", "gauge",
           "When the meter was last read without a failure, Unix time; 0 when never.");
    for (const Meter& m : meters) Sample(out, "q31_meter_last_success_timestamp_seconds", m.labels, m.lastOk);
    Family(out, "q31_meter_attempts_total", "counter", "Passes over the meter, by outcome.");
    for (const Meter& m : meters) {
        std::vector<std::string> outcomes(std::begin(kOutcomes), std::end(kOutcomes));
        for (auto it = attempts_.lower_bound({m.name, ""}); it != attempts_.end() && it->first.first == m.name; ++it)
            if (std::find(outcomes.begin(), outcomes.end(), it->first.second) == outcomes.end())
                outcomes.push_back(it->first.second);
        for (const std::string& outcome : outcomes) {
            const auto it = attempts_.find({m.name, outcome});
            Sample(out, "q31_meter_attempts_total", m.labels + ",outcome=\"" + Label(outcome) + "\"",
                   it == attempts_.end() ? 0 : it->second.count);
        }
    }
    Family(out, "q31_meter_packets_total", "counter", "Packets written to the meter, re-sends included.");
    for (const Meter& m : meters) Sample(out, "q31_meter_packets_total", m.labels, sums(m.name).packets);
    Family(out, "q31_meter_resends_total", "counter", "Packets written again after a damaged or missing reply.");
    for (const Meter& m : meters) Sample(out, "q31_meter_resends_total", m.labels, sums(m.name).resends);
    Family(out, "q31_meter_rejected_replies_total", "counter", "Replies thrown away, by reason.");
    for (const Meter& m : meters) {
        const AttemptSums s = sums(m.name);
        Sample(out, "q31_meter_rejected_replies_total", m.labels + ",reason=\"checksum\"", s.rejectedChecksum);
        Sample(out, "q31_meter_rejected_replies_total", m.labels + ",reason=\"other\"", s.rejectedOther);
    }
    Family(out, "q31_meter_timeouts_total", "counter", "Packets the meter did not answer in time.");
    for (const Meter& m : meters) Sample(out, "q31_meter_timeouts_total", m.labels, sums(m.name).timeouts);
    Family(out, "q31_meter_records_stored_total", "counter", "Archive values stored, of every series and module.");
    for (const Meter& m : meters) {
        const auto it = records.find(m.name);
        Sample(out, "q31_meter_records_stored_total", m.labels, it == records.end() ? 0 : it->second);
    }
    Family(out, "q31_meter_gaps_total", "counter", "Ranges of records the meter overwrote before they were read.");
    for (const Meter& m : meters) {
        const auto it = gaps.find(m.name);
        Sample(out, "q31_meter_gaps_total", m.labels, it == gaps.end() ? 0 : it->second);
    }
    Family(out, "q31_meter_failures_in_row", "gauge", "Passes over the meter that failed since the last good one.");
    for (const Meter& m : meters) Sample(out, "q31_meter_failures_in_row", m.labels, m.failures);

    const std::vector<ForwardStatus> sinks = sinks_ ? sinks_() : std::vector<ForwardStatus>{};
    if (sinks.empty()) return out;
    auto sinkFamily = [&](const char* name, const char* type, const char* help,
                          std::int64_t (*value)(const ForwardStatus&)) {
        Family(out, name, type, help);
        for (const ForwardStatus& s : sinks)
            Sample(out, name, "gateway=\"" + Label(gateway_) + "\",sink=\"" + Label(s.sink) + "\"", value(s));
    };
    sinkFamily("q31_sink_backlog_rows", "gauge", "Journal entries not shipped to the sink yet.",
               [](const ForwardStatus& s) { return s.backlogRows; });
    sinkFamily("q31_sink_backlog_seconds", "gauge", "Age of the oldest journal entry not shipped yet.",
               [](const ForwardStatus& s) { return s.backlogSeconds; });
    sinkFamily("q31_sink_connected", "gauge", "1 while the sink is connected.",
               [](const ForwardStatus& s) -> std::int64_t { return s.connected ? 1 : 0; });
    sinkFamily("q31_sink_shipped_total", "counter", "Journal entries shipped since the collector started.",
               [](const ForwardStatus& s) { return s.shipped; });
    sinkFamily("q31_sink_failures_total", "counter", "Connections or shipments that failed since the start.",
               [](const ForwardStatus& s) { return s.failures; });
    sinkFamily("q31_sink_rejected_total", "counter",
               "Messages or rows the sink refused for what they hold, set aside since the start.",
               [](const ForwardStatus& s) { return s.rejected; });
    return out;
}

std::string StatusServer::Page() {
    std::lock_guard<std::mutex> lock(readMutex_);
    Reading r(dbPath_);
    Catchup(r);
    const std::map<std::string, std::int64_t> records = RecordsByMeter();
    struct Meter {
        std::string name;
        std::int64_t serial = 0;
        std::int64_t epoch = 0;
        std::string outcome;  // empty: not tried yet
        std::optional<std::int64_t> lastOk;
        std::int64_t failures = 0;
        int module = 0;
        std::vector<Point> points;
    };
    std::vector<Meter> meters;
    {
        SqliteQuery q(
            r.Db(),
            "SELECT m.name, m.serial, coalesce(u.epoch, 0), coalesce(m.last_outcome, ''), m.last_ok, m.failures "
            "FROM meters m LEFT JOIN meter_units u ON u.meter = m.name AND u.serial = m.serial ORDER BY m.name");
        while (q.Step()) {
            Meter m;
            m.name = q.Text(0);
            m.serial = q.Int(1);
            m.epoch = q.Int(2);
            m.outcome = q.Text(3);
            m.lastOk = q.MaybeInt(4);
            m.failures = q.Int(5);
            meters.push_back(std::move(m));
        }
    }
    {
        // The present serial number and epoch only: a replaced or reset
        // meter's records start again.
        SqliteQuery has(r.Db(),
                        "SELECT 1 FROM archive_values WHERE meter = ? AND serial = ? AND epoch = ? AND module = ? AND "
                        "series = 'e_hour' LIMIT 1");
        SqliteQuery values(r.Db(),
                           "SELECT record, value FROM archive_values WHERE meter = ? AND serial = ? AND epoch = ? AND "
                           "module = ? AND series = 'e_hour' ORDER BY record DESC LIMIT ?");
        for (Meter& m : meters) {
            for (int module = 1; module <= kModuleMax && !m.module; ++module) {
                has.Reset();
                has.Bind(1, m.name).Bind(2, m.serial).Bind(3, m.epoch).Bind(4, module);
                if (has.Step()) m.module = module;
            }
            if (!m.module) continue;
            values.Reset();
            values.Bind(1, m.name).Bind(2, m.serial).Bind(3, m.epoch).Bind(4, m.module).Bind(5, kChartPoints);
            while (values.Step()) m.points.push_back({values.Int(0), values.Int(1)});
            std::reverse(m.points.begin(), m.points.end());
        }
    }
    const std::vector<ForwardStatus> sinks = sinks_ ? sinks_() : std::vector<ForwardStatus>{};

    const std::int64_t now = Now();
    const auto failing = std::count_if(meters.begin(), meters.end(), [](const Meter& m) { return m.failures > 0; });
    std::string h;
    h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">";
    h += "<meta http-equiv=\"refresh\" content=\"60\">";
    h += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">";
    h += "<title>q31 collect: " + Html(gateway_) + "</title><style>";
    h += kStyle;
    h += "</style></head><body>\n";
    h += "<header><h1>q31 collect <span class=\"gateway\">" + Html(gateway_) + "</span></h1>";
    h += "<p class=\"summary\">" + std::to_string(meters.size()) + (meters.size() == 1 ? " meter, " : " meters, ") +
         std::to_string(failing) + " failing &middot; as of " + IsoTime(now) + "</p></header>\n";

    h += "<h2>Meters</h2>\n<table class=\"meters\"><thead><tr><th>Meter</th><th>Serial</th><th>State</th>"
         "<th>Last good read</th><th>Failures in a row</th><th>Records</th><th>Hourly energy, last 48 records</th>"
         "</tr></thead><tbody>\n";
    for (const Meter& m : meters) {
        const char* state = m.outcome.empty() ? "unknown" : m.outcome == "ok" ? "ok" : "failing";
        const auto stored = records.find(m.name);
        h += "<tr id=\"meter-" + Html(m.name) + "\" class=\"" + state + "\">";
        h += "<td class=\"name\">" + Html(m.name) + "</td>";
        h += "<td class=\"number\">" + std::to_string(m.serial) + "</td>";
        h += "<td><span class=\"state " + std::string(state) + "\">" +
             Html(m.outcome.empty() ? "not tried yet" : m.outcome) + "</span></td>";
        if (m.lastOk) h += "<td>" + IsoTime(*m.lastOk) + "<br><small>" + Span(now - *m.lastOk) + " ago</small></td>";
        else h += "<td><small>never</small></td>";
        h += "<td class=\"number failures\">" + std::to_string(m.failures) + "</td>";
        h += "<td class=\"number\">" + std::to_string(stored == records.end() ? 0 : stored->second) + "</td>";
        h += "<td>" + Chart(m.name, m.points, m.module) + "</td></tr>\n";
    }
    h += "</tbody></table>\n<h2>Sinks</h2>\n";
    if (sinks.empty()) {
        h += "<p><small>No sink configured: the data stays in this gateway's database.</small></p>\n";
    } else {
        h += "<table class=\"sinks\"><thead><tr><th>Sink</th><th>Connected</th><th>Backlog</th><th>Oldest waiting</th>"
             "<th>Shipped</th><th>Failures</th><th>Set aside</th></tr></thead><tbody>\n";
        for (const ForwardStatus& s : sinks) {
            h += "<tr id=\"sink-" + Html(s.sink) + "\"><td class=\"name\">" + Html(s.sink) + "</td>";
            h += s.connected ? "<td><span class=\"state ok\">connected</span></td>"
                             : "<td><span class=\"state failing\">not connected</span></td>";
            h += "<td class=\"number\">" + std::to_string(s.backlogRows) + " entries</td>";
            h += "<td class=\"number\">" + (s.backlogRows > 0 ? Span(s.backlogSeconds) : std::string("&ndash;")) +
                 "</td>";
            h += "<td class=\"number\">" + std::to_string(s.shipped) + "</td>";
            h += "<td class=\"number\">" + std::to_string(s.failures) + "</td>";
            h += "<td class=\"number\">" + std::to_string(s.rejected) + "</td></tr>\n";
        }
        h += "</tbody></table>\n";
    }
    h += "<footer>Times in UTC. For Prometheus: <a href=\"/metrics\">/metrics</a>.</footer>\n</body></html>\n";
    return h;
}

}  // namespace q31::tool::forward
