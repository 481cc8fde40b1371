#include "sim/Fault.h"

namespace q31::sim {

namespace {

constexpr const char* kNames[kFaultKindCount] = {"silence", "bad-checksum", "wrong-address", "short",
                                                 "corrupt", "delay",        "blind-corrupt", "drop"};

}  // namespace

const char* FaultKindName(FaultKind kind) {
    const auto i = static_cast<int>(kind);
    return i >= 0 && i < kFaultKindCount ? kNames[i] : "?";
}

std::optional<FaultKind> ParseFaultKind(std::string_view name) {
    for (int i = 0; i < kFaultKindCount; ++i) {
        if (name == kNames[i]) return static_cast<FaultKind>(i);
    }
    return std::nullopt;
}

}  // namespace q31::sim
