// The soak's summary table on standard output.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/soak/ProcessUsage.h"
#include "tests/soak/SoakFigures.h"

namespace q31::soak {

class SoakReport {
public:
    // A column of figures under its heading.
    void AddColumn(std::string heading, const SoakFigures& figures);
    void SetUsage(const ProcessUsage& start, const ProcessUsage& warm, const ProcessUsage& end);
    void Print() const;

private:
    std::vector<std::pair<std::string, SoakFigures>> columns_;
    ProcessUsage start_, warm_, end_;
};

}  // namespace q31::soak
