// q31 dump: the whole meter in one JSON document, or one CSV file per table.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/ArchiveContent.h"
#include "sim/LogContent.h"
#include "sim/MeterConfig.h"
#include "tests/tool/ToolRun.h"

namespace q31::test {
namespace {

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Dump, OneDocumentWithEverySectionAndTheChosenModulesSeries) {
    const sim::MeterConfig config;
    const ToolRun run = RunTool({"dump", "--modules", "2", "--from", "1995", "--from-day", "598"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto doc = run.Json();
    std::vector<std::string> keys;
    for (const auto& item : doc.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"identification", "modules", "current", "totals", "counters", "series",
                                              "logs"}));
    EXPECT_EQ(doc["identification"]["serial_number"], config.serialNumber);
    EXPECT_EQ(doc["modules"]["module_count"], 6);
    EXPECT_EQ(doc["modules"]["modules"].size(), 6u);
    EXPECT_EQ(doc["counters"]["hour_count"], config.hourCount);

    // Twelve series of module 2: five hourly records from 1995, two daily from 598.
    const auto& series = doc["series"];
    ASSERT_EQ(series.size(), 12u);
    for (const auto& s : series) {
        EXPECT_EQ(s["module"], 2);
        const bool daily = s["series"].get<std::string>().ends_with("_day");
        EXPECT_EQ(s["first_record"], daily ? 598 : 1995) << s["series"];
        EXPECT_EQ(s["values"].size(), daily ? 2u : 5u) << s["series"];
    }
    EXPECT_EQ(series[4]["series"], "m_hour");
    EXPECT_EQ(series[4]["values"][4].get<std::uint64_t>(),
              sim::ArchiveFieldValue(sim::ArchiveRing::Hours, sim::ArchiveField::M, 2, 1999));
    EXPECT_EQ(series[7]["series"], "stop_day");
    EXPECT_EQ(
        static_cast<std::uint32_t>(series[7]["values"][0].get<std::int64_t>()),
        static_cast<std::uint32_t>(sim::ArchiveFieldValue(sim::ArchiveRing::Days, sim::ArchiveField::Stop, 2, 598)));

    // The device's log and module 2's, nothing of the others.
    const auto& logs = doc["logs"];
    EXPECT_EQ(logs["error_head_device"][7], sim::ErrorHeadWord(sim::kDeviceLog, 7));
    ASSERT_EQ(logs["error_blocks_device"].size(), 8u);
    EXPECT_EQ(logs["error_blocks_device"][7]["records"][15]["fields"][0],
              sim::ErrorRecordBytes(true, sim::kDeviceLog, 7, 15)[0]);
    ASSERT_EQ(logs["modules"].size(), 1u);
    const auto& m = logs["modules"][0];
    EXPECT_EQ(m["module"], 2);
    EXPECT_EQ(m["error_head"][0], sim::ErrorHeadWord(1, 0));
    ASSERT_EQ(m["error_blocks"].size(), 5u);
    EXPECT_EQ(m["error_blocks"][4]["records"][3]["fields"][2], sim::ErrorRecordBytes(true, 1, 4, 3)[2]);
    EXPECT_EQ(m["edit_head"], sim::EditHeadWord(1));
    EXPECT_EQ(m["edit_records"].size(), 16u);
    // No progress bar without a terminal.
    EXPECT_EQ(run.err.find("values,"), std::string::npos) << run.err;
}

TEST(Dump, CsvGoesToOneFilePerTable) {
    const auto dir = std::filesystem::temp_directory_path() / ("q31-dump-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    const ToolRun run = RunTool({"dump", "--format", "csv", "--out", dir.string(), "--modules", "1,3", "--from", "1990",
                                 "--from-day", "595", "--trace"});
    ASSERT_EQ(run.status, 0) << run.err;
    // One archive packet (command 0x90) per series read: ten series of each
    // module, and the time series, the record's first field and the same for
    // every module, once for the hourly ring and once for the daily.
    std::size_t archiveReads = 0, timeReads = 0;
    for (const std::string& line : Lines(run.err)) {
        if (line.find(" ->  ") == std::string::npos) continue;
        archiveReads += line.find("C9 07 90 ") != std::string::npos;
        timeReads += line.find("C9 07 90 00 ") != std::string::npos;
    }
    EXPECT_EQ(archiveReads, 22u);
    EXPECT_EQ(timeReads, 2u);
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        files.push_back(entry.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"counters.csv", "current.csv", "edit_heads.csv", "edit_records.csv",
                                               "error_heads.csv", "error_records.csv", "identification.csv",
                                               "modules.csv", "series.csv", "totals.csv"}));
    auto rows = [&](const char* file) { return Lines(ReadFile(dir / file)).size() - 1; };
    // Two modules, six hourly series of ten values and six daily of five.
    EXPECT_EQ(rows("series.csv"), 2u * (6u * 10u + 6u * 5u));
    // The device's eight blocks and five for each module, sixteen records each.
    EXPECT_EQ(rows("error_records.csv"), (8u + 2u * 5u) * 16u);
    EXPECT_EQ(rows("error_heads.csv"), 8u + 2u * 6u);
    EXPECT_EQ(rows("edit_records.csv"), 2u * 16u);
    EXPECT_EQ(rows("modules.csv"), 6u);
    EXPECT_EQ(Lines(ReadFile(dir / "series.csv"))[0], "series,module,record,value");
    std::filesystem::remove_all(dir);
}

TEST(Dump, CsvWithoutADirectoryIsABadArgument) {
    const ToolRun run = RunTool({"dump", "--format", "csv"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--out"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace q31::test
