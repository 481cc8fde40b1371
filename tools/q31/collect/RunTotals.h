// What a run (or a job) stored, and how its meters fared.
#pragma once

namespace q31::tool::collect {

struct RunTotals {
    int metersOk = 0;
    int metersFailed = 0;
    long long records = 0;
    long long gaps = 0;
    long long logRecords = 0;
    long long snapshots = 0;

    // Adds what `more` stored (not its meters).
    void AddStored(const RunTotals& more) {
        records += more.records;
        gaps += more.gaps;
        logRecords += more.logRecords;
        snapshots += more.snapshots;
    }
};

}  // namespace q31::tool::collect
