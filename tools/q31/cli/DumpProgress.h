// The progress bar of q31 dump, which reads the meter's whole memory.
#pragma once

#include <cstdint>

#include "support/ProcessInfo.h"
#include "tools/q31/cli/ProgressBar.h"
#include "tools/q31/cli/ToolContext.h"

namespace q31::tool {

// Counts what the dump has fetched for the progress bar. A series read is
// long; while it runs, the values of the replies accepted so far count.
class DumpProgress {
public:
    DumpProgress(ToolContext& tool, std::uint64_t planned)
        : tool_(tool), bar_(planned, StderrIsTerminal() && !tool.options.trace) {
        tool_.trace.OnEvent = [this](const TQ31TraceEvent& e) {
            // Reply framing: address, length, command before the data;
            // master address and two checksum bytes after it.
            constexpr int kFraming = 6;
            if (e.kind != Q31_TRACE_ACCEPTED || valueSize_ == 0 || e.length <= kFraming) return;
            partial_ += static_cast<std::uint64_t>(e.length - kFraming) / valueSize_;
            bar_.Update(done_ + (partial_ < expected_ ? partial_ : expected_));
        };
    }
    ~DumpProgress() { tool_.trace.OnEvent = nullptr; }

    // A series read of `expected` values of `valueSize` bytes starts.
    void Expect(std::uint64_t expected, std::uint32_t valueSize) {
        expected_ = expected;
        valueSize_ = valueSize;
        partial_ = 0;
    }
    void Done(std::uint64_t values) {
        done_ += values;
        valueSize_ = 0;
        bar_.Update(done_);
    }
    void Finish() { bar_.Finish(); }

private:
    ToolContext& tool_;
    ProgressBar bar_;
    std::uint64_t done_ = 0;
    std::uint64_t partial_ = 0;
    std::uint64_t expected_ = 0;
    std::uint32_t valueSize_ = 0;
};

}  // namespace q31::tool
