// The meter model's answers, remembered: every packet a session sends is a
// read (identification, memory, flash, archive), whose answer depends on the
// packet alone, and working an archive reply out byte by byte costs more
// than a whole session. Any other packet goes to the model every time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "sim/MeterModel.h"

namespace q31::fuzz {

class MeterAnswers {
public:
    explicit MeterAnswers(sim::MeterModel& meter) : meter_(meter) {}

    sim::MeterModel& Model() { return meter_; }

    // The reply bytes to `packet` (empty: the meter ignores it).
    const std::vector<std::uint8_t>& Answer(std::span<const std::uint8_t> packet) {
        if (!IsRead(packet)) {
            scratch_ = meter_.Handle(packet).bytes;
            return scratch_;
        }
        std::vector<std::uint8_t> key(packet.begin(), packet.end());
        auto found = answers_.find(key);
        if (found == answers_.end()) found = answers_.emplace(std::move(key), meter_.Handle(packet).bytes).first;
        return found->second;
    }

private:
    static bool IsRead(std::span<const std::uint8_t> packet) {
        if (packet.size() < 3) return false;
        switch (packet[2]) {
            case 0x0F:  // identification
            case 0x10:  // RAM
            case 0x30:  // flash
            case 0x31:  // flash, 32-bit address
            case 0x90:  // archive
                return true;
            default: return false;
        }
    }

    // Packets in byte order. The vector's own ordering would do, but g++ 12
    // at -O3 inlines its three-way comparison into a memcmp whose length it
    // believes may exceed any object (-Wstringop-overread, a false alarm);
    // the two-way comparison leaves it quiet.
    struct PacketOrder {
        bool operator()(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) const {
            return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
        }
    };

    sim::MeterModel& meter_;
    std::map<std::vector<std::uint8_t>, std::vector<std::uint8_t>, PacketOrder> answers_;
    std::vector<std::uint8_t> scratch_;
};

}  // namespace q31::fuzz
