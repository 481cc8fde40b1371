#include "platform/Telnet.h"

#include <initializer_list>

namespace q31::telnet {

namespace {

class Writer {
public:
    Writer(std::uint8_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}
    void Put(std::uint8_t b) {
        if (length_ < capacity_) out_[length_] = b;
        ++length_;
    }
    // A value inside a sub-negotiation: 0xFF is doubled there too.
    void PutValue(std::uint8_t b) {
        Put(b);
        if (b == kIac) Put(b);
    }
    void Verb(std::uint8_t verb, std::uint8_t option) {
        Put(kIac);
        Put(verb);
        Put(option);
    }
    void ComPort(std::uint8_t code, const std::uint8_t* value, std::size_t count) {
        Put(kIac);
        Put(kSb);
        Put(kComPort);
        Put(code);
        for (std::size_t i = 0; i < count; ++i) PutValue(value[i]);
        Put(kIac);
        Put(kSe);
    }
    std::size_t Length() const { return length_ <= capacity_ ? length_ : 0; }

private:
    std::uint8_t* out_;
    std::size_t capacity_;
    std::size_t length_ = 0;
};

}  // namespace

std::size_t OpeningRequests(std::uint8_t* out, std::size_t capacity) {
    Writer w(out, capacity);
    w.Verb(kWill, kBinary);
    w.Verb(kDo, kBinary);
    w.Verb(kWill, kComPort);
    return w.Length();
}

std::size_t LineRequests(const LineSettings& settings, std::uint8_t* out, std::size_t capacity) {
    Writer w(out, capacity);
    const auto baud = static_cast<std::uint32_t>(settings.baud);
    const std::uint8_t speed[4] = {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                                   static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)};
    w.ComPort(kSetBaudRate, speed, 4);
    const auto dataSize = static_cast<std::uint8_t>(settings.dataBits);
    w.ComPort(kSetDataSize, &dataSize, 1);
    // On the wire: 1 none, 2 odd, 3 even.
    const std::uint8_t parity = settings.parity == LineParity::Odd ? 2 : settings.parity == LineParity::Even ? 3 : 1;
    w.ComPort(kSetParity, &parity, 1);
    const auto stopSize = static_cast<std::uint8_t>(settings.stopBits == 2 ? 2 : 1);
    w.ComPort(kSetStopSize, &stopSize, 1);
    // SET-CONTROL 1: no flow control; 8: DTR on; 11: RTS on (an interface
    // powered from the modem lines needs them).
    for (const std::uint8_t control : {1, 8, 11}) w.ComPort(kSetControl, &control, 1);
    return w.Length();
}

std::size_t EscapeData(const std::uint8_t* in, std::size_t count, std::uint8_t* out, std::size_t capacity,
                       std::size_t* consumed) {
    std::size_t written = 0;
    std::size_t taken = 0;
    for (; taken < count; ++taken) {
        const std::size_t need = in[taken] == kIac ? 2 : 1;
        if (written + need > capacity) break;
        out[written++] = in[taken];
        if (need == 2) out[written++] = kIac;
    }
    if (consumed) *consumed = taken;
    return written;
}

}  // namespace q31::telnet
