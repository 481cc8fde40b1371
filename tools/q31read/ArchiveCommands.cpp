// The archive: its counters and one series of values, with a progress bar
// drawn from the plug-in's progress text while the values come in.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/q31read/CommandFamilies.h"

namespace q31::tool {

namespace {

constexpr std::uint32_t kHourSlots = 1080;
constexpr std::uint32_t kDaySlots = 550;
constexpr int kMaxValues = 2000;

SArhiveCount g_counters{};
std::int32_t g_values32[kMaxValues] = {};
std::int64_t g_values64[kMaxValues] = {};
std::uint32_t g_count = 0;

void Q31_CALL OnTimeOut() { NoteTimeOut(); }
void Q31_CALL OnCounters(SArhiveCount* counters) {
    g_counters = *counters;
    NoteCallback();
}
void Q31_CALL OnValues32(std::int32_t* values, std::uint32_t count) {
    g_count = count & 0xFFFF;
    if (g_count > kMaxValues) g_count = kMaxValues;
    std::memcpy(g_values32, values, g_count * sizeof *values);
    NoteCallback();
}
void Q31_CALL OnValues64(std::int64_t* values, std::uint32_t count) {
    g_count = count & 0xFFFF;
    if (g_count > kMaxValues) g_count = kMaxValues;
    std::memcpy(g_values64, values, g_count * sizeof *values);
    NoteCallback();
}

void Fill(TQ31Slot& slot) {
    if (!slot.OnTimeOut) slot.OnTimeOut = &OnTimeOut;
    slot.OnArhiveCount = &OnCounters;
    for (TQ31OnArhive32* f : {&slot.OnArhiveTime_Hour, &slot.OnArhiveStop_Hour, &slot.OnArhiveT_Hour,
                              &slot.OnArhiveTime_Day, &slot.OnArhiveStop_Day, &slot.OnArhiveT_Day})
        *f = &OnValues32;
    for (TQ31OnArhive64* f : {&slot.OnArhiveU_Hour, &slot.OnArhiveM_Hour, &slot.OnArhiveE_Hour,
                              &slot.OnArhiveU_Day, &slot.OnArhiveM_Day, &slot.OnArhiveE_Day})
        *f = &OnValues64;
}

// The series names, in the order of the plug-in's series exports.
const char* const kSeriesNames[12] = {"time_hour", "stop_hour", "t_hour", "u_hour", "m_hour", "e_hour",
                                      "time_day",  "stop_day",  "t_day",  "u_day",  "m_day",  "e_day"};

int SeriesIndex(const std::string& name) {
    for (int i = 0; i < 12; ++i)
        if (name == kSeriesNames[i]) return i;
    return -1;
}

bool IsWide(int series) { return series % 6 >= 3; }
bool IsDaily(int series) { return series >= 6; }

// The two stretches of a read from `start` to the newest record: up to the
// end of the ring, then from its first slot. The plug-in's progress text
// counts down the values left in the stretch it is in.
struct Progress {
    std::uint32_t first = 0;
    std::uint32_t second = 0;
    std::uint32_t perPacket = 0;
    std::uint32_t last = 0;
    bool inSecond = false;
    bool drawn = false;
};
Progress g_progress;

Progress PlanProgress(std::uint32_t slots, std::uint32_t counter, std::uint32_t start, std::uint32_t perPacket) {
    Progress p;
    p.perPacket = perPacket;
    if (start > counter) start = counter;
    if (counter - start >= slots) {
        p.first = slots - counter % slots;
        p.second = slots - p.first;
    } else {
        const std::uint32_t length = counter - start;
        const std::uint32_t toEnd = slots - start % slots;
        p.first = length < toEnd ? length : toEnd;
        p.second = length - p.first;
    }
    p.last = p.first;
    return p;
}

void Q31_CALL OnProgress(const char* text) {
    Progress& p = g_progress;
    const auto left = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    // The second stretch announces itself with its whole length, right after
    // the last packet of the first.
    if (!p.inSecond && p.second != 0 && left == p.second && (left > p.last || p.last <= p.perPacket))
        p.inSecond = true;
    p.last = left;
    const std::uint32_t total = p.first + p.second;
    const std::uint32_t remaining = (p.inSecond ? 0 : p.second) + left;
    const std::uint32_t fetched = total > remaining ? total - remaining : 0;
    constexpr int kWidth = 40;
    const int filled = total ? static_cast<int>(static_cast<std::uint64_t>(fetched) * kWidth / total) : kWidth;
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '-';
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %u of %u values, %s left %-21s", bar, fetched, total, text,
                 p.inSecond ? "from the ring's start" : "to the ring's end");
    std::fflush(stderr);
    p.drawn = true;
}

bool ReadCounters(Session& s) {
    return Await(s, "archive counters", [&] { return s.api->GetArhiveCount(&s.ident); });
}

int RunSeries(Session& s, const Args& args) {
    long long module = 0, start = 0;
    const int series = args.size() == 3 ? SeriesIndex(args[0]) : -1;
    if (series < 0 || !ParseNumber(args[1], 1, 6, module) || !ParseNumber(args[2], 0, 0xFFFFFFFFll, start)) {
        std::fprintf(stderr,
                     "series: give NAME MODULE START, e.g. series t_hour 1 0\n"
                     "  NAME: time, stop, t, u, m or e, with _hour or _day; MODULE 1-6; START a record number\n");
        return 2;
    }
    if (!Identify(s) || !ReadCounters(s)) return 1;
    const std::uint32_t counter = IsDaily(series) ? g_counters.DayCount : g_counters.HourCount;
    const auto first = static_cast<std::uint32_t>(start);
    if (first > counter) {
        // The plug-in would only show its message and never answer.
        std::fprintf(stderr, "series: record %u is not written yet (the counter is %u)\n", first, counter);
        return 1;
    }
    const std::uint32_t slots = IsDaily(series) ? kDaySlots : kHourSlots;
    const std::uint32_t perPacket = !IsWide(series) ? 40 : (IsDaily(series) ? 20 : 10);
    g_progress = PlanProgress(slots, counter, first, perPacket);
    if (s.api->SetProgressHandler) s.api->SetProgressHandler(&OnProgress);
    const bool ok = Await(s, kSeriesNames[series], [&] {
        return s.api->Series[series](&s.ident, static_cast<std::uint32_t>(module), first);
    });
    if (s.api->SetProgressHandler) s.api->SetProgressHandler(nullptr);
    if (g_progress.drawn) std::fprintf(stderr, "\n");
    if (!ok) return 1;

    // With the counters read just before, the values are those of the
    // records from the oldest one still held (or `start`) to the newest.
    const std::uint32_t oldest = counter - first >= slots ? counter - slots : first;
    std::printf("%s module %lld: %u values", kSeriesNames[series], module, g_count);
    if (g_count) std::printf(", records %u to %u", oldest, oldest + g_count - 1);
    std::printf("\n");
    for (std::uint32_t i = 0; i < g_count; ++i) {
        if (IsWide(series)) {
            const std::int64_t v = g_values64[i];
            std::printf("%10u  %20" PRId64 "  0x%016" PRIX64 "\n", oldest + i, v, static_cast<std::uint64_t>(v));
        } else {
            const std::int32_t v = g_values32[i];
            std::printf("%10u  %11" PRId32 "  0x%08" PRIX32 "\n", oldest + i, v, static_cast<std::uint32_t>(v));
        }
    }
    return 0;
}

int Run(Session& s, const std::string& command, const Args& args) {
    if (command == "counters") {
        if (!Identify(s) || !ReadCounters(s)) return 1;
        std::printf("first word     %u (0x%08X)\n", g_counters.FirstWord, g_counters.FirstWord);
        std::printf("hour records   %u\n", g_counters.HourCount);
        std::printf("day records    %u\n", g_counters.DayCount);
        return 0;
    }
    if (command == "series") return RunSeries(s, args);
    return -1;
}

}  // namespace

const CommandFamily kArchiveFamily = {
    &Fill, &Run,
    "  counters            the archive counters\n"
    "  series NAME M START one archive series of module M from record START, e.g. series t_hour 1 0;\n"
    "                      NAME: time, stop, t, u, m, e with _hour or _day\n"};

}  // namespace q31::tool
