// Takes the telnet layer out of what a telnet serial server (RFC 2217) sends:
// doubled 0xFF bytes become one data byte, option negotiations and
// sub-negotiations are dropped, and what the opening of the line waits for
// is noted. Pure code; its state lives across calls because a command may be
// split between two reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace q31 {

class TelnetDecoder {
public:
    // What the server said about the COM-PORT option so far.
    struct Noted {
        bool comPortAccepted = false;  // DO COM-PORT-OPTION
        bool comPortRefused = false;   // DONT COM-PORT-OPTION
        bool speedAnswered = false;    // the answer to SET-BAUDRATE
        std::uint32_t speed = 0;       // the speed it reported
    };

    // Removes the telnet commands from the `count` bytes at `data`, in place
    // (the data never grows), and returns how many data bytes are left.
    std::size_t Decode(std::uint8_t* data, std::size_t count);

    const Noted& Seen() const { return seen_; }

private:
    enum class State : std::uint8_t { Data, Command, Option, Sub, SubCommand };

    void Negotiated(std::uint8_t verb, std::uint8_t option);
    void SubByte(std::uint8_t byte);
    void SubEnded();

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    // The head of the sub-negotiation in progress (option, code, value):
    // enough for every answer the line's opening looks at; the rest is skipped.
    std::uint8_t sub_[6] = {};
    std::size_t subLength_ = 0;
    Noted seen_;
};

}  // namespace q31
