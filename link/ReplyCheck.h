// What a reply of the general form must carry for the command that asked.
// Each check takes what the meter family may lawfully send and no less: a
// reply outside it is not the answer to this command (it may answer an
// earlier packet, or the meter cut it short). Which answer a lawful reply
// belongs to is the engine's business, not the length check's.
#pragma once

#include <cstdint>

namespace q31 {

struct ReplyCheck {
    enum class Kind : std::uint8_t {
        Any,      // the command's reply has no length of its own
        Exact,    // exactly `bytes` payload bytes (memory and flash reads)
        AtLeast,  // `bytes` or more (a read the meter may answer with more than asked)
        Values,   // at least one whole value of `valueSize`, at most `bytes` (archive reads, edit halves)
    };
    Kind kind = Kind::Any;
    std::uint8_t bytes = 0;
    std::uint8_t valueSize = 0;

    static constexpr ReplyCheck Exactly(std::uint8_t count) { return {Kind::Exact, count, 0}; }
    static constexpr ReplyCheck AtLeast(std::uint8_t count) { return {Kind::AtLeast, count, 0}; }
    static constexpr ReplyCheck Values(std::uint8_t most, std::uint8_t size) {
        return size == 0 ? ReplyCheck{} : ReplyCheck{Kind::Values, most, size};
    }

    // Whether a payload of `length` bytes is all the command asked for: the
    // length its answer has when nothing is cut.
    constexpr bool Whole(int length) const {
        switch (kind) {
            case Kind::Exact:
            case Kind::Values: return length == bytes;
            case Kind::AtLeast: return length >= bytes;
            case Kind::Any: break;
        }
        return true;
    }

    // Whether a payload of `length` bytes is what the command asked for.
    constexpr bool Fits(int length) const {
        switch (kind) {
            case Kind::Exact: return length == bytes;
            case Kind::AtLeast: return length >= bytes;
            // The reply's length is the truth: a short one carries the whole
            // values it has, and the transfer goes on from the next. One
            // with none moves nothing, and one with a part of a value is
            // another frame (an identification, a counter record).
            case Kind::Values: return length >= valueSize && length <= bytes && length % valueSize == 0;
            case Kind::Any: break;
        }
        return true;
    }
};

}  // namespace q31
