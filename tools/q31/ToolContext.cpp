#include "tools/q31/ToolContext.h"

#include "tools/q31/ReportWriter.h"
#include "tools/q31/ToolError.h"

namespace q31::tool {

ToolContext::~ToolContext() {
    // The session goes before the port it writes on.
    reader_.reset();
    line_.reset();
}

MeterLine& ToolContext::Line() {
    if (!line_) {
        line_ = std::make_unique<MeterLine>(options);
        if (options.trace) trace.PrintTo(stderr);
    }
    return *line_;
}

q31_options ToolContext::SessionOptions() const {
    q31_options o{};
    api_.options_init(&o);
    o.echo = options.echo ? 1 : 0;
    o.slave_address = static_cast<std::uint8_t>(options.address);
    o.timeout_ms = options.timeoutMs;
    o.send_limit = options.sendLimit;
    return o;
}

MeterReader& ToolContext::Reader() {
    if (!reader_) {
        if (!apiLoaded_) {
            const std::string path = options.library.empty() ? programDir_ + "/libpublicQ31.so" : options.library;
            std::string error;
            if (!api_.Load(path, error)) throw ToolError(kExitFailure, error);
            apiLoaded_ = true;
        }
        MeterLine& line = Line();
        reader_ = std::make_unique<MeterReader>(api_, line.Handle(), SessionOptions(), trace);
    }
    return *reader_;
}

SDevIdent ToolContext::Identify() {
    MeterReader& reader = Reader();
    const SDevIdent found = reader.Identify();
    SDevIdent expected = found;
    if (options.serial >= 0) expected.SerialNumber = static_cast<std::uint32_t>(options.serial);
    reader.Expect(expected);
    return found;
}

void ToolContext::Emit(const Report& report) const { WriteReport(report, options.format, stdout); }

}  // namespace q31::tool
