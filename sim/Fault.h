// Faults the virtual meter can put into its replies.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace q31::sim {

enum class FaultKind : std::uint8_t {
    Silence,       // no reply at all
    BadChecksum,   // checksum low byte inverted (general-form replies only)
    WrongAddress,  // first byte is master ^ 1, checksum recomputed (general-form only)
    ShortReply,    // only the first `param` bytes go out (0: half the reply, rounded down)
    Corrupt,       // `param` random bytes (0: one) XOR-ed with a random non-zero mask
    Delay,         // the reply goes out `param` ms late
    // Two differing payload bytes swap places (general-form only): the data
    // is wrong but the additive checksum still matches, as when two line
    // errors cancel out. A payload of equal bytes is left alone.
    BlindCorrupt,
    // The first `param` bytes go out (0: half the reply), then the line's
    // connection ends, as a modem or device server that loses the call
    // (a pseudo-terminal only cuts the reply short).
    Drop,
};

inline constexpr int kFaultKindCount = 8;

struct Fault {
    FaultKind kind = FaultKind::Silence;
    int param = 0;
};

// Names as the q31-sim options write them: silence, bad-checksum,
// wrong-address, short, corrupt, delay, blind-corrupt, drop.
const char* FaultKindName(FaultKind kind);
std::optional<FaultKind> ParseFaultKind(std::string_view name);

}  // namespace q31::sim
