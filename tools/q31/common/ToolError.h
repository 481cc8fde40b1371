// A failure that ends the run: the message for the operator and the exit
// status that says what kind of failure it was.
#pragma once

#include <stdexcept>
#include <string>

#include "tools/q31/common/ExitStatus.h"

namespace q31::tool {

class ToolError : public std::runtime_error {
public:
    ToolError(ExitStatus status, const std::string& message) : std::runtime_error(message), status_(status) {}
    ExitStatus Status() const { return status_; }

private:
    ExitStatus status_;
};

}  // namespace q31::tool
