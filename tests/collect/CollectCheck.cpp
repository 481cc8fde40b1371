#include "tests/collect/CollectCheck.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include <fstream>

#include <toml++/toml.h>

#include "sim/ArchiveContent.h"
#include "sim/LogContent.h"

namespace q31::test {

namespace {

struct Db {
    sqlite3* db = nullptr;
    explicit Db(const std::string& path) { sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr); }
    ~Db() { sqlite3_close(db); }
    // Calls `row` for every row of `sql`.
    template <typename F>
    bool Each(const std::string& sql, F row) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) return false;
        while (sqlite3_step(s) == SQLITE_ROW) row(s);
        sqlite3_finalize(s);
        return true;
    }
};

std::string Text(sqlite3_stmt* s, int c) {
    const auto* p = sqlite3_column_text(s, c);
    return p ? reinterpret_cast<const char*>(p) : "";
}

const char* const kBases[6] = {"time", "stop", "t", "u", "m", "e"};
const sim::ArchiveField kFields[6] = {sim::ArchiveField::Time, sim::ArchiveField::Stop, sim::ArchiveField::T,
                                      sim::ArchiveField::U,    sim::ArchiveField::M,    sim::ArchiveField::E};

}  // namespace

std::vector<SimMeterFacts> MetersOfConfig(const std::string& tomlPath) {
    std::vector<SimMeterFacts> out;
    const toml::table root = toml::parse_file(tomlPath);
    if (const toml::array* meters = root["meter"].as_array())
        for (const toml::node& n : *meters) {
            const toml::table& t = *n.as_table();
            SimMeterFacts f;
            f.name = t["name"].value_or(std::string());
            f.modules = static_cast<int>(t["sim"]["modules"].value_or(std::int64_t{-1}));
            f.hourCount = static_cast<std::uint32_t>(t["sim"]["hour_count"].value_or(std::int64_t{0}));
            f.dayCount = static_cast<std::uint32_t>(t["sim"]["day_count"].value_or(std::int64_t{0}));
            out.push_back(f);
        }
    return out;
}

std::string ExecSql(const std::string& dbPath, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(dbPath.c_str(), &db);
    char* error = nullptr;
    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string text = error ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    return text;
}

std::vector<std::string> QueryRows(const std::string& dbPath, const std::string& sql,
                                   const std::map<std::string, std::string>& params) {
    Db db(dbPath);
    std::vector<std::string> rows;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db.db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK)
        return {std::string("error: ") + sqlite3_errmsg(db.db)};
    for (const auto& [name, value] : params)
        sqlite3_bind_text(s, sqlite3_bind_parameter_index(s, name.c_str()), value.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(s) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(s); ++c) {
            if (c) row += '|';
            row += Text(s, c);
        }
        rows.push_back(row);
    }
    sqlite3_finalize(s);
    return rows;
}

std::string ReadmeQuery(const std::string& title) {
    std::ifstream in(std::string(Q31_SOURCE_DIR) + "/docs/collector.md");
    std::string line;
    std::string sql;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!inside && line.find("-- " + title) != std::string::npos) inside = true;
        if (!inside) continue;
        sql += line + "\n";
        if (line.find(';') != std::string::npos) break;
    }
    return sql;
}

long long QueryNumber(const std::string& dbPath, const std::string& sql) {
    Db db(dbPath);
    long long v = -1;
    db.Each(sql, [&](sqlite3_stmt* s) { v = sqlite3_column_int64(s, 0); });
    return v;
}

std::vector<std::string> CheckDatabase(const std::string& dbPath, const std::vector<SimMeterFacts>& meters,
                                       const CheckOptions& options) {
    std::vector<std::string> problems;
    Db db(dbPath);
    std::string integrity;
    db.Each("PRAGMA integrity_check", [&](sqlite3_stmt* s) { integrity += Text(s, 0); });
    if (integrity != "ok") problems.push_back("integrity_check: " + integrity);
    db.Each(
        "SELECT meter, module, series, record, count(*) FROM archive_values GROUP BY 1, 2, 3, 4 HAVING count(*) > 1",
        [&](sqlite3_stmt* s) {
            problems.push_back("duplicate: " + Text(s, 0) + " " + Text(s, 2) + " module " + Text(s, 1) + " record " +
                               Text(s, 3));
        });

    std::map<std::string, SimMeterFacts> byName;
    for (const SimMeterFacts& m : meters) byName[m.name] = m;
    // (meter, module, series) -> records stored
    std::map<std::tuple<std::string, int, std::string>, std::set<std::uint32_t>> stored;
    long long wrong = 0;
    db.Each("SELECT meter, module, series, record, value FROM archive_values", [&](sqlite3_stmt* s) {
        const std::string meter = Text(s, 0);
        const int module = sqlite3_column_int(s, 1);
        const std::string series = Text(s, 2);
        const auto record = static_cast<std::uint32_t>(sqlite3_column_int64(s, 3));
        const auto value = static_cast<std::uint64_t>(sqlite3_column_int64(s, 4));
        stored[{meter, module, series}].insert(record);
        const auto cut = series.rfind('_');
        const std::string base = series.substr(0, cut);
        const bool daily = series.substr(cut + 1) == "day";
        const int k = static_cast<int>(std::find(std::begin(kBases), std::end(kBases), base) - std::begin(kBases));
        if (k == 6) {
            problems.push_back("unknown series " + series);
            return;
        }
        const std::uint64_t want = sim::ArchiveFieldValue(daily ? sim::ArchiveRing::Days : sim::ArchiveRing::Hours,
                                                          kFields[k], module == 0 ? 1 : module, record);
        const std::uint64_t mask = sim::ArchiveFieldBytes(kFields[k]) == 8 ? ~0ULL : 0xFFFFFFFFULL;
        if ((value & mask) != (want & mask) && ++wrong <= 5)
            problems.push_back(meter + " " + series + " module " + std::to_string(module) + " record " +
                               std::to_string(record) + ": stored " + std::to_string(value & mask) +
                               ", the meter holds " + std::to_string(want & mask));
    });
    if (wrong > 5) problems.push_back(std::to_string(wrong) + " wrong values in all");

    std::map<std::tuple<std::string, int, std::string>, std::vector<std::pair<std::uint32_t, std::uint32_t>>> gaps;
    db.Each("SELECT meter, module, series, first_missing, last_missing FROM gaps", [&](sqlite3_stmt* s) {
        gaps[{Text(s, 0), sqlite3_column_int(s, 1), Text(s, 2)}].push_back(
            {static_cast<std::uint32_t>(sqlite3_column_int64(s, 3)),
             static_cast<std::uint32_t>(sqlite3_column_int64(s, 4))});
    });

    for (const auto& [key, records] : stored)
        if (!byName.count(std::get<0>(key))) problems.push_back("records of an unknown meter " + std::get<0>(key));
    for (const SimMeterFacts& m : meters) {
        for (int k = 0; k < 6; ++k)
            for (const bool daily : {false, true}) {
                const std::string series = std::string(kBases[k]) + (daily ? "_day" : "_hour");
                const std::uint32_t counter = daily ? m.dayCount : m.hourCount;
                const std::uint32_t slots = daily ? sim::kDaySlots : sim::kHourSlots;
                const std::uint32_t oldest = counter > slots ? counter - slots : 0;
                for (int module = (k == 0 ? 0 : 1); module <= (k == 0 ? 0 : m.modules); ++module) {
                    const auto key = std::make_tuple(m.name, module, series);
                    const std::string what = m.name + " " + series + " module " + std::to_string(module);
                    const auto it = stored.find(key);
                    if (it == stored.end() || it->second.empty()) {
                        if (counter > 0 && !options.partial) problems.push_back(what + ": nothing stored");
                        continue;
                    }
                    const std::set<std::uint32_t>& have = it->second;
                    const std::uint32_t first = *have.begin();
                    if (options.fromOldest && first != oldest)
                        problems.push_back(what + ": begins at " + std::to_string(first) + ", the ring held " +
                                           std::to_string(oldest));
                    if (*have.rbegin() + 1 != counter)
                        problems.push_back(what + ": ends at " + std::to_string(*have.rbegin()) + ", the counter is " +
                                           std::to_string(counter));
                    std::uint32_t missing = 0;
                    for (std::uint32_t r = first; r < counter; ++r) {
                        bool inGap = false;
                        for (const auto& g : gaps[key]) inGap = inGap || (r >= g.first && r <= g.second);
                        if (!have.count(r) && !inGap) ++missing;
                        if (have.count(r) && inGap)
                            problems.push_back(what + ": record " + std::to_string(r) + " stored and in a gap");
                    }
                    if (missing) problems.push_back(what + ": " + std::to_string(missing) + " records missing");
                }
                for (const auto& [key, records] : stored)
                    if (std::get<0>(key) == m.name && std::get<2>(key) == series &&
                        (std::get<1>(key) > m.modules || (k == 0) != (std::get<1>(key) == 0)))
                        problems.push_back(m.name + " " + series + ": records of module " +
                                           std::to_string(std::get<1>(key)) + ", which the meter lacks");
            }

        if (!options.logs) continue;
        // Logs: each record once, with the bytes the meter holds at its place.
        long long logRows = 0;
        db.Each("SELECT log, module, block, position, data FROM log_records WHERE meter='" + m.name + "'",
                [&](sqlite3_stmt* s) {
                    ++logRows;
                    const std::string log = Text(s, 0);
                    const int module = sqlite3_column_int(s, 1);
                    const int block = sqlite3_column_int(s, 2);
                    const int position = sqlite3_column_int(s, 3);
                    const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 4));
                    const std::vector<std::uint8_t> data(p, p + sqlite3_column_bytes(s, 4));
                    std::vector<std::uint8_t> want =
                        log == "edit" ? sim::EditRecordBytes(true, module - 1, position)
                                      : sim::ErrorRecordBytes(true, module == 0 ? sim::kDeviceLog : module - 1,
                                                              block - 1, position);
                    want.resize(log == "edit" ? 16 : 8);
                    if (data != want)
                        problems.push_back(m.name + " " + log + " log module " + std::to_string(module) + " block " +
                                           std::to_string(block) + " record " + std::to_string(position) +
                                           ": bytes differ from the meter's");
                });
        const long long wantRows = 8 * 16 + m.modules * (5 * 16) + m.modules * 16;
        if (options.partial ? logRows > wantRows : logRows != wantRows)
            problems.push_back(m.name + ": " + std::to_string(logRows) + " log records stored, the meter holds " +
                               std::to_string(wantRows));
    }
    return problems;
}

}  // namespace q31::test
