#include "platform/TelnetDecoder.h"

#include "platform/Telnet.h"

namespace q31 {

namespace {
// A sub-negotiation longer than this lost its end (IAC SE) on a broken
// server: the decoder gives up on it rather than swallow the meter's replies.
constexpr std::size_t kLongestSub = 256;
}  // namespace

std::size_t TelnetDecoder::Decode(std::uint8_t* data, std::size_t count) {
    using namespace telnet;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = data[i];
        switch (state_) {
            case State::Data:
                if (b == kIac) state_ = State::Command;
                else data[kept++] = b;
                break;
            case State::Command:
                if (b == kIac) {
                    data[kept++] = b;  // a doubled 0xFF is one data byte
                    state_ = State::Data;
                } else if (b >= kWill && b <= kDont) {
                    verb_ = b;
                    state_ = State::Option;
                } else if (b == kSb) {
                    subLength_ = 0;
                    state_ = State::Sub;
                } else {
                    state_ = State::Data;  // NOP, GA, a stray SE: nothing to keep
                }
                break;
            case State::Option:
                Negotiated(verb_, b);
                state_ = State::Data;
                break;
            case State::Sub:
                if (b == kIac) state_ = State::SubCommand;
                else SubByte(b);
                break;
            case State::SubCommand:
                if (b == kSe) {
                    SubEnded();
                    state_ = State::Data;
                } else {
                    // IAC IAC is a 0xFF of the sub-negotiation; anything else
                    // is malformed and taken as part of it.
                    SubByte(b);
                    state_ = State::Sub;
                }
                break;
        }
        if ((state_ == State::Sub || state_ == State::SubCommand) && subLength_ > kLongestSub) state_ = State::Data;
    }
    return kept;
}

void TelnetDecoder::Negotiated(std::uint8_t verb, std::uint8_t option) {
    if (option != telnet::kComPort) return;
    if (verb == telnet::kDo) seen_.comPortAccepted = true;
    if (verb == telnet::kDont) seen_.comPortRefused = true;
}

void TelnetDecoder::SubByte(std::uint8_t byte) {
    if (subLength_ < sizeof sub_) sub_[subLength_] = byte;
    ++subLength_;
}

void TelnetDecoder::SubEnded() {
    using namespace telnet;
    // The server's answer to SET-BAUDRATE: option, code, four bytes big-endian.
    if (subLength_ == 6 && sub_[0] == kComPort && sub_[1] == kServerOffset + kSetBaudRate) {
        seen_.speedAnswered = true;
        seen_.speed = (std::uint32_t{sub_[2]} << 24) | (std::uint32_t{sub_[3]} << 16) | (std::uint32_t{sub_[4]} << 8) |
                      std::uint32_t{sub_[5]};
    }
}

}  // namespace q31
