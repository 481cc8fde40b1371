// Runs one fuzz input as a session of host requests against the plug-in's
// form, on the in-process line and a manual clock, and checks every result
// against the meter model. A finding ends the process with abort() and a
// report on standard error.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fuzz/MeterAnswers.h"

namespace q31::fuzz {

class SessionDriver {
public:
    // The virtual meter every session talks to: default identity and
    // content, archive counters just past the end of both rings, so that a
    // short read crosses the rings' end.
    static sim::MeterConfig MeterSetup();

    explicit SessionDriver(MeterAnswers& meter) : meter_(meter) {}

    void Run(const std::uint8_t* data, std::size_t size);

private:
    MeterAnswers& meter_;
};

}  // namespace q31::fuzz
