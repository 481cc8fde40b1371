// The exit statuses of q31, one per kind of failure an operator acts on
// differently. Scripts rely on these numbers: add new ones, never renumber.
#pragma once

namespace q31::tool {

enum ExitStatus : int {
    kExitOk = 0,
    kExitFailure = 1,      // anything else: the plug-in cannot be loaded, the virtual meter cannot start, ...
    kExitBadArgument = 2,  // the command line is wrong, or a value lies outside what the meter holds
    kExitPortOpen = 3,     // the port cannot be opened or set up
    kExitNoAnswer = 4,     // the meter did not answer, or only with damaged replies
    kExitOtherMeter = 5,   // a meter with another serial number answered
    kExitPortFailed = 6,   // the port failed while a request was on the line
    kExitSinkDown = 7,     // collect --once: a sink could not be reached, or refused what was shipped
    // Stopped by a signal, as a shell reports it (128 + the signal's number).
    kExitInterrupted = 130,  // SIGINT
    kExitTerminated = 143,   // SIGTERM
};

}  // namespace q31::tool
