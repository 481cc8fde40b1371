#include "tools/q31read/ReadCommands.h"

#include "tools/q31read/CommandFamilies.h"

namespace q31::tool {

namespace {
const CommandFamily* const kFamilies[] = {&kModuleFamily, &kArchiveFamily, &kLogFamily};
}  // namespace

void FillCallbacks(TQ31Slot& slot) {
    for (const CommandFamily* f : kFamilies) f->fillCallbacks(slot);
}

std::string CommandHelp() {
    std::string help;
    for (const CommandFamily* f : kFamilies) help += f->help;
    return help;
}

int RunCommand(Session& s, const std::string& command, const std::vector<std::string>& args) {
    for (const CommandFamily* f : kFamilies)
        if (const int rc = f->run(s, command, args); rc >= 0) return rc;
    std::fprintf(stderr, "unknown command '%s'\n", command.c_str());
    return 2;
}

}  // namespace q31::tool
