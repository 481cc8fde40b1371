// What a host must be handed for each request, worked out from the meter
// model's own content (its memories and the sim's content functions), never
// from the plug-in's code: the oracle of the session fuzzer.
#pragma once

#include <cstdint>
#include <optional>

#include "fuzz/HostDelivery.h"
#include "fuzz/SessionRequest.h"
#include "publicQ31.h"
#include "sim/MeterModel.h"

namespace q31::fuzz {

class MeterTruth {
public:
    explicit MeterTruth(const sim::MeterModel& meter) : meter_(meter) {}

    // The export's status byte for `request` (0 started, 2 device type, 3 argument).
    std::uint8_t Status(const SessionRequest& request) const;
    // The host record the session passes with `request`.
    SDevIdent HostRecord(const SessionRequest& request) const;
    // The archive start the session asks for.
    std::uint32_t ArchiveStart(const SessionRequest& request) const;
    // What the host must get for a started request. `carried` are the bytes
    // 10-11 of the last host record a request copied (GetID hands them back).
    // Only the first `compareBytes` bytes of the delivery are checked.
    HostDelivery Expected(const SessionRequest& request, const std::uint8_t carried[2],
                          std::size_t& compareBytes) const;
    // Packets a request needs when every reply is correct, at most.
    int Packets(const SessionRequest& request) const;

    static constexpr std::uint8_t kCarried[2] = {0x5A, 0xA5};

private:
    std::uint32_t Counter(bool days) const;
    std::uint16_t PointerWord(int word) const;

    const sim::MeterModel& meter_;
};

}  // namespace q31::fuzz
