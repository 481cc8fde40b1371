// Counts heap allocations of the whole process through a replaced global
// operator new, so a benchmark can show that a request allocates nothing.
#pragma once

#include <cstdint>

namespace q31::bench {

std::uint64_t Allocations();

}  // namespace q31::bench
