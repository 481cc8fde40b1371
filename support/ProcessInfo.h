// What a tool asks of the process it runs in: where its program file lies
// and whether a person watches its standard error.
#pragma once

#include <string>

namespace q31 {

// The directory of the running program, where the tools look for the
// plug-in beside them. The system's own answer comes first, so that a
// program started through PATH or a symbolic link still finds its real
// place; `argv0`'s directory only when the system cannot tell.
std::string ProgramDirectory(const char* argv0);

// True when standard error is a terminal: progress bars are drawn only
// there, never into a log file or a pipe.
bool StderrIsTerminal();

}  // namespace q31
