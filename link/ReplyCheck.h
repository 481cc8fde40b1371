// What a reply of the general form must carry for the command that asked:
// a reply with a good checksum but another length is not the answer to it
// (it may answer an earlier packet, or the meter may have cut it short).
#pragma once

#include <cstdint>

namespace q31 {

struct ReplyCheck {
    enum class Kind : std::uint8_t {
        Any,          // the command's reply has no length of its own
        Exact,        // exactly `bytes` payload bytes (memory and flash reads)
        WholeValues,  // exactly `bytes` bytes, whole values of `valueSize` (archive reads)
    };
    Kind kind = Kind::Any;
    std::uint8_t bytes = 0;
    std::uint8_t valueSize = 0;

    static constexpr ReplyCheck Exactly(std::uint8_t count) { return {Kind::Exact, count, 0}; }
    static constexpr ReplyCheck Values(std::uint8_t most, std::uint8_t size) {
        return size == 0 ? ReplyCheck{} : ReplyCheck{Kind::WholeValues, most, size};
    }

    // Whether a payload of `length` bytes is what the command asked for.
    constexpr bool Fits(int length) const {
        switch (kind) {
            case Kind::Exact: return length == bytes;
            // The read always asks for whole values the meter holds; a reply
            // with fewer is as likely another packet's answer as a cut one.
            case Kind::WholeValues: return length == bytes && length % valueSize == 0;
            case Kind::Any: break;
        }
        return true;
    }
};

}  // namespace q31
