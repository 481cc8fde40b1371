// q31-winhost's report: one line per check, and the exit status of them all.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace q31::winhost {

using Clock = std::chrono::steady_clock;

// Prints the check's line; returns `ok`.
bool Check(bool ok, const char* format, ...);
// Prints the totals: 0 only if every check passed and there was one.
int Finish();
long long MsSince(Clock::time_point start);
std::string Hex(const void* data, std::size_t n);

}  // namespace q31::winhost
