#include "tools/q31read/CommandFamilies.h"

namespace q31::tool {

namespace {
void Fill(TQ31Slot&) {}
int Run(Session&, const std::string&, const Args&) { return -1; }
}  // namespace

const CommandFamily kLogFamily = {&Fill, &Run, ""};

}  // namespace q31::tool
