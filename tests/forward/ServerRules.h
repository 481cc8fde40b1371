// Tests against real servers (PostgreSQL, mosquitto, Chromium) run when the
// server's program is installed. Without it a test is skipped, unless
// Q31_REQUIRE_SERVERS=1 (as in CI), which makes a missing server a failure.
#pragma once

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace q31::test {

inline bool ServersRequired() {
    const char* v = std::getenv("Q31_REQUIRE_SERVERS");
    return v && std::string(v) == "1";
}

}  // namespace q31::test

// Skips the test (or fails it, when servers are required) for want of `what`.
#define Q31_NEED_SERVER(available, what)                                  \
  do {                                                                    \
    if (!(available)) {                                                   \
      if (::q31::test::ServersRequired()) FAIL() << (what) << " missing"; \
      GTEST_SKIP() << (what) << " missing";                               \
    }                                                                     \
  } while (0)
