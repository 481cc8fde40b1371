#include "tools/q31read/ToolSession.h"

#include <cstdlib>

#include "platform/Cp1251.h"

namespace q31::tool {

namespace {
int g_calls = 0;
bool g_timedOut = false;
}  // namespace

void NoteCallback() { ++g_calls; }
void NoteTimeOut() { g_timedOut = true; }

const char* StatusText(std::uint8_t status) {
    switch (status) {
        case 0: return "started";
        case 1: return "the slot record was not handed over (InitSlot)";
        case 2: return "the device type is not 5120";
        case 3: return "an argument is out of range";
        default: return "unknown status";
    }
}

bool AwaitStatus(Session& s, const char* what, std::uint8_t status) {
    // The callback of a request that started can only come from PumpMessages.
    const int before = g_calls;
    g_timedOut = false;
    if (status != 0) {
        std::fprintf(stderr, "%s: refused with status %u (%s)\n", what, status, StatusText(status));
        return false;
    }
    for (int waited = 0; g_calls == before; waited += 50) {
        if (waited >= s.waitMs || g_timedOut) {
            std::fprintf(stderr, "%s: no answer from the meter within %d ms\n", what, s.waitMs);
            return false;
        }
        s.api->PumpMessages(50);
    }
    return true;
}

std::string Utf8(const char* text1251) {
    char out[1024];
    Cp1251ToUtf8(text1251, out, sizeof out);
    return out;
}

bool ParseNumber(const std::string& text, long long min, long long max, long long& out) {
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end || v < min || v > max) return false;
    out = v;
    return true;
}

}  // namespace q31::tool
