// What happened on the line: every trace event of the plug-in is counted,
// and printed on stderr with --trace.
//
// The counts are what an operator needs when a meter stays silent: how many
// packets went out, how many bytes came back, and how many replies were
// thrown away and why.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "publicQ31.h"

namespace q31::tool {

struct LineCounts {
    int writes = 0;  // packets written, re-sends included
    int resends = 0;
    long long bytesRead = 0;  // everything that arrived, the echo too
    int accepted = 0;
    int checksumFailures = 0;
    int otherRejections = 0;  // wrong address, short, too long, empty, unconfirmed
    int timeouts = 0;
    int portErrors = 0;   // reads or writes the port failed
    int lastOsError = 0;  // of the last port error, 0 when none

    LineCounts operator-(const LineCounts& earlier) const;
};

class LineTrace {
public:
    // Prints every event on `out` from now on; null stops printing.
    void PrintTo(std::FILE* out) { out_ = out; }
    // Names whose line the printed events belong to (a meter of the
    // collector's, many of which may share stderr).
    void SetLabel(std::string label) { label_ = std::move(label); }

    // Called for every event after it is counted (the dump's progress).
    std::function<void(const TQ31TraceEvent&)> OnEvent;

    void Record(const TQ31TraceEvent& event);
    const LineCounts& Counts() const { return counts_; }
    // Monotonic microseconds of the last event, 0 before the first.
    std::int64_t LastEventUs() const { return lastUs_; }

    // The context API's and the slot exports' handler: `user` is the LineTrace.
    static void Q31_CALL Handler(const TQ31TraceEvent* event, void* user);

    // "3 sends, 0 bytes received, 0 checksum failures", for messages.
    static std::string Describe(const LineCounts& counts);

private:
    void Print(const TQ31TraceEvent& event);

    std::FILE* out_ = nullptr;
    std::string label_;
    LineCounts counts_;
    std::int64_t firstUs_ = -1;
    std::int64_t lastUs_ = 0;
};

}  // namespace q31::tool
