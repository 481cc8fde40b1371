// Each read command of q31 against the virtual meter it starts itself: the
// JSON parsed back and held against what the meter holds, worked out from
// the virtual meter's own content (default seed), and the CSV's rows.
#include <gtest/gtest.h>

#include "sim/ArchiveContent.h"
#include "sim/LogContent.h"
#include "sim/MeterConfig.h"
#include "sim/MeterLayout.h"
#include "sim/MeterModel.h"
#include "tests/tool/ToolRun.h"

namespace q31::test {
namespace {

using sim::MemoryArea;

// The meter q31 starts when no port is given: every default.
const sim::MeterModel& Truth() {
    static const sim::MeterModel model{sim::MeterConfig{}};
    return model;
}
std::uint32_t Ram32(std::uint32_t at) { return Truth().Memory().ReadU32(MemoryArea::Ram, at); }
std::uint64_t Ram64(std::uint32_t at) { return Ram32(at) | static_cast<std::uint64_t>(Ram32(at + 4)) << 32; }
std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

ToolRun Json(std::vector<std::string> args) {
    args.insert(args.begin(), {"--format", "json"});
    ToolRun run = RunTool(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return run;
}

TEST(ReadCommands, IdentificationCarriesTheMetersIdentity) {
    const auto id = Json({"id"}).Json();
    EXPECT_EQ(id["device_type"], 5120);
    EXPECT_EQ(id["version_word"], sim::kDefaultVersionWord);
    EXPECT_EQ(id["serial_number"], sim::kDefaultSerialNumber);
    EXPECT_EQ(id["id_word12"], Truth().Identity().idWord12);
    EXPECT_EQ(id["device_type_text"], "Тепловодосчетчик Q31М V2.X");
}

TEST(ReadCommands, ModulesAreTheModuleBlockEntries) {
    const auto doc = Json({"modules"}).Json();
    ASSERT_EQ(doc["module_count"], 6);
    ASSERT_EQ(doc["modules"].size(), 6u);
    for (int i = 0; i < 6; ++i) {
        const auto& m = doc["modules"][i];
        const std::uint32_t entry = sim::kModuleBlockAddress + sim::kModuleEntryOffset + sim::kModuleEntrySize * i;
        EXPECT_EQ(m["module"], i + 1);
        EXPECT_EQ(m["word0"], 0x0100 + i);
        for (int k = 0; k < 6; ++k) {
            // The host gets each channel byte one more than the meter stores.
            EXPECT_EQ(m["bytes"][k], 6 * i + k + 1) << "module " << i + 1;
            EXPECT_EQ(m["values"][k], Ram32(entry + 18 + 4 * k)) << "module " << i + 1;
        }
    }
}

TEST(ReadCommands, CurrentValuesComeFromTheLastMeasurement) {
    const auto doc = Json({"current"}).Json();
    const std::uint32_t groups[4] = {0, 56, 80, 104};
    ASSERT_EQ(doc["groups"].size(), 4u);
    for (int g = 0; g < 4; ++g)
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(doc["groups"][g][k], Ram32(sim::kLastMeasureAddress + groups[g] + 4 * k)) << g << "," << k;
}

TEST(ReadCommands, TotalsComeFromTheModuleTotals) {
    const auto doc = Json({"totals"}).Json();
    for (int k = 0; k < 6; ++k) EXPECT_EQ(doc["values"][k], Ram32(sim::kModuleTotalsAddress + 4 * k));
    for (int g = 0; g < 3; ++g)
        for (int k = 0; k < 6; ++k)
            EXPECT_EQ(doc["groups"][g][k].get<std::uint64_t>(), Ram64(sim::kModuleTotalsAddress + 24 + 48 * g + 8 * k));
}

TEST(ReadCommands, CountersAndASeriesNumberTheirRecords) {
    const sim::MeterConfig config;
    const auto counters = Json({"counters"}).Json();
    EXPECT_EQ(counters["first_word"], config.archiveFirstWord);
    EXPECT_EQ(counters["hour_count"], config.hourCount);
    EXPECT_EQ(counters["day_count"], config.dayCount);

    // The newest ten hourly temperatures of module 3.
    const auto t = Json({"series", "t_hour", "3", "1990"}).Json();
    EXPECT_EQ(t["series"], "t_hour");
    EXPECT_EQ(t["first_record"], 1990);
    ASSERT_EQ(t["count"], 10);
    for (std::uint32_t i = 0; i < 10; ++i)
        EXPECT_EQ(t["values"][i].get<std::int64_t>(), static_cast<std::int32_t>(sim::ArchiveFieldValue(
                                                          sim::ArchiveRing::Hours, sim::ArchiveField::T, 3, 1990 + i)))
            << i;

    // From record 0 of a ring that went round: the oldest record kept on.
    const auto e = Json({"series", "e_day", "6"}).Json();
    EXPECT_EQ(e["first_record"], config.dayCount - sim::kDaySlots);
    ASSERT_EQ(e["values"].size(), sim::kDaySlots);
    EXPECT_EQ(e["values"][0].get<std::uint64_t>(), sim::ArchiveFieldValue(sim::ArchiveRing::Days, sim::ArchiveField::E,
                                                                          6, config.dayCount - sim::kDaySlots));
    EXPECT_EQ(e["values"][sim::kDaySlots - 1].get<std::uint64_t>(),
              sim::ArchiveFieldValue(sim::ArchiveRing::Days, sim::ArchiveField::E, 6, config.dayCount - 1));
}

TEST(ReadCommands, LogHeadsAndBlocksComeFromTheirOwnPlace) {
    const auto head = Json({"errorhead"}).Json();
    EXPECT_EQ(head["owner"], "device");
    ASSERT_EQ(head["words"].size(), 8u);
    for (int w = 0; w < 8; ++w) EXPECT_EQ(head["words"][w], sim::ErrorHeadWord(sim::kDeviceLog, w));

    const auto moduleHead = Json({"errorhead", "4"}).Json();
    EXPECT_EQ(moduleHead["module"], 4);
    for (int w = 0; w < 5; ++w) EXPECT_EQ(moduleHead["words"][w], sim::ErrorHeadWord(3, w));

    // Block 5 of module 2's error log: four one-byte fields and a 32-bit value each.
    const auto block = Json({"errors", "2", "5"}).Json();
    EXPECT_EQ(block["owner"], "module");
    EXPECT_EQ(block["block"], 5);
    ASSERT_EQ(block["records"].size(), 16u);
    for (int r = 0; r < 16; ++r) {
        const auto bytes = sim::ErrorRecordBytes(true, 1, 4, r);
        const auto& rec = block["records"][r];
        for (int f = 0; f < 4; ++f) EXPECT_EQ(rec["fields"][f], bytes[f]) << r;
        ASSERT_EQ(rec["values"].size(), 1u);
        EXPECT_EQ(rec["values"][0], Le32(bytes, 4)) << r;
    }

    const auto edits = Json({"edits", "7"}).Json();
    ASSERT_EQ(edits["records"].size(), 16u);
    for (int r = 0; r < 16; ++r) {
        const auto bytes = sim::EditRecordBytes(true, 6, r);
        ASSERT_EQ(edits["records"][r]["values"].size(), 3u);
        for (int v = 0; v < 3; ++v) EXPECT_EQ(edits["records"][r]["values"][v], Le32(bytes, 4 + 4 * v)) << r;
    }
    EXPECT_EQ(Json({"edithead", "8"}).Json()["word"], sim::EditHeadWord(7));
}

TEST(ReadCommands, CsvHasAHeaderAndOneRowPerValueOrRecord) {
    const ToolRun series = RunTool({"series", "u_hour", "2", "1900", "--format", "csv"});
    ASSERT_EQ(series.status, 0) << series.err;
    const auto lines = series.OutLines();
    ASSERT_EQ(lines.size(), 1u + 100u);
    EXPECT_EQ(lines[0], "series,module,record,value");
    EXPECT_EQ(lines[1], "u_hour,2,1900," + std::to_string(static_cast<std::int64_t>(sim::ArchiveFieldValue(
                                               sim::ArchiveRing::Hours, sim::ArchiveField::U, 2, 1900))));
    EXPECT_EQ(lines[100].rfind("u_hour,2,1999,", 0), 0u);

    const ToolRun errors = RunTool({"errors", "8", "--format", "csv"});
    ASSERT_EQ(errors.status, 0) << errors.err;
    const auto rows = errors.OutLines();
    ASSERT_EQ(rows.size(), 1u + 16u);
    EXPECT_EQ(rows[0], "owner,module,block,record,field_1,field_2,field_3,field_4,value_1");
    const auto first = sim::ErrorRecordBytes(true, sim::kDeviceLog, 7, 0);
    EXPECT_EQ(rows[1], "device,,8,0," + std::to_string(first[0]) + "," + std::to_string(first[1]) + "," +
                           std::to_string(first[2]) + "," + std::to_string(first[3]) + "," +
                           std::to_string(Le32(first, 4)));
}

TEST(ReadCommands, OptionsMayFollowTheSubcommand) {
    const ToolRun run = RunTool({"counters", "--format", "csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.OutLines(), (std::vector<std::string>{"first_word,hour_count,day_count", "1,2000,600"}));
    // One module's row carries the meter's module count as the whole list's does.
    const ToolRun module = RunTool({"module", "3", "--format", "csv"});
    ASSERT_EQ(module.status, 0) << module.err;
    ASSERT_EQ(module.OutLines().size(), 2u);
    EXPECT_EQ(module.OutLines()[1].rfind("6,3,258,13,14,15,16,17,18,", 0), 0u) << module.out;
}

}  // namespace
}  // namespace q31::test
