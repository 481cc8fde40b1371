#include "runtime/Clock.h"

#include <chrono>
#include <thread>

namespace q31 {

Micros SteadyClock::Now() const {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

void SteadyClock::Sleep(int milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

SteadyClock& SteadyClock::Instance() {
    static SteadyClock clock;
    return clock;
}

}  // namespace q31
