// What a command of q31 works with: the options, the line, the plug-in's
// session on it, the line trace and the output. The line and the plug-in
// are opened on first use, so a command that fails on its arguments never
// touches the port.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/q31/cli/MeterReader.h"
#include "tools/q31/cli/Report.h"
#include "tools/q31/common/GlobalOptions.h"
#include "tools/q31/common/LineTrace.h"
#include "tools/q31/common/MeterLine.h"
#include "tools/q31/common/PluginApi.h"

namespace q31::tool {

class ToolContext {
public:
    explicit ToolContext(std::string programDir) : programDir_(std::move(programDir)) {}
    ~ToolContext();

    GlobalOptions options;
    LineTrace trace;
    // The chosen subcommand's work, set by its parser callback and run after
    // the whole command line was parsed.
    std::function<void()> action;

    MeterLine& Line();
    // The plug-in, loaded once for every subcommand: --library, else beside
    // the program (a build tree), else in lib/ beside bin/ (an install), else
    // wherever the loader finds it.
    PluginApi& Plugin();
    // The plug-in's session on the line.
    MeterReader& Reader();
    // Identifies the meter and makes later requests name it: with --serial,
    // under that serial number, so another meter is told apart. Returns the
    // identity the meter sent. Throws kExitOtherMeter when --serial differs.
    SDevIdent Identify();
    // Throws kExitBadArgument when `module` lies beyond `count`, the number of
    // modules the meter reports: the plug-in would read such a module's place
    // in memory all the same and hand back whatever lies there.
    static void CheckModule(std::uint32_t module, std::uint32_t count, const char* what);

    void Emit(const Report& report) const;

    // The line's options as the context API takes them.
    q31_options SessionOptions() const;

private:
    std::string programDir_;
    PluginApi api_;
    bool apiLoaded_ = false;
    std::unique_ptr<MeterLine> line_;
    std::unique_ptr<MeterReader> reader_;
};

}  // namespace q31::tool
