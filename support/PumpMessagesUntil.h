// Pumping the plug-in's message loop through its export, as a host does,
// until a condition holds.
#pragma once

#include <chrono>
#include <functional>

#include "publicQ31.h"

namespace q31 {

// Pumps until `done` holds; false if it does not within `ms` of real time (a
// guard against a hang, not a measure of speed).
inline bool PumpMessagesUntil(const std::function<bool()>& done, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        ::PumpMessages(20);
    }
    return true;
}

}  // namespace q31
