// The first bytes a modem sends when it calls in: its id, by length or up
// to a terminator. Bytes after the registration belong to the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/q31/collect/ModemSettings.h"

namespace q31::tool::collect {

class ModemRegistration {
public:
    enum class State { Incomplete, Registered, Refused };
    // An id longer than this is no registration but noise, or another protocol.
    static constexpr std::size_t kMaxId = 64;

    explicit ModemRegistration(const ModemSettings& settings) : length_(settings.idLength), end_(settings.idEnd) {}

    // Takes what arrived. Once Registered, Id() holds the id and Rest() what
    // followed it in `bytes`; later calls change nothing.
    State Feed(std::span<const std::uint8_t> bytes);

    State Current() const { return state_; }
    const std::string& Id() const { return id_; }
    const std::vector<std::uint8_t>& Rest() const { return rest_; }

private:
    std::size_t length_;
    std::string end_;
    State state_ = State::Incomplete;
    std::string seen_;
    std::string id_;
    std::vector<std::uint8_t> rest_;
};

}  // namespace q31::tool::collect
