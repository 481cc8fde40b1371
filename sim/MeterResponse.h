// What a command handler answers. The model frames it, applies faults and
// hands the bytes to the line.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace q31::sim {

struct MeterResponse {
    enum class Shape : std::uint8_t {
        None,  // no reply: the meter ignores the request
        Data,  // general form: [master][L][bytes][further][sum lo][sum hi]
        Ack,   // the one-byte acknowledgement of write-type commands
        Raw,   // `bytes` go out exactly as they are
    };

    Shape shape = Shape::None;
    std::vector<std::uint8_t> bytes;

    static MeterResponse None() { return {}; }
    static MeterResponse Ack() { return {Shape::Ack, {}}; }
    static MeterResponse Data(std::vector<std::uint8_t> payload) { return {Shape::Data, std::move(payload)}; }
    static MeterResponse Data(std::span<const std::uint8_t> payload) {
        return {Shape::Data, std::vector<std::uint8_t>(payload.begin(), payload.end())};
    }
    static MeterResponse Raw(std::vector<std::uint8_t> bytes) { return {Shape::Raw, std::move(bytes)}; }
};

}  // namespace q31::sim
