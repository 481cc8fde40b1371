// A write the database refused for want of space (SQLITE_FULL, ENOSPC): not
// the collector's fault nor the meter's, and over once space is freed, so
// the collector waits it out instead of ending.
#pragma once

#include "tools/q31/common/ToolError.h"

namespace q31::tool {

class StoreFullError : public ToolError {
public:
    explicit StoreFullError(const std::string& message) : ToolError(kExitFailure, message) {}
};

}  // namespace q31::tool
