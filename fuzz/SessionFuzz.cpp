// Drives whole plug-in requests, one after another, through the form, the
// heat-meter component, the link engine and the serial channel, on an
// in-process line to the virtual meter and a manual clock. The input picks
// the requests and, for every packet the link sends, what the line does to
// the meter's reply; every record the host is handed must be the meter's.
//
// Built with the fake port and reader (FakeSerialPort.cpp, FakeReadThread.cpp)
// in place of the real ones, so that nothing sleeps and no thread is started.
#include <cstddef>
#include <cstdint>

#include "fuzz/MeterAnswers.h"
#include "fuzz/SessionDriver.h"
#include "sim/MeterModel.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The meter's content does not change under read requests: one model
    // serves every session.
    static q31::sim::MeterModel meter(q31::fuzz::SessionDriver::MeterSetup());
    static q31::fuzz::MeterAnswers answers(meter);
    q31::fuzz::SessionDriver(answers).Run(data, size);
    return 0;
}
